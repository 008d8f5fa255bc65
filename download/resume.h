// What a transfer keeps so that it can go on later: the validators a server
// gave for an address, and for a file cut short, how many of its bytes are
// already on disk. Both live in a small record beside the file in the
// download folder ("NAME.resume" for a partial file, "NAME.fetched" for the
// list the catalogue merged last), in the text format described above
// ReadFetchRecord.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/handles.h"
#include "net/streams.h"

// A server's validators for one address, as it sent them.
struct TValidators {
  std::string ETag;          // with its quotes, and "W/" when weak
  std::string LastModified;  // the HTTP date exactly as sent
  bool Empty() const { return ETag.empty() && LastModified.empty(); }
};

// The value for If-Range: a strong ETag, else the Last-Modified date, else
// empty (the transfer cannot be resumed).
std::string IfRangeValue(const TValidators& Validators);

struct TFetchRecord {
  std::string Url;
  TValidators Validators;
  uint64_t Bytes = 0;  // of the file beside the record
};

std::string ResumeRecordPath(const std::string& File);
std::string FetchedRecordPath(const std::string& File);

// False when the record is missing or is not a record of this format.
bool ReadFetchRecord(const std::string& Path, TFetchRecord& Record);
// Replaces the record as a whole: written beside it, then moved over it.
// Throws std::runtime_error naming the file when it cannot.
void WriteFetchRecord(const std::string& Path, const TFetchRecord& Record);

// "bytes FIRST-LAST/TOTAL" with three decimal numbers; false otherwise.
bool ParseContentRange(const std::string& Text, uint64_t& First, uint64_t& Last, uint64_t& Total);
// "bytes */TOTAL", the Content-Range of a 416 answer; false otherwise.
bool ParseUnsatisfiedRange(const std::string& Text, uint64_t& Total);

// The size of a file, or -1 when it cannot be read.
int64_t FileSize64(const std::string& Path);

// What the partial files of one download folder may take together.
constexpr uint64_t kPartialFilesLimit = 256ull * 1024 * 1024;

// A partial file found in a download folder: NAME with its "NAME.resume".
struct TPartialFile {
  std::string Name;  // the file's name in the folder
  TFetchRecord Record;
};

// Tidies the partial files of Folder. A partial file goes, with its record,
// when Keep says no, when its record cannot be read (only with TidyBroken),
// or when its file is gone; then, oldest first (by the time the file was
// last written), as many as it takes for the others to fit in Limit bytes
// together. With TidyBroken a record's leftover temporary file goes too.
// Returns the files removed, each with why: "no longer wanted",
// "unreadable record", "file gone", "over the limit". Without TidyBroken
// nothing is touched that is not a partial file with a record of ours.
struct TPrunedFile {
  std::string Name;
  std::string Reason;
};
std::vector<TPrunedFile> PrunePartialFiles(const std::string& Folder, uint64_t Limit,
                                           const std::function<bool(const TPartialFile&)>& Keep,
                                           bool TidyBroken = true);

// What one transfer knows about resuming, from the start to the decision
// whether its file is kept.
struct TResumeState {
  TValidators Conditions;  // sent as If-None-Match / If-Modified-Since; such a transfer never resumes
  std::string RecordPath;  // where the partial file's record lives
  TFetchRecord Record;     // the partial file's record, when Resuming
  bool Resuming = false;   // the request asks for the rest from Record.Bytes
  bool Accepted = false;   // the response is the file (200) or its rest (206), and the body goes on disk
  bool NotModified = false;  // 304 to a conditional request
  bool AlreadyWhole = false; // 416 to a range at the end: the partial file is all of it
  bool Drop = false;       // whatever is on disk is no good
  uint64_t Total = 0;      // the whole file's length, when TotalKnown
  bool TotalKnown = false;
  TValidators Response;    // what the response carried
};

// The target of a transfer that may go on from a partial file: position 0
// of the response body lands at Base() in the file. Opening keeps the file's
// first bytes up to the base and cuts off anything behind them; Restart goes
// back to an empty file.
class TPartialFileStream : public TStream {
 public:
  TPartialFileStream(const std::string& FileName, uint64_t Base);
  ~TPartialFileStream() override;

  void SetPosition(int64_t Position) override;
  void WriteBuffer(const void* Buffer, size_t Count) override;

  void Restart();
  void Close();
  uint64_t Base() const { return FBase; }
  // The bytes of the file that hold data: the base and what was written after it.
  uint64_t End() const { return FEnd; }
  // The file's size as the system reports it; -1 when closed.
  int64_t DiskSize() const;

 private:
  void Cut(uint64_t Size);

  std::string FFileName;
  handles::UniqueFile FHandle;
  uint64_t FBase = 0;
  uint64_t FPosition = 0;  // in the file
  uint64_t FEnd = 0;
};
