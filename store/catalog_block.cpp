// Field-by-field conversion of the catalogue block. The records are packed,
// so most 32-bit fields are unaligned; nothing is ever overlaid on the bytes.
// A stored string reference is 8 bytes (i32 id, then 4 pointer bytes), while
// StringRef in memory is 16, which is the other reason for doing it by hand.
#include "store/catalog_block.h"

#include <cstring>

#include "base/little_endian.h"

namespace {

int32_t GetI32(const uint8_t* p) { return static_cast<int32_t>(GetLe32(p)); }
void PutI32(uint8_t* p, int32_t value) { PutLe32(p, static_cast<uint32_t>(value)); }

void GetString(const uint8_t* p, StoredString& ref) {
  ref.Id = GetI32(p);
  ref.PointerBytes = GetLe32(p + 4);
  ref.Text = nullptr;
}
void PutString(uint8_t* p, const StoredString& ref) {
  PutI32(p, ref.Id);
  PutLe32(p + 4, ref.PointerBytes);
}

// Skit record, 220 bytes:
//   0 u8  Category        1 i32 SkitId          5 u32 Flags
//   9 u32 Revision       13 ref Title          21 ref Info
//  29 u8  Selection      30 u8  State          31 u32 FilesDone
//  35 i32 PlayCount      39 i32 PlaysLeft      43 u64 ShowFrom
//  51 u64 ShowUntil
//  59 hot key, 13 bytes: +0 i32 KeyCode, +4 u8 Action, +5 ref Link
//  72 four files of 20 bytes: +0 ref Name, +8 ref Url, +16 u32 Extra
// 152 u32 FileCount     156 u32 UpdateMask    160 60 bytes reserved
// (ref = string reference: i32 "PSTR" id, 4 pointer bytes)
constexpr size_t kCategoryAt = 0;
constexpr size_t kSkitIdAt = 1;
constexpr size_t kFlagsAt = 5;
constexpr size_t kRevisionAt = 9;
constexpr size_t kTitleAt = 13;
constexpr size_t kInfoAt = 21;
constexpr size_t kSelectionAt = 29;
constexpr size_t kStateAt = 30;
constexpr size_t kFilesDoneAt = 31;
constexpr size_t kPlayCountAt = 35;
constexpr size_t kPlaysLeftAt = 39;
constexpr size_t kShowFromAt = 43;
constexpr size_t kShowUntilAt = 51;
constexpr size_t kKeyCodeAt = 59;
constexpr size_t kActionAt = 63;
constexpr size_t kLinkAt = 64;
constexpr size_t kFilesAt = 72;
constexpr size_t kFileSize = 20;
constexpr size_t kFileNameAt = 0;
constexpr size_t kFileUrlAt = 8;
constexpr size_t kFileExtraAt = 16;
constexpr size_t kFileCountAt = 152;
constexpr size_t kUpdateMaskAt = 156;
constexpr size_t kRecordReservedAt = 160;

static_assert(kFilesAt + SKIT_MAX_FILES * kFileSize == kFileCountAt);
static_assert(kRecordReservedAt + sizeof(SkitRecord::Reserved) == SKIT_RECORD_SIZE);

// Catalogue header, 273 bytes:
//   0 72 bytes reserved
//  72 u32 SyncIntervalDays   76 u64 LastSync          84 u32 SyncExtra1
//  88 u32 SyncExtra2         92 u32 CatalogVersion    96 ref SyncUrl
// 104 ref SyncFileName      112 64 bytes reserved
// 176 u8  SpecialsOn        177 i32 LastSpecialId    181 i32 SpecialsPlayed
// 185 i32 SpecialsPerRun    189 i32 SpecialsLeft     193 i32 SpecialInterval
// 197 i32 SpecialCountdown  201 64 bytes reserved
// 265 i32 LastSkitId        269 u32 Count
// The block is the header followed by 100 skit records (22273 bytes).
constexpr size_t kReserved0At = 0;
constexpr size_t kSyncIntervalDaysAt = 72;
constexpr size_t kLastSyncAt = 76;
constexpr size_t kSyncExtra1At = 84;
constexpr size_t kSyncExtra2At = 88;
constexpr size_t kCatalogVersionAt = 92;
constexpr size_t kSyncUrlAt = 96;
constexpr size_t kSyncFileNameAt = 104;
constexpr size_t kReserved1At = 112;
constexpr size_t kSpecialsOnAt = 176;
constexpr size_t kLastSpecialIdAt = 177;
constexpr size_t kSpecialsPlayedAt = 181;
constexpr size_t kSpecialsPerRunAt = 185;
constexpr size_t kSpecialsLeftAt = 189;
constexpr size_t kSpecialIntervalAt = 193;
constexpr size_t kSpecialCountdownAt = 197;
constexpr size_t kReserved2At = 201;
constexpr size_t kLastSkitIdAt = 265;
constexpr size_t kCountAt = 269;

static_assert(kReserved1At + sizeof(CatalogHeader::Reserved1) == kSpecialsOnAt);
static_assert(kReserved2At + sizeof(CatalogHeader::Reserved2) == kLastSkitIdAt);
static_assert(kCountAt + 4 == CATALOG_HEADER_SIZE);

}  // namespace

