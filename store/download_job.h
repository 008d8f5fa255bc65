// The download job: a short chain of transfers on one worker, driven by the
// messages its transfers post. The job knows transfers, the worker and the
// list's validators; what the transfers mean for the catalogue (merging a
// list, choosing and installing a skit's file) it asks of a cJobCatalogue.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "download/progress.h"
#include "download/resume.h"

class cThread_Comm;
class TDataModule_Comm;

// What the job is waiting for.
// The numbers are the phases the catalogue's log and tools have always shown.
enum class JobState : int32_t {
  Idle = 0,   // no job
  List = 1,   // the synchronisation file's transfer
  Files = 2,  // one skit file's transfer after another
};
const char* JobStateName(JobState state);

// The file a download job is fetching.
struct DownloadItem {
  uint8_t Category = 0;
  int32_t SkitId = 0;
  const char* Url = nullptr;
  const char* File = nullptr;  // the job's file, while a file transfer is out
  const char* Title = nullptr;
};

// A skit file the catalogue chose to fetch next.
struct FileToFetch {
  uint8_t Category = 0;
  int32_t SkitId = 0;
  const char* Url = nullptr;    // the catalogue's text
  const char* Title = nullptr;  // the catalogue's text
  std::string File;             // where it lands in the download folder
  std::string Position;         // "2 of 3"
  uint64_t SizeLimit = 0;       // the most bytes it may have
};

// How a merged list went.
struct ListOutcome {
  bool Refused = false;  // not taken at all: it does not count as a synchronisation
  bool Whole = false;    // every record read and taken or deliberately left
};

// What the job needs of the catalogue it works for.
class cJobCatalogue {
 public:
  virtual ~cJobCatalogue() = default;
  // The list's address and where it lands; false with the reason when no
  // list can be fetched.
  virtual bool ListToFetch(std::string& url, std::string& file, std::string& reason) const = 0;
  // The list's transfer ended: merges what arrived (nothing when it failed)
  // and counts the synchronisation. Throws when the merge cannot be saved.
  virtual ListOutcome ListArrived(const std::string& file, bool failed) = 0;
  // A 304: the list has not changed since the last one merged.
  virtual void ListUnchanged() = 0;
  // Files of scheduled skits still to come: of every category, and of
  // regular skits alone (which carry an automatic job on past its list).
  virtual uint32_t FilesToFetch() const = 0;
  virtual bool SkitFilesToFetch() const = 0;
  // The job turns to the files.
  virtual void FilesBegin() = 0;
  // The next file, or false when none is left.
  virtual bool PrepareNextFile(FileToFetch& next) = 0;
  // A file's transfer ended; refused says the server refused that file for
  // good. Installs what arrived.
  virtual void InstallDownloadedFile(const DownloadItem& item, bool failed, bool refused) = 0;
  // A partial download some record (or the list) would go on with.
  virtual bool UsesPartial(const TPartialFile& partial) const = 0;
  virtual void LogLine(uint32_t level, const char* text) const = 0;
};

class cDownloadJob {
 public:
  explicit cDownloadJob(cJobCatalogue& catalogue);
  ~cDownloadJob();
  cDownloadJob(const cDownloadJob&) = delete;
  cDownloadJob& operator=(const cDownloadJob&) = delete;

  // Each start refuses (false) while a job runs. The window receives
  // WM_DOWNLOAD_DONE for every transfer and hands its lParam to OnDone,
  // which starts the next transfer or ends the job (false).
  bool StartList(HWND window, bool automatic);
  bool StartFiles(HWND window);
  bool OnDone(int32_t errorCode);
  void End();

  JobState State() const { return State_; }
  bool Automatic() const { return Automatic_; }
  // The worker while a job runs (a test may hand one in before a start).
  cThread_Comm* Worker() const { return Worker_.get(); }
  void UseWorker(std::unique_ptr<cThread_Comm> worker);
  // The file out now; empty when no file transfer is out.
  const DownloadItem& Item() const { return Item_; }
  const std::string& File() const { return File_; }
  const std::string& Position() const { return Position_; }

  // What the progress dialog shows, read in one go.
  DownloadProgress Progress() const;
  // The running transfer's item and its error text; empty without one.
  std::string ItemName() const;
  std::string ErrorText() const;
  // Cancels the running transfer; nothing when there is none.
  void Stop();
  void SetAskBeforeHangUp(bool value);

  // How the user is asked before a dial-up connection the job brought up
  // is hung up; without one, nobody is asked.
  std::function<bool(const std::string& question)> HangUpQuestion;
  // What the partial downloads kept for resuming may take together.
  uint64_t PartialFilesLimit = kPartialFilesLimit;

 private:
  // The one place the state changes.
  void SetState(JobState next);
  void OnListDone(bool failed);
  bool OnFileDone(int32_t errorCode);
  void BeginFiles(HWND window);
  bool StartNextFile();
  void NotStarted();
  void EndWith(int32_t code);
  void PrepareWorker();
  TDataModule_Comm* Module() const;
  void PrunePartialDownloads();
  void PrepareListConditions();
  void KeepListValidators(const ListOutcome& outcome, const TFetchRecord& record);

  cJobCatalogue& Catalogue_;
  JobState State_ = JobState::Idle;
  std::unique_ptr<cThread_Comm> Worker_;
  HWND Window_ = nullptr;  // where the job's transfers report
  bool Automatic_ = false;
  DownloadItem Item_;
  std::string File_;
  std::string Position_;
  std::string ListUrl_;
  uint32_t Done_ = 0;
  uint32_t Total_ = 0;
};
