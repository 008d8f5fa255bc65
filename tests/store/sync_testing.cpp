#include "tests/store/sync_testing.h"

#include <algorithm>

#include "base/files.h"
#include "base/little_endian.h"
#include "store/archive_texts.h"
#include "tests/download/download_testing.h"

SyncBuilder::SyncBuilder() { Header.Version = 1; }

int32_t SyncBuilder::Text(const std::string& text) {
  Texts[NextText_] = text;
  return NextText_++;
}

SkitRecord& SyncBuilder::Add(uint8_t category, int32_t skitId, uint32_t revision, const std::string& title,
                             const std::vector<std::string>& files) {
  SkitRecord& record = Records.emplace_back();
  record.Category = category;
  record.SkitId = skitId;
  record.Revision = revision;
  record.State = SKIT_AVAILABLE;
  record.Title.Id = Text(title);
  record.Info.Id = Text(title + " info");
  record.PlaysLeft = -1;
  record.ShowUntil = UINT64_MAX;
  record.HotKey.Link.Id = 0;
  record.FileCount = static_cast<uint32_t>(files.size());
  for (size_t i = 0; i < files.size() && i < SKIT_MAX_FILES; ++i) {
    record.Files[i].Name.Id = Text(files[i]);
    record.Files[i].Url.Id = Text(UrlBase + files[i]);
  }
  return record;
}

void SyncBuilder::Write(const std::string& path) const {
  cPakFile pak(path, false, nullptr, GENERIC_READ | GENERIC_WRITE);
  cPakBatch batch(pak);
  for (const auto& [id, text] : Texts) pak.WriteEntry(PAK_TYPE_STRING, id, 0, true, 0, text.c_str());
  SyncHeader header = Header;
  if (!SkitCountGiven) header.SkitCount = static_cast<uint32_t>(Records.size());
  uint8_t bytes[SYNC_HEADER_SIZE];
  EncodeSyncHeader(header, bytes);
  pak.WriteEntry(SYNC_HEADER_TYPE, SYNC_HEADER_ID, 0, true, sizeof bytes, bytes);
  for (size_t i = 0; i < Records.size(); ++i) {
    uint8_t record[SKIT_RECORD_SIZE];
    EncodeSkitRecord(Records[i], record);
    pak.WriteEntry(SYNC_RECORD_TYPE, static_cast<int32_t>(i + 1), 0, true, sizeof record, record);
  }
  for (const auto& [id, sums] : Sums) WriteFileSums(pak, id, sums);
  if (Address) WriteListAddress(pak, *Address);
  if (TextEncoding) {
    pak.WriteEntry(PAK_TEXT_ENCODING_TYPE, PAK_TEXT_ENCODING_ID, 0, true,
                   static_cast<uint32_t>(TextEncoding->size() + 1), TextEncoding->c_str());
  }
  if (!KeyChangeBody.empty()) {
    pak.WriteEntry(LIST_KEY_CHANGE_TYPE, LIST_KEY_CHANGE_ID, 0, false, static_cast<uint32_t>(KeyChangeBody.size()),
                   KeyChangeBody.data());
  }
  batch.Commit();
}

void SyncBuilder::WriteAtOnce(const std::string& path) const {
  std::vector<RawEntry> entries;
  for (const auto& [id, text] : Texts) entries.push_back({PAK_TYPE_STRING, id, text + std::string(1, '\0')});
  SyncHeader header = Header;
  if (!SkitCountGiven) header.SkitCount = static_cast<uint32_t>(Records.size());
  std::string bytes(SYNC_HEADER_SIZE, '\0');
  EncodeSyncHeader(header, reinterpret_cast<uint8_t*>(bytes.data()));
  entries.push_back({SYNC_HEADER_TYPE, SYNC_HEADER_ID, bytes});
  for (size_t i = 0; i < Records.size(); ++i) {
    std::string record(SKIT_RECORD_SIZE, '\0');
    EncodeSkitRecord(Records[i], reinterpret_cast<uint8_t*>(record.data()));
    entries.push_back({SYNC_RECORD_TYPE, static_cast<int32_t>(i + 1), record});
  }
  if (TextEncoding) entries.push_back({PAK_TEXT_ENCODING_TYPE, PAK_TEXT_ENCODING_ID, *TextEncoding + '\0'});
  WritePlainArchive(path, entries);
}

// Bodies from position 0, then the directory ("paki", 0, capacity, count,
// 24-byte slots), then the 144-byte trailer with a plain transform, DataEnd
// at 56, DirectorySize at 60, DataBase 0 at 132 and "pakh" at 140.
void WritePlainArchive(const std::string& path, const std::vector<RawEntry>& entries) {
  std::string file;
  std::string directory(PAK_DIRECTORY_HEADER_SIZE + PAK_SLOT_SIZE * entries.size(), '\0');
  directory.replace(0, 4, "paki");
  PutLe32(directory.data() + 8, static_cast<uint32_t>(entries.size()));
  PutLe32(directory.data() + 12, static_cast<uint32_t>(entries.size()));
  for (size_t i = 0; i < entries.size(); ++i) {
    const size_t slot = PAK_DIRECTORY_HEADER_SIZE + PAK_SLOT_SIZE * i;
    PutLe32(directory.data() + slot, entries[i].Type);
    PutLe32(directory.data() + slot + 4, static_cast<uint32_t>(entries[i].Id));
    PutLe32(directory.data() + slot + 12, static_cast<uint32_t>(file.size()));
    PutLe32(directory.data() + slot + 16, static_cast<uint32_t>(entries[i].Body.size()));
    file += entries[i].Body;
  }
  std::string trailer(PAK_TRAILER_SIZE, '\0');
  for (size_t i = 0; i < PAK_SPEC_SIZE; ++i) trailer[16 + i] = static_cast<char>(PAK_OP_PLAIN);
  PutLe32(trailer.data() + 56, static_cast<uint32_t>(file.size()));
  PutLe32(trailer.data() + 60, static_cast<uint32_t>(directory.size()));
  trailer.replace(140, 4, "pakh");
  testing_support::WriteFileBytes(path, file + directory + trailer);
}

cSkitManager& SyncTest::OpenManager() {
  Manager.reset();
  Manager = Open();
  return *Manager;
}

bool SyncTest::Merge(const SyncBuilder& sync) {
  sync.Write(SyncPath());
  return Manager->ApplySyncFile(SyncPath());
}

const SkitRecord* SyncTest::Find(uint8_t category, int32_t skitId) const {
  const int32_t index = Manager->FindSkit(category, skitId);
  return index < 0 ? nullptr : &Manager->Catalog.Records[index];
}

std::vector<std::string> SyncTest::LogTexts() const {
  if (!FileExists(Settings.LogPath)) return {};
  return download_testing::LogTexts(Settings.LogPath);
}

bool SyncTest::Logged(const std::string& text) const {
  const std::vector<std::string> texts = LogTexts();
  return std::find(texts.begin(), texts.end(), text) != texts.end();
}

std::string Str(const char* text) { return text != nullptr ? text : "(null)"; }

std::vector<std::string> FolderNames(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  HANDLE find = FindFirstFileA(JoinPath(folder, "*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    const std::string name = found.cFileName;
    if (name != "." && name != "..") names.push_back(name);
  } while (FindNextFileA(find, &found));
  FindClose(find);
  std::sort(names.begin(), names.end());
  return names;
}
