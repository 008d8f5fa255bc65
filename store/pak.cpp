// cPakFile keeps the archive open for its whole life and never writes over
// a byte that the file's last trailer stands on, so that at every moment the
// file opens as the archive before a change or after it. A change (one
// WriteEntry, or all the writes of a batch) goes past the end of the file:
// the new bodies, then the whole directory again; these are flushed to the
// disk, and only then is the trailer that points at them written after them
// and flushed in turn. Until that trailer is whole the file's last valid
// trailer is the old one, and Open finds it by looking back from the end:
// a disk that filled or a machine that stopped half-way leaves the archive
// as it was before. The old directory and trailer become unused bytes of the
// data area, as superseded bodies are. A write that fails abandons the whole
// change: the file is cut back behind its last trailer, and the directory
// held here is again the one that trailer points at.
//
// An entry written again with the bytes it holds is left alone (saving a
// catalogue writes every one of its texts again). Any other is written anew
// at the end and its old slot is marked deleted; only a body of the pending
// change, which no trailer points at yet, is overwritten where it is. Space
// is reclaimed when the object is destroyed: when a slot is deleted or any
// byte of the data area is unused, the live bodies are copied back to back
// into "<archive>1", which is flushed and then moved over the archive in one
// step, so a failure at any point leaves the old archive whole. A new
// archive is made whole under that name and moved into place the same way.
//
// Every record on disk is read and written field by field through the
// little-endian helpers below, at the offsets documented above Open(); the
// directory is held in memory as the exact bytes of the file (decoded), so
// reserved fields travel unchanged.
#include "store/pak.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "base/errors.h"
#include "base/little_endian.h"
#include "base/log.h"

namespace {

// Trailer fields.
constexpr size_t kSpecAt = 16;
constexpr size_t kDataEndAt = 56;
constexpr size_t kDirectorySizeAt = 60;
constexpr size_t kDataBaseAt = 132;
constexpr size_t kTrailerMagicAt = 140;
// Directory header fields.
constexpr size_t kCapacityAt = 8;
constexpr size_t kCountAt = 12;
// Slot fields.
constexpr size_t kSlotTypeAt = 0;
constexpr size_t kSlotIdAt = 4;
constexpr size_t kSlotReservedAt = 8;
constexpr size_t kSlotOffsetAt = 12;
constexpr size_t kSlotLengthAt = 16;
constexpr size_t kSlotAttributeAt = 20;
constexpr size_t kSlotDeletedAt = 22;
constexpr size_t kSlotTransformedAt = 23;

constexpr char kTrailerMagic[4] = {'p', 'a', 'k', 'h'};
constexpr char kDirectoryMagic[4] = {'p', 'a', 'k', 'i'};

// Positions are handed to SetFilePointer as a signed 32-bit distance.
constexpr uint64_t kLargestPosition = 0x7FFFFFFF;
// Largest piece compaction reads and writes at once.
constexpr DWORD kCopyPiece = 1 << 20;

// Runs its action when the scope is left, by return or by exception.
template <typename Action>
class cGuard {
 public:
  explicit cGuard(Action action) : Action_(std::move(action)) {}
  ~cGuard() { Action_(); }
  cGuard(const cGuard&) = delete;
  cGuard& operator=(const cGuard&) = delete;

