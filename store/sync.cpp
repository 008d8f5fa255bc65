// Catalogue synchronisation and the download job.
//
// A job is a short chain of transfers on one worker (cThread_Comm): first,
// when started for the list, the server's synchronisation file, which is
// merged into the catalogue; then, when the job is automatic or was started
// for files, one file of a scheduled skit after another, each installed into
// the skits folder as it arrives. Nothing here waits: each transfer ends with
// WM_DOWNLOAD_DONE at the job's window, whose owner hands it to
// OnDownloadDone, and that starts the next transfer or ends the job. Phase
// says which kind of transfer is out; Download says which file, and is
// cleared whenever no file transfer is out, so a completion message that
// belongs to no file (the one StartNextFile posts when nothing is left)
// changes no record.
//
// The synchronisation file comes over plain HTTP and is trusted no further
// than the catalogue can afford: a record whose file names are not plain file
// names, whose addresses are not http or https, or that claims more than four
// files is refused with a "Rejected skit" line in the download log, and the
// rest of the file still merges. The same name rule guards every path this
// file builds, so nothing is ever written outside the skits and download
// folders. A file that cannot be read as a synchronisation file merges
// nothing and is deleted, so it is not tried again and again.
//
// Texts: every text a record uses (title, info, the name and address of each
// file in use, a hot key's link) has a "PSTR" entry of its own in the
// catalogue. An update copies the server's text into the record's own entry
// when it has one and takes a new entry otherwise; a text the server left
// out becomes an empty text, so a record in use never names an entry the
// catalogue lacks. An update makes every text it needs before it changes the
// record, so one that fails half-way (the catalogue file cannot be written)
// leaves the record as it was.
//
// What a failed transfer does to its skit and the job depends on why it
// failed: the server's definite refusal of this one file (404, 403, 410, a
// file that is no good) marks the skit failed and the job goes on with the
// next skit, so one missing file does not hold up every other new skit. A
// cancel or a failure that may pass (no answer, a reset, a time-out, a
// server error) leaves the skit scheduled for the next job and ends this
// one: the next file would most likely fail the same way. A file that
// arrived but cannot be put into the skits folder, or is not the file the
// signed list names, marks its skit failed too, and the job goes on.
//
// Partial downloads kept for resuming are tidied whenever a job starts: one
// whose address and name no record (nor the list) uses any more goes, and
// of the rest the oldest go until they fit in PartialFilesLimit together.
//
// A read-only catalogue (the settings dialog holds the file) starts no job:
// it could keep neither what a merge brings nor what a download installs.
#include <cstdio>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <vector>

#include "base/errors.h"
#include "base/files.h"
#include "base/settings.h"
#include "base/text.h"
#include "download/comm.h"
#include "download/resume.h"
#include "store/catalogue.h"
#include "store/server_data.h"
#include "store/sync_file.h"

