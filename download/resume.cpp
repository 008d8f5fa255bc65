#include "download/resume.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "base/errors.h"
#include "base/files.h"

namespace {

const char kRecordMagic[] = "DGFETCH 1";
constexpr DWORD kRecordLimit = 4096;  // a larger file is not a record
const char* const kRecordKeys[] = {"url", "etag", "modified", "bytes"};

bool HasControlCharacter(const std::string& text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return true;
  }
  return false;
}

// A decimal count a file position can hold: at most INT64_MAX, the largest
// size the system gives a file.
bool ParseCount(const std::string& text, uint64_t& value) {
  if (text.empty() || text.size() > 19) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return value <= static_cast<uint64_t>(INT64_MAX);
}

// Parses one decimal number at text[at], moving at past it.
bool ParseNumberAt(const std::string& text, size_t& at, uint64_t& value) {
  size_t end = at;
  while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
  if (!ParseCount(text.substr(at, end - at), value)) return false;
  at = end;
  return true;
}

}  // namespace

std::string IfRangeValue(const TValidators& Validators) {
  // A weak ETag says "equivalent", not "the same bytes": it cannot join two
  // halves of a file.
  if (!Validators.ETag.empty() && Validators.ETag.compare(0, 2, "W/") != 0) return Validators.ETag;
  return Validators.LastModified;
}

std::string ResumeRecordPath(const std::string& File) { return File + ".resume"; }
std::string FetchedRecordPath(const std::string& File) { return File + ".fetched"; }

