// Asking for the list only when it changed. After a list fetched whole has
// been merged, the validators its response carried are kept beside the
// list's file in the download folder ("NAME.fetched", the record format of
// download/resume.h), with the address they belong to. The next list
// transfer from that address sends them as If-None-Match and
// If-Modified-Since; a 304 then counts as a synchronisation that brought
// nothing new: nothing is merged, and the job goes on as after a list that
// changed nothing. The catalogue file itself is not touched by any of this.
//
// A list that could not be read as a synchronisation file leaves no
// validators, so the server is asked for it whole again next time.
#include "base/settings.h"
#include "download/comm.h"
#include "store/catalogue.h"
#include "store/sync_file.h"

namespace {

int SyncMethod() { return TheSettings != nullptr ? TheSettings->SyncMethod : 0; }

bool IsReadableSyncFile(const std::string& path) {
  try {
    cSyncFile sync(path);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

void cSkitManager::PrepareListConditions() {
  if (Transfer == nullptr || Transfer->DataModule() == nullptr || DownloadFile[0] == '\0') return;
  const char* url = Catalog.Header.SyncUrl.Text;
  TFetchRecord record;
  if (url == nullptr || !ReadFetchRecord(FetchedRecordPath(DownloadFile), record) || record.Url != url) return;
  Transfer->DataModule()->SetNextConditions(record.Validators);
}

void cSkitManager::MergeFetchedList(bool failed) {
  TDataModule_Comm* module = Transfer != nullptr ? Transfer->DataModule() : nullptr;
  ListRefused = false;
  if (!failed && module != nullptr && module->WasNotModified()) {
    LogLine(LOG_INFO, "The list has not changed since the last synchronisation.");
    if (SyncMethod() == 0) ScheduleAvailable();
    return;
  }
  const std::string recordPath = FetchedRecordPath(DownloadFile);
  TFetchRecord record;
  if (!failed && module != nullptr && Catalog.Header.SyncUrl.Text != nullptr && IsReadableSyncFile(DownloadFile)) {
    record.Url = Catalog.Header.SyncUrl.Text;
    record.Validators = module->GetResponseValidators();
    record.Bytes = static_cast<uint64_t>(FileSize64(DownloadFile));
  }
  // The list's address may change in the merge; the validators belong to
  // the address it came from.
  ApplySyncFileAndSave(DownloadFile, failed);
  if (failed) return;
  // A refused list must be fetched whole again, never answered with a 304.
  if (ListRefused || record.Validators.Empty()) {
    DeleteFileA(recordPath.c_str());
    return;
  }
  try {
    WriteFetchRecord(recordPath, record);
  } catch (const std::exception& error) {
    DeleteFileA(recordPath.c_str());
    LogLine(LOG_ERROR, (std::string("List validators not kept: ") + error.what()).c_str());
  }
}
