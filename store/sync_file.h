// The content server's synchronisation file: a pak archive with one "SYNC" 1
// header record, one "SKIT" record per skit it offers (the catalogue's skit
// record layout) and the "PSTR" texts they name. cSyncFile reads one the way
// the merge needs it, trusting nothing in it further than the archive backs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "store/catalog_block.h"
#include "store/pak.h"

constexpr uint32_t SYNC_HEADER_TYPE = PakType("SYNC");
constexpr int32_t SYNC_HEADER_ID = 1;
constexpr uint32_t SYNC_RECORD_TYPE = PakType("SKIT");
// The header is at least this long; bytes past it are not read.
constexpr size_t SYNC_HEADER_SIZE = 48;
// The largest synchronisation file taken, and the most skit records one may
// hold; a larger one merges nothing.
constexpr uint64_t SYNC_FILE_SIZE_LIMIT = 4u * 1024 * 1024;
constexpr size_t SYNC_RECORD_LIMIT = 10000;
// The longest texts a record may carry, in bytes without the terminator,
// checked before a text is read: a title or an information text, a file
// name, and an address (a file's or a hot key's link; the longest address
// browsers take).
constexpr uint32_t SYNC_TEXT_LIMIT = 4096;
constexpr uint32_t SYNC_NAME_LIMIT = 259;
constexpr uint32_t SYNC_ADDRESS_LIMIT = 2083;

// A record the list may not hand over (a text over its limit): the merge
// skips it with this reason and is otherwise whole, since reading the list
// again would only meet the same record.
class ERecordRefused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The name under which an installation may leave a synchronisation file in
// the skits folder, to be merged at the next start.
extern const char LOCAL_SYNC_FILE_NAME[];

struct SyncHeader {
  uint32_t Version = 0;  // compared with the catalogue's CatalogVersion
  StoredString NewSyncUrl;
  uint32_t Extra1 = 0;
  uint32_t Extra2 = 0;
  int32_t SpecialInterval = 0;
  uint32_t SyncIntervalDays = 0;
  uint32_t SkitCount = 0;  // "SKIT" ids 1 .. SkitCount
};

// False when fewer than SYNC_HEADER_SIZE bytes are given. The text stays null.
bool DecodeSyncHeader(const uint8_t* bytes, size_t length, SyncHeader& header);
// Writes SYNC_HEADER_SIZE bytes; the bytes the program does not read are 0.
void EncodeSyncHeader(const SyncHeader& header, uint8_t* bytes);

// A server record with the texts read for it; they are released with the
// object (or when it is read again).
class cServerRecord {
 public:
  cServerRecord() = default;
  ~cServerRecord();
  cServerRecord(const cServerRecord&) = delete;
  cServerRecord& operator=(const cServerRecord&) = delete;

  void Release();

  SkitRecord Record;

 private:
  friend class cSyncFile;
  cPakFile* Pak_ = nullptr;
};

class cSyncFile {
 public:
  // Opens the file read-only, letting others read it but neither change nor
  // delete it while it is open, so that what is checked (the signature, the
  // sizes) is what is merged; and indexes its directory once, so that each
  // entry is found without a search. A file that is not a pak archive throws
  // what cPakFile throws; one larger than SYNC_FILE_SIZE_LIMIT or with more
  // than SYNC_RECORD_LIMIT skit records throws a text saying so, with the
  // path; one without a "SYNC" 1 record of at least SYNC_HEADER_SIZE bytes
  // throws the corrupt-file text with the path; one that names a text
  // encoding other than UTF-8 throws a text saying so. A NewSyncUrl that
  // names no text in the archive is read as no text.
  explicit cSyncFile(const std::string& path);
  ~cSyncFile();
  cSyncFile(const cSyncFile&) = delete;
  cSyncFile& operator=(const cSyncFile&) = delete;

  const SyncHeader& Header() const { return Header_; }
  // The ids of the "SKIT" entries the archive really holds between 1 and
  // SkitCount, ascending, each once. However large SkitCount is, there are
  // never more of them than directory slots.
  std::vector<int32_t> RecordIds() const;
  // The record as the merge takes it: the stored pointer bytes and the Extra
  // word of the files in use cleared, the texts read (Title, Info, Name and
  // Url of the files in use, the hot key's Link when its id is not 0), as
  // UTF-8. Throws when the entry is missing or shorter than a skit record,
  // when it names a text the archive does not hold, or when a text of a
  // UTF-8 list is not valid UTF-8; throws ERecordRefused, naming the text
  // and its length, when a text is longer than its limit.
  void ReadRecord(int32_t id, cServerRecord& record);

  cPakFile& Pak() { return Pak_; }
  // Whether the list says its texts are UTF-8 (see store/archive_texts.h);
  // the texts read through this object are UTF-8 either way.
  bool Utf8Texts() const { return Utf8_; }

 private:
  // The slot of the first live entry of that type and id, or -1.
  int32_t Find(uint32_t type, int32_t id) const;
  // what names the text in a refusal; limit is its longest length.
  void ReadText(StoredString& ref, const char* what, uint32_t limit);

  cPakFile Pak_;
  SyncHeader Header_;
  std::unordered_map<uint64_t, uint32_t> Index_;
  std::vector<int32_t> RecordIds_;
  bool Utf8_ = false;
};
