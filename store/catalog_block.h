// The catalogue block and the skit record as the program holds them, and
// their byte-exact conversion to and from the packed little-endian layout of
// the catalogue file (the same skit record layout serves the server's
// synchronisation file).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "store/pak.h"

constexpr size_t CATALOG_HEADER_SIZE = 273;
constexpr size_t SKIT_RECORD_SIZE = 220;
constexpr size_t CATALOG_SLOTS = 100;
constexpr size_t CATALOG_BLOCK_SIZE = CATALOG_HEADER_SIZE + CATALOG_SLOTS * SKIT_RECORD_SIZE;  // 22273
// The block has 100 slots, but the catalogue never holds more than 99 records.
constexpr uint32_t CATALOG_MAX_SKITS = 99;
constexpr uint32_t SKIT_MAX_FILES = 4;

// Categories.
constexpr uint8_t CAT_NOTICE = 0;   // the screensaver's own notice movies, asked for by id
constexpr uint8_t CAT_SKIT = 1;     // regular skits, played in rotation
constexpr uint8_t CAT_SPECIAL = 2;  // special skits, interleaved on the catalogue's schedule
constexpr uint8_t CAT_ANY = 255;    // PendingFiles only: every category

// Skit states.
constexpr uint8_t SKIT_NOT_AVAILABLE = 0;
constexpr uint8_t SKIT_AVAILABLE = 1;
constexpr uint8_t SKIT_SCHEDULED = 2;
constexpr uint8_t SKIT_INSTALLED = 3;
constexpr uint8_t SKIT_FAILED = 4;

// Selection.
constexpr uint8_t SEL_NONE = 0;
constexpr uint8_t SEL_AUTO = 1;  // scheduled by the program; becomes SEL_ON once installed
constexpr uint8_t SEL_ON = 2;    // ticked: takes part in play

constexpr uint32_t CATALOG_BLOCK_TYPE = PakType("SkOp");
constexpr int32_t CATALOG_BLOCK_ID = 0;

// A StringRef as it sits in a stored record: the id, then four bytes that a
// 32-bit build once used for the text pointer. Those bytes mean nothing here;
// they are carried along so that a block written back is the block read.
struct StoredString : StringRef {
  uint32_t PointerBytes = 0;
};

struct SkitHotKey {
  int32_t KeyCode = 0;  // virtual-key code
  uint8_t Action = 0;   // 1 hand the key to the movie, 2 stop and open Link
  StoredString Link;    // id 0: no link
};

struct SkitFile {
  StoredString Name;  // relative to the skits folder and the download folder
  StoredString Url;
  uint32_t Extra = 0;
};

struct SkitRecord {
  uint8_t Category = 0;
  int32_t SkitId = 0;
  uint32_t Flags = 0;
  uint32_t Revision = 0;
  StoredString Title;
  StoredString Info;
  uint8_t Selection = 0;
  uint8_t State = 0;
  uint32_t FilesDone = 0;
  int32_t PlayCount = 0;
  int32_t PlaysLeft = 0;  // negative: unlimited
  uint64_t ShowFrom = 0;
  uint64_t ShowUntil = 0;
  SkitHotKey HotKey;
  SkitFile Files[SKIT_MAX_FILES];
  uint32_t FileCount = 0;
  uint32_t UpdateMask = 0;
  uint8_t Reserved[60] = {};
};

struct CatalogHeader {
  uint8_t Reserved0[72] = {};
  uint32_t SyncIntervalDays = 0;
  uint64_t LastSync = 0;
  uint32_t SyncExtra1 = 0;
  uint32_t SyncExtra2 = 0;
  uint32_t CatalogVersion = 0;
  StoredString SyncUrl;
  StoredString SyncFileName;
  uint8_t Reserved1[64] = {};
  uint8_t SpecialsOn = 0;
  int32_t LastSpecialId = 0;
  int32_t SpecialsPlayed = 0;
  int32_t SpecialsPerRun = 0;
  int32_t SpecialsLeft = 0;
  int32_t SpecialInterval = 0;
  int32_t SpecialCountdown = 0;
  uint8_t Reserved2[64] = {};
  int32_t LastSkitId = 0;
  uint32_t Count = 0;
};

struct CatalogBlock {
  CatalogHeader Header;
  SkitRecord Records[CATALOG_SLOTS];
};

// Decoding leaves every text null; encoding never looks at the texts.
void DecodeSkitRecord(const uint8_t* bytes, SkitRecord& record);
void EncodeSkitRecord(const SkitRecord& record, uint8_t* bytes);
void DecodeCatalogHeader(const uint8_t* bytes, CatalogHeader& header);
void EncodeCatalogHeader(const CatalogHeader& header, uint8_t* bytes);
void DecodeCatalogBlock(const uint8_t* bytes, CatalogBlock& block);
void EncodeCatalogBlock(const CatalogBlock& block, uint8_t* bytes);

// The records in use: Count of them, but never more than a catalogue may
// hold, whatever Count says.
inline std::span<SkitRecord> RecordsInUse(CatalogBlock& block) {
  return {block.Records, block.Header.Count < CATALOG_MAX_SKITS ? block.Header.Count : CATALOG_MAX_SKITS};
}
inline std::span<const SkitRecord> RecordsInUse(const CatalogBlock& block) {
  return {block.Records, block.Header.Count < CATALOG_MAX_SKITS ? block.Header.Count : CATALOG_MAX_SKITS};
}
// Index of the first record in use of that category and id, or -1.
int32_t FindRecord(const CatalogBlock& block, uint8_t category, int32_t skitId);

// The files of a record that count: FileCount, but never more than there are slots.
inline uint32_t FilesInUse(const SkitRecord& record) {
  return record.FileCount < SKIT_MAX_FILES ? record.FileCount : SKIT_MAX_FILES;
}

// Past its ShowUntil: none of the skit's files is fetched any more, so it
// counts as neither pending nor to be scheduled.
inline bool IsExpired(const SkitRecord& record, uint64_t now) { return record.ShowUntil <= now; }

// The archive's texts a record holds go back to the archive; the record
// keeps their ids. Null texts are left alone.
void ReleaseText(cPakFile& pak, StringRef& ref);
void ReleaseRecordTexts(cPakFile& pak, SkitRecord& record);
