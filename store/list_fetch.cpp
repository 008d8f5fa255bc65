// Asking for the list only when it changed. After a list fetched whole has
// been merged, the validators its response carried are kept beside the
// list's file in the download folder ("NAME.fetched", the record format of
// download/resume.h), with the address they belong to. The next list
// transfer from that address sends them as If-None-Match and
// If-Modified-Since; a 304 then counts as a synchronisation that brought
// nothing new: nothing is merged, and the job goes on as after a list that
// changed nothing. The catalogue file itself is not touched by any of this.
//
// A list that could not be read as a synchronisation file, or was not
// merged whole, or whose merge could not be saved, leaves no validators, so
// the server is asked for it whole again next time.
#include "base/settings.h"
#include "download/comm.h"
#include "store/catalogue.h"
#include "store/sync_file.h"

namespace {

int SyncMethod() { return TheSettings != nullptr ? TheSettings->SyncMethod : 0; }

}  // namespace

void cSkitManager::PrepareListConditions() {
  if (Transfer == nullptr || Transfer->DataModule() == nullptr || DownloadFile[0] == '\0') return;
  const char* url = Catalog.Header.SyncUrl.Text;
  TFetchRecord record;
  if (url == nullptr || !ReadFetchRecord(FetchedRecordPath(DownloadFile), record) || record.Url != url) return;
  Transfer->DataModule()->SetNextConditions(record.Validators);
}

// The validators are kept only once the merge is whole and the catalogue
// saved: otherwise the next synchronisation must fetch and merge the list
// again, not be told that nothing changed. The record of an older list goes
// first, so a merge or save that fails leaves none.
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
  if (!failed && module != nullptr && Catalog.Header.SyncUrl.Text != nullptr) {
    record.Url = Catalog.Header.SyncUrl.Text;
    record.Validators = module->GetResponseValidators();
    record.Bytes = static_cast<uint64_t>(FileSize64(DownloadFile));
  }
  if (!failed) DeleteFileA(recordPath.c_str());
  // The list's address may change in the merge; the validators belong to
  // the address it came from. A failed save leaves by exception.
  ApplySyncFileAndSave(DownloadFile, failed);
  // A refused list must be fetched whole again, never answered with a 304.
  if (failed || ListRefused || !ListMerged_ || record.Validators.Empty()) return;
  try {
    WriteFetchRecord(recordPath, record);
  } catch (const std::exception& error) {
    DeleteFileA(recordPath.c_str());
    LogLine(LOG_ERROR, (std::string("List validators not kept: ") + error.what()).c_str());
  }
}
