// Catalogue synchronisation: what the download job's transfers mean for the
// catalogue. The job (store/download_job.cpp) runs the transfers; here the
// list that arrived is merged (store/merge.cpp) and skits are scheduled,
// the next file of a scheduled skit is chosen, and a file that arrived is
// installed (store/file_install.cpp) and counted in its record.
//
// The synchronisation file comes over plain HTTP and is trusted no further
// than the catalogue can afford (see store/merge.h). The same name rule
// guards every path built here, so nothing is ever written outside the
// skits and download folders. A file that cannot be read as a
// synchronisation file merges nothing and is deleted, so it is not tried
// again and again.
//
// A file transfer the server refused for good (404, 403, 410, a file that
// is no good) marks its skit failed; a cancel or a failure that may pass
// leaves the skit scheduled for the next job. A file that arrived but
// cannot be put into the skits folder, or is not the file the signed list
// names, marks its skit failed too.
//
// A read-only catalogue (the settings dialog holds the file) starts no job:
// it could keep neither what a merge brings nor what a download installs.
#include <cstdio>
#include <optional>
#include <stdexcept>

#include "base/errors.h"
#include "base/files.h"
#include "base/settings.h"
#include "base/text.h"
#include "download/resume.h"
#include "store/catalogue.h"
#include "store/file_install.h"
#include "store/merge.h"
#include "store/server_data.h"
#include "store/skit_paths.h"
#include "store/sync_file.h"

// ---------------------------------------------------------------------------
// The job, as the catalogue starts it

bool cSkitManager::StartListDownload(HWND window, bool automatic) {
  if (Job_.State() != JobState::Idle || IsReadOnly()) return false;
  Changed = false;
  Tally = JobTally();
  return Job_.StartList(window, automatic);
}

bool cSkitManager::StartFileDownloads(HWND window) {
  if (Job_.State() != JobState::Idle || IsReadOnly()) return false;
  Changed = false;
  Tally = JobTally();
  return Job_.StartFiles(window);
}

bool cSkitManager::OnDownloadDone(int32_t errorCode) { return Job_.OnDone(errorCode); }

void cSkitManager::EndDownload() { Job_.End(); }

void cSkitManager::SetDriverFlag(bool value) { Job_.SetAskBeforeHangUp(value); }

// ---------------------------------------------------------------------------
// What the job asks of the catalogue

bool cSkitManager::ListToFetch(std::string& url, std::string& file, std::string& reason) const {
  const CatalogHeader& header = Catalog.Header;
  const bool named = FolderFile(CurrentSetting(&cSettings::DownloadPath), header.SyncFileName.Text, file);
  url = header.SyncUrl.Text != nullptr ? header.SyncUrl.Text : "";
  if (!named) {
    reason = "unsafe file name " + PrintableText(header.SyncFileName.Text);
  } else if (!IsAllowedUrl(header.SyncUrl.Text)) {
    reason = "unsupported address " + PrintableText(header.SyncUrl.Text);
  }
  return reason.empty();
}

// A list that failed to arrive counts as no synchronisation at all.
ListOutcome cSkitManager::ListArrived(const std::string& file, bool failed) {
  ApplySyncFileAndSave(file, failed);
  StampLastSync(failed || ListRefused);
  ListOutcome outcome;
  outcome.Refused = ListRefused;
  outcome.Whole = !failed && ListMerged_;
  return outcome;
}

void cSkitManager::ListUnchanged() {
  ListRefused = false;
  if (CurrentSyncMethod() == 0) ScheduleAvailable();
  StampLastSync(false);
}

uint32_t cSkitManager::FilesToFetch() const { return PendingFiles(CAT_ANY, SKIT_SCHEDULED); }

bool cSkitManager::SkitFilesToFetch() const { return PendingFiles(CAT_SKIT, SKIT_SCHEDULED) != 0; }

void cSkitManager::FilesBegin() {
  if (Catalog.Header.SpecialsOn != 0) ScheduleSpecials();
}

bool cSkitManager::UsesPartial(const TPartialFile& partial) const {
  auto uses = [&partial](const StoredString& name, const StoredString& url) {
    return name.Text != nullptr && url.Text != nullptr && partial.Record.Url == url.Text &&
           _stricmp(partial.Name.c_str(), name.Text) == 0;
  };
  if (uses(Catalog.Header.SyncFileName, Catalog.Header.SyncUrl)) return true;
  for (const SkitRecord& record : RecordsInUse(Catalog)) {
    for (uint32_t f = 0; f < FilesInUse(record); ++f) {
      if (uses(record.Files[f].Name, record.Files[f].Url)) return true;
    }
  }
  return false;
}

// ---------------------------------------------------------------------------
// Merging

