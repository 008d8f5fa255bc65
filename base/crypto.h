// SHA-256 and ECDSA on the curve P-256 through the platform's CNG (bcrypt):
// what the content maker's signed list and the checked files rest on. No
// other crypto code is used.
//
// Keys and signatures travel as plain byte strings, big-endian numbers as
// CNG and SEC 1 lay them out: a public key is X then Y (32 bytes each), a
// private key X, Y then the secret d, a signature r then s.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/handles.h"

constexpr size_t SHA256_SIZE = 32;
constexpr size_t MAKER_PUBLIC_KEY_SIZE = 64;
constexpr size_t MAKER_PRIVATE_KEY_SIZE = 96;
constexpr size_t MAKER_SIGNATURE_SIZE = 64;

// Release CNG's handles (BCRYPT_ALG_HANDLE, BCRYPT_HASH_HANDLE).
void CloseCngAlgorithm(void* algorithm);
void DestroyCngHash(void* hash);
using UniqueCngAlgorithm = handles::UniqueAny<void*, &CloseCngAlgorithm>;
using UniqueCngHash = handles::UniqueAny<void*, &DestroyCngHash>;

// A running SHA-256. Throws std::runtime_error when CNG refuses.
class cSha256 {
 public:
  cSha256();
  ~cSha256();
  cSha256(const cSha256&) = delete;
  cSha256& operator=(const cSha256&) = delete;

  void Add(const void* data, size_t size);
  // The digest of everything added; the object is used up.
  void Finish(uint8_t (&digest)[SHA256_SIZE]);

 private:
  UniqueCngAlgorithm Algorithm_;
  UniqueCngHash Hash_;
};

// Reads an open file from its first byte to its last, in blocks of at most
// 64 KiB that go to sink.Add(bytes, count), and returns how many bytes that
// was. Sizes are 64-bit throughout, so a file of 4 GiB and more is read to
// its end. File is cFile in the product (GetSize, Read from the current
// position); tests hand in stand-ins that claim sizes no test folder holds.
template <typename File, typename Sink>
uint64_t FeedWholeFile(File& file, Sink& sink) {
  constexpr uint32_t kBlock = 65536;
  std::vector<uint8_t> block(kBlock);
  const uint64_t size = file.GetSize();
  for (uint64_t left = size; left > 0;) {
    const uint32_t part = left < kBlock ? static_cast<uint32_t>(left) : kBlock;
    file.Read(block.data(), part);
    sink.Add(block.data(), part);
    left -= part;
  }
  return size;
}

// The size and SHA-256 of a file, read in blocks. Throws the file error
// with the path when it cannot be opened or read.
void HashFile(const std::string& path, uint64_t& size, uint8_t (&digest)[SHA256_SIZE]);

// A new key pair from the platform's random source.
void NewMakerKey(uint8_t (&privateKey)[MAKER_PRIVATE_KEY_SIZE], uint8_t (&publicKey)[MAKER_PUBLIC_KEY_SIZE]);
// Throws when the private key is not a P-256 key.
void SignDigest(const uint8_t (&privateKey)[MAKER_PRIVATE_KEY_SIZE], const uint8_t (&digest)[SHA256_SIZE],
                uint8_t (&signature)[MAKER_SIGNATURE_SIZE]);
// False for a wrong signature and for a public key that is not a point of
// the curve; never throws.
bool VerifyDigest(const uint8_t (&publicKey)[MAKER_PUBLIC_KEY_SIZE], const uint8_t (&digest)[SHA256_SIZE],
                  const uint8_t (&signature)[MAKER_SIGNATURE_SIZE]) noexcept;
