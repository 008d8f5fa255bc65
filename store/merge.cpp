// Merging a server's records.
//
// Texts: every text a record uses (title, info, the name and address of each
// file in use, a hot key's link) has a "PSTR" entry of its own in the
// catalogue. An update copies the server's text into the record's own entry
// when it has one and takes a new entry otherwise; a text the server left
// out becomes an empty text, so a record in use never names an entry the
// catalogue lacks. An update makes every text it needs before it changes the
// record, so one that fails half-way (the catalogue file cannot be written)
// leaves the record as it was.
#include "store/merge.h"

#include <windows.h>

#include <cstring>
#include <vector>

#include "base/errors.h"
#include "base/files.h"
#include "base/log.h"
#include "store/server_data.h"
#include "store/skit_paths.h"
#include "store/sync_file.h"

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

namespace {

constexpr uint32_t ALL_FIELDS = 0xFFFFFFFFu;

// UpdateMask bits: which groups of fields a partial update takes.
constexpr uint32_t UPDATE_IDENTITY = 0x01;  // identity, revision, texts, file names
constexpr uint32_t UPDATE_FILES = 0x02;     // file count and extras; downloads again
constexpr uint32_t UPDATE_PLAYS = 0x04;     // plays left; play count starts over
constexpr uint32_t UPDATE_WINDOW = 0x08;    // show window
constexpr uint32_t UPDATE_URLS = 0x10;      // file addresses
constexpr uint32_t UPDATE_HOT_KEY = 0x20;   // hot key with its link

char* CopyOfText(const char* text) {
  const size_t size = std::strlen(text) + 1;
  char* copy = static_cast<char*>(AllocZeroed(size));
  if (copy == nullptr) ThrowCode(ERR_NO_MEMORY);
  std::memcpy(copy, text, size);
  return copy;
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

// The fields a whole record takes from the server, texts aside.
void TakeWholeFields(const SkitRecord& server, SkitRecord& record) {
  record.Category = server.Category;
  record.SkitId = server.SkitId;
  record.Flags = server.Flags;
  record.Revision = server.Revision;
  record.ShowFrom = server.ShowFrom;
  record.ShowUntil = server.ShowUntil;
  record.FileCount = FilesInUse(server);
}

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

cCatalogueMerge::cCatalogueMerge(CatalogBlock& catalog, cPakFile& pak, JobTally& tally, LogFn log)
    : Catalog_(catalog), Pak_(pak), Tally_(tally), Log_(std::move(log)) {}

void cCatalogueMerge::RecordLine(const std::string& text) {
  if (Listed_ >= kRecordLinesListed) {
    ++Unlisted_;
    return;
  }
  ++Listed_;
  Log_(LOG_ERROR, text);
}

// CatalogVersion itself is never written: a server with a newer version
// keeps handing over its settings at every synchronisation.
void cCatalogueMerge::MergeHeader(const SyncHeader& sync) {
  CatalogHeader& header = Catalog_.Header;
  if (sync.Version <= header.CatalogVersion) return;
  header.SpecialInterval = sync.SpecialInterval;
  header.SyncIntervalDays = sync.SyncIntervalDays;
  header.SyncExtra1 = sync.Extra1;
  header.SyncExtra2 = sync.Extra2;
  if (IsAllowedUrl(sync.NewSyncUrl.Text)) {
    ReplaceText(header.SyncUrl, sync.NewSyncUrl.Text);
  } else if (sync.NewSyncUrl.Text != nullptr) {
    Log_(LOG_ERROR, "Rejected synchronisation address " + PrintableText(sync.NewSyncUrl.Text));
  }
}

// Only what the merge would take is checked: a partial update is judged by
// the fields of its mask, and a record that changes nothing is not judged.
bool cCatalogueMerge::MergeRecord(const SkitRecord& server) {
  const int32_t index = FindRecord(Catalog_, server.Category, server.SkitId);
  if (index >= 0 && Catalog_.Records[index].Revision >= server.Revision) return false;
  const uint32_t fields = index < 0 || server.UpdateMask == 0 ? ALL_FIELDS : server.UpdateMask;
  const std::string reason = RejectReason(server, fields);
  if (!reason.empty()) {
    ++Tally_.Rejected;
    RecordLine("Rejected skit " + TitleOf(server) + ": " + reason);
    return false;
  }
  if (index < 0) {
    AddSkit(server);
    ++Tally_.Added;
    return true;
  }
  if (!UpdateSkit(server)) return false;
  ++Tally_.Updated;
  return true;
}

// The slot may still hold the bytes of a record that moved away; every field
// not taken from the server starts at zero.
void cCatalogueMerge::AddSkit(const SkitRecord& server) {
  CatalogHeader& header = Catalog_.Header;
  if (header.Count + 1 >= CATALOG_SLOTS) throw ECatalogueFull();
  SkitRecord& record = Catalog_.Records[header.Count];
  record = SkitRecord();
  record.Title.Id = record.Info.Id = record.HotKey.Link.Id = 0;
  for (SkitFile& file : record.Files) file.Name.Id = file.Url.Id = 0;

  TakeWholeFields(server, record);
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
    ReleaseRecordTexts(Pak_, record);
    throw;
  }
  header.Count += 1;
  if (AllFilesPresent(record)) {
    record.State = SKIT_INSTALLED;
    record.Selection = SEL_ON;
  }
}

bool cCatalogueMerge::UpdateSkit(const SkitRecord& server) {
  const int32_t index = FindRecord(Catalog_, server.Category, server.SkitId);
  if (index < 0) return false;
  SkitRecord& stored = Catalog_.Records[index];
  if (stored.Revision >= server.Revision) return false;
  if (server.UpdateMask != 0) {
    UpdateSkitPartly(server, stored);
    return true;
  }
  const bool halfWay = IsHalfWay(stored);
  SkitRecord record = stored;
  cTextUpdate texts(Pak_);
  TakeWholeFields(server, record);
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
void cCatalogueMerge::UpdateSkitPartly(const SkitRecord& server, SkitRecord& stored) {
  const uint32_t mask = server.UpdateMask;
  const bool halfWay = IsHalfWay(stored);
  SkitRecord target = stored;
  cTextUpdate texts(Pak_);
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
void cCatalogueMerge::ReplaceText(StoredString& target, const char* text) {
  if (target.Text != nullptr && target.Id > 0) {
    char* copy = CopyOfText(text != nullptr ? text : "");
    FreeZeroed(target.Text);
    target.Text = copy;
    return;
  }
  ReleaseText(Pak_, target);
  if (text == nullptr) {
    target.Id = -1;
    return;
  }
  NewText(target, text);
}

// A new "PSTR" entry for the text (an empty one for none), read back into
// the reference.
void cCatalogueMerge::NewText(StoredString& target, const char* text) {
  ReleaseText(Pak_, target);
  target.Id = Pak_.WriteEntry(PAK_TYPE_STRING, PAK_NEW_ID, 0, true, 0, text != nullptr ? text : "");
  target.PointerBytes = 0;
  Pak_.ReadString(target);
}