namespace {

const char kListItemName[] = "Kinetrope list";
const char kMaxEntriesText[] = "Can't add skit - max entries!";
constexpr uint32_t ALL_FIELDS = 0xFFFFFFFFu;

// UpdateMask bits: which groups of fields a partial update takes.
constexpr uint32_t UPDATE_IDENTITY = 0x01;  // identity, revision, texts, file names
constexpr uint32_t UPDATE_FILES = 0x02;     // file count and extras; downloads again
constexpr uint32_t UPDATE_PLAYS = 0x04;     // plays left; play count starts over
constexpr uint32_t UPDATE_WINDOW = 0x08;    // show window
constexpr uint32_t UPDATE_URLS = 0x10;      // file addresses
constexpr uint32_t UPDATE_HOT_KEY = 0x20;   // hot key with its link

const std::string& Setting(std::string cSettings::*member) {
  static const std::string none;
  return TheSettings != nullptr ? TheSettings->*member : none;
}

int SyncMethod() { return TheSettings != nullptr ? TheSettings->SyncMethod : 0; }

// folder joined with a plain file name, when the result fits a Win32 path
// (whose length Windows counts in UTF-16 units).
bool FolderFile(const std::string& folder, const char* name, std::string& path) {
  path.clear();
  if (folder.empty() || !IsSafeFileName(name)) return false;
  std::string joined = JoinPath(folder, name);
  if (Utf16Length(joined) >= MAX_PATH) return false;
  path = std::move(joined);
  return true;
}

char* CopyOfText(const char* text) {
  const size_t size = std::strlen(text) + 1;
  char* copy = static_cast<char*>(AllocZeroed(size));
  if (copy == nullptr) ThrowCode(ERR_NO_MEMORY);
  std::memcpy(copy, text, size);
  return copy;
}

std::string TitleOf(const SkitRecord& record) { return PrintableText(record.Title.Text); }

// A skit is scheduled again from its first file, unless it is a download that
// stopped half-way, which goes on where it stopped. halfWay is judged on the
// record as it was before the update that schedules it.
bool IsHalfWay(const SkitRecord& record) {
  return record.State != SKIT_INSTALLED && record.FilesDone < FilesInUse(record);
}

void Schedule(SkitRecord& record, bool halfWay) {
  if (!halfWay || record.FilesDone >= FilesInUse(record)) record.FilesDone = 0;
  record.State = SKIT_SCHEDULED;
}

// The texts an update gives a record's copy, made before the record itself
// changes: every step that can fail (a copy, a new entry in the catalogue
// file) happens here. Commit frees the texts the copy no longer uses; without
// it the texts made are freed and the record keeps its own. New entries
// written for a failed update stay in the file unused.
class cTextUpdate {
 public:
  explicit cTextUpdate(cPakFile& pak) : Pak_(pak) {
    Made_.reserve(16);
    Replaced_.reserve(16);
  }
  ~cTextUpdate() {
    for (char* text : Made_) FreeZeroed(text);
  }
  cTextUpdate(const cTextUpdate&) = delete;
  cTextUpdate& operator=(const cTextUpdate&) = delete;

  // A text held under an id of its own is replaced in memory (Save writes
  // it); otherwise the text gets a new entry, and a missing one stays
  // missing.
  void Replace(StoredString& slot, const char* text) {
    if (slot.Text != nullptr && slot.Id > 0) {
      char* copy = CopyOfText(text != nullptr ? text : "");
      Made_.push_back(copy);
      Replaced_.push_back(slot.Text);
      slot.Text = copy;
      return;
    }
    if (text == nullptr) {
      if (slot.Text != nullptr) Replaced_.push_back(slot.Text);
      slot.Text = nullptr;
      slot.Id = -1;
      return;
    }
    NewEntry(slot, text);
  }
  // An empty text for a slot in use that has none.
  void Fill(StoredString& slot) {
    if (slot.Text == nullptr) NewEntry(slot, "");
  }
  void Commit() {
    for (char* text : Replaced_) FreeZeroed(text);
    Replaced_.clear();
    Made_.clear();
  }

 private:
  void NewEntry(StoredString& slot, const char* text) {
    StringRef made;
    made.Id = Pak_.WriteEntry(PAK_TYPE_STRING, PAK_NEW_ID, 0, true, 0, text);
    Pak_.ReadString(made);
    Made_.push_back(made.Text);
    if (slot.Text != nullptr) Replaced_.push_back(slot.Text);
    slot.Id = made.Id;
    slot.Text = made.Text;
    slot.PointerBytes = 0;
  }

