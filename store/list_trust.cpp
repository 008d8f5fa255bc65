// The signed list and the checked files (see list_trust.h for the entries a
// signed synchronisation file carries and which bytes are signed).
//
// The catalogue's "LSUM" 1 entry, little-endian:
//   0 u32 SignedVersion   the Version of the newest signed list taken
//   4 u32 count           rows that follow, at most LSUM_MAX_ROWS
//   8 rows, each:  u32 address length (1 .. LSUM_MAX_ADDRESS), the address
//                  bytes (no terminator), u64 size, 32 bytes SHA-256
//   then 32 bytes: the SHA-256 of the signed bytes of the list of
//                  SignedVersion (left out by catalogues from before it was
//                  kept: such a catalogue takes no list of its newest version)
// A damaged entry is read as far as it is whole; what is missing then only
// makes downloads fail their check, and lists of the same version the
// replay check, never pass them.
#include "store/list_trust.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "base/errors.h"
#include "base/files.h"
#include "base/little_endian.h"
#include "download/comm.h"
#include "download/resume.h"
#include "store/archive_texts.h"
#include "store/server_data.h"
#include "store/sync_file.h"

namespace {

constexpr uint32_t LSUM_MAX_ROWS = 4096;
constexpr uint32_t LSUM_MAX_ADDRESS = 2083;

// An entry's body as a vector; the archive checks it against the file.
std::vector<uint8_t> ReadBody(cPakFile& pak, uint32_t type, int32_t id) {
  uint32_t length = 0;
  uint8_t* bytes = nullptr;
  pak.ReadEntry(type, id, &length, &bytes);
  std::vector<uint8_t> body(bytes, bytes + length);
  pak.ReleaseEntry(type, id, bytes);
  return body;
}

std::string HexDigest(const uint8_t* bytes, size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < size; ++i) {
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 15];
  }
  return text;
}

}  // namespace

std::string SizeMismatch(uint64_t size, uint64_t signedSize) {
  return std::to_string(size) + " bytes, the signed list says " + std::to_string(signedSize);
}

std::string DigestMismatch(const uint8_t (&digest)[SHA256_SIZE], const uint8_t (&signedDigest)[SHA256_SIZE]) {
  return "SHA-256 " + HexDigest(digest, SHA256_SIZE) + ", the signed list says " + HexDigest(signedDigest, SHA256_SIZE);
}

bool FileSum::operator==(const FileSum& other) const {
  return Size == other.Size && std::memcmp(Sha256, other.Sha256, SHA256_SIZE) == 0;
}

std::vector<FileSum> ReadFileSums(cPakFile& pak, int32_t recordId) {
  std::vector<FileSum> sums;
  if (pak.FindEntry(LIST_SUMS_TYPE, recordId) < 0) return sums;
  const std::vector<uint8_t> body = ReadBody(pak, LIST_SUMS_TYPE, recordId);
  if (body.size() % FILE_SUM_SIZE != 0 || body.size() > SKIT_MAX_FILES * FILE_SUM_SIZE) {
    ThrowCode(ERR_FILE_CORRUPT, pak.Path());
  }
  for (size_t at = 0; at < body.size(); at += FILE_SUM_SIZE) {
    FileSum sum;
    sum.Size = GetLe64(body.data() + at);
    std::memcpy(sum.Sha256, body.data() + at + 8, SHA256_SIZE);
    sums.push_back(sum);
  }
  return sums;
}

void WriteFileSums(cPakFile& pak, int32_t recordId, const std::vector<FileSum>& sums) {
  if (sums.empty()) return;
  std::vector<uint8_t> body;
  for (const FileSum& sum : sums) {
    AppendLe64(body, sum.Size);
    body.insert(body.end(), sum.Sha256, sum.Sha256 + SHA256_SIZE);
  }
  pak.WriteEntry(LIST_SUMS_TYPE, recordId, 0, true, static_cast<uint32_t>(body.size()), body.data());
}

