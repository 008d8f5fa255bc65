// The download job.
//
// A job is a short chain of transfers on one worker (cThread_Comm): first,
// when started for the list, the server's synchronisation file, which the
// catalogue merges; then, when the job is automatic or was started for
// files, one file of a scheduled skit after another, each installed by the
// catalogue as it arrives. Nothing here waits: each transfer ends with
// WM_DOWNLOAD_DONE at the job's window, whose owner hands it to OnDone, and
// that starts the next transfer or ends the job. The state says which kind
// of transfer is out and changes only in SetState; Item says which file,
// and is cleared whenever no file transfer is out, so a completion message
// that belongs to no file (the one posted when nothing is left) changes no
// record.
//
// What a failed file transfer does to the job depends on why it failed: the
// server's definite refusal of this one file (404, 403, 410, a file that is
// no good) lets the job go on with the next skit, so one missing file does
// not hold up every other new skit. A cancel or a failure that may pass (no
// answer, a reset, a time-out, a server error) ends the job: the next file
// would most likely fail the same way.
//
// Asking for the list only when it changed: after a list fetched whole has
// been merged, the validators its response carried are kept beside the
// list's file in the download folder ("NAME.fetched", the record format of
// download/resume.h), with the address they belong to. The next list
// transfer from that address sends them as If-None-Match and
// If-Modified-Since; a 304 then counts as a synchronisation that brought
// nothing new. A list that could not be read, or was not merged whole, or
// whose merge could not be saved, leaves no validators, so the server is
// asked for it whole again next time.
//
// Partial downloads kept for resuming are tidied whenever a part of a job
// starts: one that no record (nor the list) would go on with goes, and of
// the rest the oldest go until they fit in PartialFilesLimit together.
#include "store/download_job.h"

#include "base/errors.h"
#include "base/files.h"
#include "base/log.h"
#include "base/settings.h"
#include "download/comm.h"
#include "store/server_data.h"
#include "store/sync_file.h"

namespace {

const char kListItemName[] = "Kinetrope list";

}  // namespace

const char* JobStateName(JobState state) {
  switch (state) {
    case JobState::Idle: return "idle";
    case JobState::List: return "list";
    case JobState::Files: return "files";
  }
  return "?";
}

cDownloadJob::cDownloadJob(cJobCatalogue& catalogue) : Catalogue_(catalogue) {}

cDownloadJob::~cDownloadJob() = default;

void cDownloadJob::SetState(JobState next) {
  if (next == State_) return;
  LogWrite(LOG_TRACE1, "Download job: %s -> %s", JobStateName(State_), JobStateName(next));
  State_ = next;
}

TDataModule_Comm* cDownloadJob::Module() const { return Worker_ != nullptr ? Worker_->DataModule() : nullptr; }

void cDownloadJob::UseWorker(std::unique_ptr<cThread_Comm> worker) { Worker_ = std::move(worker); }

void cDownloadJob::PrepareWorker() {
  if (Worker_ == nullptr) Worker_ = std::make_unique<cThread_Comm>(HangUpQuestion);
  if (TDataModule_Comm* module = Module()) module->PartialFilesLimit = PartialFilesLimit;
}

bool cDownloadJob::StartList(HWND window, bool automatic) {
  if (State_ != JobState::Idle) return false;
  Automatic_ = automatic;
  PrepareWorker();
  Window_ = window;
  Done_ = 0;
  Total_ = 1;
  SetState(JobState::List);
  Item_ = DownloadItem();
  Position_.clear();

  std::string reason;
  if (!Catalogue_.ListToFetch(ListUrl_, File_, reason)) {
    // Nothing is fetched; the job ends through the usual message.
    Catalogue_.LogLine(LOG_ERROR, ("Synchronisation not started: " + reason).c_str());
    EndWith(ERR_BAD_FORMAT);
    return true;
  }
  PrunePartialDownloads();
  PrepareListConditions();
  // An endless or oversized list is stopped at the size no list may pass.
  if (TDataModule_Comm* module = Module()) module->SetNextSizeLimit(SYNC_FILE_SIZE_LIMIT);
  if (!Worker_->StartDownload(ListUrl_, File_, kListItemName, "1 of 1", window, WM_DOWNLOAD_DONE, 0)) NotStarted();
  return true;
}