  cPakFile& Pak_;
  std::vector<char*> Made_;
  std::vector<char*> Replaced_;
};

void FillMissingTexts(SkitRecord& record, cTextUpdate& texts) {
  texts.Fill(record.Title);
  texts.Fill(record.Info);
  for (uint32_t f = 0; f < FilesInUse(record); ++f) {
    texts.Fill(record.Files[f].Name);
    texts.Fill(record.Files[f].Url);
  }
}

// The keys that end a run: a hot key on one of them would keep the user from
// waking the computer the way everybody does.
const char* WakeKeyName(int32_t keyCode) {
  switch (keyCode) {
    case VK_SPACE: return "Space";
    case VK_ESCAPE: return "Esc";
    case VK_RETURN: return "Enter";
    case VK_SHIFT:
    case VK_LSHIFT:
    case VK_RSHIFT: return "Shift";
    default: return nullptr;
  }
}

// Why a server record cannot be taken, or empty when it can. fields are the
// update bits the merge would take from it (ALL_FIELDS for a whole record).
std::string RejectReason(const SkitRecord& server, uint32_t fields) {
  if ((fields & UPDATE_HOT_KEY) != 0 && server.HotKey.Action != 0) {
    if (const char* key = WakeKeyName(server.HotKey.KeyCode)) return std::string("its hot key is the wake key ") + key;
  }
  if ((fields & (UPDATE_IDENTITY | UPDATE_FILES)) != 0 && server.FileCount > SKIT_MAX_FILES) {
    return std::to_string(server.FileCount) + " files";
  }
  for (uint32_t f = 0; f < FilesInUse(server); ++f) {
    const SkitFile& file = server.Files[f];
    if ((fields & UPDATE_IDENTITY) != 0 && !IsSafeFileName(file.Name.Text)) {
      return "unsafe file name " + PrintableText(file.Name.Text);
    }
    if ((fields & UPDATE_URLS) != 0 && !IsAllowedUrl(file.Url.Text)) {
      return "unsupported address " + PrintableText(file.Url.Text);
    }
  }
  return {};
}

}  // namespace

// ---------------------------------------------------------------------------
// The job

bool cSkitManager::StartListDownload(HWND window, bool automatic) {
  if (Phase != JOB_IDLE || IsReadOnly()) return false;
  Automatic = automatic;
  PrepareTransfer();
  JobWindow_ = window;
  Changed = false;
  Tally = JobTally();
  JobDone = 0;
  JobTotal = 1;
  Phase = JOB_SYNC_FILE;
  Download = DownloadItem();
  ProgressText[0] = '\0';

  const CatalogHeader& header = Catalog.Header;
  std::string path;
  const bool named = FolderFile(Setting(&cSettings::DownloadPath), header.SyncFileName.Text, path);
  std::snprintf(DownloadFile, sizeof DownloadFile, "%s", path.c_str());
  if (!named || !IsAllowedUrl(header.SyncUrl.Text)) {
    // Nothing is fetched; the job ends through the usual message.
    LogLine(LOG_ERROR, (std::string("Synchronisation not started: ") +
                        (!named ? "unsafe file name " + PrintableText(header.SyncFileName.Text)
                                : "unsupported address " + PrintableText(header.SyncUrl.Text)))
                           .c_str());
    Transfer->SetError(ERR_BAD_FORMAT);
    PostMessageA(window, WM_DOWNLOAD_DONE, 0, Transfer->GetError());
    return true;
  }
  PrunePartialDownloads();
  PrepareListConditions();
  // An endless or oversized list is stopped at the size no list may pass.
  if (Transfer->DataModule() != nullptr) Transfer->DataModule()->SetNextSizeLimit(SYNC_FILE_SIZE_LIMIT);
  if (!Transfer->StartDownload(header.SyncUrl.Text, DownloadFile, kListItemName, "1 of 1", window, WM_DOWNLOAD_DONE,
                               0)) {
    NotStarted(window);
  }
  return true;
}

// No thread could be made for the transfer. The job ends through the usual
// message, which carries the cause to the owner; no record changes.
void cSkitManager::NotStarted(HWND window) {
  const int32_t cause = Transfer->GetError() != 0 ? Transfer->GetError() : ERR_NO_ERROR_INFO;
  LogLine(LOG_ERROR, ("Download not started: " + ErrorText(cause)).c_str());
  Download = DownloadItem();
  Transfer->SetError(cause);
  PostMessageA(window, WM_DOWNLOAD_DONE, 0, cause);
}

bool cSkitManager::StartFileDownloads(HWND window) {
  if (Phase != JOB_IDLE || IsReadOnly()) return false;
  BeginFileDownloads(window, false);
  return true;
}