 private:
  Action Action_;
};

void SeekTo(cFile& file, uint64_t position) {
  if (position > kLargestPosition) ThrowCode(ERROR_FILE_TOO_LARGE);
  file.Seek(static_cast<LONG>(position), FILE_BEGIN);
}

uint8_t RotateLeft(uint8_t b, unsigned k) {
  k &= 7;
  return k == 0 ? b : static_cast<uint8_t>(b << k | b >> (8 - k));
}

uint8_t RotateRight(uint8_t b, unsigned k) { return RotateLeft(b, (8 - (k & 7)) & 7); }

uint8_t ReverseBits(uint8_t b) {
  uint8_t r = 0;
  for (int i = 0; i < 8; ++i) {
    if (b & (1u << i)) r |= static_cast<uint8_t>(1u << (7 - i));
  }
  return r;
}

uint8_t Apply(uint8_t op, uint8_t k, uint8_t b, bool encode) {
  switch (op) {
    case PAK_OP_ROTATE_RIGHT: return encode ? RotateRight(b, k) : RotateLeft(b, k);
    case PAK_OP_XOR: return b ^ k;
    case PAK_OP_ROTATE_LEFT: return encode ? RotateLeft(b, k) : RotateRight(b, k);
    case PAK_OP_REVERSE_BITS: return ReverseBits(b);
    case PAK_OP_SWAP_NIBBLES: return static_cast<uint8_t>(b << 4 | b >> 4);
    default: return b;
  }
}

// The eight transform bytes are four (operation, operand) pairs. In cycling
// mode pairs 1..3 take consecutive bytes in turn and a plain operation sends
// the next byte back to pair 1; the sequence depends only on those bytes,
// never on the data,
// so encoding and decoding walk the same pairs.
void Transform(const uint8_t* spec, uint8_t* data, size_t size, bool encode) {
  if (spec[0] == PAK_OP_PLAIN) return;
  if (spec[0] != PAK_OP_CYCLE) {
    for (size_t i = 0; i < size; ++i) data[i] = Apply(spec[0], spec[1], data[i], encode);
    return;
  }
  unsigned pair = 1;
  for (size_t i = 0; i < size; ++i) {
    const uint8_t op = spec[2 * pair];
    data[i] = Apply(op, spec[2 * pair + 1], data[i], encode);
    pair = (op == PAK_OP_PLAIN || pair == 3) ? 1 : pair + 1;
  }
}

}  // namespace

void PakEncode(const uint8_t* spec, uint8_t* data, size_t size) { Transform(spec, data, size, true); }
void PakDecode(const uint8_t* spec, uint8_t* data, size_t size) { Transform(spec, data, size, false); }

cPakFile::MoveFn cPakFile::MoveStep = MoveFileExA;

cPakFile::cPakFile(const std::string& path, bool openExisting, const uint8_t* transformSpec, DWORD access,
                   DWORD share) {
  if (!openExisting) CreateEmpty(path, transformSpec);
  Open(path, access, share);
}

cPakFile::~cPakFile() { Close(); }

// Archive layout (all integers little-endian, positions unsigned 32-bit):
//
//   file position                         bytes          content
//   0                                     DataBase       prefix, copied unchanged
//   DataBase                              DataEnd        entry bodies at DataBase + offset
//   DataBase + DataEnd                    DirectorySize  directory (encoded as a whole
//                                                        when the archive is transformed)
//   DataBase + DataEnd + DirectorySize    144            trailer; the file ends here
//
// Trailer:
//   offset  width  field
//   0       16     reserved, kept as read
//   16      8      TransformSpec: four (operation, operand) byte pairs
//   24      32     reserved, kept as read
//   56      u32    DataEnd: at least the largest offset + length of any slot in use
//   60      u32    DirectorySize
//   64      64     reserved, kept as read
//   128     u32    reserved, 0 in a new archive
//   132     u32    DataBase
//   136     u32    reserved, 0 in a new archive
//   140     4      "pakh"
//
// Directory: a 16-byte header, then `capacity` slots of 24 bytes.
//   0       4      "paki" (not checked)
//   4       u32    reserved, 0
//   8       u32    capacity
//   12      u32    count: slots 0 .. count-1 are in use, deleted ones included
//
// Slot:
//   0       4      type code, four characters in file order
//   4       i32    id
//   8       u32    reserved, carried along
//   12      u32    offset of the body from DataBase
//   16      u32    length of the body
//   20      u16    attribute, stored for the caller
//   22      u8     deleted: nonzero when superseded
//   23      u8     transformed: nonzero when the body is encoded
//
// Everything is checked against the real file size in 64-bit arithmetic
// before it is allocated or read, so a damaged or hostile file ends as the
// corrupt-file error and never as a huge allocation or a read past the end.
//
// A file whose last 144 bytes are not a trailer that holds is one a change
// was cut short in (or one damaged at its end): the archive is then the one
// the last trailer before them stands for, which must also have the
// directory magic and exactly the directory size its capacity gives, as
// every directory this code writes has. A writer cuts the rest off.
void cPakFile::Open(const std::string& path, DWORD access, DWORD share) {
  Path_ = path;
  try {
    const bool writable = (access & GENERIC_WRITE) != 0;
    if (share == PAK_SHARE_BY_ACCESS) share = writable ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_WRITE;
    File_.Open(path, access, share);
    LARGE_INTEGER size;
    if (!GetFileSizeEx(File_.Handle, &size)) ThrowLastError(path);
    const uint64_t fileSize = static_cast<uint64_t>(size.QuadPart);
    if (fileSize > kLargestPosition) ThrowCode(ERROR_FILE_TOO_LARGE, path);

    uint64_t end = fileSize;
    if (!LoadTrailerAt(end, false)) end = FindLastTrailer(fileSize);
    if (end == 0) ThrowCorrupt();
    if (end < fileSize) {
      LogWrite(LOG_ERROR, "%s: the last %s bytes are a change that was never finished; the archive is the one before it",
               path.c_str(), std::to_string(fileSize - end).c_str());
      if (writable) {
        SeekTo(File_, end);
        File_.Truncate();
      }
    }
    CommittedEnd_ = AppendAt_ = end;
    Writable_ = writable;
  } catch (...) {
    FreeZeroed(Directory_);
    Directory_ = nullptr;
    File_.Close();
    Path_.clear();
    throw;
  }
}