// A fetch record is 8-bit text of at most 4096 bytes: five lines, each ended
// by CR LF, in this order:
//   DGFETCH 1
//   url ADDRESS           the address the validators belong to
//   etag VALUE            the ETag as the server sent it, or nothing
//   modified VALUE        the Last-Modified date as sent, or nothing
//   bytes COUNT           decimal: bytes of the file beside the record
// Each key is followed by one blank and its value, which holds no control
// character. The address is never empty and at least one validator is given.
bool ReadFetchRecord(const std::string& Path, TFetchRecord& Record) {
  handles::UniqueFile file(CreateFileA(Path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  std::vector<char> bytes(kRecordLimit + 1);
  DWORD read = 0;
  const BOOL ok = ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
  file.reset();
  if (!ok || read > kRecordLimit) return false;
  const std::string text(bytes.data(), read);

  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    const size_t end = text.find("\r\n", at);
    if (end == std::string::npos) return false;  // every line ends with CR LF
    lines.push_back(text.substr(at, end - at));
    at = end + 2;
  }
  if (lines.size() != 5 || lines[0] != kRecordMagic) return false;
  std::string values[4];
  for (size_t i = 0; i < 4; ++i) {
    const std::string prefix = std::string(kRecordKeys[i]) + " ";
    const std::string& line = lines[i + 1];
    if (line.compare(0, prefix.size(), prefix) != 0) return false;
    values[i] = line.substr(prefix.size());
    if (HasControlCharacter(values[i])) return false;
  }
  TFetchRecord record;
  record.Url = values[0];
  record.Validators.ETag = values[1];
  record.Validators.LastModified = values[2];
  if (record.Url.empty() || record.Validators.Empty() || !ParseCount(values[3], record.Bytes)) return false;
  Record = std::move(record);
  return true;
}

void WriteFetchRecord(const std::string& Path, const TFetchRecord& Record) {
  const std::string values[3] = {Record.Url, Record.Validators.ETag, Record.Validators.LastModified};
  for (const std::string& value : values) {
    if (HasControlCharacter(value)) throw std::runtime_error("Control character in a fetch record value " + Path);
  }
  const std::string text = std::string(kRecordMagic) + "\r\n" + "url " + Record.Url + "\r\n" + "etag " +
                           Record.Validators.ETag + "\r\n" + "modified " + Record.Validators.LastModified + "\r\n" +
                           "bytes " + std::to_string(Record.Bytes) + "\r\n";
  if (text.size() > kRecordLimit) throw std::runtime_error("Fetch record too long " + Path);

  // A record is either the old one or the new one, never half of either.
  const std::string temporary = Path + ".tmp";
  handles::UniqueFile file(
      CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) ThrowLastError(temporary);
  DWORD written = 0;
  const BOOL ok = WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                  written == text.size() && FlushFileBuffers(file.get());
  const DWORD error = GetLastError();
  // Closed before it is moved into place.
  file.reset();
  if (!ok || !MoveFileExA(temporary.c_str(), Path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    const DWORD cause = ok ? GetLastError() : error;
    DeleteFileA(temporary.c_str());
    SetLastError(cause);
    ThrowLastError(Path);
  }
}

bool ParseContentRange(const std::string& Text, uint64_t& First, uint64_t& Last, uint64_t& Total) {
  const std::string unit = "bytes ";
  if (Text.compare(0, unit.size(), unit) != 0) return false;
  size_t at = unit.size();
  if (!ParseNumberAt(Text, at, First) || at >= Text.size() || Text[at++] != '-') return false;
  if (!ParseNumberAt(Text, at, Last) || at >= Text.size() || Text[at++] != '/') return false;
  if (!ParseNumberAt(Text, at, Total) || at != Text.size()) return false;
  return First <= Last && Last < Total;
}

bool ParseUnsatisfiedRange(const std::string& Text, uint64_t& Total) {
  const std::string unit = "bytes */";
  if (Text.compare(0, unit.size(), unit) != 0) return false;
  size_t at = unit.size();
  return ParseNumberAt(Text, at, Total) && at == Text.size();
}

namespace {

// The 64-bit value of a size or a time the system gives in two halves.
uint64_t Join64(DWORD high, DWORD low) { return (static_cast<uint64_t>(high) << 32) | low; }

}  // namespace

int64_t FileSize64(const std::string& Path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(Path.c_str(), GetFileExInfoStandard, &data)) return -1;
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return -1;
  return static_cast<int64_t>(Join64(data.nFileSizeHigh, data.nFileSizeLow));
}

// ---------------------------------------------------------------------------
// Tidying a download folder

namespace {

const char kResumeSuffix[] = ".resume";
const char kTemporarySuffix[] = ".resume.tmp";

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

struct TFoundPartial {
  TPartialFile File;
  uint64_t Size = 0;
  uint64_t Written = 0;
};

}  // namespace

std::vector<TPrunedFile> PrunePartialFiles(const std::string& Folder, uint64_t Limit,
                                           const std::function<bool(const TPartialFile&)>& Keep, bool TidyBroken) {
  std::vector<TPrunedFile> pruned;
  std::vector<std::string> records, temporaries;
  {
    cFindFile scanner;
    for (bool found = scanner.First(FIND_ANY_FILE, JoinPath(Folder, "*")); found; found = scanner.Next()) {
      if (EndsWith(scanner.Name, kTemporarySuffix)) {
        temporaries.push_back(scanner.Name);
      } else if (EndsWith(scanner.Name, kResumeSuffix) && scanner.Name.size() > std::strlen(kResumeSuffix)) {
        records.push_back(scanner.Name);
      }
    }
  }
  if (TidyBroken) {
    for (const std::string& name : temporaries) DeleteFileA(JoinPath(Folder, name).c_str());
  }

  auto remove = [&](const std::string& name, const char* reason) {
    const std::string path = JoinPath(Folder, name);
    // The record first: a file without its record is never resumed.
    DeleteFileA(ResumeRecordPath(path).c_str());
    DeleteFileA(path.c_str());
    pruned.push_back(TPrunedFile{name, reason});
  };
  std::vector<TFoundPartial> kept;
  for (const std::string& recordName : records) {
    TFoundPartial partial;
    partial.File.Name = recordName.substr(0, recordName.size() - std::strlen(kResumeSuffix));
    const std::string path = JoinPath(Folder, partial.File.Name);
    WIN32_FILE_ATTRIBUTE_DATA data;
    const bool present = GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) &&
                         (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    if (!ReadFetchRecord(JoinPath(Folder, recordName), partial.File.Record)) {
      if (TidyBroken) remove(partial.File.Name, "unreadable record");
      continue;
    }
    if (!present) {
      remove(partial.File.Name, "file gone");
      continue;
    }
    if (!Keep(partial.File)) {
      remove(partial.File.Name, "no longer wanted");
      continue;
    }
    partial.Size = Join64(data.nFileSizeHigh, data.nFileSizeLow);
    partial.Written = Join64(data.ftLastWriteTime.dwHighDateTime, data.ftLastWriteTime.dwLowDateTime);
    kept.push_back(std::move(partial));
  }

  // Newest first; the oldest are dropped from the end.
  std::sort(kept.begin(), kept.end(), [](const TFoundPartial& a, const TFoundPartial& b) {
    return a.Written != b.Written ? a.Written > b.Written : a.File.Name < b.File.Name;
  });
  uint64_t total = 0;
  for (const TFoundPartial& partial : kept) total += partial.Size;
  while (total > Limit && !kept.empty()) {
    total -= kept.back().Size;
    remove(kept.back().File.Name, "over the limit");
    kept.pop_back();
  }
  return pruned;
}

// ---------------------------------------------------------------------------
// TPartialFileStream

TPartialFileStream::TPartialFileStream(const std::string& FileName, uint64_t Base) : FFileName(FileName) {
  FHandle.reset(CreateFileA(FileName.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            Base > 0 ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!FHandle) ThrowLastError(FileName);
  try {
    // Never more than the file holds: a base beyond its end starts over.
    LARGE_INTEGER size;
    if (!GetFileSizeEx(FHandle.get(), &size)) ThrowLastError(FileName);
    Cut(static_cast<uint64_t>(size.QuadPart) >= Base ? Base : 0);
  } catch (...) {
    Close();
    throw;
  }
}

TPartialFileStream::~TPartialFileStream() { Close(); }

void TPartialFileStream::Close() { FHandle.reset(); }

void TPartialFileStream::Cut(uint64_t Size) {
  LARGE_INTEGER distance;
  distance.QuadPart = static_cast<LONGLONG>(Size);
  if (!SetFilePointerEx(FHandle.get(), distance, nullptr, FILE_BEGIN) || !SetEndOfFile(FHandle.get()))
    ThrowLastError(FFileName);
  FBase = FPosition = FEnd = Size;
}

void TPartialFileStream::Restart() { Cut(0); }

int64_t TPartialFileStream::DiskSize() const {
  LARGE_INTEGER size;
  if (!FHandle || !GetFileSizeEx(FHandle.get(), &size)) return -1;
  return size.QuadPart;
}

void TPartialFileStream::SetPosition(int64_t Position) {
  LARGE_INTEGER distance;
  distance.QuadPart = static_cast<LONGLONG>(FBase) + (Position < 0 ? 0 : Position);
  if (!SetFilePointerEx(FHandle.get(), distance, nullptr, FILE_BEGIN)) ThrowLastError(FFileName);
  FPosition = static_cast<uint64_t>(distance.QuadPart);
}

void TPartialFileStream::WriteBuffer(const void* Buffer, size_t Count) {
  const char* bytes = static_cast<const char*>(Buffer);
  while (Count > 0) {
    const DWORD piece = Count > 0x40000000 ? 0x40000000 : static_cast<DWORD>(Count);
    DWORD written = 0;
    if (!WriteFile(FHandle.get(), bytes, piece, &written, nullptr) || written != piece) ThrowLastError(FFileName);
    bytes += piece;
    Count -= piece;
    FPosition += piece;
    if (FPosition > FEnd) FEnd = FPosition;
  }
}
