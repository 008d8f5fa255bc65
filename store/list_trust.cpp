// The signed list and the checked files (see list_trust.h for the entries a
// signed synchronisation file carries and which bytes are signed).
//
// The catalogue's "LSUM" 1 entry, little-endian:
//   0 u32 SignedVersion   the Version of the newest signed list taken
//   4 u32 count           rows that follow, at most LSUM_MAX_ROWS
//   8 rows, each:  u32 address length (1 .. LSUM_MAX_ADDRESS), the address
//                  bytes (no terminator), u64 size, 32 bytes SHA-256
// A damaged entry is read as far as it is whole; what is missing then only
// makes downloads fail their check, never pass it.
#include "store/list_trust.h"

#include <cstring>
#include <set>

#include "base/errors.h"
#include "base/files.h"
#include "download/resume.h"
#include "store/catalogue.h"
#include "store/server_data.h"
#include "store/sync_file.h"

namespace {

constexpr uint32_t LSUM_MAX_ROWS = 4096;
constexpr uint32_t LSUM_MAX_ADDRESS = 2083;

uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

uint64_t Get64(const uint8_t* p) { return Get32(p) | static_cast<uint64_t>(Get32(p + 4)) << 32; }

void Put32(std::vector<uint8_t>& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void Put64(std::vector<uint8_t>& out, uint64_t value) {
  Put32(out, static_cast<uint32_t>(value));
  Put32(out, static_cast<uint32_t>(value >> 32));
}

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
    sum.Size = Get64(body.data() + at);
    std::memcpy(sum.Sha256, body.data() + at + 8, SHA256_SIZE);
    sums.push_back(sum);
  }
  return sums;
}

void WriteFileSums(cPakFile& pak, int32_t recordId, const std::vector<FileSum>& sums) {
  if (sums.empty()) return;
  std::vector<uint8_t> body;
  for (const FileSum& sum : sums) {
    Put64(body, sum.Size);
    body.insert(body.end(), sum.Sha256, sum.Sha256 + SHA256_SIZE);
  }
  pak.WriteEntry(LIST_SUMS_TYPE, recordId, 0, true, static_cast<uint32_t>(body.size()), body.data());
}

bool ListDigest(const std::string& path, uint8_t (&digest)[SHA256_SIZE], uint32_t& scheme,
                uint8_t (&signature)[MAKER_SIGNATURE_SIZE], std::string& reason) {
  uint32_t bodyAt = 0;
  {
    cPakFile pak(path, true, nullptr, GENERIC_READ);
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
    scheme = Get32(body.data());
    std::memcpy(signature, body.data() + 4, MAKER_SIGNATURE_SIZE);
    bodyAt = pak.DataBase() + slot.Offset;
  }

  cFile file;
  try {
    file.Open(path, GENERIC_READ, FILE_SHARE_READ);
    const DWORD size = file.GetSize();
    cSha256 hash;
    std::vector<uint8_t> block(65536);
    for (DWORD at = 0; at < size;) {
      const DWORD part = size - at < block.size() ? size - at : static_cast<DWORD>(block.size());
      file.Read(block.data(), part);
      // The signature's body counts as zeros wherever it falls in the block.
      const uint64_t from = bodyAt > at ? bodyAt : at;
      const uint64_t to = static_cast<uint64_t>(bodyAt) + LIST_SIGNATURE_SIZE;
      for (uint64_t i = from; i < to && i < static_cast<uint64_t>(at) + part; ++i) block[i - at] = 0;
      hash.Add(block.data(), part);
      at += part;
    }
    hash.Finish(digest);
  } catch (...) {
    file.Close();
    throw;
  }
  file.Close();
  return true;
}