bool ListDigest(cPakFile& pak, uint8_t (&digest)[SHA256_SIZE], uint32_t& scheme,
                uint8_t (&signature)[MAKER_SIGNATURE_SIZE], std::string& reason) {
  const int32_t index = pak.FindEntry(LIST_SIGNATURE_TYPE, LIST_SIGNATURE_ID);
  if (index < 0) {
    reason = "it is not signed";
    return false;
  }
  const PakSlot slot = pak.Slot(static_cast<uint32_t>(index));
  if (slot.Length != LIST_SIGNATURE_SIZE || slot.Transformed != 0) {
    reason = "its signature entry is damaged";
    return false;
  }
  const std::vector<uint8_t> body = ReadBody(pak, LIST_SIGNATURE_TYPE, LIST_SIGNATURE_ID);
  scheme = GetLe32(body.data());
  std::memcpy(signature, body.data() + 4, MAKER_SIGNATURE_SIZE);
  const uint64_t bodyAt = uint64_t{pak.DataBase()} + slot.Offset;

  // The signature's body counts as zeros wherever it falls in a block.
  struct cBlankedHash {
    cSha256 Hash;
    uint64_t At = 0;
    uint64_t From, To;
    void Add(uint8_t* block, uint32_t part) {
      for (uint64_t i = From > At ? From : At; i < To && i < At + part; ++i) block[i - At] = 0;
      Hash.Add(block, part);
      At += part;
    }
  } hash{{}, 0, bodyAt, bodyAt + LIST_SIGNATURE_SIZE};
  pak.ReadWholeFile(hash);
  hash.Hash.Finish(digest);
  return true;
}

void SignListFile(const std::string& path, const uint8_t (&privateKey)[MAKER_PRIVATE_KEY_SIZE]) {
  uint8_t body[LIST_SIGNATURE_SIZE] = {};
  {
    // Closing compacts the archive when an old signature of another size
    // was superseded, so the bytes are signed only after that.
    cPakFile pak(path, true, nullptr, GENERIC_READ | GENERIC_WRITE, 0);
    pak.WriteEntry(LIST_SIGNATURE_TYPE, LIST_SIGNATURE_ID, 0, false, sizeof body, body);
  }
  cPakFile pak(path, true, nullptr, GENERIC_READ | GENERIC_WRITE, 0);
  uint8_t digest[SHA256_SIZE], signature[MAKER_SIGNATURE_SIZE];
  uint32_t scheme = 0;
  std::string reason;
  if (!ListDigest(pak, digest, scheme, signature, reason)) ThrowText("Cannot sign the list: " + reason + ".", path);
  SignDigest(privateKey, digest, signature);
  body[0] = static_cast<uint8_t>(LIST_SCHEME_P256_SHA256);
  std::memcpy(body + 4, signature, MAKER_SIGNATURE_SIZE);
  // Written over the zero body where it lies: every other byte stays as
  // the signature covers it.
  pak.OverwriteEntry(LIST_SIGNATURE_TYPE, LIST_SIGNATURE_ID, sizeof body, body);
}

bool ReadListAddress(cPakFile& pak, std::string& address) {
  if (pak.FindEntry(LIST_ADDRESS_TYPE, LIST_ADDRESS_ID) < 0) return false;
  const std::vector<uint8_t> body = ReadBody(pak, LIST_ADDRESS_TYPE, LIST_ADDRESS_ID);
  // Up to the terminator; an entry without one is taken whole.
  address.assign(body.begin(), std::find(body.begin(), body.end(), uint8_t{0}));
  return true;
}

void WriteListAddress(cPakFile& pak, const std::string& address) {
  pak.WriteEntry(LIST_ADDRESS_TYPE, LIST_ADDRESS_ID, 0, true, 0, address.c_str());
}

const char KEY_CHANGE_DOMAIN[] = "Drearigrams maker key change";

