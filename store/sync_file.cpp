// Reading the synchronisation file. Every length is checked before a byte is
// used: the archive's own reader bounds each entry by the file, the header
// and each record must be at least as long as their layouts, and the number
// of records comes from the directory, not from the header's SkitCount.
#include "store/sync_file.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "base/errors.h"
#include "base/little_endian.h"
#include "store/archive_texts.h"

const char LOCAL_SYNC_FILE_NAME[] = "kinetrope.syn";

namespace {

// Synchronisation header, "SYNC" 1, at least 48 bytes, little-endian:
//   0  8 bytes  not read
//   8 u32 Version            12 ref NewSyncUrl (i32 "PSTR" id, 4 pointer bytes)
//  20  8 bytes  not read
//  28 u32 Extra1             32 u32 Extra2            36 i32 SpecialInterval
//  40 u32 SyncIntervalDays   44 u32 SkitCount
// Bytes past 48 are not read.
constexpr size_t kVersionAt = 8;
constexpr size_t kNewSyncUrlAt = 12;
constexpr size_t kExtra1At = 28;
constexpr size_t kExtra2At = 32;
constexpr size_t kSpecialIntervalAt = 36;
constexpr size_t kSyncIntervalDaysAt = 40;
constexpr size_t kSkitCountAt = 44;
static_assert(kSkitCountAt + 4 == SYNC_HEADER_SIZE);

uint64_t IndexKey(uint32_t type, int32_t id) { return static_cast<uint64_t>(type) << 32 | static_cast<uint32_t>(id); }

void CheckSize(const std::string& path, uint64_t size) {
  if (size > SYNC_FILE_SIZE_LIMIT) {
    throw std::runtime_error(path + " holds " + std::to_string(size) + " bytes; a synchronisation file may hold at most " +
                             std::to_string(SYNC_FILE_SIZE_LIMIT));
  }
}

// Checked by name before the archive is opened, so that a huge file is not
// even read; the open archive is checked again.
const std::string& WithinSizeLimit(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) {
    CheckSize(path, static_cast<uint64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow);
  }
  return path;
}

}  // namespace

bool DecodeSyncHeader(const uint8_t* bytes, size_t length, SyncHeader& header) {
  if (length < SYNC_HEADER_SIZE) return false;
  header.Version = GetLe32(bytes + kVersionAt);
  header.NewSyncUrl.Id = static_cast<int32_t>(GetLe32(bytes + kNewSyncUrlAt));
  header.NewSyncUrl.PointerBytes = 0;
  header.NewSyncUrl.Text = nullptr;
  header.Extra1 = GetLe32(bytes + kExtra1At);
  header.Extra2 = GetLe32(bytes + kExtra2At);
  header.SpecialInterval = static_cast<int32_t>(GetLe32(bytes + kSpecialIntervalAt));
  header.SyncIntervalDays = GetLe32(bytes + kSyncIntervalDaysAt);
  header.SkitCount = GetLe32(bytes + kSkitCountAt);
  return true;
}

void EncodeSyncHeader(const SyncHeader& header, uint8_t* bytes) {
  std::memset(bytes, 0, SYNC_HEADER_SIZE);
  PutLe32(bytes + kVersionAt, header.Version);
  PutLe32(bytes + kNewSyncUrlAt, static_cast<uint32_t>(header.NewSyncUrl.Id));
  PutLe32(bytes + kExtra1At, header.Extra1);
  PutLe32(bytes + kExtra2At, header.Extra2);
  PutLe32(bytes + kSpecialIntervalAt, static_cast<uint32_t>(header.SpecialInterval));
  PutLe32(bytes + kSyncIntervalDaysAt, header.SyncIntervalDays);
  PutLe32(bytes + kSkitCountAt, header.SkitCount);
}

cServerRecord::~cServerRecord() { Release(); }

void cServerRecord::Release() {
  if (Pak_ != nullptr) ReleaseRecordTexts(*Pak_, Record);
}