// Loads the trailer that ends at file position end and its directory; false,
// with nothing loaded, when they do not hold.
bool cPakFile::LoadTrailerAt(uint64_t end, bool strict) {
  if (end < PAK_TRAILER_SIZE) return false;
  SeekTo(File_, end - PAK_TRAILER_SIZE);
  File_.Read(Trailer_, PAK_TRAILER_SIZE);
  if (std::memcmp(Trailer_ + kTrailerMagicAt, kTrailerMagic, 4) != 0) return false;
  const uint64_t base = DataBase();
  const uint64_t dataEnd = DataEnd();
  const uint64_t directorySize = DirectorySize();
  if (base + dataEnd + directorySize + PAK_TRAILER_SIZE != end) return false;
  if (directorySize < PAK_DIRECTORY_HEADER_SIZE) return false;

  Directory_ = static_cast<uint8_t*>(AllocZeroed(directorySize));
  if (Directory_ == nullptr) ThrowCode(ERR_NO_MEMORY, Path_);
  SeekTo(File_, base + dataEnd);
  File_.Read(Directory_, static_cast<DWORD>(directorySize));
  if (IsTransformed()) Decode(Directory_, directorySize);
  if (DirectoryHolds(strict)) return true;
  FreeZeroed(Directory_);
  Directory_ = nullptr;
  return false;
}

// The trailer has already been matched against the file size.
bool cPakFile::DirectoryHolds(bool strict) const {
  const uint64_t capacity = Capacity();
  const uint64_t count = Count();
  const uint64_t needed = PAK_DIRECTORY_HEADER_SIZE + PAK_SLOT_SIZE * capacity;
  if (needed > DirectorySize() || (strict && needed != DirectorySize())) return false;
  if (strict && std::memcmp(Directory_, kDirectoryMagic, 4) != 0) return false;
  if (count > capacity) return false;
  const uint64_t dataEnd = DataEnd();
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* slot = SlotBytes(i);
    const uint64_t end = static_cast<uint64_t>(GetLe32(slot + kSlotOffsetAt)) + GetLe32(slot + kSlotLengthAt);
    if (end > dataEnd) return false;
  }
  return true;
}

// The end of the last trailer before the file's end that holds, found by
// its magic, looking back from the end a piece at a time; 0 when none does.
uint64_t cPakFile::FindLastTrailer(uint64_t fileSize) {
  constexpr uint64_t kPiece = 1 << 16;
  std::vector<uint8_t> piece;
  // Trailer ends e from last to first, PAK_TRAILER_SIZE <= e < fileSize;
  // the magic is the four bytes before e.
  for (uint64_t last = fileSize - 1; fileSize > PAK_TRAILER_SIZE && last >= PAK_TRAILER_SIZE;) {
    const uint64_t first = last - PAK_TRAILER_SIZE + 1 > kPiece ? last - kPiece + 1 : PAK_TRAILER_SIZE;
    piece.resize(static_cast<size_t>(last - first + 4));
    SeekTo(File_, first - 4);
    File_.Read(piece.data(), static_cast<DWORD>(piece.size()));
    for (uint64_t end = last + 1; end-- > first;) {
      if (std::memcmp(piece.data() + (end - first), kTrailerMagic, 4) == 0 && LoadTrailerAt(end, true)) return end;
    }
    if (first == PAK_TRAILER_SIZE) break;
    last = first - 1;
  }
  return 0;
}

