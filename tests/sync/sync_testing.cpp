#include "tests/sync/sync_testing.h"

#include <algorithm>

#include "base/files.h"
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