// A job that goes on from its list to the files keeps what the list did in
// Changed and Tally.
void cSkitManager::BeginFileDownloads(HWND window, bool continuing) {
  PrepareTransfer();
  JobWindow_ = window;
  if (!continuing) {
    Changed = false;
    Tally = JobTally();
  }
  JobDone = 0;
  JobTotal = PendingFiles(CAT_ANY, SKIT_SCHEDULED);
  Phase = JOB_SKIT_FILES;
  Download = DownloadItem();
  if (Catalog.Header.SpecialsOn != 0) ScheduleSpecials();
  PrunePartialDownloads();
  StartNextFile(window);
}

void cSkitManager::PrepareTransfer() {
  if (Transfer == nullptr) Transfer = new cThread_Comm(HangUpQuestion);
  if (Transfer->DataModule() != nullptr) Transfer->DataModule()->PartialFilesLimit = PartialFilesLimit;
}

void cSkitManager::PrunePartialDownloads() {
  const std::string& folder = Setting(&cSettings::DownloadPath);
  if (folder.empty()) return;
  auto uses = [](const StoredString& name, const StoredString& url, const TPartialFile& partial) {
    return name.Text != nullptr && url.Text != nullptr && partial.Record.Url == url.Text &&
           _stricmp(partial.Name.c_str(), name.Text) == 0;
  };
  auto keep = [&](const TPartialFile& partial) {
    if (uses(Catalog.Header.SyncFileName, Catalog.Header.SyncUrl, partial)) return true;
    for (uint32_t i = 0; i < Catalog.Header.Count && i < CATALOG_SLOTS; ++i) {
      const SkitRecord& record = Catalog.Records[i];
      for (uint32_t f = 0; f < FilesInUse(record); ++f) {
        if (uses(record.Files[f].Name, record.Files[f].Url, partial)) return true;
      }
    }
    return false;
  };
  for (const TPrunedFile& gone : PrunePartialFiles(folder, PartialFilesLimit, keep)) {
    LogLine(LOG_INFO, ("Removed the partial download " + PrintableText(gone.Name.c_str()) + ": " + gone.Reason).c_str());
  }
}

// A failure here (the catalogue cannot be saved after a merge) goes on to
// the owner window, which reports it; the job is ended first, so that no
// half-ended job holds the worker and refuses the next start.
//
// A completion that arrives when no job runs (the one posted when nothing was
// left, or one delivered while the job was being ended) is ignored.
bool cSkitManager::OnDownloadDone(int32_t errorCode) {
  if (Phase == JOB_IDLE) return false;
  const bool failed = errorCode != 0;
  bool more = false;
  try {
    if (Phase == JOB_SYNC_FILE) {
      MergeFetchedList(failed);
      StampLastSync(failed || ListRefused);
      if (Automatic && !failed && !ListRefused && PendingFiles(CAT_SKIT, SKIT_SCHEDULED) != 0) {
        BeginFileDownloads(JobWindow_, true);
        more = true;
      }
    } else if (Phase == JOB_SKIT_FILES) {
      const bool refused = failed && Transfer != nullptr && Transfer->DataModule() != nullptr &&
                           Transfer->DataModule()->GetFailure() == tfRefused;
      InstallDownloadedFile(errorCode);
      more = (!failed || refused) && StartNextFile(JobWindow_);
    }
  } catch (...) {
    EndDownload();
    throw;
  }
  if (!more) EndDownload();
  return more;
}

// Destroying the worker cancels and waits for a transfer still running, and
// may hang up a dial-up connection the job brought up, after asking: the
// question's message loop may deliver a completion, or even start a new job,
// so the job is over and the worker no longer the catalogue's before it goes.
void cSkitManager::EndDownload() {
  Phase = JOB_IDLE;
  cThread_Comm* worker = Transfer;
  Transfer = nullptr;
  Download = DownloadItem();
  JobWindow_ = nullptr;
  delete worker;
}

