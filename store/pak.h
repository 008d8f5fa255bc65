// Pak archives: one file holding many small typed entries, each addressed by
// a four-character type code and a signed 32-bit id, with an optional
// reversible byte transform over the directory and the bodies that ask for it.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "base/crypto.h"
#include "base/files.h"
#include "base/little_endian.h"

// A type code as the integer its four bytes make when read little-endian:
// PakType("PSTR") == 0x52545350.
constexpr uint32_t PakType(const char (&code)[5]) { return GetLe32(code); }

constexpr uint32_t PAK_TYPE_STRING = PakType("PSTR");
static_assert(PAK_TYPE_STRING == 0x52545350);

// Passed as the id to WriteEntry: store under NextId(type) and return that.
constexpr int32_t PAK_NEW_ID = static_cast<int32_t>(0x8FFFFFFFu);

constexpr size_t PAK_TRAILER_SIZE = 144;
constexpr size_t PAK_DIRECTORY_HEADER_SIZE = 16;
constexpr size_t PAK_SLOT_SIZE = 24;
constexpr size_t PAK_SPEC_SIZE = 8;
// Slots added each time the directory is full.
constexpr uint32_t PAK_DIRECTORY_GROWTH = 200;

// Operation codes of the byte transform; any other value leaves a byte alone.
constexpr uint8_t PAK_OP_PLAIN = 13;
constexpr uint8_t PAK_OP_CYCLE = 6;  // as the first spec byte only
constexpr uint8_t PAK_OP_ROTATE_RIGHT = 22;  // on encoding
constexpr uint8_t PAK_OP_XOR = 29;
constexpr uint8_t PAK_OP_ROTATE_LEFT = 38;  // on encoding
constexpr uint8_t PAK_OP_REVERSE_BITS = 61;
constexpr uint8_t PAK_OP_SWAP_NIBBLES = 83;

// The byte transform of an eight-byte spec, over one buffer. Decode undoes
// Encode. A spec whose first byte is PAK_OP_PLAIN leaves the bytes alone.
void PakEncode(const uint8_t* spec, uint8_t* data, size_t size);
void PakDecode(const uint8_t* spec, uint8_t* data, size_t size);

// A text kept as a "PSTR" entry. Only Id is ever stored; Text is the holder's
// copy, read with cPakFile::ReadString and freed with ReleaseEntry.
struct StringRef {
  int32_t Id = -1;  // negative: no string
  char* Text = nullptr;
};

// One directory slot, decoded, for inspection.
struct PakSlot {
  uint32_t Type = 0;
  int32_t Id = 0;
  uint32_t Reserved = 0;
  uint32_t Offset = 0;  // relative to the data base
  uint32_t Length = 0;
  uint16_t Attribute = 0;
  uint8_t Deleted = 0;
  uint8_t Transformed = 0;
};

// The sharing an archive grants others while it is open: a writer lets
// others read; a reader lets others read and write (so the catalogue can
// be played from while its writer holds it).
constexpr DWORD PAK_SHARE_BY_ACCESS = 0xFFFFFFFF;

class cPakFile {
 public:
  // With openExisting false, first creates an empty archive at path with the
  // given eight-byte transform spec (null: nothing transformed). access is
  // GENERIC_READ or GENERIC_READ | GENERIC_WRITE. share, when given, is the
  // sharing granted instead: a file that is checked and then used is opened
  // with FILE_SHARE_READ alone, so that no one can change it in between.
  explicit cPakFile(const std::string& path, bool openExisting = true, const uint8_t* transformSpec = nullptr,
                    DWORD access = GENERIC_READ | GENERIC_WRITE, DWORD share = PAK_SHARE_BY_ACCESS);
  ~cPakFile();
  cPakFile(const cPakFile&) = delete;
  cPakFile& operator=(const cPakFile&) = delete;

  // Index of the first live slot with this type and id, or -1.
  int32_t FindEntry(uint32_t type, int32_t id) const;
  int32_t NextId(uint32_t type) const;

  // A new heap buffer with the decoded body; free it with ReleaseEntry. The
  // buffer has one zero byte past the body. length may be null.
  void ReadEntry(uint32_t type, int32_t id, uint32_t* length, void** buffer);
  template <typename T>
  void ReadEntry(uint32_t type, int32_t id, uint32_t* length, T** buffer) {
    void* body = nullptr;
    ReadEntry(type, id, length, &body);
    *buffer = static_cast<T*>(body);
  }
  // ReadEntry for the live slot at index, as FindEntry or a reader's own
  // index of the directory gives it.
  void ReadSlot(uint32_t index, uint32_t* length, void** buffer);
  void ReadString(StringRef& ref);
  // length 0: data is a zero-terminated string, stored with its terminator.
  // Returns the id used (a new one for PAK_NEW_ID). Outside a batch the
  // entry is in the file, for good, when this returns; an entry given the
  // bytes it already holds is left as it is.
  int32_t WriteEntry(uint32_t type, int32_t id, uint16_t attribute, bool transform, uint32_t length, const void* data);
  // Writes over the body of the live entry (type, id), which must be length
  // bytes long, where it lies; no other byte of the file changes. Not one
  // change like the others: a write cut short leaves the body half new, so
  // this is only for a body its reader checks anyway (a list's signature,
  // which covers every other byte of the file).
  void OverwriteEntry(uint32_t type, int32_t id, uint32_t length, const void* data);
  void ReleaseEntry(uint32_t type, int32_t id, void* buffer);