void DecodeSkitRecord(const uint8_t* bytes, SkitRecord& record) {
  record.Category = bytes[kCategoryAt];
  record.SkitId = GetI32(bytes + kSkitIdAt);
  record.Flags = GetLe32(bytes + kFlagsAt);
  record.Revision = GetLe32(bytes + kRevisionAt);
  GetString(bytes + kTitleAt, record.Title);
  GetString(bytes + kInfoAt, record.Info);
  record.Selection = bytes[kSelectionAt];
  record.State = bytes[kStateAt];
  record.FilesDone = GetLe32(bytes + kFilesDoneAt);
  record.PlayCount = GetI32(bytes + kPlayCountAt);
  record.PlaysLeft = GetI32(bytes + kPlaysLeftAt);
  record.ShowFrom = GetLe64(bytes + kShowFromAt);
  record.ShowUntil = GetLe64(bytes + kShowUntilAt);
  record.HotKey.KeyCode = GetI32(bytes + kKeyCodeAt);
  record.HotKey.Action = bytes[kActionAt];
  GetString(bytes + kLinkAt, record.HotKey.Link);
  for (uint32_t i = 0; i < SKIT_MAX_FILES; ++i) {
    const uint8_t* file = bytes + kFilesAt + i * kFileSize;
    GetString(file + kFileNameAt, record.Files[i].Name);
    GetString(file + kFileUrlAt, record.Files[i].Url);
    record.Files[i].Extra = GetLe32(file + kFileExtraAt);
  }
  record.FileCount = GetLe32(bytes + kFileCountAt);
  record.UpdateMask = GetLe32(bytes + kUpdateMaskAt);
  std::memcpy(record.Reserved, bytes + kRecordReservedAt, sizeof record.Reserved);
}

void EncodeSkitRecord(const SkitRecord& record, uint8_t* bytes) {
  bytes[kCategoryAt] = record.Category;
  PutI32(bytes + kSkitIdAt, record.SkitId);
  PutLe32(bytes + kFlagsAt, record.Flags);
  PutLe32(bytes + kRevisionAt, record.Revision);
  PutString(bytes + kTitleAt, record.Title);
  PutString(bytes + kInfoAt, record.Info);
  bytes[kSelectionAt] = record.Selection;
  bytes[kStateAt] = record.State;
  PutLe32(bytes + kFilesDoneAt, record.FilesDone);
  PutI32(bytes + kPlayCountAt, record.PlayCount);
  PutI32(bytes + kPlaysLeftAt, record.PlaysLeft);
  PutLe64(bytes + kShowFromAt, record.ShowFrom);
  PutLe64(bytes + kShowUntilAt, record.ShowUntil);
  PutI32(bytes + kKeyCodeAt, record.HotKey.KeyCode);
  bytes[kActionAt] = record.HotKey.Action;
  PutString(bytes + kLinkAt, record.HotKey.Link);
  for (uint32_t i = 0; i < SKIT_MAX_FILES; ++i) {
    uint8_t* file = bytes + kFilesAt + i * kFileSize;
    PutString(file + kFileNameAt, record.Files[i].Name);
    PutString(file + kFileUrlAt, record.Files[i].Url);
    PutLe32(file + kFileExtraAt, record.Files[i].Extra);
  }
  PutLe32(bytes + kFileCountAt, record.FileCount);
  PutLe32(bytes + kUpdateMaskAt, record.UpdateMask);
  std::memcpy(bytes + kRecordReservedAt, record.Reserved, sizeof record.Reserved);
}