namespace {

// What the old key signs: the domain, then the first 72 bytes of the body.
void KeyChangeDigest(const KeyChange& change, uint8_t (&digest)[SHA256_SIZE]) {
  std::vector<uint8_t> signedPart;
  AppendLe32(signedPart, LIST_SCHEME_P256_SHA256);
  AppendLe32(signedPart, change.FromVersion);
  signedPart.insert(signedPart.end(), change.NewKey, change.NewKey + MAKER_PUBLIC_KEY_SIZE);
  cSha256 hash;
  hash.Add(KEY_CHANGE_DOMAIN, std::strlen(KEY_CHANGE_DOMAIN));
  hash.Add(signedPart.data(), signedPart.size());
  hash.Finish(digest);
}

}  // namespace

std::vector<uint8_t> MakeKeyChange(const uint8_t (&oldPrivateKey)[MAKER_PRIVATE_KEY_SIZE],
                                   const uint8_t (&newPublicKey)[MAKER_PUBLIC_KEY_SIZE], uint32_t fromVersion) {
  KeyChange change;
  change.FromVersion = fromVersion;
  std::memcpy(change.NewKey, newPublicKey, MAKER_PUBLIC_KEY_SIZE);
  uint8_t digest[SHA256_SIZE];
  KeyChangeDigest(change, digest);
  SignDigest(oldPrivateKey, digest, change.Signature);
  std::vector<uint8_t> body;
  AppendLe32(body, LIST_SCHEME_P256_SHA256);
  AppendLe32(body, change.FromVersion);
  body.insert(body.end(), change.NewKey, change.NewKey + MAKER_PUBLIC_KEY_SIZE);
  body.insert(body.end(), change.Signature, change.Signature + MAKER_SIGNATURE_SIZE);
  return body;
}

bool DecodeKeyChange(const std::vector<uint8_t>& body, KeyChange& change, std::string& reason) {
  if (body.size() != LIST_KEY_CHANGE_SIZE) {
    reason = "a key change is " + std::to_string(LIST_KEY_CHANGE_SIZE) + " bytes, not " + std::to_string(body.size());
    return false;
  }
  if (GetLe32(body.data()) != LIST_SCHEME_P256_SHA256) {
    reason = "the key change is of an unknown scheme " + std::to_string(GetLe32(body.data()));
    return false;
  }
  change.FromVersion = GetLe32(body.data() + 4);
  std::memcpy(change.NewKey, body.data() + 8, MAKER_PUBLIC_KEY_SIZE);
  std::memcpy(change.Signature, body.data() + 8 + MAKER_PUBLIC_KEY_SIZE, MAKER_SIGNATURE_SIZE);
  return true;
}

bool IsKeyChangeOf(const KeyChange& change, const uint8_t (&oldKey)[MAKER_PUBLIC_KEY_SIZE]) {
  uint8_t digest[SHA256_SIZE];
  KeyChangeDigest(change, digest);
  return VerifyDigest(oldKey, digest, change.Signature);
}

bool ReadKeyChange(cPakFile& pak, KeyChange& change) {
  const int32_t index = pak.FindEntry(LIST_KEY_CHANGE_TYPE, LIST_KEY_CHANGE_ID);
  if (index < 0) return false;
  std::string ignored;
  if (pak.Slot(static_cast<uint32_t>(index)).Transformed != 0 ||
      !DecodeKeyChange(ReadBody(pak, LIST_KEY_CHANGE_TYPE, LIST_KEY_CHANGE_ID), change, ignored)) {
    change = KeyChange();
  }
  return true;
}