void cPakFile::ThrowCorrupt() const { ThrowCode(ERR_FILE_CORRUPT, Path_); }

// Made whole under a name of its own and moved into place in one step, so
// a file that was there before stays whole until the new one replaces it.
void cPakFile::CreateEmpty(const std::string& path, const uint8_t* spec) {
  const std::string tempPath = path + "1";
  cFile file;
  bool placed = false;
  cGuard release([&] {
    FreeZeroed(Directory_);
    Directory_ = nullptr;
    file.Close();
    if (!placed) DeleteFileA(tempPath.c_str());
  });
  file.Create(tempPath, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ);

  Directory_ = static_cast<uint8_t*>(AllocZeroed(PAK_DIRECTORY_HEADER_SIZE));
  if (Directory_ == nullptr) ThrowCode(ERR_NO_MEMORY, path);
  std::memcpy(Directory_, kDirectoryMagic, 4);

  std::memset(Trailer_, 0, sizeof Trailer_);
  std::memcpy(Trailer_ + kTrailerMagicAt, kTrailerMagic, 4);
  PutLe32(Trailer_ + kDirectorySizeAt, PAK_DIRECTORY_HEADER_SIZE);
  if (spec != nullptr) {
    std::memcpy(Trailer_ + kSpecAt, spec, PAK_SPEC_SIZE);
  } else {
    std::memset(Trailer_ + kSpecAt, PAK_OP_PLAIN, PAK_SPEC_SIZE);
  }
  WriteDirectory(file);
  WriteTrailer(file);
  file.Flush();
  file.Close();
  if (!MoveStep(tempPath.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    ThrowLastError(path);
  }
  placed = true;
}

// A change still pending (a batch never ended) never reaches the file.
void cPakFile::Close() {
  Abandon();
  // A read-only opening never rewrites the file, whatever it holds.
  try {
    if (Writable_ && Directory_ != nullptr && !IsCompact()) {
      PackDirectory();
      Rewrite();
    }
  } catch (const std::exception& e) {
    LogWrite(LOG_ERROR, "Compacting %s failed: %s", Path_.c_str(), e.what());
  } catch (...) {
  }
  File_.Close();
  FreeZeroed(Directory_);
  Directory_ = nullptr;
  Path_.clear();
}

bool cPakFile::IsCompact() const {
  uint64_t used = 0;
  const uint32_t count = Count();
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* slot = SlotBytes(i);
    if (slot[kSlotDeletedAt] != 0) return false;
    used += GetLe32(slot + kSlotLengthAt);
  }
  return used >= DataEnd();
}

bool cPakFile::IsTransformed() const { return Trailer_[kSpecAt] != PAK_OP_PLAIN; }
const uint8_t* cPakFile::TransformSpec() const { return Trailer_ + kSpecAt; }
uint32_t cPakFile::DataBase() const { return GetLe32(Trailer_ + kDataBaseAt); }
uint32_t cPakFile::DataEnd() const { return GetLe32(Trailer_ + kDataEndAt); }
uint32_t cPakFile::DirectorySize() const { return GetLe32(Trailer_ + kDirectorySizeAt); }
uint32_t cPakFile::Capacity() const { return GetLe32(Directory_ + kCapacityAt); }
uint32_t cPakFile::Count() const { return GetLe32(Directory_ + kCountAt); }
void cPakFile::SetCount(uint32_t value) { PutLe32(Directory_ + kCountAt, value); }
void cPakFile::SetDataEnd(uint32_t value) { PutLe32(Trailer_ + kDataEndAt, value); }

