// How far the maker's list is trusted: its signature, the address it is
// published at, the size and SHA-256 of every file it offers, and the
// catalogue's memory of them.
//
// A content maker may sign the synchronisation file with the private half
// of a P-256 key pair whose public half the catalogue carries ("MKEY" 1).
// A catalogue with a key takes only lists signed with it and published at
// the address the catalogue fetches them from; it never takes a list older
// than the newest it took, nor another list of that same version; and it
// installs a downloaded file only when its size and SHA-256 are the ones
// that list gave for the file's address. The catalogue keeps those sums,
// and the version and signed digest of the newest list it took, in its
// "LSUM" 1 entry. A catalogue without a key works as it always did: lists
// are not checked, and what a signed list adds is ignored.
//
// A key can change: a list signed with a new key may carry a key change,
// the new key signed with the catalogue's key and the list version from
// which it counts. A catalogue that checks the change and the list against
// it takes the list and keeps the new key from then on.
//
// The entries a signed list adds to the synchronisation file (a reader that
// does not know their types passes them by):
//
//   "FSUM" n   the sums of the files of "SKIT" n, one row per file in use,
//              in file order; each row 40 bytes, little-endian:
//                0 u64 size in bytes      8 32 bytes SHA-256 of the file
//   "ADDR" 1   the address the list is published at: 8-bit text with a
//              terminating zero
//   "KEYC" 1   a key change, 136 bytes, stored untransformed:
//                0 u32 scheme, 1 = ECDSA P-256 over SHA-256
//                4 u32 FromVersion: the first list version the new key signs
//                8 64 bytes the new public key, X then Y
//               72 64 bytes r then s: the old key's signature over the
//                  SHA-256 of KEY_CHANGE_DOMAIN followed by bytes 0 .. 71
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

constexpr uint32_t LIST_ADDRESS_TYPE = PakType("ADDR");
constexpr int32_t LIST_ADDRESS_ID = 1;
constexpr uint32_t LIST_KEY_CHANGE_TYPE = PakType("KEYC");
constexpr int32_t LIST_KEY_CHANGE_ID = 1;
constexpr size_t LIST_KEY_CHANGE_SIZE = 8 + MAKER_PUBLIC_KEY_SIZE + MAKER_SIGNATURE_SIZE;
// Put before the signed bytes of a key change, so that no other signature
// of the maker's can pass for one.
extern const char KEY_CHANGE_DOMAIN[];  // "Drearigrams maker key change"

constexpr uint32_t CATALOG_KEY_TYPE = PakType("MKEY");
constexpr int32_t CATALOG_KEY_ID = 1;
constexpr int32_t CATALOG_SEED_KEY_ID = 2;  // the seed catalogue's key the catalogue last took
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

// The body of a catalogue's "MKEY" 1 into key; false when it has none.
bool ReadCatalogKey(cPakFile& pak, std::vector<uint8_t>& key);

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

// The address a list names as its own ("ADDR" 1); false when it names none.
bool ReadListAddress(cPakFile& pak, std::string& address);
void WriteListAddress(cPakFile& pak, const std::string& address);

struct KeyChange {
  uint32_t FromVersion = 0;
  uint8_t NewKey[MAKER_PUBLIC_KEY_SIZE] = {};
  uint8_t Signature[MAKER_SIGNATURE_SIZE] = {};
};
// The "KEYC" 1 body of a change to newKey from fromVersion on, signed with
// the old private key. Throws when the key is no P-256 key.
std::vector<uint8_t> MakeKeyChange(const uint8_t (&oldPrivateKey)[MAKER_PRIVATE_KEY_SIZE],
                                   const uint8_t (&newPublicKey)[MAKER_PUBLIC_KEY_SIZE], uint32_t fromVersion);
// A key change body as a record; false (reason set) when it is not one.
bool DecodeKeyChange(const std::vector<uint8_t>& body, KeyChange& change, std::string& reason);
// Whether the change was signed with oldKey.
bool IsKeyChangeOf(const KeyChange& change, const uint8_t (&oldKey)[MAKER_PUBLIC_KEY_SIZE]);
// The list's key change ("KEYC" 1); false when it has none. A damaged one
// is read as a change nothing signed.
bool ReadKeyChange(cPakFile& pak, KeyChange& change);

