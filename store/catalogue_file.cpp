// The catalogue lives in a pak archive: one "SkOp" entry with the block (a
// header and 100 record slots, of which at most 99 are used) and one "PSTR"
// entry per text the block refers to. cSkitManager keeps the archive open
// from construction to destruction, holds the block decoded in Catalog and
// owns the texts it read; it writes everything back only in Save, which runs
// at destruction and after a synchronisation changed the catalogue.
//
// The block is checked before it is used: the entry must be there and be
// exactly the block's size, Count at most 99 and every record in use must have at most
// four files, and every text it names must be in the archive. A catalogue
// that fails any of these is reported as missing or corrupt with its path;
// nothing of it is used.
//
// Texts are held as UTF-8. A catalogue written before its texts had one
// encoding holds Windows-1252 texts and says nothing of them (see
// store/archive_texts.h); it is read as such and marked UTF-8 at once, as
// the texts it takes from now on are, and Save writes every text again in
// UTF-8. In a catalogue marked UTF-8, a text that is not valid UTF-8 is one
// of the texts from before that was not written again yet (a program ended
// between the mark and the next Save), and is read as Windows-1252 too: a
// Windows-1252 text beyond ASCII is practically never valid UTF-8.
//
// Only records below Count own texts. When records move to close a gap,
// the copies left behind in the unused slots lose their text pointers, so a
// text is never released twice.
#include "store/catalogue.h"

#include <stdexcept>
#include <vector>

#include "base/errors.h"
#include "base/files.h"
#include "base/settings.h"
#include "base/text.h"
#include "store/archive_texts.h"
#include "store/server_data.h"
#include "store/skit_paths.h"

void cSkitManager::Load(bool runMode) {
  const std::string& path = CurrentSetting(&cSettings::OpsFilePath);
  Access = GENERIC_READ | GENERIC_WRITE;
  try {
    OpsPak = std::make_unique<cPakFile>(path, true, nullptr, Access);
  } catch (...) {
    if (!runMode) throw;
    // Someone else holds the file, or it is write-protected: play from it
    // all the same, but never write to it.
    Access = GENERIC_READ;
    OpsPak = std::make_unique<cPakFile>(path, true, nullptr, Access);
  }

  try {
    if (OpsPak->FindEntry(CATALOG_BLOCK_TYPE, CATALOG_BLOCK_ID) < 0) ThrowCode(ERR_FILE_CORRUPT, path);
    uint32_t length = 0;
    uint8_t* bytes = nullptr;
    OpsPak->ReadEntry(CATALOG_BLOCK_TYPE, CATALOG_BLOCK_ID, &length, &bytes);
    if (length == CATALOG_BLOCK_SIZE) DecodeCatalogBlock(bytes, Catalog);
    OpsPak->ReleaseEntry(CATALOG_BLOCK_TYPE, CATALOG_BLOCK_ID, bytes);
    if (length != CATALOG_BLOCK_SIZE) ThrowCode(ERR_FILE_CORRUPT, path);

    CatalogHeader& header = Catalog.Header;
    if (header.Count > CATALOG_MAX_SKITS) ThrowCode(ERR_FILE_CORRUPT, path);
    for (uint32_t i = 0; i < header.Count; ++i) {
      if (Catalog.Records[i].FileCount > SKIT_MAX_FILES) ThrowCode(ERR_FILE_CORRUPT, path);
    }

    Utf8Texts_ = HasUtf8Texts(*OpsPak);
    ReadText(header.SyncUrl);
    ReadText(header.SyncFileName);
    for (uint32_t i = 0; i < header.Count; ++i) {
      SkitRecord& record = Catalog.Records[i];
      ReadText(record.Title);
      ReadText(record.Info);
      for (uint32_t f = 0; f < record.FileCount; ++f) {
        ReadText(record.Files[f].Name);
        ReadText(record.Files[f].Url);
      }
      if (record.HotKey.Link.Id != 0) ReadText(record.HotKey.Link);
    }
    Trust.Load(*OpsPak);
    TakeSeedKey();
    MarkTexts();
  } catch (...) {
    ReleaseAllTexts();
    OpsPak.reset();
    throw;
  }
}

// The maker's key is the one the setup's seed catalogue carries (see
// store/user_data.h), so that a new setup can give every user's catalogue a
// new key. A seed without a key leaves the catalogue's own, and so does one
// that cannot be read: nothing here ever checks less than before.
void cSkitManager::TakeSeedKey() {
  const std::string& seed = CurrentSetting(&cSettings::SeedPath);
  if (seed.empty()) return;
  std::string name;
  SplitPath(OpsPak->Path(), nullptr, &name);
  const std::string seedCatalogue = JoinPath(seed, name);
  std::vector<uint8_t> key;
  try {
    cPakFile pak(seedCatalogue, true, nullptr, GENERIC_READ);
    if (!ReadCatalogKey(pak, key)) return;
  } catch (const std::exception& error) {
    LogWrite(LOG_ERROR, "The maker's key of the seed catalogue cannot be read: %s", error.what());
    return;
  }
  if (Trust.TakeSeedKey(key)) LogLine(LOG_INFO, ("The maker's key was taken from " + seedCatalogue).c_str());
}