// A list signed with the key itself is taken as it is, whatever key change
// it carries; only a list the key did not sign is tried against the new key
// of a change the key made.
bool CheckListSignature(cSyncFile& sync, const uint8_t (&key)[MAKER_PUBLIC_KEY_SIZE], ListSignature& found,
                        std::string& reason) {
  found = ListSignature();
  uint8_t signature[MAKER_SIGNATURE_SIZE];
  uint32_t scheme = 0;
  try {
    if (!ListDigest(sync.Pak(), found.Digest, scheme, signature, reason)) return false;
  } catch (const std::exception& error) {
    reason = error.what();
    return false;
  }
  if (scheme != LIST_SCHEME_P256_SHA256) {
    reason = "its signature is of an unknown scheme " + std::to_string(scheme);
    return false;
  }
  if (VerifyDigest(key, found.Digest, signature)) return true;
  KeyChange change;
  if (!ReadKeyChange(sync.Pak(), change)) {
    reason = "its signature is not the maker's";
    return false;
  }
  if (!IsKeyChangeOf(change, key)) {
    reason = "its signature is not the maker's, nor is its key change";
    return false;
  }
  if (!VerifyDigest(change.NewKey, found.Digest, signature)) {
    reason = "its signature is neither the maker's nor that of the new key its key change names";
    return false;
  }
  if (sync.Header().Version < change.FromVersion) {
    reason = "its key change counts from version " + std::to_string(change.FromVersion) + ", and it is version " +
             std::to_string(sync.Header().Version);
    return false;
  }
  found.KeyChanged = true;
  found.Change = change;
  return true;
}

// ---------------------------------------------------------------------------
// The catalogue's side

bool ReadCatalogKey(cPakFile& pak, std::vector<uint8_t>& key) {
  key.clear();
  if (pak.FindEntry(CATALOG_KEY_TYPE, CATALOG_KEY_ID) < 0) return false;
  key = ReadBody(pak, CATALOG_KEY_TYPE, CATALOG_KEY_ID);
  return true;
}

void cListTrust::Load(cPakFile& pak) {
  *this = cListTrust();
  if (ReadCatalogKey(pak, KeyEntry_)) {
    HasKey_ = true;
    KeyUsable_ = KeyEntry_.size() == MAKER_PUBLIC_KEY_SIZE;
    if (KeyUsable_) std::memcpy(Key_, KeyEntry_.data(), MAKER_PUBLIC_KEY_SIZE);
  }
  if (pak.FindEntry(CATALOG_KEY_TYPE, CATALOG_SEED_KEY_ID) >= 0) {
    HasSeedKey_ = true;
    SeedKey_ = ReadBody(pak, CATALOG_KEY_TYPE, CATALOG_SEED_KEY_ID);
  }
  if (pak.FindEntry(CATALOG_SUMS_TYPE, CATALOG_SUMS_ID) < 0) return;
  const std::vector<uint8_t> body = ReadBody(pak, CATALOG_SUMS_TYPE, CATALOG_SUMS_ID);
  if (body.size() < 8) return;
  SignedVersion_ = GetLe32(body.data());
  const uint32_t count = GetLe32(body.data() + 4);
  size_t at = 8;
  for (uint32_t row = 0; row < count; ++row) {
    if (row >= LSUM_MAX_ROWS || body.size() - at < 4) return;
    const uint32_t length = GetLe32(body.data() + at);
    if (length == 0 || length > LSUM_MAX_ADDRESS || body.size() - at - 4 < length + 8 + SHA256_SIZE) return;
    const std::string address(reinterpret_cast<const char*>(body.data() + at + 4), length);
    at += 4 + length;
    FileSum sum;
    sum.Size = GetLe64(body.data() + at);
    std::memcpy(sum.Sha256, body.data() + at + 8, SHA256_SIZE);
    at += 8 + SHA256_SIZE;
    Sums_[address] = sum;
  }
  if (body.size() - at == SHA256_SIZE) {
    HasDigest_ = true;
    std::memcpy(Digest_, body.data() + at, SHA256_SIZE);
  }
}