// The texts the merge writes and the block that names them reach the file
// as one change: a merge cut short (a full disk, a machine that stopped)
// leaves the catalogue file as it was before the list came.
void cSkitManager::ApplySyncFileAndSave(const std::string& path, bool skip) {
  ListRefused = false;
  if (skip) return;
  std::optional<cPakBatch> batch;
  if (OpsPak != nullptr && !IsReadOnly()) batch.emplace(*OpsPak);
  try {
    Changed = ApplySyncFile(path);
    if (!ListRefused) {
      if (CurrentSyncMethod() == 0) ScheduleAvailable();
      // What the list taught the catalogue (its version, a new key) is kept
      // at once too, even when no record changed.
      if (Changed || Trust.IsDirty()) Save();
    }
    if (batch) batch->Commit();
  } catch (...) {
    batch.reset();
    Trust.Abandoned();
    throw;
  }
  if (batch && !OpsPak->InBatch()) Trust.Committed();
}

// A record that cannot be read or taken is skipped with a log line; the file
// is deleted whatever became of it.
//
// The file is opened once, and held so that no one else can change or
// delete it, for the checks and the merge alike: what was checked is what
// is merged. With a key, a file that cannot even be read as a list is
// refused like an unsigned one.
bool cSkitManager::ApplySyncFile(const std::string& path) {
  bool changed = false;
  ListRefused = false;
  ListMerged_ = false;
  bool opened = false;
  std::optional<cCatalogueMerge> merge;
  try {
    cSyncFile sync(path);
    opened = true;
    ListRefused = !AcceptList(sync);
    if (!ListRefused) {
      merge.emplace(Merge());
      merge->MergeHeader(sync.Header());
      // A record the catalogue could not take for want of room is left on
      // purpose; one that failed otherwise (unreadable, or the catalogue
      // file would not take its texts) leaves the merge unfinished.
      bool whole = true;
      for (const int32_t id : sync.RecordIds()) {
        try {
          cServerRecord server;
          sync.ReadRecord(id, server);
          if (merge->MergeRecord(server.Record)) changed = true;
        } catch (const ERecordRefused& error) {
          ++Tally.Rejected;
          merge->RecordLine("Refused skit record " + std::to_string(id) + ": " + error.what());
        } catch (const ECatalogueFull& error) {
          ++Tally.Rejected;
          merge->RecordLine("Skipped skit record " + std::to_string(id) + ": " + error.what());
        } catch (const std::exception& error) {
          ++Tally.Rejected;
          merge->RecordLine("Skipped skit record " + std::to_string(id) + ": " + error.what());
          whole = false;
        }
      }
      if (Trust.TakeList(sync)) {
        LogLine(LOG_INFO, ("The maker's key changed: list version " + std::to_string(sync.Header().Version) +
                           " is signed with a new key that the old key handed over to; the catalogue keeps it")
                              .c_str());
      }
      ListMerged_ = whole;
    }
  } catch (const std::exception& error) {
    if (!opened && Trust.HasKey()) {
      ListRefused = true;
      RefuseList(error.what());
    } else {
      LogLine(LOG_ERROR, (std::string("Synchronisation file not merged: ") + error.what()).c_str());
    }
  }
  if (merge && merge->UnlistedRecords() > 0) {
    LogLine(LOG_ERROR,
            (std::to_string(merge->UnlistedRecords()) + " more skit records skipped or rejected, not listed").c_str());
  }
  DeleteFileA(path.c_str());
  return changed;
}

// The address the list was fetched from is the catalogue's own: a list
// placed in the skits folder must name it too.
bool cSkitManager::AcceptList(cSyncFile& sync) {
  std::string reason;
  const char* address = Catalog.Header.SyncUrl.Text;
  if (Trust.CheckList(sync, address != nullptr ? address : "", Catalog.Header.CatalogVersion, reason)) return true;
  RefuseList(reason);
  return false;
}

void cSkitManager::RefuseList(const std::string& reason) {
  LogLine(LOG_ERROR, ("Synchronisation file refused: " + reason).c_str());
}

cCatalogueMerge cSkitManager::Merge() {
  return cCatalogueMerge(Catalog, *OpsPak, Tally,
                         [this](uint32_t level, const std::string& text) { LogLine(level, text.c_str()); });
}

void cSkitManager::AddSkit(const SkitRecord& server) { Merge().AddSkit(server); }

bool cSkitManager::UpdateSkit(const SkitRecord& server) { return Merge().UpdateSkit(server); }

void cSkitManager::UpdateSkitPartly(const SkitRecord& server, SkitRecord& target) {
  Merge().UpdateSkitPartly(server, target);
}

// ---------------------------------------------------------------------------
// Scheduling

