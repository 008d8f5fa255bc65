// How far the maker's list is trusted: its signature, the size and SHA-256
// of every file it offers, and the catalogue's memory of both.
//
// A content maker may sign the synchronisation file with the private half
// of a P-256 key pair whose public half the catalogue carries ("MKEY" 1).
// A catalogue with a key takes only lists signed with it, never a list older
// than the newest it took, and installs a downloaded file only when its size
// and SHA-256 are the ones that list gave for the file's address. The
// catalogue keeps those sums, and the newest list version it took, in its
// "LSUM" 1 entry. A catalogue without a key works as it always did: lists
// are not checked, and sums in them are ignored.
//
// The entries a signed list adds to the synchronisation file (a reader that
// does not know their types passes them by):
//
//   "FSUM" n   the sums of the files of "SKIT" n, one row per file in use,
//              in file order; each row 40 bytes, little-endian:
//                0 u64 size in bytes      8 32 bytes SHA-256 of the file
//   "SIGN" 1   the signature, 68 bytes, stored untransformed:
//                0 u32 scheme, 1 = ECDSA P-256 over SHA-256
//                4 64 bytes r then s, each a 32-byte big-endian number
//
// The signed bytes are every byte of the file, from its first to its last,
// with the 68 body bytes of "SIGN" 1 (at file position DataBase + the slot's
// offset) taken as zeros. So nothing in the file can change, not even a
// byte the program never reads, without the signature failing; the signer
// writes the signature entry with a zero body, signs the file, and then
// writes the signature over that body in place.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "base/crypto.h"
#include "store/catalog_block.h"
#include "store/pak.h"

class cSyncFile;

constexpr uint32_t LIST_SUMS_TYPE = PakType("FSUM");
constexpr uint32_t LIST_SIGNATURE_TYPE = PakType("SIGN");
constexpr int32_t LIST_SIGNATURE_ID = 1;
constexpr size_t LIST_SIGNATURE_SIZE = 4 + MAKER_SIGNATURE_SIZE;
constexpr uint32_t LIST_SCHEME_P256_SHA256 = 1;
constexpr size_t FILE_SUM_SIZE = 40;

constexpr uint32_t CATALOG_KEY_TYPE = PakType("MKEY");
constexpr int32_t CATALOG_KEY_ID = 1;
constexpr uint32_t CATALOG_SUMS_TYPE = PakType("LSUM");
constexpr int32_t CATALOG_SUMS_ID = 1;

struct FileSum {
  uint64_t Size = 0;
  uint8_t Sha256[SHA256_SIZE] = {};
  bool operator==(const FileSum& other) const;
};

// Why a file is not the one its sum describes; the texts of MatchesSum.
std::string SizeMismatch(uint64_t size, uint64_t signedSize);
std::string DigestMismatch(const uint8_t (&digest)[SHA256_SIZE], const uint8_t (&signedDigest)[SHA256_SIZE]);

// Whether an open file is the one sum describes. Its size is compared
// first, before a byte is read, so a file of any other size is never
// hashed; then every byte goes through SHA-256 and on to sink.Add (which may
// copy it), and the digests are compared at the end. reason says why not.
// File and Sink as for FeedWholeFile.
template <typename File, typename Sink>
bool MatchesSum(File& file, const FileSum& sum, Sink& sink, std::string& reason) {
  const uint64_t size = file.GetSize();
  if (size != sum.Size) {
    reason = SizeMismatch(size, sum.Size);
    return false;
  }
  struct cTee {
    cSha256 Hash;
    Sink& Next;
    void Add(uint8_t* bytes, uint32_t count) {
      Hash.Add(bytes, count);
      Next.Add(bytes, count);
    }
  } tee{{}, sink};
  FeedWholeFile(file, tee);
  uint8_t digest[SHA256_SIZE];
  tee.Hash.Finish(digest);
  if (std::memcmp(digest, sum.Sha256, SHA256_SIZE) == 0) return true;
  reason = DigestMismatch(digest, sum.Sha256);
  return false;
}

// The sums of "SKIT" recordId; empty when the list has none for it. Throws
// the corrupt-file text when the entry is not a whole number of rows or has
// more than four.
std::vector<FileSum> ReadFileSums(cPakFile& pak, int32_t recordId);
void WriteFileSums(cPakFile& pak, int32_t recordId, const std::vector<FileSum>& sums);

// The SHA-256 of the signed bytes, read through the archive's own handle;
// false (reason set) when the file has no "SIGN" 1 entry of the right size,
// stored untransformed. scheme and signature receive what the entry holds.
bool ListDigest(cPakFile& pak, uint8_t (&digest)[SHA256_SIZE], uint32_t& scheme,
                uint8_t (&signature)[MAKER_SIGNATURE_SIZE], std::string& reason);
// Signs a finished synchronisation file in place (a signature it has is
// replaced). Throws on a file or key error.
void SignListFile(const std::string& path, const uint8_t (&privateKey)[MAKER_PRIVATE_KEY_SIZE]);
// True when the signature is the key's; otherwise reason says why not.
bool CheckListSignature(cPakFile& pak, const uint8_t (&publicKey)[MAKER_PUBLIC_KEY_SIZE], std::string& reason);

// The catalogue's side: the key, the newest list version taken and the
// sums by file address.
class cListTrust {
 public:
  // Reads "MKEY" 1 and "LSUM" 1 when there. A key entry of the wrong size
  // still counts as a key, one nothing can match, so such a catalogue takes
  // no list at all rather than every list.
  void Load(cPakFile& pak);
  // Writes "LSUM" 1 when it changed, keeping only the sums of addresses
  // some record of the catalogue still uses.
  void Save(cPakFile& pak, const CatalogBlock& catalog);

  bool HasKey() const { return HasKey_; }
  // A list the catalogue may take: signed with the key, and of a Version no
  // lower than the catalogue's (its CatalogVersion, or the newest signed
  // list taken when that is higher). reason says why not.
  // The list is the one the caller holds open and goes on to merge.
  bool CheckList(cSyncFile& sync, uint32_t catalogVersion, std::string& reason) const;
  // After a list passed CheckList and was merged: its sums replace those
  // of the same addresses, and its Version is remembered.
  void TakeList(cSyncFile& sync);
  // The most bytes the file at url may have: the size the signed list gives
  // it, or without a key MAX_DOWNLOAD_SIZE. False (reason set) when a key
  // is set but the list gives the address no sums: nothing would install.
  bool SizeLimit(const char* url, uint64_t& limit, std::string& reason) const;
  // An open file, read from its start, against the sums of its address;
  // reason says why not. Without a key every file passes.
  bool CheckFile(const char* url, cFile& file, std::string& reason) const;

  uint32_t SignedVersion() const { return SignedVersion_; }
  const std::map<std::string, FileSum>& Sums() const { return Sums_; }

 private:
  bool HasKey_ = false;
  bool KeyUsable_ = false;
  uint8_t Key_[MAKER_PUBLIC_KEY_SIZE] = {};
  uint32_t SignedVersion_ = 0;
  std::map<std::string, FileSum> Sums_;
  bool Dirty_ = false;
};