uint8_t* cPakFile::SlotBytes(uint32_t index) const {
  return Directory_ + PAK_DIRECTORY_HEADER_SIZE + PAK_SLOT_SIZE * static_cast<size_t>(index);
}

PakSlot cPakFile::Slot(uint32_t index) const {
  if (index >= Count()) throw std::out_of_range("pak slot index");
  const uint8_t* p = SlotBytes(index);
  PakSlot slot;
  slot.Type = GetLe32(p + kSlotTypeAt);
  slot.Id = static_cast<int32_t>(GetLe32(p + kSlotIdAt));
  slot.Reserved = GetLe32(p + kSlotReservedAt);
  slot.Offset = GetLe32(p + kSlotOffsetAt);
  slot.Length = GetLe32(p + kSlotLengthAt);
  slot.Attribute = GetLe16(p + kSlotAttributeAt);
  slot.Deleted = p[kSlotDeletedAt];
  slot.Transformed = p[kSlotTransformedAt];
  return slot;
}

void cPakFile::Encode(uint8_t* data, size_t size) const { PakEncode(TransformSpec(), data, size); }
void cPakFile::Decode(uint8_t* data, size_t size) const { PakDecode(TransformSpec(), data, size); }

int32_t cPakFile::FindEntry(uint32_t type, int32_t id) const {
  const uint32_t count = Count();
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* slot = SlotBytes(i);
    if (GetLe32(slot + kSlotTypeAt) == type && static_cast<int32_t>(GetLe32(slot + kSlotIdAt)) == id &&
        slot[kSlotDeletedAt] == 0) {
      return static_cast<int32_t>(i);
    }
  }
  return -1;
}

// Deleted slots count too, so an id once handed out is never handed out again
// while the archive keeps its slot.
int32_t cPakFile::NextId(uint32_t type) const {
  int32_t largest = 0;
  const uint32_t count = Count();
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* slot = SlotBytes(i);
    const int32_t id = static_cast<int32_t>(GetLe32(slot + kSlotIdAt));
    if (GetLe32(slot + kSlotTypeAt) == type && id > largest) largest = id;
  }
  const auto abandoned = AbandonedIds_.find(type);
  if (abandoned != AbandonedIds_.end() && abandoned->second > largest) largest = abandoned->second;
  return static_cast<int32_t>(static_cast<uint32_t>(largest) + 1);
}

void cPakFile::ReadEntry(uint32_t type, int32_t id, uint32_t* length, void** buffer) {
  const int32_t index = FindEntry(type, id);
  if (index < 0) throw std::runtime_error("Pak not found.");
  ReadSlot(static_cast<uint32_t>(index), length, buffer);
}

void cPakFile::ReadSlot(uint32_t index, uint32_t* length, void** buffer) {
  const PakSlot slot = Slot(index);
  if (slot.Deleted != 0) throw std::runtime_error("Pak not found.");
  // One spare zero byte: a string body that lost its terminator in a damaged
  // file still ends inside the buffer.
  auto* body = static_cast<uint8_t*>(AllocZeroed(static_cast<size_t>(slot.Length) + 1));
  if (body == nullptr) throw std::runtime_error("Can't allocate pak.");
  try {
    SeekTo(File_, static_cast<uint64_t>(DataBase()) + slot.Offset);
    File_.Read(body, slot.Length);
  } catch (...) {
    FreeZeroed(body);
    throw;
  }
  if (IsTransformed() && slot.Transformed != 0) Decode(body, slot.Length);
  if (length != nullptr) *length = slot.Length;
  *buffer = body;
}

void cPakFile::ReadString(StringRef& ref) {
  if (ref.Id < 0) {
    ref.Text = nullptr;
    return;
  }
  ReadEntry(PAK_TYPE_STRING, ref.Id, nullptr, &ref.Text);
}

// Any buffer ReadEntry gave is freed, whether or not its entry is still in
// this archive: texts read from one archive are often released after they
// have been copied into another.
void cPakFile::ReleaseEntry(uint32_t /*type*/, int32_t /*id*/, void* buffer) { FreeZeroed(buffer); }