// A skit past its ShowUntil would never be fetched, so it is left available.
void cSkitManager::ScheduleAvailable() {
  const uint64_t now = Clock().Value();
  for (SkitRecord& record : RecordsInUse(Catalog)) {
    if (record.State != SKIT_AVAILABLE || IsExpired(record, now)) continue;
    Schedule(record, IsHalfWay(record));
    record.Selection = SEL_AUTO;
  }
}

// With automatic download every special skit still to be shown is
// scheduled; otherwise at most ten per job, so a user who fetches by hand is
// not handed a long job of specials at once.
void cSkitManager::ScheduleSpecials() {
  const uint64_t now = Clock().Value();
  const bool limited = CurrentSyncMethod() != 0;
  int32_t budget = 10;
  for (SkitRecord& record : RecordsInUse(Catalog)) {
    if (record.Category != CAT_SPECIAL || record.ShowUntil < now) continue;
    if (record.State == SKIT_AVAILABLE) {
      Schedule(record, IsHalfWay(record));
      record.Selection = SEL_AUTO;
      --budget;
    }
    if (limited && budget <= 0) break;
  }
}

void cSkitManager::StampLastSync(bool skip) {
  if (!skip) Catalog.Header.LastSync = Clock().Value();
}

// ---------------------------------------------------------------------------
// Skit files

void cSkitManager::RejectFile(SkitRecord& record, const std::string& reason) {
  LogLine(LOG_ERROR, ("Cannot download " + TitleOf(record) + ": " + reason).c_str());
  record.State = SKIT_FAILED;
  ++Tally.Failed;
  Changed = true;
}

// A skit whose next file could never be fetched or installed (a name or
// address the rules refuse, a path too long for the folders) fails at once
// instead of holding up the job; the search goes on behind it.
bool cSkitManager::PrepareNextFile(FileToFetch& next) {
  const uint64_t now = Clock().Value();
  for (SkitRecord& record : RecordsInUse(Catalog)) {
    if (record.State != SKIT_SCHEDULED || IsExpired(record, now)) continue;
    if (record.FilesDone >= FilesInUse(record)) continue;
    const uint32_t n = record.FilesDone;
    const SkitFile& file = record.Files[n];
    std::string downloaded, installed;
    if (!IsSafeFileName(file.Name.Text)) {
      RejectFile(record, "unsafe file name " + PrintableText(file.Name.Text));
      continue;
    }
    if (!IsAllowedUrl(file.Url.Text)) {
      RejectFile(record, "unsupported address " + PrintableText(file.Url.Text));
      continue;
    }
    if (!FolderFile(CurrentSetting(&cSettings::DownloadPath), file.Name.Text, downloaded) ||
        !FolderFile(CurrentSetting(&cSettings::SkitsPath), file.Name.Text, installed)) {
      RejectFile(record, "no room for the path of " + PrintableText(file.Name.Text));
      continue;
    }
    // With a key, a file the signed list gives no sums for could never be
    // installed: it is not fetched at all.
    std::string why;
    uint64_t limit = 0;
    if (!Trust.SizeLimit(file.Url.Text, limit, why)) {
      RejectFile(record, PrintableText(file.Name.Text) + " is not the file the signed list names: " + why);
      continue;
    }
    next.Category = record.Category;
    next.SkitId = record.SkitId;
    next.Url = file.Url.Text;
    next.Title = record.Title.Text;
    next.File = std::move(downloaded);
    next.Position = std::to_string(n + 1) + " of " + std::to_string(static_cast<int>(record.FileCount));
    next.SizeLimit = limit;
    return true;
  }
  return false;
}

void cSkitManager::InstallDownloadedFile(const DownloadItem& item, bool failed, bool refused) {
  const int32_t index = FindSkit(item.Category, item.SkitId);
  if (index < 0) return;
  SkitRecord& record = Catalog.Records[index];
  if (failed) {
    if (refused) {
      record.State = SKIT_FAILED;
      ++Tally.Failed;
    }
    return;
  }
  if (record.FilesDone >= FilesInUse(record)) return;
  const SkitFile& file = record.Files[record.FilesDone];
  std::string target;
  if (!SkitFilePath(file.Name, target)) {
    RejectFile(record, "unsafe file name " + PrintableText(file.Name.Text));
    return;
  }
  const std::string failure = InstallSkitFile(Trust, item.File, file, target);
  if (!failure.empty()) {
    RejectFile(record, failure);
    return;
  }
  record.FilesDone += 1;
  if (record.FilesDone >= record.FileCount) {
    record.State = SKIT_INSTALLED;
    if (record.Selection == SEL_AUTO) record.Selection = SEL_ON;
  }
  ++Tally.Installed;
  DeleteFileA(item.File);
  Changed = true;
}