// What checking a list's signature found.
struct ListSignature {
  uint8_t Digest[SHA256_SIZE] = {};  // of the signed bytes
  bool KeyChanged = false;  // signed with the new key of a key change made with the key given
  KeyChange Change;         // that change, when KeyChanged
};
// Whether the list is signed with key, or with the new key of a key change
// the list carries that key signed, in a list of a version the change
// counts for. reason says why not.
bool CheckListSignature(cSyncFile& sync, const uint8_t (&key)[MAKER_PUBLIC_KEY_SIZE], ListSignature& signature,
                        std::string& reason);

// The catalogue's side: the key, the newest list version taken and the
// sums by file address.
class cListTrust {
 public:
  // Reads "MKEY" 1, "MKEY" 2 and "LSUM" 1 when there. A key entry of the wrong size
  // still counts as a key, one nothing can match, so such a catalogue takes
  // no list at all rather than every list.
  void Load(cPakFile& pak);
  // Writes the keys and "LSUM" 1 when they changed, keeping only the sums of addresses
  // some record of the catalogue still uses.
  void Save(cPakFile& pak, const CatalogBlock& catalog);
  // The archive committed what Save wrote, or abandoned it (a write that
  // failed): then the next Save writes it again.
  void Committed();
  void Abandoned();

  bool HasKey() const { return HasKey_; }
  // The key of the setup's seed catalogue, offered at every load. A seed
  // key not offered before becomes the maker's key (Save writes it, and
  // remembers it in "MKEY" 2), and what the old key vouched for, the newest
  // version and the sums, goes with it: a new setup replaces a key that was
  // lost or stolen, and nothing signed with a stolen key may stand in the
  // way of the new one's lists. A seed key offered before changes nothing,
  // so a key change a list made since stands. Returns whether the key
  // changed; an empty key changes nothing.
  bool TakeSeedKey(const std::vector<uint8_t>& key);
  // A list the catalogue may take, held open by the caller, who goes on to
  // merge it: signed with the key (or handed over to a new key by a key
  // change the list carries), naming address as the address it is
  // published at, and either of a Version above the catalogue's newest
  // (its CatalogVersion, or the newest signed list taken when that is
  // higher) or that newest list itself again, the same signed bytes. reason
  // says why not. What the check found is kept for TakeList.
  bool CheckList(cSyncFile& sync, const std::string& address, uint32_t catalogVersion, std::string& reason);
  // After the list CheckList passed last was merged: its sums replace those
  // of the same addresses, its Version and digest are remembered, and a key
  // it was handed over to becomes the catalogue's key. True when the key
  // changed.
  bool TakeList(cSyncFile& sync);
  // The catalogue's key from now on; Save writes it.
  void AdoptKey(const uint8_t (&key)[MAKER_PUBLIC_KEY_SIZE]);
  // The most bytes the file at url may have: the size the signed list gives
  // it, or without a key MAX_DOWNLOAD_SIZE. False (reason set) when a key
  // is set but the list gives the address no sums: nothing would install.
  bool SizeLimit(const char* url, uint64_t& limit, std::string& reason) const;
  // An open file, read from its start, against the sums of its address;
  // reason says why not. Without a key every file passes.
  bool CheckFile(const char* url, cFile& file, std::string& reason) const;

  uint32_t SignedVersion() const { return SignedVersion_; }
  const std::map<std::string, FileSum>& Sums() const { return Sums_; }
  // The key, when HasKey and it is whole.
  const uint8_t* Key() const { return KeyUsable_ ? Key_ : nullptr; }
  // Something Save would write.
  bool IsDirty() const { return Dirty_ || KeyDirty_ || SeedKeyDirty_; }

 private:
  void ReplaceKey(const std::vector<uint8_t>& key);
  bool HasKey_ = false;
  bool KeyUsable_ = false;
  bool KeyDirty_ = false;
  uint8_t Key_[MAKER_PUBLIC_KEY_SIZE] = {};
  std::vector<uint8_t> KeyEntry_;  // "MKEY" 1 as stored
  bool HasSeedKey_ = false;
  bool SeedKeyDirty_ = false;
  std::vector<uint8_t> SeedKey_;  // "MKEY" 2: the seed key last taken
  uint32_t SignedVersion_ = 0;
  bool HasDigest_ = false;  // the signed digest of the list of SignedVersion_ is known
  uint8_t Digest_[SHA256_SIZE] = {};
  std::map<std::string, FileSum> Sums_;
  bool Dirty_ = false;
  // Written by Save and not yet committed.
  bool KeyWritten_ = false;
  bool SeedKeyWritten_ = false;
  bool SumsWritten_ = false;
  // What the last CheckList that passed found.
  bool Checked_ = false;
  uint32_t CheckedVersion_ = 0;
  ListSignature CheckedSignature_;
};
