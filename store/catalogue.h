// The skit catalogue: every skit the screensaver knows (installed, offered
// for download, and its own notice movies), the choice of the next skit to
// play, its synchronisation with the content server and the bookkeeping of
// a download job.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "base/log.h"
#include "store/catalog_block.h"
#include "store/download_job.h"
#include "store/list_trust.h"
#include "store/merge.h"
#include "store/pak.h"

class cSyncFile;
struct SyncHeader;

// A download log larger than this is deleted when a catalogue is opened.
constexpr uint64_t DOWNLOAD_LOG_LIMIT = 512000;
// One day in cDateTime units (100 ns).
constexpr uint64_t DATETIME_DAY = 864000000000ull;

// What the settings and download dialogs edit. The texts are borrowed from the
// catalogue and stay valid while it lives.
struct SkitListItem {
  const char* Title = nullptr;
  const char* Info = nullptr;
  const char* FileNames[SKIT_MAX_FILES] = {};
  int32_t SkitId = 0;
  uint8_t State = 0;
  uint8_t Selection = 0;
  uint32_t Flags = 0;
};

class cSkitManager : private cJobCatalogue {
 public:
  // runMode lets the catalogue fall back to read-only when it cannot be
  // opened for writing. Throws when it cannot be opened at all, or when its
  // block is damaged ("The file is missing or corrupt." and the path).
  explicit cSkitManager(bool runMode);
  ~cSkitManager() override;
  cSkitManager(const cSkitManager&) = delete;
  cSkitManager& operator=(const cSkitManager&) = delete;

  void Load(bool runMode);
  void Save();
  bool IsReadOnly() const { return Access == GENERIC_READ; }

  // Index of the first record of that category and id, or -1.
  int32_t FindSkit(uint8_t category, int32_t skitId) const;
  int32_t CountCategory(uint8_t category) const;
  // The hot key of the skit playing now when it answers to keyCode, or null.
  const SkitHotKey* FindHotKey(int32_t keyCode) const;
  // items needs room for every record (CATALOG_MAX_SKITS).
  int32_t ExportList(SkitListItem* items, uint8_t category) const;
  void ImportList(const SkitListItem* items, int32_t count, uint8_t category);
  // One line in the download log.
  void LogLine(uint32_t level, const char* text) const override;

  // Start of a run.
  void ExpireSpecials();
  void PurgeUnavailable();
  void VerifyInstalled();
  void InstallLocalSyncFile();

  // Choosing what to play. The names returned are relative to the skits
  // folder and belong to the catalogue; null when there is nothing.
  const char* NextSkit();
  const char* NextSpecial();
  const char* GetFileName(uint8_t category, int32_t skitId, int32_t fileIndex) const;
  uint32_t PendingFiles(uint8_t category, uint8_t state) const;
  bool IsUpdateDue() const;

  // The download job (store/download_job.h) drives the transfers; these
  // start it for this catalogue. The window given to a start receives
  // WM_DOWNLOAD_DONE for each transfer and hands its lParam to
  // OnDownloadDone, which goes on or ends the job (false). Both starts
  // refuse (false) while a job runs and on a read-only catalogue.
  bool StartListDownload(HWND window, bool automatic);
  bool StartFileDownloads(HWND window);
  bool OnDownloadDone(int32_t errorCode);
  void EndDownload();
  void SetDriverFlag(bool value);
  cDownloadJob& Job() { return Job_; }
  const cDownloadJob& Job() const { return Job_; }

  // Merging a synchronisation file (store/merge.h) and scheduling.
  void ApplySyncFileAndSave(const std::string& path, bool skip);
  bool ApplySyncFile(const std::string& path);
  // Throws ECatalogueFull when the catalogue is full.
  void AddSkit(const SkitRecord& server);
  bool UpdateSkit(const SkitRecord& server);
  void UpdateSkitPartly(const SkitRecord& server, SkitRecord& target);
  void ScheduleAvailable();
  void ScheduleSpecials();
  void StampLastSync(bool skip);

  // The skit files of a job: the next one to fetch, and what arrived.
  bool PrepareNextFile(FileToFetch& next) override;
  void InstallDownloadedFile(const DownloadItem& item, bool failed, bool refused) override;

  // What the job so far has done, for reports; cleared when a job starts.
  JobTally Tally;

  // The maker's key and what the catalogue took from signed lists.
  cListTrust Trust;
  // The last list given to ApplySyncFile was refused as a whole (a catalogue
  // with a key, and a list not signed with it or older than the newest
  // taken): nothing was merged, and the job must not count it as a sync.
  bool ListRefused = false;

  // The time every rule of the catalogue compares with; tests set their own.
  using ClockFn = cDateTime (*)();
  static ClockFn Clock;
  DWORD Access = GENERIC_READ | GENERIC_WRITE;
  CatalogBlock Catalog;
  std::unique_ptr<cPakFile> OpsPak;
  bool Changed = false;
  int32_t Current = 0;
  // The file says its texts are UTF-8 (see store/archive_texts.h).
  bool Utf8Texts() const { return Utf8Texts_; }

 private:
  void ReadText(StoredString& ref);
  void MarkTexts();
  void WriteText(const StringRef& ref);
  void ReleaseAllTexts();
  // At load: the seed catalogue's maker key replaces the catalogue's own.
  void TakeSeedKey();

  // What the job asks of the catalogue (sync.cpp).
  bool ListToFetch(std::string& url, std::string& file, std::string& reason) const override;
  ListOutcome ListArrived(const std::string& file, bool failed) override;
  void ListUnchanged() override;
  uint32_t FilesToFetch() const override;
  bool SkitFilesToFetch() const override;
  void FilesBegin() override;
  bool UsesPartial(const TPartialFile& partial) const override;

  cCatalogueMerge Merge();
  void RejectFile(SkitRecord& record, const std::string& reason);
  // The checks a catalogue with a key makes.
  bool AcceptList(cSyncFile& sync);
  void RefuseList(const std::string& reason);

  bool Utf8Texts_ = false;
  // The last list given to ApplySyncFile was merged whole: every record
  // was read and taken or deliberately left.
  bool ListMerged_ = false;
  cDownloadJob Job_{*this};
};

extern cSkitManager* TheSkitManager;