void DecodeCatalogHeader(const uint8_t* bytes, CatalogHeader& header) {
  std::memcpy(header.Reserved0, bytes + kReserved0At, sizeof header.Reserved0);
  header.SyncIntervalDays = GetLe32(bytes + kSyncIntervalDaysAt);
  header.LastSync = GetLe64(bytes + kLastSyncAt);
  header.SyncExtra1 = GetLe32(bytes + kSyncExtra1At);
  header.SyncExtra2 = GetLe32(bytes + kSyncExtra2At);
  header.CatalogVersion = GetLe32(bytes + kCatalogVersionAt);
  GetString(bytes + kSyncUrlAt, header.SyncUrl);
  GetString(bytes + kSyncFileNameAt, header.SyncFileName);
  std::memcpy(header.Reserved1, bytes + kReserved1At, sizeof header.Reserved1);
  header.SpecialsOn = bytes[kSpecialsOnAt];
  header.LastSpecialId = GetI32(bytes + kLastSpecialIdAt);
  header.SpecialsPlayed = GetI32(bytes + kSpecialsPlayedAt);
  header.SpecialsPerRun = GetI32(bytes + kSpecialsPerRunAt);
  header.SpecialsLeft = GetI32(bytes + kSpecialsLeftAt);
  header.SpecialInterval = GetI32(bytes + kSpecialIntervalAt);
  header.SpecialCountdown = GetI32(bytes + kSpecialCountdownAt);
  std::memcpy(header.Reserved2, bytes + kReserved2At, sizeof header.Reserved2);
  header.LastSkitId = GetI32(bytes + kLastSkitIdAt);
  header.Count = GetLe32(bytes + kCountAt);
}

void EncodeCatalogHeader(const CatalogHeader& header, uint8_t* bytes) {
  std::memcpy(bytes + kReserved0At, header.Reserved0, sizeof header.Reserved0);
  PutLe32(bytes + kSyncIntervalDaysAt, header.SyncIntervalDays);
  PutLe64(bytes + kLastSyncAt, header.LastSync);
  PutLe32(bytes + kSyncExtra1At, header.SyncExtra1);
  PutLe32(bytes + kSyncExtra2At, header.SyncExtra2);
  PutLe32(bytes + kCatalogVersionAt, header.CatalogVersion);
  PutString(bytes + kSyncUrlAt, header.SyncUrl);
  PutString(bytes + kSyncFileNameAt, header.SyncFileName);
  std::memcpy(bytes + kReserved1At, header.Reserved1, sizeof header.Reserved1);
  bytes[kSpecialsOnAt] = header.SpecialsOn;
  PutI32(bytes + kLastSpecialIdAt, header.LastSpecialId);
  PutI32(bytes + kSpecialsPlayedAt, header.SpecialsPlayed);
  PutI32(bytes + kSpecialsPerRunAt, header.SpecialsPerRun);
  PutI32(bytes + kSpecialsLeftAt, header.SpecialsLeft);
  PutI32(bytes + kSpecialIntervalAt, header.SpecialInterval);
  PutI32(bytes + kSpecialCountdownAt, header.SpecialCountdown);
  std::memcpy(bytes + kReserved2At, header.Reserved2, sizeof header.Reserved2);
  PutI32(bytes + kLastSkitIdAt, header.LastSkitId);
  PutLe32(bytes + kCountAt, header.Count);
}

void DecodeCatalogBlock(const uint8_t* bytes, CatalogBlock& block) {
  DecodeCatalogHeader(bytes, block.Header);
  for (size_t i = 0; i < CATALOG_SLOTS; ++i) {
    DecodeSkitRecord(bytes + CATALOG_HEADER_SIZE + i * SKIT_RECORD_SIZE, block.Records[i]);
  }
}

void EncodeCatalogBlock(const CatalogBlock& block, uint8_t* bytes) {
  EncodeCatalogHeader(block.Header, bytes);
  for (size_t i = 0; i < CATALOG_SLOTS; ++i) {
    EncodeSkitRecord(block.Records[i], bytes + CATALOG_HEADER_SIZE + i * SKIT_RECORD_SIZE);
  }
}

int32_t FindRecord(const CatalogBlock& block, uint8_t category, int32_t skitId) {
  const std::span<const SkitRecord> records = RecordsInUse(block);
  for (size_t i = 0; i < records.size(); ++i) {
    if (records[i].Category == category && records[i].SkitId == skitId) return static_cast<int32_t>(i);
  }
  return -1;
}

void ReleaseText(cPakFile& pak, StringRef& ref) {
  if (ref.Text == nullptr) return;
  pak.ReleaseEntry(PAK_TYPE_STRING, ref.Id, ref.Text);
  ref.Text = nullptr;
}

void ReleaseRecordTexts(cPakFile& pak, SkitRecord& record) {
  ReleaseText(pak, record.Title);
  ReleaseText(pak, record.Info);
  for (SkitFile& file : record.Files) {
    ReleaseText(pak, file.Name);
    ReleaseText(pak, file.Url);
  }
  ReleaseText(pak, record.HotKey.Link);
}