// The seed's key is taken once per seed key, not at every load: a key the
// catalogue has since been handed over to by a signed key change must not
// fall back to the seed's older one (and with it the newest version and the
// sums, which would let an old list in again). A catalogue from before the
// seed key was remembered, whose key is the seed's, only starts remembering.
bool cListTrust::TakeSeedKey(const std::vector<uint8_t>& key) {
  if (key.empty()) return false;
  if (HasSeedKey_ && key == SeedKey_) return false;
  HasSeedKey_ = SeedKeyDirty_ = true;
  SeedKey_ = key;
  if (HasKey_ && key == KeyEntry_) return false;
  ReplaceKey(key);
  return true;
}

void cListTrust::ReplaceKey(const std::vector<uint8_t>& key) {
  HasKey_ = true;
  KeyEntry_ = key;
  KeyUsable_ = key.size() == MAKER_PUBLIC_KEY_SIZE;
  std::memset(Key_, 0, sizeof Key_);
  if (KeyUsable_) std::memcpy(Key_, key.data(), MAKER_PUBLIC_KEY_SIZE);
  SignedVersion_ = 0;
  HasDigest_ = false;
  Sums_.clear();
  KeyDirty_ = Dirty_ = true;
}

void cListTrust::Save(cPakFile& pak, const CatalogBlock& catalog) {
  if (SeedKeyDirty_) {
    pak.WriteEntry(CATALOG_KEY_TYPE, CATALOG_SEED_KEY_ID, 0, true, static_cast<uint32_t>(SeedKey_.size()),
                   SeedKey_.data());
    SeedKeyDirty_ = false;
    SeedKeyWritten_ = true;
  }
  if (!HasKey_) return;
  if (KeyDirty_) {
    pak.WriteEntry(CATALOG_KEY_TYPE, CATALOG_KEY_ID, 0, true, static_cast<uint32_t>(KeyEntry_.size()),
                   KeyEntry_.data());
    KeyDirty_ = false;
    KeyWritten_ = true;
  }
  if (!Dirty_) return;
  std::set<std::string> used;
  for (const SkitRecord& record : RecordsInUse(catalog)) {
    for (uint32_t f = 0; f < FilesInUse(record); ++f) {
      if (record.Files[f].Url.Text != nullptr) used.insert(record.Files[f].Url.Text);
    }
  }
  for (auto it = Sums_.begin(); it != Sums_.end();) it = used.count(it->first) != 0 ? std::next(it) : Sums_.erase(it);

  std::vector<uint8_t> body;
  AppendLe32(body, SignedVersion_);
  AppendLe32(body, static_cast<uint32_t>(Sums_.size()));
  for (const auto& [address, sum] : Sums_) {
    AppendLe32(body, static_cast<uint32_t>(address.size()));
    body.insert(body.end(), address.begin(), address.end());
    AppendLe64(body, sum.Size);
    body.insert(body.end(), sum.Sha256, sum.Sha256 + SHA256_SIZE);
  }
  if (HasDigest_) body.insert(body.end(), Digest_, Digest_ + SHA256_SIZE);
  pak.WriteEntry(CATALOG_SUMS_TYPE, CATALOG_SUMS_ID, 0, true, static_cast<uint32_t>(body.size()), body.data());
  Dirty_ = false;
  SumsWritten_ = true;
}

void cListTrust::Committed() { KeyWritten_ = SeedKeyWritten_ = SumsWritten_ = false; }

void cListTrust::Abandoned() {
  KeyDirty_ = KeyDirty_ || KeyWritten_;
  SeedKeyDirty_ = SeedKeyDirty_ || SeedKeyWritten_;
  Dirty_ = Dirty_ || SumsWritten_;
  Committed();
}