int32_t cPakFile::WriteEntry(uint32_t type, int32_t id, uint16_t attribute, bool transform, uint32_t length,
                             const void* data) {
  if (!Writable_) ThrowCode(ERROR_ACCESS_DENIED, Path_);
  if (length == 0) {
    const size_t n = std::strlen(static_cast<const char*>(data)) + 1;
    if (n > kLargestPosition) ThrowCode(ERROR_FILE_TOO_LARGE, Path_);
    length = static_cast<uint32_t>(n);
  }

  int32_t found = -1;
  if (id == PAK_NEW_ID) {
    id = NextId(type);
    // Only a file that already holds id 0x7FFFFFFF gets here.
    if (id <= 0) ThrowCorrupt();
  } else {
    found = FindEntry(type, id);
  }

  const bool encoded = IsTransformed() && transform;
  const uint8_t* body = static_cast<const uint8_t*>(data);
  uint8_t* copy = nullptr;
  cGuard release([&] { FreeZeroed(copy); });
  if (encoded) {
    copy = static_cast<uint8_t*>(AllocZeroed(length));
    if (copy == nullptr) ThrowCode(ERR_NO_MEMORY, Path_);
    std::memcpy(copy, data, length);
    Encode(copy, length);
    body = copy;
  }
  if (found >= 0 && HoldsBody(static_cast<uint32_t>(found), attribute, encoded, length, body)) return id;

  // The body, and a directory that may grow by a whole step on the way.
  const uint64_t end =
      AppendAt_ + length + DirectorySize() + PAK_SLOT_SIZE * PAK_DIRECTORY_GROWTH + PAK_TRAILER_SIZE;
  if (end > kLargestPosition) ThrowCode(ERROR_FILE_TOO_LARGE, Path_);
  BeginChange();
  try {
    uint32_t index;
    uint64_t at;
    const uint8_t* old = found >= 0 ? SlotBytes(static_cast<uint32_t>(found)) : nullptr;
    const uint64_t oldAt = old != nullptr ? uint64_t{DataBase()} + GetLe32(old + kSlotOffsetAt) : 0;
    if (old != nullptr && oldAt >= CommittedEnd_ && length <= GetLe32(old + kSlotLengthAt)) {
      // Written in this change: no trailer points at it yet.
      index = static_cast<uint32_t>(found);
      at = oldAt;
    } else {
      AddSlot();
      index = Count() - 1;
      at = AppendAt_;
      AppendAt_ += length;
      if (found >= 0) SlotBytes(static_cast<uint32_t>(found))[kSlotDeletedAt] = 1;
    }
    uint8_t* slot = SlotBytes(index);
    PutLe32(slot + kSlotTypeAt, type);
    PutLe32(slot + kSlotIdAt, static_cast<uint32_t>(id));
    PutLe32(slot + kSlotOffsetAt, static_cast<uint32_t>(at - DataBase()));
    PutLe32(slot + kSlotLengthAt, length);
    PutLe16(slot + kSlotAttributeAt, attribute);
    slot[kSlotDeletedAt] = 0;
    slot[kSlotTransformedAt] = encoded ? 1 : 0;
    SeekTo(File_, at);
    File_.Write(body, length);
    if (BatchDepth_ == 0) Commit();
  } catch (...) {
    Abandon();
    throw;
  }
  return id;
}

// Whether the live slot at index already says and holds exactly this.
bool cPakFile::HoldsBody(uint32_t index, uint16_t attribute, bool encoded, uint32_t length, const uint8_t* body) {
  const PakSlot slot = Slot(index);
  if (slot.Length != length || slot.Attribute != attribute || (slot.Transformed != 0) != encoded) return false;
  auto* stored = static_cast<uint8_t*>(AllocZeroed(length));
  if (stored == nullptr) return false;
  cGuard release([&] { FreeZeroed(stored); });
  SeekTo(File_, uint64_t{DataBase()} + slot.Offset);
  File_.Read(stored, length);
  return std::memcmp(stored, body, length) == 0;
}