void SignListFile(const std::string& path, const uint8_t (&privateKey)[MAKER_PRIVATE_KEY_SIZE]) {
  uint8_t body[LIST_SIGNATURE_SIZE] = {};
  {
    cPakFile pak(path, true, nullptr, GENERIC_READ | GENERIC_WRITE);
    pak.WriteEntry(LIST_SIGNATURE_TYPE, LIST_SIGNATURE_ID, 0, false, sizeof body, body);
  }
  uint8_t digest[SHA256_SIZE], signature[MAKER_SIGNATURE_SIZE];
  uint32_t scheme = 0;
  std::string reason;
  if (!ListDigest(path, digest, scheme, signature, reason)) ThrowText("Cannot sign the list: " + reason + ".", path);
  SignDigest(privateKey, digest, signature);
  body[0] = static_cast<uint8_t>(LIST_SCHEME_P256_SHA256);
  std::memcpy(body + 4, signature, MAKER_SIGNATURE_SIZE);
  // Same length as the zero body: written over it in place, and the
  // directory and trailer are written again as they were.
  cPakFile pak(path, true, nullptr, GENERIC_READ | GENERIC_WRITE);
  pak.WriteEntry(LIST_SIGNATURE_TYPE, LIST_SIGNATURE_ID, 0, false, sizeof body, body);
}

bool CheckListSignature(const std::string& path, const uint8_t (&publicKey)[MAKER_PUBLIC_KEY_SIZE],
                        std::string& reason) {
  uint8_t digest[SHA256_SIZE], signature[MAKER_SIGNATURE_SIZE];
  uint32_t scheme = 0;
  try {
    if (!ListDigest(path, digest, scheme, signature, reason)) return false;
  } catch (const std::exception& error) {
    reason = error.what();
    return false;
  }
  if (scheme != LIST_SCHEME_P256_SHA256) {
    reason = "its signature is of an unknown scheme " + std::to_string(scheme);
    return false;
  }
  if (VerifyDigest(publicKey, digest, signature)) return true;
  reason = "its signature is not the maker's";
  return false;
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
  if (pak.FindEntry(CATALOG_SUMS_TYPE, CATALOG_SUMS_ID) < 0) return;
  const std::vector<uint8_t> body = ReadBody(pak, CATALOG_SUMS_TYPE, CATALOG_SUMS_ID);
  if (body.size() < 8) return;
  SignedVersion_ = Get32(body.data());
  const uint32_t count = Get32(body.data() + 4);
  size_t at = 8;
  for (uint32_t row = 0; row < count && row < LSUM_MAX_ROWS; ++row) {
    if (body.size() - at < 4) break;
    const uint32_t length = Get32(body.data() + at);
    if (length == 0 || length > LSUM_MAX_ADDRESS || body.size() - at - 4 < length + 8 + SHA256_SIZE) break;
    const std::string address(reinterpret_cast<const char*>(body.data() + at + 4), length);
    at += 4 + length;
    FileSum sum;
    sum.Size = Get64(body.data() + at);
    std::memcpy(sum.Sha256, body.data() + at + 8, SHA256_SIZE);
    at += 8 + SHA256_SIZE;
    Sums_[address] = sum;
  }
}

bool cListTrust::ReplaceKey(const std::vector<uint8_t>& key) {
  if (key.empty() || (HasKey_ && key == KeyEntry_)) return false;
  HasKey_ = true;
  KeyEntry_ = key;
  KeyUsable_ = key.size() == MAKER_PUBLIC_KEY_SIZE;
  std::memset(Key_, 0, sizeof Key_);
  if (KeyUsable_) std::memcpy(Key_, key.data(), MAKER_PUBLIC_KEY_SIZE);
  SignedVersion_ = 0;
  Sums_.clear();
  KeyDirty_ = Dirty_ = true;
  return true;
}