// Every record read looks up some ten entries; searching the directory for
// each would make a long list cost the square of its length, so the
// directory is indexed here, once. The first live slot of a type and id is
// the one that counts, as for cPakFile::FindEntry.
cSyncFile::cSyncFile(const std::string& path)
    : Pak_(WithinSizeLimit(path), true, nullptr, GENERIC_READ, FILE_SHARE_READ) {
  // The archive's parts add up to the size of the file it holds open.
  CheckSize(path, uint64_t{Pak_.DataBase()} + Pak_.DataEnd() + Pak_.DirectorySize() + PAK_TRAILER_SIZE);
  const uint32_t count = Pak_.Count();
  Index_.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    const PakSlot slot = Pak_.Slot(i);
    if (slot.Deleted != 0) continue;
    Index_.emplace(IndexKey(slot.Type, slot.Id), i);
  }

  const int32_t header = Find(SYNC_HEADER_TYPE, SYNC_HEADER_ID);
  if (header < 0) ThrowCode(ERR_FILE_CORRUPT, path);
  Utf8_ = HasUtf8Texts(Pak_);
  uint32_t length = 0;
  uint8_t* bytes = nullptr;
  Pak_.ReadSlot(static_cast<uint32_t>(header), &length, reinterpret_cast<void**>(&bytes));
  const bool whole = DecodeSyncHeader(bytes, length, Header_);
  Pak_.ReleaseEntry(SYNC_HEADER_TYPE, SYNC_HEADER_ID, bytes);
  if (!whole) ThrowCode(ERR_FILE_CORRUPT, path);

  for (const auto& [key, slot] : Index_) {
    if (static_cast<uint32_t>(key >> 32) != SYNC_RECORD_TYPE) continue;
    const int32_t id = static_cast<int32_t>(static_cast<uint32_t>(key));
    if (id >= 1 && static_cast<uint32_t>(id) <= Header_.SkitCount) RecordIds_.push_back(id);
  }
  if (RecordIds_.size() > SYNC_RECORD_LIMIT) {
    throw std::runtime_error(path + " holds " + std::to_string(RecordIds_.size()) +
                             " skit records; a synchronisation file may hold at most " +
                             std::to_string(SYNC_RECORD_LIMIT));
  }
  std::sort(RecordIds_.begin(), RecordIds_.end());

  // A new list address too long to be one is read as none.
  if (Header_.NewSyncUrl.Id >= 0 && Find(PAK_TYPE_STRING, Header_.NewSyncUrl.Id) >= 0) {
    try {
      ReadText(Header_.NewSyncUrl, "the new list address", SYNC_ADDRESS_LIMIT);
    } catch (const ERecordRefused&) {
      Header_.NewSyncUrl.Text = nullptr;
    }
  }
}

cSyncFile::~cSyncFile() { ReleaseText(Pak_, Header_.NewSyncUrl); }

int32_t cSyncFile::Find(uint32_t type, int32_t id) const {
  const auto found = Index_.find(IndexKey(type, id));
  return found != Index_.end() ? static_cast<int32_t>(found->second) : -1;
}

// A text whose entry is missing throws, as the catalogue's own reader does.
void cSyncFile::ReadText(StoredString& ref, const char* what, uint32_t limit) {
  ref.Text = nullptr;
  ref.PointerBytes = 0;
  if (ref.Id < 0) return;
  const int32_t slot = Find(PAK_TYPE_STRING, ref.Id);
  if (slot < 0) throw std::runtime_error("Pak not found.");
  // Stored with its terminator; measured before anything is read.
  const uint32_t stored = Pak_.Slot(static_cast<uint32_t>(slot)).Length;
  if (stored > limit + 1) {
    throw ERecordRefused(std::string(what) + " is " + std::to_string(stored - 1) + " bytes long, more than the " +
                         std::to_string(limit) + " it may have");
  }
  Pak_.ReadSlot(static_cast<uint32_t>(slot), nullptr, reinterpret_cast<void**>(&ref.Text));
  TakeArchiveText(ref.Text, Utf8_);
}

std::vector<int32_t> cSyncFile::RecordIds() const { return RecordIds_; }

void cSyncFile::ReadRecord(int32_t id, cServerRecord& server) {
  server.Release();
  server.Pak_ = &Pak_;
  uint32_t length = 0;
  uint8_t* bytes = nullptr;
  const int32_t slot = Find(SYNC_RECORD_TYPE, id);
  if (slot < 0) throw std::runtime_error("Pak not found.");
  Pak_.ReadSlot(static_cast<uint32_t>(slot), &length, reinterpret_cast<void**>(&bytes));
  if (length >= SKIT_RECORD_SIZE) DecodeSkitRecord(bytes, server.Record);
  Pak_.ReleaseEntry(SYNC_RECORD_TYPE, id, bytes);
  if (length < SKIT_RECORD_SIZE) ThrowCode(ERR_FILE_CORRUPT, Pak_.Path());

  SkitRecord& record = server.Record;
  ReadText(record.Title, "its title", SYNC_TEXT_LIMIT);
  ReadText(record.Info, "its information text", SYNC_TEXT_LIMIT);
  const uint32_t files = record.FileCount < SKIT_MAX_FILES ? record.FileCount : SKIT_MAX_FILES;
  for (uint32_t f = 0; f < files; ++f) {
    record.Files[f].Extra = 0;
    ReadText(record.Files[f].Name, "a file name", SYNC_NAME_LIMIT);
    ReadText(record.Files[f].Url, "a file address", SYNC_ADDRESS_LIMIT);
  }
  record.HotKey.Link.PointerBytes = 0;
  if (record.HotKey.Link.Id != 0) ReadText(record.HotKey.Link, "its hot key's link", SYNC_ADDRESS_LIMIT);
}