bool cDownloadJob::StartFiles(HWND window) {
  if (State_ != JobState::Idle) return false;
  BeginFiles(window);
  return true;
}

void cDownloadJob::BeginFiles(HWND window) {
  PrepareWorker();
  Window_ = window;
  Done_ = 0;
  Total_ = Catalogue_.FilesToFetch();
  SetState(JobState::Files);
  Item_ = DownloadItem();
  Catalogue_.FilesBegin();
  PrunePartialDownloads();
  StartNextFile();
}

// The completion message reaches the job's window either way; it carries
// the cause to the owner.
void cDownloadJob::EndWith(int32_t code) {
  Worker_->SetError(code);
  PostMessageA(Window_, WM_DOWNLOAD_DONE, 0, Worker_->GetError());
}

// No thread could be made for the transfer; no record changes.
void cDownloadJob::NotStarted() {
  const int32_t cause = Worker_->GetError() != 0 ? Worker_->GetError() : ERR_NO_ERROR_INFO;
  Catalogue_.LogLine(LOG_ERROR, ("Download not started: " + ::ErrorText(cause)).c_str());
  Item_ = DownloadItem();
  EndWith(cause);
}

// When nothing is left, the message that ends the job is posted all the
// same: a job started for files with none to fetch ends through it.
bool cDownloadJob::StartNextFile() {
  if (Worker_ == nullptr) return false;
  FileToFetch next;
  if (!Catalogue_.PrepareNextFile(next)) {
    EndWith(ERR_BAD_FORMAT);
    return false;
  }
  File_ = std::move(next.File);
  Position_ = std::move(next.Position);
  Item_.Category = next.Category;
  Item_.SkitId = next.SkitId;
  Item_.Url = next.Url;
  Item_.File = File_.c_str();
  Item_.Title = next.Title;
  if (TDataModule_Comm* module = Module()) {
    module->ResetByteCounters();
    // Stopped as soon as it passes the size it may have.
    module->SetNextSizeLimit(next.SizeLimit);
  }
  // A transfer that could not start ends the job with its own message.
  if (!Worker_->StartDownload(Item_.Url, File_, Item_.Title != nullptr ? Item_.Title : "", Position_, Window_,
                              WM_DOWNLOAD_DONE, 0)) {
    NotStarted();
  }
  return true;
}

// A failure here (the catalogue cannot be saved after a merge) goes on to
// the owner window, which reports it; the job is ended first, so that no
// half-ended job holds the worker and refuses the next start. A completion
// that arrives when no job runs (the one posted when nothing was left, or
// one delivered while the job was being ended) is ignored.
bool cDownloadJob::OnDone(int32_t errorCode) {
  bool more = false;
  try {
    switch (State_) {
      case JobState::Idle: return false;
      case JobState::List: {
        const bool failed = errorCode != 0;
        OnListDone(failed);
        more = State_ == JobState::Files;
        break;
      }
      case JobState::Files: more = OnFileDone(errorCode); break;
    }
  } catch (...) {
    End();
    throw;
  }
  if (!more) End();
  return more;
}

// The record of an older list goes before the merge, so a merge or save
// that fails leaves none; the list's address may change in the merge, and
// the validators belong to the address it came from. An automatic job goes
// on to the files when the list was taken and brought some.
void cDownloadJob::OnListDone(bool failed) {
  TDataModule_Comm* module = Module();
  ListOutcome outcome;
  if (!failed && module != nullptr && module->WasNotModified()) {
    Catalogue_.LogLine(LOG_INFO, "The list has not changed since the last synchronisation.");
    Catalogue_.ListUnchanged();
  } else {
    TFetchRecord record;
    if (!failed) {
      if (module != nullptr) {
        record.Url = ListUrl_;
        record.Validators = module->GetResponseValidators();
        record.Bytes = static_cast<uint64_t>(FileSize64(File_));
      }
      DeleteFileA(FetchedRecordPath(File_).c_str());
    }
    outcome = Catalogue_.ListArrived(File_, failed);
    if (!failed) KeepListValidators(outcome, record);
  }
  if (Automatic_ && !failed && !outcome.Refused && Catalogue_.SkitFilesToFetch()) BeginFiles(Window_);
}