void cListTrust::Save(cPakFile& pak, const CatalogBlock& catalog) {
  if (KeyDirty_) {
    pak.WriteEntry(CATALOG_KEY_TYPE, CATALOG_KEY_ID, 0, true, static_cast<uint32_t>(KeyEntry_.size()),
                   KeyEntry_.data());
    KeyDirty_ = false;
  }
  if (!HasKey_ || !Dirty_) return;
  std::set<std::string> used;
  for (uint32_t i = 0; i < catalog.Header.Count && i < CATALOG_SLOTS; ++i) {
    const SkitRecord& record = catalog.Records[i];
    for (uint32_t f = 0; f < record.FileCount && f < SKIT_MAX_FILES; ++f) {
      if (record.Files[f].Url.Text != nullptr) used.insert(record.Files[f].Url.Text);
    }
  }
  for (auto it = Sums_.begin(); it != Sums_.end();) it = used.count(it->first) != 0 ? std::next(it) : Sums_.erase(it);

  std::vector<uint8_t> body;
  Put32(body, SignedVersion_);
  Put32(body, static_cast<uint32_t>(Sums_.size()));
  for (const auto& [address, sum] : Sums_) {
    Put32(body, static_cast<uint32_t>(address.size()));
    body.insert(body.end(), address.begin(), address.end());
    Put64(body, sum.Size);
    body.insert(body.end(), sum.Sha256, sum.Sha256 + SHA256_SIZE);
  }
  pak.WriteEntry(CATALOG_SUMS_TYPE, CATALOG_SUMS_ID, 0, true, static_cast<uint32_t>(body.size()), body.data());
  Dirty_ = false;
}

bool cListTrust::CheckList(const std::string& path, uint32_t catalogVersion, std::string& reason) const {
  if (!HasKey_) return true;
  if (!KeyUsable_) {
    reason = "the catalogue's maker key is damaged";
    return false;
  }
  if (!CheckListSignature(path, Key_, reason)) return false;
  try {
    cSyncFile sync(path);
    const uint32_t newest = SignedVersion_ > catalogVersion ? SignedVersion_ : catalogVersion;
    if (sync.Header().Version < newest) {
      reason = "its version " + std::to_string(sync.Header().Version) + " is older than the catalogue's " +
               std::to_string(newest);
      return false;
    }
  } catch (const std::exception& error) {
    reason = error.what();
    return false;
  }
  return true;
}

// A record that cannot be read gives no sums; its files then fail their check.
void cListTrust::TakeList(cSyncFile& sync) {
  if (!HasKey_) return;
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
  if (sync.Header().Version > SignedVersion_) SignedVersion_ = sync.Header().Version;
  Dirty_ = true;
}

bool cListTrust::CheckFile(const char* url, const std::string& path, std::string& reason) const {
  if (!HasKey_) return true;
  const auto it = url != nullptr ? Sums_.find(url) : Sums_.end();
  if (it == Sums_.end()) {
    reason = "the signed list gives no size and hash for it";
    return false;
  }
  FileSum got;
  try {
    HashFile(path, got.Size, got.Sha256);
  } catch (const std::exception& error) {
    reason = error.what();
    return false;
  }
  if (got.Size != it->second.Size) {
    reason = std::to_string(got.Size) + " bytes, the signed list says " + std::to_string(it->second.Size);
    return false;
  }
  if (!(got == it->second)) {
    reason = "SHA-256 " + HexDigest(got.Sha256, SHA256_SIZE) + ", the signed list says " +
             HexDigest(it->second.Sha256, SHA256_SIZE);
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Where the catalogue asks

bool cSkitManager::AcceptList(const std::string& path) {
  std::string reason;
  if (Trust.CheckList(path, Catalog.Header.CatalogVersion, reason)) return true;
  LogLine(LOG_ERROR, ("Synchronisation file refused: " + reason).c_str());
  return false;
}

// A file that is not what the signed list says is deleted, and its skit
// fails; the job goes on with the other skits.
bool cSkitManager::CheckDownloadedFile(SkitRecord& record) {
  const SkitFile& file = record.Files[record.FilesDone];
  std::string reason;
  if (Trust.CheckFile(file.Url.Text, DownloadFile, reason)) return true;
  DeleteFileA(DownloadFile);
  DeleteFileA(ResumeRecordPath(DownloadFile).c_str());
  RejectFile(record, PrintableText(file.Name.Text) + " is not the file the signed list names: " + reason);
  return false;
}