  // The writes between BeginBatch and the matching EndBatch reach the file
  // together, as one change (cPakBatch below is the scoped form). Batches
  // nest: only the outermost end commits. Ending one without commit, like a
  // write that fails, abandons everything not yet committed.
  void BeginBatch();
  void EndBatch(bool commit);
  bool InBatch() const { return BatchDepth_ > 0; }
  // Whether closing would leave the file as it is: no deleted slot, and no
  // byte of the data area that no body uses.
  bool IsCompact() const;

  // Every byte of the file through the archive's own handle, first to last,
  // as FeedWholeFile hands them out; returns the file's size.
  template <typename Sink>
  uint64_t ReadWholeFile(Sink& sink) {
    File_.Seek(0, FILE_BEGIN);
    return FeedWholeFile(File_, sink);
  }

  const std::string& Path() const { return Path_; }
  bool IsTransformed() const;
  const uint8_t* TransformSpec() const;
  uint32_t DataBase() const;
  uint32_t DataEnd() const;
  uint32_t DirectorySize() const;
  uint32_t Capacity() const;
  uint32_t Count() const;
  PakSlot Slot(uint32_t index) const;

  // The call that moves the compacted copy over the archive; tests swap it
  // for one that fails.
  using MoveFn = BOOL(WINAPI*)(LPCSTR existing, LPCSTR target, DWORD flags);
  static MoveFn MoveStep;

 private:
  void CreateEmpty(const std::string& path, const uint8_t* spec);
  void Open(const std::string& path, DWORD access, DWORD share);
  bool LoadTrailerAt(uint64_t end, bool strict);
  bool DirectoryHolds(bool strict) const;
  uint64_t FindLastTrailer(uint64_t fileSize);
  void Close();
  bool HoldsBody(uint32_t index, uint16_t attribute, bool encoded, uint32_t length, const uint8_t* body);
  void BeginChange();
  void Commit();
  void Abandon() noexcept;
  void AddSlot();
  void WriteDirectory(cFile& file);
  void WriteTrailer(cFile& file);
  bool PackDirectory();
  void Rewrite();
  void SetDataEnd(uint32_t value);
  uint8_t* SlotBytes(uint32_t index) const;
  void SetCount(uint32_t value);
  void Encode(uint8_t* data, size_t size) const;
  void Decode(uint8_t* data, size_t size) const;
  [[noreturn]] void ThrowCorrupt() const;

  uint8_t Trailer_[PAK_TRAILER_SIZE] = {};
  uint8_t* Directory_ = nullptr;
  std::string Path_;
  cFile File_;
  bool Writable_ = false;
  // Where the file's last trailer ends: a reader's end of the archive.
  uint64_t CommittedEnd_ = 0;
  // Where the next new body goes: CommittedEnd_, or past the bodies of the
  // change that is pending.
  uint64_t AppendAt_ = 0;
  // While a change is pending, the directory and trailer that the file's
  // last trailer stands for, to go back to when the change is abandoned.
  bool Pending_ = false;
  uint8_t* CommittedDirectory_ = nullptr;
  uint8_t CommittedTrailer_[PAK_TRAILER_SIZE] = {};
  int BatchDepth_ = 0;
  // Per type, the largest id an abandoned change handed out: a caller may
  // still hold it, so NextId never hands it out again.
  std::map<uint32_t, int32_t> AbandonedIds_;
};

// A batch on an archive for the life of a scope: Commit puts its writes
// into the file as one change; a scope left without Commit (an exception)
// abandons them, and the file stays as it was.
class cPakBatch {
 public:
  explicit cPakBatch(cPakFile& pak) : Pak_(pak) { Pak_.BeginBatch(); }
  ~cPakBatch() {
    if (!Ended_) Pak_.EndBatch(false);
  }
  cPakBatch(const cPakBatch&) = delete;
  cPakBatch& operator=(const cPakBatch&) = delete;
  void Commit() {
    Ended_ = true;
    Pak_.EndBatch(true);
  }

 private:
  cPakFile& Pak_;
  bool Ended_ = false;
};
