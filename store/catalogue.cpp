// The catalogue as a run begins: opened, tidied (specials past their time,
// records no longer available, files gone from the skits folder) and given
// a list the installation placed in the skits folder. The catalogue's file
// itself is read and written in catalogue_file.cpp; the synchronisation in
// sync.cpp.
#include "store/catalogue.h"

#include "base/files.h"
#include "base/settings.h"
#include "base/text.h"
#include "store/server_data.h"
#include "store/skit_paths.h"
#include "store/sync_file.h"

cSkitManager* TheSkitManager = nullptr;
cSkitManager::ClockFn cSkitManager::Clock = &cDateTime::Now;

cSkitManager::cSkitManager(bool runMode) {
  Load(runMode);
  // The job members start idle through their initialisers.
  try {
    ExpireSpecials();
    PurgeUnavailable();
    CatalogHeader& header = Catalog.Header;
    header.SpecialCountdown = header.SpecialInterval;
    header.SpecialsLeft = header.SpecialsPerRun;

    // The download log starts afresh once it has grown past its limit.
    const std::string& logPath = CurrentSetting(&cSettings::LogPath);
    if (GetFileSizeByName(logPath) > DOWNLOAD_LOG_LIMIT) DeleteFileA(logPath.c_str());

    InstallLocalSyncFile();
    VerifyInstalled();
  } catch (...) {
    ReleaseAllTexts();
    OpsPak.reset();
    throw;
  }
}

cSkitManager::~cSkitManager() {
  // A job still running is abandoned: the worker is cancelled and waited for.
  if (Job_.Worker() != nullptr) Job_.End();
  if (OpsPak == nullptr) return;
  if (!IsReadOnly()) {
    try {
      Save();
    } catch (const std::exception& error) {
      LogWrite(LOG_ERROR, "Catalogue not saved: %s", error.what());
    } catch (...) {
      LogWrite(LOG_ERROR, "Catalogue not saved.");
    }
  }
  ReleaseAllTexts();
  // Closing the archive compacts it when texts were superseded.
  OpsPak.reset();
}

void cSkitManager::ExpireSpecials() {
  const uint64_t now = Clock().Value();
  for (SkitRecord& record : RecordsInUse(Catalog)) {
    if (record.Category != CAT_SPECIAL) continue;
    if (record.PlaysLeft == 0 || record.ShowUntil < now) record.State = SKIT_NOT_AVAILABLE;
  }
}

// Removed records leave their "PSTR" entries in the archive, and the slots
// behind the new Count keep their bytes; only the texts in memory go.
void cSkitManager::PurgeUnavailable() {
  CatalogHeader& header = Catalog.Header;
  const uint32_t count = static_cast<uint32_t>(RecordsInUse(Catalog).size());
  for (uint32_t i = 0; i < count; ++i) {
    const SkitRecord& record = Catalog.Records[i];
    if (record.State != SKIT_NOT_AVAILABLE) continue;
    for (uint32_t f = 0; f < FilesInUse(record); ++f) {
      std::string path;
      if (SkitFilePath(record.Files[f].Name, path)) DeleteFileA(path.c_str());
    }
  }

  uint32_t kept = 0;
  for (uint32_t i = 0; i < count; ++i) {
    SkitRecord& record = Catalog.Records[i];
    if (record.State == SKIT_NOT_AVAILABLE) {
      ReleaseRecordTexts(*OpsPak, record);
      continue;
    }
    if (kept != i) Catalog.Records[kept] = record;
    ++kept;
  }
  for (uint32_t i = kept; i < count; ++i) {
    SkitRecord& stale = Catalog.Records[i];
    stale.Title.Text = stale.Info.Text = stale.HotKey.Link.Text = nullptr;
    for (SkitFile& file : stale.Files) file.Name.Text = file.Url.Text = nullptr;
  }
  header.Count = kept;
}

// Each missing file gets its own log line, so the remaining files of a
// record are still looked at after the first one is missing.
void cSkitManager::VerifyInstalled() {
  for (SkitRecord& record : RecordsInUse(Catalog)) {
    if (record.State != SKIT_INSTALLED) continue;
    for (uint32_t f = 0; f < FilesInUse(record); ++f) {
      std::string path;
      if (SkitFilePath(record.Files[f].Name, path) && FileExists(path)) continue;
      // An unsafe name is reported as it is stored, never looked for.
      if (path.empty()) path = PrintableText(record.Files[f].Name.Text);
      const std::string title = record.Title.Text != nullptr ? record.Title.Text : "";
      LogLine(LOG_INFO, (title + ": file not found. " + path).c_str());
      record.State = SKIT_AVAILABLE;
      record.Selection = SEL_NONE;
    }
  }
}

// A read-only catalogue cannot keep what a merge would bring, so the file
// is left for a run that can.
void cSkitManager::InstallLocalSyncFile() {
  if (IsReadOnly()) return;
  std::string path;
  if (!FolderFile(CurrentSetting(&cSettings::SkitsPath), LOCAL_SYNC_FILE_NAME, path) || !FileExists(path)) return;
  ApplySyncFileAndSave(path, false);
  if (ListRefused) return;
  for (SkitRecord& record : RecordsInUse(Catalog)) {
    if (record.State != SKIT_AVAILABLE && record.State != SKIT_SCHEDULED) continue;
    if (!AllFilesPresent(record)) continue;
    record.State = SKIT_INSTALLED;
    record.Selection = SEL_ON;
  }
  StampLastSync(false);
}