bool cListTrust::CheckList(cSyncFile& sync, const std::string& address, uint32_t catalogVersion,
                           std::string& reason) {
  Checked_ = false;
  if (!HasKey_) return true;
  if (!KeyUsable_) {
    reason = "the catalogue's maker key is damaged";
    return false;
  }
  ListSignature signature;
  if (!CheckListSignature(sync, Key_, signature, reason)) return false;

  // Signed for one address only: the same list served from anywhere else
  // is someone else's copy.
  std::string named;
  if (!ReadListAddress(sync.Pak(), named)) {
    reason = "it does not name the address it is published at";
    return false;
  }
  named = ArchiveTextAsUtf8(named, sync.Utf8Texts());
  if (named != address) {
    reason = "it is published at " + PrintableText(named.c_str()) + ", not at " + PrintableText(address.c_str());
    return false;
  }

  // A list of the newest version taken comes again only as the same list:
  // another list of that version could take back what the newest changed.
  const uint32_t version = sync.Header().Version;
  const uint32_t newest = SignedVersion_ > catalogVersion ? SignedVersion_ : catalogVersion;
  if (version < newest) {
    reason = "its version " + std::to_string(version) + " is older than the catalogue's " + std::to_string(newest);
    return false;
  }
  if (version == newest &&
      !(HasDigest_ && SignedVersion_ == version && std::memcmp(Digest_, signature.Digest, SHA256_SIZE) == 0)) {
    reason = "its version " + std::to_string(version) +
             " is the catalogue's newest, but it is not the list the catalogue took at that version";
    return false;
  }
  Checked_ = true;
  CheckedVersion_ = version;
  CheckedSignature_ = signature;
  return true;
}

// A record that cannot be read gives no sums; its files then fail their check.
bool cListTrust::TakeList(cSyncFile& sync) {
  if (!HasKey_ || !Checked_) return false;
  Checked_ = false;
  for (const int32_t id : sync.RecordIds()) {
    try {
      cServerRecord server;
      sync.ReadRecord(id, server);
      const std::vector<FileSum> sums = ReadFileSums(sync.Pak(), id);
      for (size_t f = 0; f < sums.size() && f < server.Record.FileCount && f < SKIT_MAX_FILES; ++f) {
        const char* url = server.Record.Files[f].Url.Text;
        if (url != nullptr && *url != '\0' && std::strlen(url) <= LSUM_MAX_ADDRESS) Sums_[url] = sums[f];
      }
    } catch (const std::exception&) {
    }
  }
  SignedVersion_ = CheckedVersion_;
  HasDigest_ = true;
  std::memcpy(Digest_, CheckedSignature_.Digest, SHA256_SIZE);
  Dirty_ = true;
  if (!CheckedSignature_.KeyChanged) return false;
  AdoptKey(CheckedSignature_.Change.NewKey);
  return true;
}

// Where a key is replaced: here, after a key change was checked.
void cListTrust::AdoptKey(const uint8_t (&key)[MAKER_PUBLIC_KEY_SIZE]) {
  HasKey_ = KeyUsable_ = KeyDirty_ = true;
  std::memcpy(Key_, key, MAKER_PUBLIC_KEY_SIZE);
  KeyEntry_.assign(key, key + MAKER_PUBLIC_KEY_SIZE);
}

bool cListTrust::SizeLimit(const char* url, uint64_t& limit, std::string& reason) const {
  limit = MAX_DOWNLOAD_SIZE;
  if (!HasKey_) return true;
  const auto it = url != nullptr ? Sums_.find(url) : Sums_.end();
  if (it == Sums_.end()) {
    reason = "the signed list gives no size and hash for it";
    return false;
  }
  limit = it->second.Size;
  return true;
}

bool cListTrust::CheckFile(const char* url, cFile& file, std::string& reason) const {
  if (!HasKey_) return true;
  const auto it = url != nullptr ? Sums_.find(url) : Sums_.end();
  if (it == Sums_.end()) {
    reason = "the signed list gives no size and hash for it";
    return false;
  }
  struct {
    void Add(const uint8_t*, uint32_t) {}
  } nowhere;
  file.Seek(0, FILE_BEGIN);
  return MatchesSum(file, it->second, nowhere, reason);
}
