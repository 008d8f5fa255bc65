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
#include "download/resume.h"
#include "store/catalog_block.h"
#include "store/list_trust.h"
#include "store/pak.h"

class cSyncFile;
class cThread_Comm;
struct SyncHeader;

// Categories.
constexpr uint8_t CAT_NOTICE = 0;   // the screensaver's own notice movies, asked for by id
constexpr uint8_t CAT_SKIT = 1;     // regular skits, played in rotation
constexpr uint8_t CAT_SPECIAL = 2;  // special skits, interleaved on the catalogue's schedule
constexpr uint8_t CAT_ANY = 255;    // PendingFiles only: every category

// Skit states.
constexpr uint8_t SKIT_NOT_AVAILABLE = 0;
constexpr uint8_t SKIT_AVAILABLE = 1;
constexpr uint8_t SKIT_SCHEDULED = 2;
constexpr uint8_t SKIT_INSTALLED = 3;
constexpr uint8_t SKIT_FAILED = 4;

// Selection.
constexpr uint8_t SEL_NONE = 0;
constexpr uint8_t SEL_AUTO = 1;  // scheduled by the program; becomes SEL_ON once installed
constexpr uint8_t SEL_ON = 2;    // ticked: takes part in play

// Download job phases.
constexpr int32_t JOB_IDLE = 0;
constexpr int32_t JOB_SYNC_FILE = 1;
constexpr int32_t JOB_SKIT_FILES = 2;

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

// The file a download job is fetching.
struct DownloadItem {
  uint8_t Category = 0;
  int32_t SkitId = 0;
  const char* Url = nullptr;
  const char* File = nullptr;  // the manager's DownloadFile
  const char* Title = nullptr;
};

class cSkitManager {
 public:
  // runMode lets the catalogue fall back to read-only when it cannot be
  // opened for writing. Throws when it cannot be opened at all, or when its
  // block is damaged ("The file is missing or corrupt." and the path).
  explicit cSkitManager(bool runMode);
  virtual ~cSkitManager();
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
  void LogLine(uint32_t level, const char* text) const;

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

  // Synchronisation and the download job (sync.cpp). A job runs one transfer
  // at a time on the worker Transfer; the window given to StartListDownload
  // or StartFileDownloads receives WM_DOWNLOAD_DONE for each and hands its
  // lParam to OnDownloadDone, which goes on or ends the job (false). Both
  // starts refuse (false) while a job runs and on a read-only catalogue.
  bool StartListDownload(HWND window, bool automatic);
  bool StartFileDownloads(HWND window);
  bool OnDownloadDone(int32_t errorCode);
  void EndDownload();
  void SetDriverFlag(bool value);

  // Merging a synchronisation file and scheduling.
  void ApplySyncFileAndSave(const std::string& path, bool skip);
  bool ApplySyncFile(const std::string& path);
  // Throws "Can't add skit - max entries!" when the catalogue is full.
  void AddSkit(const SkitRecord& server);
  bool UpdateSkit(const SkitRecord& server);
  void UpdateSkitPartly(const SkitRecord& server, SkitRecord& target);
  void ScheduleAvailable();
  void ScheduleSpecials();
  void StampLastSync(bool skip);

  // The skit files of a job.
  bool PrepareNextFile();
  bool StartNextFile(HWND window);
  void InstallDownloadedFile(int32_t errorCode);

  // What the job so far has done, for reports; cleared when a job starts.
  struct JobTally {
    uint32_t Added = 0;      // new skits merged
    uint32_t Updated = 0;    // skits a higher revision changed
    uint32_t Rejected = 0;   // server records refused or unreadable
    uint32_t Installed = 0;  // files installed into the skits folder
    uint32_t Failed = 0;     // skits set to SKIT_FAILED
  };
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
  // Called while a downloaded file's copy is held in the skits folder,
  // before it is checked and renamed; tests look at the files then.
  using InstallHookFn = void (*)(const std::string& download, const std::string& copy);
  static InstallHookFn InstallHook;