// A refused list must be fetched whole again, never answered with a 304.
void cDownloadJob::KeepListValidators(const ListOutcome& outcome, const TFetchRecord& record) {
  if (outcome.Refused || !outcome.Whole || record.Url.empty() || record.Validators.Empty()) return;
  const std::string path = FetchedRecordPath(File_);
  try {
    WriteFetchRecord(path, record);
  } catch (const std::exception& error) {
    DeleteFileA(path.c_str());
    Catalogue_.LogLine(LOG_ERROR, (std::string("List validators not kept: ") + error.what()).c_str());
  }
}

void cDownloadJob::PrepareListConditions() {
  TDataModule_Comm* module = Module();
  if (module == nullptr || File_.empty()) return;
  TFetchRecord record;
  if (!ReadFetchRecord(FetchedRecordPath(File_), record) || record.Url != ListUrl_) return;
  module->SetNextConditions(record.Validators);
}

// The item is used up here whatever happens, so a later completion message
// without a transfer behind it finds none. The byte counters start again at
// 0, so the progress of the job does not count the finished file twice
// until the next one reports.
bool cDownloadJob::OnFileDone(int32_t errorCode) {
  TDataModule_Comm* module = Module();
  const bool failed = errorCode != 0;
  const bool refused = failed && module != nullptr && module->GetFailure() == tfRefused;
  ++Done_;
  if (module != nullptr) module->ResetByteCounters();
  const DownloadItem item = Item_;
  Item_ = DownloadItem();
  if (item.File != nullptr) Catalogue_.InstallDownloadedFile(item, failed, refused);
  return (!failed || refused) && StartNextFile();
}

// Destroying the worker cancels and waits for a transfer still running, and
// may hang up a dial-up connection the job brought up, after asking: the
// question's message loop may deliver a completion, or even start a new job,
// so the job is over and the worker no longer the job's before it goes.
void cDownloadJob::End() {
  SetState(JobState::Idle);
  std::unique_ptr<cThread_Comm> worker = std::move(Worker_);
  Item_ = DownloadItem();
  Window_ = nullptr;
  worker.reset();
}

void cDownloadJob::PrunePartialDownloads() {
  const std::string& folder = CurrentSetting(&cSettings::DownloadPath);
  if (folder.empty()) return;
  const auto keep = [this](const TPartialFile& partial) { return Catalogue_.UsesPartial(partial); };
  for (const TPrunedFile& gone : PrunePartialFiles(folder, PartialFilesLimit, keep)) {
    Catalogue_.LogLine(LOG_INFO,
                       ("Removed the partial download " + PrintableText(gone.Name.c_str()) + ": " + gone.Reason).c_str());
  }
}

DownloadProgress cDownloadJob::Progress() const {
  DownloadProgress progress;
  progress.JobDone = Done_;
  progress.JobTotal = Total_;
  if (TDataModule_Comm* module = Module()) {
    progress.StatusText = module->GetStatusText();
    progress.BytesReceived = static_cast<uint64_t>(module->GetBytesReceived());
    progress.BytesTotal = static_cast<uint64_t>(module->GetBytesTotal());
  }
  return progress;
}

std::string cDownloadJob::ItemName() const {
  TDataModule_Comm* module = Module();
  return module != nullptr ? module->GetItemName() : std::string();
}

std::string cDownloadJob::ErrorText() const {
  TDataModule_Comm* module = Module();
  return module != nullptr ? module->GetErrorText() : std::string();
}

void cDownloadJob::Stop() {
  if (Worker_ != nullptr) Worker_->Stop();
}

void cDownloadJob::SetAskBeforeHangUp(bool value) {
  if (TDataModule_Comm* module = Module()) module->SetAskBeforeHangUp(value);
}