void cPakFile::OverwriteEntry(uint32_t type, int32_t id, uint32_t length, const void* data) {
  if (!Writable_) ThrowCode(ERROR_ACCESS_DENIED, Path_);
  const int32_t index = FindEntry(type, id);
  if (index < 0) throw std::runtime_error("Pak not found.");
  const PakSlot slot = Slot(static_cast<uint32_t>(index));
  if (slot.Length != length) ThrowCode(ERROR_INVALID_DATA, Path_);
  std::vector<uint8_t> body(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + length);
  if (IsTransformed() && slot.Transformed != 0) Encode(body.data(), length);
  SeekTo(File_, uint64_t{DataBase()} + slot.Offset);
  File_.Write(body.data(), length);
  File_.Flush();
}

void cPakFile::BeginBatch() { ++BatchDepth_; }

void cPakFile::EndBatch(bool commit) {
  if (BatchDepth_ > 0) --BatchDepth_;
  if (!commit) {
    Abandon();
  } else if (BatchDepth_ == 0) {
    Commit();
  }
}

// The first write of a change keeps what the file's last trailer stands for.
void cPakFile::BeginChange() {
  if (Pending_) return;
  const uint32_t size = DirectorySize();
  CommittedDirectory_ = static_cast<uint8_t*>(AllocZeroed(size));
  if (CommittedDirectory_ == nullptr) ThrowCode(ERR_NO_MEMORY, Path_);
  std::memcpy(CommittedDirectory_, Directory_, size);
  std::memcpy(CommittedTrailer_, Trailer_, PAK_TRAILER_SIZE);
  Pending_ = true;
}

// The bodies and the directory are on the disk before the trailer that
// points at them is written; the trailer is on the disk before the change
// counts as made.
void cPakFile::Commit() {
  if (!Pending_) return;
  try {
    SetDataEnd(static_cast<uint32_t>(AppendAt_ - DataBase()));
    WriteDirectory(File_);
    File_.Flush();
    WriteTrailer(File_);
    File_.Flush();
  } catch (...) {
    Abandon();
    throw;
  }
  CommittedEnd_ = AppendAt_ = uint64_t{DataBase()} + DataEnd() + DirectorySize() + PAK_TRAILER_SIZE;
  FreeZeroed(CommittedDirectory_);
  CommittedDirectory_ = nullptr;
  Pending_ = false;
}

// Cutting the file back is only tidiness: what lies past the last trailer
// is never part of the archive.
void cPakFile::Abandon() noexcept {
  if (!Pending_) return;
  try {
    const uint32_t count = Count();
    for (uint32_t i = 0; i < count; ++i) {
      const uint8_t* slot = SlotBytes(i);
      const int32_t id = static_cast<int32_t>(GetLe32(slot + kSlotIdAt));
      int32_t& largest = AbandonedIds_[GetLe32(slot + kSlotTypeAt)];
      if (id > largest) largest = id;
    }
  } catch (...) {
  }
  FreeZeroed(Directory_);
  Directory_ = CommittedDirectory_;
  CommittedDirectory_ = nullptr;
  std::memcpy(Trailer_, CommittedTrailer_, PAK_TRAILER_SIZE);
  AppendAt_ = CommittedEnd_;
  Pending_ = false;
  try {
    SeekTo(File_, CommittedEnd_);
    File_.Truncate();
  } catch (...) {
  }
}

// The directory grows in memory only; the change writes it whole.
void cPakFile::AddSlot() {
  const uint32_t count = Count();
  if (count < Capacity()) {
    SetCount(count + 1);
    return;
  }
  const uint32_t capacity = count + PAK_DIRECTORY_GROWTH;
  const size_t size = PAK_DIRECTORY_HEADER_SIZE + PAK_SLOT_SIZE * static_cast<size_t>(capacity);
  auto* grown = static_cast<uint8_t*>(AllocZeroed(size));
  if (grown == nullptr) ThrowCode(ERR_NO_MEMORY, Path_);
  std::memcpy(grown, Directory_, PAK_DIRECTORY_HEADER_SIZE + PAK_SLOT_SIZE * static_cast<size_t>(count));
  PutLe32(grown + kCapacityAt, capacity);
  PutLe32(grown + kCountAt, count + 1);
  FreeZeroed(Directory_);
  Directory_ = grown;
  PutLe32(Trailer_ + kDirectorySizeAt, static_cast<uint32_t>(size));
}