void cSkitManager::SetDriverFlag(bool value) {
  if (Transfer != nullptr && Transfer->DataModule() != nullptr) Transfer->DataModule()->SetAskBeforeHangUp(value);
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
      if (SyncMethod() == 0) ScheduleAvailable();
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
// is deleted whatever became of it. A list may hold thousands of records a
// full catalogue must skip, and a line each would cost seconds of the user
// interface's time, so past the first few only their number is logged.
//
// The file is opened once, and held so that no one else can change or
// delete it, for the checks and the merge alike: what was checked is what
// is merged. With a key, a file that cannot even be read as a list is
// refused like an unsigned one.
bool cSkitManager::ApplySyncFile(const std::string& path) {
  bool changed = false;
  RecordLines_ = 0;
  UnlistedRecords_ = 0;
  ListRefused = false;
  ListMerged_ = false;
  bool opened = false;
  try {
    cSyncFile sync(path);
    opened = true;
    ListRefused = !AcceptList(sync);
    if (!ListRefused) {
      MergeSyncHeader(sync.Header());
      // A record the catalogue could not take for want of room is left on
      // purpose; one that failed otherwise (unreadable, or the catalogue
      // file would not take its texts) leaves the merge unfinished.
      bool whole = true;
      for (const int32_t id : sync.RecordIds()) {
        try {
          cServerRecord server;
          sync.ReadRecord(id, server);
          if (MergeServerRecord(server.Record)) changed = true;
        } catch (const ERecordRefused& error) {
          ++Tally.Rejected;
          RecordLine("Refused skit record " + std::to_string(id) + ": " + error.what());
        } catch (const std::exception& error) {
          ++Tally.Rejected;
          RecordLine("Skipped skit record " + std::to_string(id) + ": " + error.what());
          whole = whole && std::strcmp(error.what(), kMaxEntriesText) == 0;
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
  if (UnlistedRecords_ > 0) {
    LogLine(LOG_ERROR,
            (std::to_string(UnlistedRecords_) + " more skit records skipped or rejected, not listed").c_str());
  }
  DeleteFileA(path.c_str());
  return changed;
}

void cSkitManager::RecordLine(const std::string& text) {
  if (RecordLines_ >= kRecordLinesListed) {
    ++UnlistedRecords_;
    return;
  }
  ++RecordLines_;
  LogLine(LOG_ERROR, text.c_str());
}

// CatalogVersion itself is never written: a server with a newer version
// keeps handing over its settings at every synchronisation.
void cSkitManager::MergeSyncHeader(const SyncHeader& sync) {
  CatalogHeader& header = Catalog.Header;
  if (sync.Version <= header.CatalogVersion) return;
  header.SpecialInterval = sync.SpecialInterval;
  header.SyncIntervalDays = sync.SyncIntervalDays;
  header.SyncExtra1 = sync.Extra1;
  header.SyncExtra2 = sync.Extra2;
  if (IsAllowedUrl(sync.NewSyncUrl.Text)) {
    ReplaceText(header.SyncUrl, sync.NewSyncUrl.Text);
  } else if (sync.NewSyncUrl.Text != nullptr) {
    LogLine(LOG_ERROR, ("Rejected synchronisation address " + PrintableText(sync.NewSyncUrl.Text)).c_str());
  }
}

// Only what the merge would take is checked: a partial update is judged by
// the fields of its mask, and a record that changes nothing is not judged.
bool cSkitManager::MergeServerRecord(const SkitRecord& server) {
  const int32_t index = FindSkit(server.Category, server.SkitId);
  if (index >= 0 && Catalog.Records[index].Revision >= server.Revision) return false;
  const uint32_t fields = index < 0 || server.UpdateMask == 0 ? ALL_FIELDS : server.UpdateMask;
  const std::string reason = RejectReason(server, fields);
  if (!reason.empty()) {
    ++Tally.Rejected;
    RecordLine("Rejected skit " + TitleOf(server) + ": " + reason);
    return false;
  }
  if (index < 0) {
    AddSkit(server);
    ++Tally.Added;
    return true;
  }
  if (!UpdateSkit(server)) return false;
  ++Tally.Updated;
  return true;
}

// The slot may still hold the bytes of a record that moved away; every field
// not taken from the server starts at zero.
void cSkitManager::AddSkit(const SkitRecord& server) {
  CatalogHeader& header = Catalog.Header;
  if (header.Count + 1 >= CATALOG_SLOTS) throw std::runtime_error(kMaxEntriesText);
  SkitRecord& record = Catalog.Records[header.Count];
  record = SkitRecord();
  record.Title.Id = record.Info.Id = record.HotKey.Link.Id = 0;
  for (SkitFile& file : record.Files) file.Name.Id = file.Url.Id = 0;

  record.Category = server.Category;
  record.SkitId = server.SkitId;
  record.Flags = server.Flags;
  record.Revision = server.Revision;
  record.ShowFrom = server.ShowFrom;
  record.ShowUntil = server.ShowUntil;
  record.FileCount = FilesInUse(server);
  record.PlayCount = server.PlayCount;
  record.PlaysLeft = server.PlaysLeft;
  record.Selection = server.Selection;
  record.State = server.State;
  try {
    NewText(record.Title, server.Title.Text);
    NewText(record.Info, server.Info.Text);
    for (uint32_t f = 0; f < record.FileCount; ++f) {
      record.Files[f].Extra = server.Files[f].Extra;
      NewText(record.Files[f].Name, server.Files[f].Name.Text);
      NewText(record.Files[f].Url, server.Files[f].Url.Text);
    }
    if (server.HotKey.Link.Text != nullptr) {
      record.HotKey.KeyCode = server.HotKey.KeyCode;
      record.HotKey.Action = server.HotKey.Action;
      NewText(record.HotKey.Link, server.HotKey.Link.Text);
    }
  } catch (...) {
    ReleaseRecordTexts(record);
    throw;
  }
  header.Count += 1;
  if (AllFilesPresent(record)) {
    record.State = SKIT_INSTALLED;
    record.Selection = SEL_ON;
  }
}

bool cSkitManager::UpdateSkit(const SkitRecord& server) {
  const int32_t index = FindSkit(server.Category, server.SkitId);
  if (index < 0) return false;
  SkitRecord& stored = Catalog.Records[index];
  if (stored.Revision >= server.Revision) return false;
  if (server.UpdateMask != 0) {
    UpdateSkitPartly(server, stored);
    return true;
  }
  const bool halfWay = IsHalfWay(stored);
  SkitRecord record = stored;
  cTextUpdate texts(*OpsPak);
  record.Category = server.Category;
  record.SkitId = server.SkitId;
  record.Flags = server.Flags;
  record.Revision = server.Revision;
  record.ShowFrom = server.ShowFrom;
  record.ShowUntil = server.ShowUntil;
  record.FileCount = FilesInUse(server);
  texts.Replace(record.Title, server.Title.Text);
  texts.Replace(record.Info, server.Info.Text);
  for (uint32_t f = 0; f < SKIT_MAX_FILES; ++f) {
    record.Files[f].Extra = server.Files[f].Extra;
    texts.Replace(record.Files[f].Name, server.Files[f].Name.Text);
    texts.Replace(record.Files[f].Url, server.Files[f].Url.Text);
  }
  if (server.HotKey.Link.Text != nullptr) {
    record.HotKey.KeyCode = server.HotKey.KeyCode;
    record.HotKey.Action = server.HotKey.Action;
    texts.Replace(record.HotKey.Link, server.HotKey.Link.Text);
  }
  FillMissingTexts(record, texts);
  Schedule(record, halfWay);
  texts.Commit();
  stored = record;
  return true;
}

// The groups are taken in this order. Without UPDATE_IDENTITY the local
// Revision stays below the server's, so the same update comes again at every
// synchronisation.
void cSkitManager::UpdateSkitPartly(const SkitRecord& server, SkitRecord& stored) {
  const uint32_t mask = server.UpdateMask;
  const bool halfWay = IsHalfWay(stored);
  SkitRecord target = stored;
  cTextUpdate texts(*OpsPak);
  target.UpdateMask = mask;
  if ((mask & UPDATE_IDENTITY) != 0) {
    target.Category = server.Category;
    target.SkitId = server.SkitId;
    target.Flags = server.Flags;
    target.Revision = server.Revision;
    target.FileCount = FilesInUse(server);
    target.FilesDone = server.FilesDone;
    texts.Replace(target.Title, server.Title.Text);
    texts.Replace(target.Info, server.Info.Text);
    for (uint32_t f = 0; f < SKIT_MAX_FILES; ++f) {
      texts.Replace(target.Files[f].Name, server.Files[f].Name.Text);
      target.Files[f].Extra = server.Files[f].Extra;
    }
  }
  if ((mask & UPDATE_URLS) != 0) {
    for (uint32_t f = 0; f < SKIT_MAX_FILES; ++f) texts.Replace(target.Files[f].Url, server.Files[f].Url.Text);
  }
  if ((mask & UPDATE_HOT_KEY) != 0 && server.HotKey.Link.Text != nullptr) {
    target.HotKey.KeyCode = server.HotKey.KeyCode;
    target.HotKey.Action = server.HotKey.Action;
    texts.Replace(target.HotKey.Link, server.HotKey.Link.Text);
  }
  if ((mask & UPDATE_WINDOW) != 0) {
    target.ShowFrom = server.ShowFrom;
    target.ShowUntil = server.ShowUntil;
  }
  if ((mask & UPDATE_FILES) != 0) {
    target.FileCount = FilesInUse(server);
    for (uint32_t f = 0; f < SKIT_MAX_FILES; ++f) target.Files[f].Extra = server.Files[f].Extra;
    Schedule(target, halfWay);
  }
  if ((mask & UPDATE_PLAYS) != 0) {
    target.PlaysLeft = server.PlaysLeft;
    target.PlayCount = 0;
  }
  FillMissingTexts(target, texts);
  texts.Commit();
  stored = target;
}

// A text the record holds under an id of its own is replaced in memory and
// written by Save; otherwise the text gets a new entry at once. A missing
// text becomes empty where the record owns an entry, and stays missing
// elsewhere (FillMissingTexts then covers whatever is in use).
void cSkitManager::ReplaceText(StoredString& target, const char* text) {
  if (target.Text != nullptr && target.Id > 0) {
    char* copy = CopyOfText(text != nullptr ? text : "");
    FreeZeroed(target.Text);
    target.Text = copy;
    return;
  }
  ReleaseText(target);
  if (text == nullptr) {
    target.Id = -1;
    return;
  }
  NewText(target, text);
}

// A new "PSTR" entry for the text (an empty one for none), read back into
// the reference.
void cSkitManager::NewText(StoredString& target, const char* text) {
  ReleaseText(target);
  target.Id = OpsPak->WriteEntry(PAK_TYPE_STRING, PAK_NEW_ID, 0, true, 0, text != nullptr ? text : "");
  target.PointerBytes = 0;
  OpsPak->ReadString(target);
}

bool cSkitManager::AllFilesPresent(const SkitRecord& record) const {
  for (uint32_t f = 0; f < FilesInUse(record); ++f) {
    std::string path;
    if (!SkitFilePath(record.Files[f].Name, path) || !FileExists(path)) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Scheduling

// A skit past its ShowUntil would never be fetched, so it is left available.
void cSkitManager::ScheduleAvailable() {
  const uint64_t now = Clock().Value();
  for (uint32_t i = 0; i < Catalog.Header.Count && i < CATALOG_SLOTS; ++i) {
    SkitRecord& record = Catalog.Records[i];
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
  const bool limited = SyncMethod() != 0;
  int32_t budget = 10;
  for (uint32_t i = 0; i < Catalog.Header.Count && i < CATALOG_SLOTS; ++i) {
    SkitRecord& record = Catalog.Records[i];
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
bool cSkitManager::PrepareNextFile() {
  const uint64_t now = Clock().Value();
  for (uint32_t i = 0; i < Catalog.Header.Count && i < CATALOG_SLOTS; ++i) {
    SkitRecord& record = Catalog.Records[i];
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
    if (!FolderFile(Setting(&cSettings::DownloadPath), file.Name.Text, downloaded) ||
        !FolderFile(Setting(&cSettings::SkitsPath), file.Name.Text, installed)) {
      RejectFile(record, "no room for the path of " + PrintableText(file.Name.Text));
      continue;
    }
    // With a key, a file the signed list gives no sums for could never be
    // installed: it is not fetched at all.
    std::string why;
    if (!Trust.SizeLimit(file.Url.Text, DownloadLimit_, why)) {
      RejectFile(record, PrintableText(file.Name.Text) + " is not the file the signed list names: " + why);
      continue;
    }
    std::snprintf(DownloadFile, sizeof DownloadFile, "%s", downloaded.c_str());
    Download.Category = record.Category;
    Download.SkitId = record.SkitId;
    Download.Url = file.Url.Text;
    Download.File = DownloadFile;
    Download.Title = record.Title.Text;
    std::snprintf(ProgressText, sizeof ProgressText, "%d of %d", static_cast<int>(n + 1),
                  static_cast<int>(record.FileCount));
    return true;
  }
  return false;
}

bool cSkitManager::StartNextFile(HWND window) {
  if (Transfer == nullptr) return false;
  if (PrepareNextFile()) {
    if (TDataModule_Comm* module = Transfer->DataModule()) {
      module->ResetByteCounters();
      // Stopped as soon as it passes the size it may have.
      module->SetNextSizeLimit(DownloadLimit_);
    }
    // A transfer that could not start ends the job with its own message.
    if (!Transfer->StartDownload(Download.Url, DownloadFile, Download.Title != nullptr ? Download.Title : "",
                                 ProgressText, window, WM_DOWNLOAD_DONE, 0)) {
      NotStarted(window);
    }
    return true;
  }
  Transfer->SetError(ERR_BAD_FORMAT);
  PostMessageA(window, WM_DOWNLOAD_DONE, 0, Transfer->GetError());
  return false;
}

// The item is used up here whatever happens, so a later completion message
// without a transfer behind it finds none. The byte counters start again at
// 0, so the progress of the job does not count the finished file twice
// until the next one reports.
void cSkitManager::InstallDownloadedFile(int32_t errorCode) {
  ++JobDone;
  TDataModule_Comm* module = Transfer != nullptr ? Transfer->DataModule() : nullptr;
  if (module != nullptr) module->ResetByteCounters();
  const DownloadItem item = Download;
  Download = DownloadItem();
  if (item.File == nullptr) return;
  const int32_t index = FindSkit(item.Category, item.SkitId);
  if (index < 0) return;
  SkitRecord& record = Catalog.Records[index];
  if (errorCode != 0) {
    if (module != nullptr && module->GetFailure() == tfRefused) {
      record.State = SKIT_FAILED;
      ++Tally.Failed;
    }
    return;
  }
  if (record.FilesDone >= FilesInUse(record)) return;
  std::string target;
  if (!SkitFilePath(record.Files[record.FilesDone].Name, target)) {
    RejectFile(record, "unsafe file name " + PrintableText(record.Files[record.FilesDone].Name.Text));
    return;
  }
  if (!InstallFile(record, target)) return;
  record.FilesDone += 1;
  if (record.FilesDone >= record.FileCount) {
    record.State = SKIT_INSTALLED;
    if (record.Selection == SEL_AUTO) record.Selection = SEL_ON;
  }
  ++Tally.Installed;
  DeleteFileA(DownloadFile);
  Changed = true;
}

// ---------------------------------------------------------------------------
// At start

// A read-only catalogue cannot keep what a merge would bring, so the file
// is left for a run that can.
void cSkitManager::InstallLocalSyncFile() {
  if (IsReadOnly()) return;
  std::string path;
  if (!FolderFile(Setting(&cSettings::SkitsPath), LOCAL_SYNC_FILE_NAME, path) || !FileExists(path)) return;
  ApplySyncFileAndSave(path, false);
  if (ListRefused) return;
  for (uint32_t i = 0; i < Catalog.Header.Count && i < CATALOG_SLOTS; ++i) {
    SkitRecord& record = Catalog.Records[i];
    if (record.State != SKIT_AVAILABLE && record.State != SKIT_SCHEDULED) continue;
    if (!AllFilesPresent(record)) continue;
    record.State = SKIT_INSTALLED;
    record.Selection = SEL_ON;
  }
  StampLastSync(false);
}
