#include "tests/store/catalog_builder.h"

#include <fstream>
#include <random>
#include <sstream>

#include "base/errors.h"
#include "base/files.h"
#include "store/archive_texts.h"

const uint8_t kCyclingTransform[8] = {PAK_OP_CYCLE, 0, PAK_OP_XOR, 0x5A, PAK_OP_ROTATE_LEFT, 3, PAK_OP_SWAP_NIBBLES, 0};

CatalogBuilder::CatalogBuilder() : Block(std::make_unique<CatalogBlock>()) {
  CatalogHeader& header = Block->Header;
  header.SyncUrl.Id = Text("http://127.0.0.1/kinetrope.syn");
  header.SyncFileName.Id = Text("kinetrope.syn");
  header.SyncIntervalDays = 7;
}

int32_t CatalogBuilder::Text(const std::string& text) {
  Texts[NextText] = text;
  return NextText++;
}

SkitRecord& CatalogBuilder::Add(uint8_t category, int32_t skitId, uint8_t state, uint8_t selection,
                                const std::string& title, const std::vector<std::string>& files) {
  SkitRecord& record = Block->Records[Block->Header.Count++];
  record.Category = category;
  record.SkitId = skitId;
  record.State = state;
  record.Selection = selection;
  record.Title.Id = Text(title);
  record.Info.Id = Text(title + " info");
  record.FileCount = static_cast<uint32_t>(files.size());
  record.FilesDone = state == SKIT_INSTALLED ? record.FileCount : 0;
  for (size_t i = 0; i < files.size(); ++i) {
    record.Files[i].Name.Id = Text(files[i]);
    record.Files[i].Url.Id = Text("http://127.0.0.1/skits/" + files[i]);
  }
  record.PlayCount = 0;
  record.PlaysLeft = -1;
  record.ShowFrom = 0;
  record.ShowUntil = UINT64_MAX;
  record.HotKey.KeyCode = 0;
  record.HotKey.Action = 0;
  record.HotKey.Link.Id = 0;
  return record;
}

void CatalogBuilder::Scramble(uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> bytes(CATALOG_BLOCK_SIZE);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
  const StoredString syncUrl = Block->Header.SyncUrl;
  const StoredString syncFile = Block->Header.SyncFileName;
  DecodeCatalogBlock(bytes.data(), *Block);
  Block->Header.SyncUrl.Id = syncUrl.Id;
  Block->Header.SyncFileName.Id = syncFile.Id;
  Block->Header.Count = 0;
  Block->Header.SpecialsOn = 0;
}

std::vector<uint8_t> CatalogBuilder::BlockBytes() const {
  std::vector<uint8_t> bytes(CATALOG_BLOCK_SIZE);
  EncodeCatalogBlock(*Block, bytes.data());
  return bytes;
}

void CatalogBuilder::Write(const std::string& path, const uint8_t* transform) const { Write(path, BlockBytes(), transform); }

void CatalogBuilder::Write(const std::string& path, const std::vector<uint8_t>& block, const uint8_t* transform) const {
  cPakFile pak(path, false, transform, GENERIC_READ | GENERIC_WRITE);
  cPakBatch batch(pak);
  for (const auto& [id, text] : Texts) pak.WriteEntry(PAK_TYPE_STRING, id, 0, true, 0, text.c_str());
  pak.WriteEntry(CATALOG_BLOCK_TYPE, CATALOG_BLOCK_ID, 0, true, static_cast<uint32_t>(block.size()), block.data());
  if (Utf8Texts) MarkUtf8Texts(pak);
  if (!MakerKey.empty()) {
    pak.WriteEntry(PakType("MKEY"), 1, 0, true, static_cast<uint32_t>(MakerKey.size()), MakerKey.data());
  }
  batch.Commit();
}

std::vector<uint8_t> ReadBlockBytes(const std::string& path) {
  cPakFile pak(path, true, nullptr, GENERIC_READ);
  uint32_t length = 0;
  uint8_t* body = nullptr;
  pak.ReadEntry(CATALOG_BLOCK_TYPE, CATALOG_BLOCK_ID, &length, &body);
  std::vector<uint8_t> bytes(body, body + length);
  pak.ReleaseEntry(CATALOG_BLOCK_TYPE, CATALOG_BLOCK_ID, body);
  return bytes;
}

std::unique_ptr<CatalogBlock> ReadBlock(const std::string& path) {
  std::vector<uint8_t> bytes = ReadBlockBytes(path);
  auto block = std::make_unique<CatalogBlock>();
  if (bytes.size() == CATALOG_BLOCK_SIZE) DecodeCatalogBlock(bytes.data(), *block);
  return block;
}

std::string ReadText(const std::string& path, int32_t id) {
  cPakFile pak(path, true, nullptr, GENERIC_READ);
  StringRef ref;
  ref.Id = id;
  pak.ReadString(ref);
  std::string text = ref.Text != nullptr ? ref.Text : "";
  pak.ReleaseEntry(PAK_TYPE_STRING, id, ref.Text);
  return text;
}

// 2024-01-01 00:00, local.
uint64_t CatalogTest::Now = 133485408000000000ull;

cDateTime CatalogTest::FixedClock() { return cDateTime(Now); }

CatalogTest::CatalogTest() {
  Settings.SkitsPath = Dir.File("skits");
  Settings.DownloadPath = Dir.File("download");
  Settings.LogPath = Dir.File("download.log");
  Settings.OpsFilePath = Dir.File("ops.pak");
  CreateDirectoryA(Settings.SkitsPath.c_str(), nullptr);
  CreateDirectoryA(Settings.DownloadPath.c_str(), nullptr);
  Now = 133485408000000000ull;
  cSkitManager::Clock = &FixedClock;
}

CatalogTest::~CatalogTest() { cSkitManager::Clock = &cDateTime::Now; }

std::unique_ptr<cSkitManager> CatalogTest::Open(bool runMode, const uint8_t* transform) {
  Builder.Write(Settings.OpsFilePath, transform);
  return std::make_unique<cSkitManager>(runMode);
}

void CatalogTest::Install(const std::vector<std::string>& names) {
  for (const std::string& name : names) testing_support::WriteFileBytes(SkitFile(name), "movie " + name);
}

std::string CatalogTest::SkitFile(const std::string& name) const { return JoinPath(Settings.SkitsPath, name); }

std::vector<std::string> CatalogTest::LogLines() const {
  std::vector<std::string> lines;
  if (!FileExists(Settings.LogPath)) return lines;
  std::istringstream in(testing_support::ReadFileBytes(Settings.LogPath));
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

std::string CatalogTest::CorruptText() const { return ErrorText(ERR_FILE_CORRUPT) + " " + Settings.OpsFilePath; }