// At DataBase + DataEnd, which the caller has set.
void cPakFile::WriteDirectory(cFile& file) {
  const uint32_t size = DirectorySize();
  const uint8_t* image = Directory_;
  uint8_t* copy = nullptr;
  cGuard release([&] { FreeZeroed(copy); });
  if (IsTransformed()) {
    copy = static_cast<uint8_t*>(AllocZeroed(size));
    if (copy == nullptr) ThrowCode(ERR_NO_MEMORY, Path_);
    std::memcpy(copy, Directory_, size);
    Encode(copy, size);
    image = copy;
  }
  SeekTo(file, static_cast<uint64_t>(DataBase()) + DataEnd());
  file.Write(image, size);
}

void cPakFile::WriteTrailer(cFile& file) {
  SeekTo(file, static_cast<uint64_t>(DataBase()) + DataEnd() + DirectorySize());
  file.Write(Trailer_, PAK_TRAILER_SIZE);
  file.Truncate();
}

bool cPakFile::PackDirectory() {
  const uint32_t count = Count();
  uint32_t live = 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (SlotBytes(i)[kSlotDeletedAt] == 0) ++live;
  }
  if (live == count) return false;

  const uint32_t size = DirectorySize();
  auto* packed = static_cast<uint8_t*>(AllocZeroed(size));
  if (packed == nullptr) ThrowCode(ERR_NO_MEMORY, Path_);
  std::memcpy(packed, kDirectoryMagic, 4);
  PutLe32(packed + kCapacityAt, Capacity());
  PutLe32(packed + kCountAt, live);
  uint8_t* to = packed + PAK_DIRECTORY_HEADER_SIZE;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* slot = SlotBytes(i);
    if (slot[kSlotDeletedAt] != 0) continue;
    std::memcpy(to, slot, PAK_SLOT_SIZE);
    to += PAK_SLOT_SIZE;
  }
  FreeZeroed(Directory_);
  Directory_ = packed;
  return true;
}

// The archive itself is only touched by the final replace: until then a
// failure costs nothing but the temporary file.
//
// Compaction moves every live byte of the archive, so it copies in large
// pieces through one buffer, and bodies that already lie back to back are
// copied as one run: with 8 KB pieces per body the calls, not the bytes,
// made up most of its time.
void cPakFile::Rewrite() {
  const std::string tempPath = Path_ + "1";
  cFile temp;
  const DWORD bufferSize = std::max<DWORD>(1, std::min<DWORD>(kCopyPiece, std::max(DataBase(), DataEnd())));
  auto* buffer = static_cast<uint8_t*>(AllocZeroed(bufferSize));
  cGuard release([&] { FreeZeroed(buffer); });
  try {
    if (buffer == nullptr) ThrowCode(ERR_NO_MEMORY, Path_);
    temp.Create(tempPath, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ);
    auto copy = [&](uint64_t from, uint32_t length) {
      SeekTo(File_, from);
      for (uint32_t done = 0; done < length;) {
        const DWORD piece = std::min<uint32_t>(length - done, bufferSize);
        File_.Read(buffer, piece);
        temp.Write(buffer, piece);
        done += piece;
      }
    };
    copy(0, DataBase());
    uint64_t runFrom = 0;
    uint32_t runLength = 0;
    uint32_t total = 0;
    const uint32_t count = Count();
    for (uint32_t i = 0; i < count; ++i) {
      uint8_t* slot = SlotBytes(i);
      const uint64_t from = static_cast<uint64_t>(DataBase()) + GetLe32(slot + kSlotOffsetAt);
      const uint32_t length = GetLe32(slot + kSlotLengthAt);
      PutLe32(slot + kSlotOffsetAt, total);
      if (from != runFrom + runLength) {
        copy(runFrom, runLength);
        runFrom = from;
        runLength = 0;
      }
      runLength += length;
      total += length;
    }
    copy(runFrom, runLength);
    SetDataEnd(total);
    WriteDirectory(temp);
    WriteTrailer(temp);
    temp.Flush();
    temp.Close();
    File_.Close();
    if (!MoveStep(tempPath.c_str(), Path_.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      ThrowLastError(Path_);
    }
  } catch (...) {
    temp.Close();
    File_.Close();
    DeleteFileA(tempPath.c_str());
    throw;
  }
}