// A text the block names but the archive does not hold makes the catalogue
// as unusable as a damaged block.
void cSkitManager::ReadText(StoredString& ref) {
  ref.Text = nullptr;
  if (ref.Id < 0) return;
  if (OpsPak->FindEntry(PAK_TYPE_STRING, ref.Id) < 0) ThrowCode(ERR_FILE_CORRUPT, OpsPak->Path());
  OpsPak->ReadString(ref);
  TakeArchiveText(ref.Text, Utf8Texts_ && IsValidUtf8(ref.Text));
}

// A catalogue that cannot take the mark now takes it at the next Save.
void cSkitManager::MarkTexts() {
  if (Utf8Texts_ || IsReadOnly()) return;
  try {
    MarkUtf8Texts(*OpsPak);
    Utf8Texts_ = true;
  } catch (const std::exception& error) {
    LogWrite(LOG_ERROR, "Catalogue texts not marked UTF-8 yet: %s", error.what());
  }
}

void cSkitManager::WriteText(const StringRef& ref) {
  if (ref.Text == nullptr || ref.Id < 0) return;
  OpsPak->WriteEntry(PAK_TYPE_STRING, ref.Id, 0, true, 0, ref.Text);
}

// Every slot is looked at, not only those below Count: a load that failed
// half-way may leave texts anywhere it got to.
void cSkitManager::ReleaseAllTexts() {
  if (OpsPak == nullptr) return;
  for (SkitRecord& record : Catalog.Records) ReleaseRecordTexts(*OpsPak, record);
  ReleaseText(*OpsPak, Catalog.Header.SyncUrl);
  ReleaseText(*OpsPak, Catalog.Header.SyncFileName);
}

// A read-only catalogue is never written, whoever asks. Everything goes
// into the file as one change, so the block never names a text that is not
// there: a save cut short leaves the catalogue file as it was. Every text,
// the texts' mark and the block are written each time (an entry that holds
// the same bytes already is left alone); what the trust writes only when it
// changed is written again after a change that was abandoned.
void cSkitManager::Save() {
  if (OpsPak == nullptr || IsReadOnly()) return;
  try {
    cPakBatch batch(*OpsPak);
    MarkUtf8Texts(*OpsPak);
    Utf8Texts_ = true;
    CatalogHeader& header = Catalog.Header;
    for (const SkitRecord& record : RecordsInUse(Catalog)) {
      WriteText(record.Title);
      WriteText(record.Info);
      for (uint32_t f = 0; f < FilesInUse(record); ++f) {
        WriteText(record.Files[f].Name);
        WriteText(record.Files[f].Url);
      }
      WriteText(record.HotKey.Link);
    }
    WriteText(header.SyncFileName);
    WriteText(header.SyncUrl);

    Trust.Save(*OpsPak, Catalog);

    std::vector<uint8_t> bytes(CATALOG_BLOCK_SIZE);
    EncodeCatalogBlock(Catalog, bytes.data());
    OpsPak->WriteEntry(CATALOG_BLOCK_TYPE, CATALOG_BLOCK_ID, 0, true, CATALOG_BLOCK_SIZE, bytes.data());
    batch.Commit();
  } catch (...) {
    Trust.Abandoned();
    throw;
  }
  if (!OpsPak->InBatch()) Trust.Committed();
}

int32_t cSkitManager::FindSkit(uint8_t category, int32_t skitId) const {
  return FindRecord(Catalog, category, skitId);
}

int32_t cSkitManager::CountCategory(uint8_t category) const {
  int32_t count = 0;
  for (const SkitRecord& record : RecordsInUse(Catalog)) {
    if (record.Category == category) ++count;
  }
  return count;
}

const SkitHotKey* cSkitManager::FindHotKey(int32_t keyCode) const {
  if (Current < 0 || static_cast<uint32_t>(Current) >= Catalog.Header.Count) return nullptr;
  const SkitHotKey& hotKey = Catalog.Records[Current].HotKey;
  return hotKey.KeyCode == keyCode ? &hotKey : nullptr;
}

int32_t cSkitManager::ExportList(SkitListItem* items, uint8_t category) const {
  int32_t count = 0;
  for (const SkitRecord& record : RecordsInUse(Catalog)) {
    if (record.Category != category) continue;
    SkitListItem& item = items[count++];
    item.Title = record.Title.Text;
    item.Info = record.Info.Text;
    for (uint32_t f = 0; f < SKIT_MAX_FILES; ++f) item.FileNames[f] = record.Files[f].Name.Text;
    item.SkitId = record.SkitId;
    item.State = record.State;
    item.Selection = record.Selection;
    item.Flags = record.Flags;
  }
  return count;
}

// A skit scheduled again after it was complete is fetched again from its
// first file; one that was half downloaded carries on where it stopped.
void cSkitManager::ImportList(const SkitListItem* items, int32_t count, uint8_t category) {
  for (int32_t n = 0; n < count; ++n) {
    const SkitListItem& item = items[n];
    const int32_t index = FindSkit(category, item.SkitId);
    if (index < 0) continue;
    SkitRecord& record = Catalog.Records[index];
    if (item.State == SKIT_SCHEDULED && (record.State == SKIT_INSTALLED || record.FilesDone >= record.FileCount)) {
      record.FilesDone = 0;
    }
    record.State = item.State;
    record.Selection = item.Selection;
  }
}

void cSkitManager::LogLine(uint32_t level, const char* text) const {
  LogDownloadLine(CurrentSetting(&cSettings::LogPath), level, text != nullptr ? text : "");
}