  DWORD Access = GENERIC_READ | GENERIC_WRITE;
  DownloadItem Download;
  char ProgressText[32] = {};
  int32_t Phase = JOB_IDLE;
  CatalogBlock Catalog;
  std::unique_ptr<cPakFile> OpsPak;
  // A path of up to MAX_PATH - 1 UTF-16 units, in UTF-8 (at most three
  // bytes a unit).
  char DownloadFile[MAX_PATH * 3] = {};
  bool Changed = false;
  int32_t Current = 0;
  cThread_Comm* Transfer = nullptr;
  // How the user is asked before a dial-up connection the job brought up
  // is hung up; every worker the catalogue makes gets it. Without one,
  // nobody is asked (and nothing is hung up where asking was wanted).
  std::function<bool(const std::string& question)> HangUpQuestion;
  // What the partial downloads kept for resuming may take together; tests
  // set a smaller bound.
  uint64_t PartialFilesLimit = kPartialFilesLimit;
  uint32_t JobDone = 0;
  uint32_t JobTotal = 0;
  bool Automatic = false;
  // The file says its texts are UTF-8 (see store/archive_texts.h).
  bool Utf8Texts() const { return Utf8Texts_; }

 private:
  void ReadText(StoredString& ref);
  void MarkTexts();
  bool Utf8Texts_ = false;
  void WriteText(const StringRef& ref);
  void ReleaseText(StringRef& ref);
  void ReleaseRecordTexts(SkitRecord& record);
  void ReleaseAllTexts();
  // At load: the seed catalogue's maker key replaces the catalogue's own.
  void TakeSeedKey();
  // The file's path in the skits folder; false (path empty) for an unsafe name.
  bool SkitFilePath(const StringRef& name, std::string& path) const;

  void BeginFileDownloads(HWND window, bool continuing);
  // The worker of the job, made at the first job, with the hang-up question
  // and the bound of the partial downloads.
  void PrepareTransfer();
  // Removes the partial downloads no transfer of this catalogue would go on
  // with, and the oldest beyond PartialFilesLimit.
  void PrunePartialDownloads();
  // The list's validators from its last merge, for the list transfer (list_fetch.cpp).
  void PrepareListConditions();
  // Merges the list that arrived, or takes a 304 as a list with nothing new.
  void MergeFetchedList(bool failed);
  void MergeSyncHeader(const SyncHeader& header);
  bool MergeServerRecord(const SkitRecord& server);
  bool AllFilesPresent(const SkitRecord& record) const;
  void ReplaceText(StoredString& target, const char* text);
  void NewText(StoredString& target, const char* text);
  void RejectFile(SkitRecord& record, const std::string& reason);
  void NotStarted(HWND window);

  // A skipped or rejected record of the list being merged, in the log.
  void RecordLine(const std::string& text);
  // list_trust.cpp: the checks a catalogue with a key makes.
  bool AcceptList(cSyncFile& sync);
  void RefuseList(const std::string& reason);
  // Puts the downloaded file into the skits folder as target, checked;
  // false when the skit failed instead.
  bool InstallFile(SkitRecord& record, const std::string& target);

  // The last list given to ApplySyncFile was merged whole: every record
  // was read and taken or deliberately left.
  bool ListMerged_ = false;
  HWND JobWindow_ = nullptr;  // where the job's transfers report
  uint64_t DownloadLimit_ = 0;  // the most bytes the file PrepareNextFile chose may have
  // Lines about single records of one list: the first ones are listed,
  // the rest only counted.
  static constexpr uint32_t kRecordLinesListed = 50;
  uint32_t RecordLines_ = 0;
  uint32_t UnlistedRecords_ = 0;
};

extern cSkitManager* TheSkitManager;

// The files of a record that count: FileCount, but never more than there are slots.
inline uint32_t FilesInUse(const SkitRecord& record) {
  return record.FileCount < SKIT_MAX_FILES ? record.FileCount : SKIT_MAX_FILES;
}

// Past its ShowUntil: none of the skit's files is fetched any more, so it
// counts as neither pending nor to be scheduled.
inline bool IsExpired(const SkitRecord& record, uint64_t now) { return record.ShowUntil <= now; }
