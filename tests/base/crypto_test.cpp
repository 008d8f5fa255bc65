// SHA-256 and P-256 signatures through CNG, as the signed list uses them.
#include "base/crypto.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "tests/support/testing.h"

namespace {

using testing_support::TempDir;
using testing_support::WriteFileBytes;

std::string Hex(const uint8_t* bytes, size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < size; ++i) {
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 15];
  }
  return text;
}

TEST(Crypto, Sha256MatchesTheStandardVectorsInOnePieceAndInParts) {
  uint8_t digest[SHA256_SIZE];
  cSha256 empty;
  empty.Finish(digest);
  EXPECT_EQ(Hex(digest, sizeof digest), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  cSha256 parts;
  parts.Add("a", 1);
  parts.Add("bc", 2);
  parts.Finish(digest);
  EXPECT_EQ(Hex(digest, sizeof digest), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(Crypto, HashFileGivesSizeAndDigestAndNamesAMissingFile) {
  TempDir dir;
  const std::string path = dir.File("crypto_hash.bin");
  std::string body(200000, 'x');
  body[123456] = 'y';
  WriteFileBytes(path, body);
  uint64_t size = 0;
  uint8_t fromFile[SHA256_SIZE], fromMemory[SHA256_SIZE];
  HashFile(path, size, fromFile);
  cSha256 hash;
  hash.Add(body.data(), body.size());
  hash.Finish(fromMemory);
  EXPECT_EQ(size, body.size());
  EXPECT_EQ(0, std::memcmp(fromFile, fromMemory, SHA256_SIZE));
  try {
    HashFile(path + ".missing", size, fromFile);
    FAIL() << "no error";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find("crypto_hash.bin.missing"), std::string::npos) << error.what();
  }
}

// A stand-in that claims a size no test folder holds: the loop must ask for
// every byte of it, in 64-bit arithmetic, and never more.
struct ClaimedFile {
  uint64_t Size;
  uint64_t Given = 0;
  uint64_t GetSize() const { return Size; }
  void Read(void* buffer, DWORD count) {
    std::memset(buffer, 0, count);
    Given += count;
  }
};

struct CountingSink {
  uint64_t Bytes = 0;
  uint64_t Blocks = 0;
  uint32_t Last = 0;
  void Add(const uint8_t*, uint32_t count) {
    Bytes += count;
    ++Blocks;
    Last = count;
  }
};

TEST(Crypto, TheWholeFileLoopReadsFilesOfFourGigabytesAndMoreToTheirEnd) {
  for (const uint64_t size : {(uint64_t{4} << 30) + 3, (uint64_t{6} << 30) + 65536, uint64_t{65537}, uint64_t{0}}) {
    SCOPED_TRACE(size);
    ClaimedFile file{size};
    CountingSink sink;
    EXPECT_EQ(FeedWholeFile(file, sink), size);
    EXPECT_EQ(file.Given, size);
    EXPECT_EQ(sink.Bytes, size);
    EXPECT_EQ(sink.Blocks, (size + 65535) / 65536) << "blocks of 64 KiB";
    if (size != 0) {
      EXPECT_EQ(sink.Last, size % 65536 != 0 ? size % 65536 : 65536);
    }
  }
}

TEST(Crypto, ASignatureVerifiesOnlyWithItsKeyAndItsDigest) {
  uint8_t privateKey[MAKER_PRIVATE_KEY_SIZE], publicKey[MAKER_PUBLIC_KEY_SIZE];
  uint8_t otherPrivate[MAKER_PRIVATE_KEY_SIZE], otherPublic[MAKER_PUBLIC_KEY_SIZE];
  NewMakerKey(privateKey, publicKey);
  NewMakerKey(otherPrivate, otherPublic);
  EXPECT_NE(0, std::memcmp(publicKey, otherPublic, sizeof publicKey));
  EXPECT_EQ(0, std::memcmp(privateKey, publicKey, sizeof publicKey));

  uint8_t digest[SHA256_SIZE];
  cSha256 hash;
  hash.Add("list", 4);
  hash.Finish(digest);
  uint8_t signature[MAKER_SIGNATURE_SIZE];
  SignDigest(privateKey, digest, signature);
  EXPECT_TRUE(VerifyDigest(publicKey, digest, signature));
  EXPECT_FALSE(VerifyDigest(otherPublic, digest, signature));

  uint8_t changed[SHA256_SIZE];
  std::memcpy(changed, digest, sizeof changed);
  changed[31] ^= 1;
  EXPECT_FALSE(VerifyDigest(publicKey, changed, signature));
  signature[5] ^= 0x40;
  EXPECT_FALSE(VerifyDigest(publicKey, digest, signature));

  // A key that is no point of the curve is refused, not trusted.
  uint8_t junk[MAKER_PUBLIC_KEY_SIZE];
  std::memset(junk, 0x11, sizeof junk);
  EXPECT_FALSE(VerifyDigest(junk, digest, signature));
}

}  // namespace
