#include <cstring>

#include "base/errors.h"
#include "base/files.h"
#include "tests/store/catalog_builder.h"

using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;

namespace {

std::vector<uint8_t> RecordBytes(const SkitRecord& record) {
  std::vector<uint8_t> bytes(SKIT_RECORD_SIZE);
  EncodeSkitRecord(record, bytes.data());
  return bytes;
}

std::string Str(const char* text) { return text != nullptr ? text : "(null)"; }

}  // namespace

// Loading and saving -------------------------------------------------------

// Every byte the program does not interpret (reserved areas, the stored
// pointer slots, the unused slots, files beyond FileCount) comes back as it
// was, in plain and in transformed archives, and so does every text.
TEST_F(CatalogTest, SaveWritesBackTheBlockItRead) {
  for (const uint8_t* transform : {static_cast<const uint8_t*>(nullptr), kCyclingTransform}) {
    SCOPED_TRACE(transform == nullptr ? "plain" : "transformed");
    Builder = CatalogBuilder();
    Builder.Scramble(transform == nullptr ? 11 : 12);
    CatalogHeader& header = Builder.Block->Header;
    header.SpecialsOn = 1;
    header.SpecialCountdown = header.SpecialInterval = 3;
    header.SpecialsLeft = header.SpecialsPerRun = 2;
    Builder.Add(CAT_NOTICE, 1, SKIT_INSTALLED, SEL_ON, "Notice", {"notice1.mov"});
    SkitRecord& seven = Builder.Add(CAT_SKIT, 7, SKIT_INSTALLED, SEL_ON, "Seven", {"7.mov", "7.txt", "7.bmp"});
    seven.HotKey.KeyCode = VK_F5;
    seven.HotKey.Action = 2;
    seven.HotKey.Link.Id = Builder.Text("http://127.0.0.1/seven");
    Builder.Add(CAT_SKIT, 8, SKIT_SCHEDULED, SEL_AUTO, "Eight", {"8.mov", "8.bmp"}).FilesDone = 1;
    Builder.Add(CAT_SPECIAL, 9, SKIT_AVAILABLE, SEL_NONE, "Nine", {"9.mov"}).ShowUntil = Now + kSecond;
    Install({"notice1.mov", "7.mov", "7.txt", "7.bmp"});
    const std::vector<uint8_t> before = Builder.BlockBytes();

    {
      auto manager = Open(false, transform);
      EXPECT_FALSE(manager->IsReadOnly());
      EXPECT_EQ(Str(manager->Catalog.Records[1].HotKey.Link.Text), "http://127.0.0.1/seven");
      EXPECT_EQ(Str(manager->Catalog.Header.SyncFileName.Text), "kinetrope.syn");
    }
    EXPECT_TRUE(ReadBlockBytes(Settings.OpsFilePath) == before) << "block changed";
    for (const auto& [id, text] : Builder.Texts) EXPECT_EQ(ReadText(Settings.OpsFilePath, id), text) << id;
  }
}

// A catalogue written before its texts had one encoding (in the Windows-1252
// the setups and lists of then gave it) opens with the same titles, finds
// its files under the same names, and is written back in UTF-8, saying so.
TEST_F(CatalogTest, ACatalogueOfBeforeReadsTheSameAndIsWrittenBackInUtf8) {
  Builder.Add(CAT_SKIT, 1, SKIT_INSTALLED, SEL_ON, "Caf\xE9 au lait", {"caf\xE9.mov"});
  const int32_t title = Builder.Block->Records[0].Title.Id;
  Install({"café.mov"});
  for (int open = 0; open < 2; ++open) {
    SCOPED_TRACE(open == 0 ? "as written before" : "as written back");
    auto manager = open == 0 ? Open() : std::make_unique<cSkitManager>(false);
    EXPECT_TRUE(manager->Utf8Texts());
    EXPECT_EQ(Str(manager->Catalog.Records[0].Title.Text), "Café au lait");
    EXPECT_EQ(Str(manager->Catalog.Records[0].Files[0].Name.Text), "café.mov");
    EXPECT_EQ(manager->Catalog.Records[0].State, SKIT_INSTALLED) << "its file has the same name";
  }
  EXPECT_EQ(ReadText(Settings.OpsFilePath, title), "Café au lait");
}

TEST_F(CatalogTest, EmptyCatalogueLoadsSavesAndExportsNothing) {
  {
    auto manager = Open();
    SkitListItem items[CATALOG_MAX_SKITS];
    EXPECT_EQ(manager->ExportList(items, CAT_SKIT), 0);
    EXPECT_EQ(manager->NextSkit(), nullptr);
    EXPECT_EQ(manager->FindHotKey(0), nullptr);
  }
  EXPECT_TRUE(ReadBlockBytes(Settings.OpsFilePath) == Builder.BlockBytes()) << "block changed";
}

// Damaged catalogues -------------------------------------------------------

// A block of the wrong size, too many records or too many files is never
// used: the failure names the catalogue file, and the file is left alone.
TEST_F(CatalogTest, DamagedBlockIsReportedWithThePath) {
  Builder.Add(CAT_SKIT, 1, SKIT_INSTALLED, SEL_ON, "One", {"1.mov"});
  Builder.Add(CAT_SKIT, 2, SKIT_INSTALLED, SEL_ON, "Two", {"2.mov"});
  Install({"1.mov", "2.mov"});

  struct Case {
    const char* Name;
    std::vector<uint8_t> Block;
  };
  std::vector<Case> cases;
  std::vector<uint8_t> good = Builder.BlockBytes();
  std::vector<uint8_t> shorter(good.begin(), good.end() - 1);
  std::vector<uint8_t> longer = good;
  longer.push_back(0);
  cases.push_back({"one byte short", shorter});
  cases.push_back({"one byte long", longer});
  Builder.Block->Header.Count = 100;
  cases.push_back({"Count 100", Builder.BlockBytes()});
  Builder.Block->Header.Count = 0xFFFFFFFF;
  cases.push_back({"Count -1", Builder.BlockBytes()});
  Builder.Block->Header.Count = 2;
  Builder.Block->Records[1].FileCount = 5;
  cases.push_back({"FileCount 5", Builder.BlockBytes()});
  Builder.Block->Records[1].FileCount = 1;
  // A record that names a text the archive does not hold.
  Builder.Block->Records[1].Info.Id = 999;
  cases.push_back({"missing text", Builder.BlockBytes()});

  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    for (bool runMode : {false, true}) {
      Builder.Write(Settings.OpsFilePath, c.Block);
      const std::string file = ReadFileBytes(Settings.OpsFilePath);
      try {
        cSkitManager manager(runMode);
        ADD_FAILURE() << "opened";
      } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), CorruptText());
      }
      EXPECT_TRUE(ReadFileBytes(Settings.OpsFilePath) == file) << "catalogue written";
      EXPECT_TRUE(DeleteFileA(Settings.OpsFilePath.c_str())) << "left open";
    }
  }

  // The limits apply to the records in use only.
  Builder.Block->Records[1].Info.Id = -1;
  Builder.Block->Records[2].FileCount = 0xFFFFFFFF;
  Builder.Block->Records[99].FileCount = 5;
  EXPECT_NO_THROW(Open());
}

// Read-only fallback -------------------------------------------------------

// In run mode a catalogue that cannot be opened for writing is used
// read-only and never written; in configure mode the failure goes to the
// caller.
TEST_F(CatalogTest, RunModeFallsBackToReadOnlyWhenTheFileIsHeld) {
  Builder.Add(CAT_SKIT, 1, SKIT_INSTALLED, SEL_ON, "One", {"1.mov"});
  Builder.Add(CAT_SKIT, 2, SKIT_NOT_AVAILABLE, SEL_NONE, "Two", {"2.mov"});
  Install({"1.mov", "2.mov"});
  Builder.Write(Settings.OpsFilePath);
  const std::string file = ReadFileBytes(Settings.OpsFilePath);

  // Another process reading the catalogue without letting anyone write.
  HANDLE held = CreateFileA(Settings.OpsFilePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_THROW(cSkitManager(false), std::runtime_error);
  {
    cSkitManager manager(true);
    EXPECT_TRUE(manager.IsReadOnly());
    EXPECT_EQ(manager.Access, static_cast<DWORD>(GENERIC_READ));
    // The run starts as usual in memory; only the file is left alone.
    EXPECT_EQ(manager.Catalog.Header.Count, 1u);
    EXPECT_EQ(Str(manager.NextSkit()), "1.mov");
    manager.Save();
  }
  CloseHandle(held);
  EXPECT_TRUE(ReadFileBytes(Settings.OpsFilePath) == file) << "catalogue written";
}

// A missing file fails in both modes with the system's error, an archive
// without the block as a corrupt catalogue.
TEST_F(CatalogTest, MissingFileOrBlockFailsInBothModes) {
  SetLastError(ERROR_FILE_NOT_FOUND);
  const std::string missingFile = LastErrorText() + " " + Settings.OpsFilePath;
  for (const std::string& expected : {missingFile, CorruptText()}) {
    for (bool runMode : {false, true}) {
      try {
        cSkitManager manager(runMode);
        ADD_FAILURE() << "opened";
      } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), expected);
      }
    }
    cPakFile empty(Settings.OpsFilePath, false, nullptr, GENERIC_READ | GENERIC_WRITE);
  }
}

// Start of a run -----------------------------------------------------------

// Specials out of plays or past their end and records marked not available
// go, with their files; the rest move up in order, and the slots behind them
// keep their bytes.
TEST_F(CatalogTest, StartOfRunRemovesUnavailableSkitsInOrder) {
  Builder.Add(CAT_SKIT, 1, SKIT_INSTALLED, SEL_ON, "A", {"a.mov", "a.bmp"});
  Builder.Add(CAT_SPECIAL, 2, SKIT_INSTALLED, SEL_ON, "Used up", {"s2.mov", "s2.bmp"}).PlaysLeft = 0;
  Builder.Add(CAT_SKIT, 3, SKIT_NOT_AVAILABLE, SEL_NONE, "Gone", {"g.mov"});
  Builder.Add(CAT_SPECIAL, 4, SKIT_INSTALLED, SEL_ON, "Over", {"s4.mov"}).ShowUntil = Now - 1;
  Builder.Add(CAT_SKIT, 5, SKIT_INSTALLED, SEL_ON, "C", {"c.mov"});
  Builder.Add(CAT_SPECIAL, 6, SKIT_INSTALLED, SEL_ON, "Ends now", {"s6.mov"}).ShowUntil = Now;
  Builder.Add(CAT_SPECIAL, 7, SKIT_INSTALLED, SEL_ON, "Unlimited", {"s7.mov"}).PlaysLeft = -1;
  // Files of a not-available skit outside FileCount stay.
  Builder.Block->Records[2].Files[1].Name.Id = Builder.Text("g.bmp");
  Install({"a.mov", "a.bmp", "s2.mov", "s2.bmp", "g.mov", "g.bmp", "s4.mov", "c.mov", "s6.mov", "s7.mov"});
  std::vector<std::vector<uint8_t>> old;
  for (int i = 0; i < 7; ++i) old.push_back(RecordBytes(Builder.Block->Records[i]));

  {
    auto manager = Open();
    const CatalogBlock& block = manager->Catalog;
    ASSERT_EQ(block.Header.Count, 4u);
    const int32_t ids[] = {1, 5, 6, 7};
    const char* titles[] = {"A", "C", "Ends now", "Unlimited"};
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(block.Records[i].SkitId, ids[i]);
      EXPECT_EQ(Str(block.Records[i].Title.Text), titles[i]);
    }
    EXPECT_EQ(manager->FindSkit(CAT_SPECIAL, 2), -1);
    EXPECT_EQ(manager->CountCategory(CAT_SPECIAL), 2);
  }
  for (const char* name : {"s2.mov", "s2.bmp", "g.mov", "s4.mov"}) EXPECT_FALSE(FileExists(SkitFile(name))) << name;
  for (const char* name : {"a.mov", "a.bmp", "g.bmp", "c.mov", "s6.mov", "s7.mov"}) {
    EXPECT_TRUE(FileExists(SkitFile(name))) << name;
  }

  auto saved = ReadBlock(Settings.OpsFilePath);
  EXPECT_EQ(saved->Header.Count, 4u);
  EXPECT_EQ(RecordBytes(saved->Records[0]), old[0]);
  EXPECT_EQ(RecordBytes(saved->Records[1]), old[4]);
  EXPECT_EQ(RecordBytes(saved->Records[2]), old[5]);
  EXPECT_EQ(RecordBytes(saved->Records[3]), old[6]);
  for (int i = 4; i < 7; ++i) EXPECT_EQ(RecordBytes(saved->Records[i]), old[i]) << i;
  // The texts of removed records stay in the archive.
  EXPECT_EQ(ReadText(Settings.OpsFilePath, Builder.Block->Records[2].Title.Id), "Gone");
}

// Each missing file of an installed skit gets its own log line, and the skit
// is no longer installed or ticked. Skits not installed are not looked at.
TEST_F(CatalogTest, StartOfRunLogsEveryMissingFile) {
  Builder.Add(CAT_SKIT, 1, SKIT_INSTALLED, SEL_ON, "Whole", {"w.mov", "w.bmp"});
  Builder.Add(CAT_SKIT, 2, SKIT_INSTALLED, SEL_ON, "Holes", {"h.mov", "h.txt", "h.bmp"});
  Builder.Add(CAT_SKIT, 3, SKIT_AVAILABLE, SEL_NONE, "Offered", {"o.mov"});
  Builder.Add(CAT_NOTICE, 4, SKIT_INSTALLED, SEL_ON, "Notice", {"n.mov"});
  Install({"w.mov", "w.bmp", "h.mov"});

  auto manager = Open();
  const CatalogBlock& block = manager->Catalog;
  EXPECT_EQ(block.Records[0].State, SKIT_INSTALLED);
  EXPECT_EQ(block.Records[0].Selection, SEL_ON);
  EXPECT_EQ(block.Records[1].State, SKIT_AVAILABLE);
  EXPECT_EQ(block.Records[1].Selection, SEL_NONE);
  EXPECT_EQ(block.Records[3].State, SKIT_AVAILABLE);

  const std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), 3u);
  const std::string expected[] = {"Holes: file not found. " + SkitFile("h.txt"),
                                  "Holes: file not found. " + SkitFile("h.bmp"),
                                  "Notice: file not found. " + SkitFile("n.mov")};
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    ASSERT_GE(line.size(), expected[i].size());
    EXPECT_EQ(line.substr(line.size() - expected[i].size()), expected[i]);
  }
}

// A download log of up to 512000 bytes is kept; one byte more and it is
// started afresh.
TEST_F(CatalogTest, OversizedDownloadLogIsDeleted) {
  WriteFileBytes(Settings.LogPath, std::string(DOWNLOAD_LOG_LIMIT, 'x'));
  Open();
  EXPECT_EQ(GetFileSizeByName(Settings.LogPath), DOWNLOAD_LOG_LIMIT);
  WriteFileBytes(Settings.LogPath, std::string(DOWNLOAD_LOG_LIMIT + 1, 'x'));
  Open();
  EXPECT_FALSE(FileExists(Settings.LogPath));
}

// Look-ups and the dialogs' lists ---------------------------------------------

// With no download log set, the catalogue's lines go nowhere; they must not
// start the program's own log afresh.
TEST_F(CatalogTest, AnEmptyLogPathMeansNoDownloadLog) {
  Builder.Add(CAT_SKIT, 1, SKIT_INSTALLED, SEL_ON, "Gone", {"gone.mov"});
  Settings.LogPath.clear();
  const std::string own = LogDefaultPath();
  WriteFileBytes(own, "the program's own line\r\n");
  auto manager = Open();
  manager->LogLine(LOG_ERROR, "one more");
  EXPECT_EQ(manager->Catalog.Records[0].State, SKIT_AVAILABLE) << "the missing file was found";
  EXPECT_EQ(ReadFileBytes(own), "the program's own line\r\n");
  DeleteFileA(own.c_str());
}

TEST_F(CatalogTest, FindSkitMatchesCategoryAndId) {
  Builder.Add(CAT_NOTICE, 1, SKIT_INSTALLED, SEL_ON, "Notice one", {"n1.mov"});
  Builder.Add(CAT_SKIT, 1, SKIT_AVAILABLE, SEL_NONE, "Skit one", {"s1.mov"});
  Builder.Add(CAT_SKIT, 1, SKIT_AVAILABLE, SEL_NONE, "Skit one again", {"s1b.mov"});
  Install({"n1.mov"});
  auto manager = Open();
  EXPECT_EQ(manager->FindSkit(CAT_NOTICE, 1), 0);
  EXPECT_EQ(manager->FindSkit(CAT_SKIT, 1), 1);
  EXPECT_EQ(manager->FindSkit(CAT_SPECIAL, 1), -1);
  EXPECT_EQ(manager->FindSkit(CAT_SKIT, 2), -1);
  EXPECT_EQ(manager->CountCategory(CAT_SKIT), 2);
  EXPECT_EQ(Str(manager->GetFileName(CAT_NOTICE, 1, 0)), "n1.mov");
  EXPECT_EQ(manager->GetFileName(CAT_NOTICE, 4, 0), nullptr);
  EXPECT_EQ(manager->GetFileName(CAT_NOTICE, 1, 4), nullptr);
}

// The hot key belongs to the skit chosen last, and only while that index is
// a record in use.
TEST_F(CatalogTest, FindHotKeyOnlyForTheCurrentRecord) {
  Builder.Add(CAT_SKIT, 1, SKIT_INSTALLED, SEL_ON, "One", {"1.mov"});
  SkitRecord& two = Builder.Add(CAT_SKIT, 2, SKIT_INSTALLED, SEL_ON, "Two", {"2.mov"});
  two.HotKey.KeyCode = 'L';
  two.HotKey.Action = 2;
  two.HotKey.Link.Id = Builder.Text("http://127.0.0.1/two");
  // A slot behind Count with the same key.
  Builder.Block->Records[2].HotKey.KeyCode = 'L';
  Install({"1.mov", "2.mov"});
  auto manager = Open();

  manager->Current = 1;
  const SkitHotKey* hotKey = manager->FindHotKey('L');
  ASSERT_NE(hotKey, nullptr);
  EXPECT_EQ(hotKey->Action, 2);
  EXPECT_EQ(Str(hotKey->Link.Text), "http://127.0.0.1/two");
  EXPECT_EQ(manager->FindHotKey('M'), nullptr);
  manager->Current = 0;
  EXPECT_EQ(manager->FindHotKey('L'), nullptr);
  for (int32_t current : {2, 99, 100, -1}) {
    manager->Current = current;
    EXPECT_EQ(manager->FindHotKey('L'), nullptr) << current;
  }
}

TEST_F(CatalogTest, ExportListFillsOneItemPerRecordOfTheCategory) {
  Builder.Add(CAT_SKIT, 10, SKIT_INSTALLED, SEL_ON, "Ten", {"10.mov", "10.txt", "10.bmp"}).Flags = 0x55;
  Builder.Add(CAT_NOTICE, 11, SKIT_INSTALLED, SEL_ON, "Notice", {"n.mov"});
  Builder.Add(CAT_SKIT, 12, SKIT_SCHEDULED, SEL_AUTO, "Twelve", {"12.mov"});
  Install({"10.mov", "10.txt", "10.bmp", "n.mov"});
  auto manager = Open();

  SkitListItem items[CATALOG_MAX_SKITS];
  ASSERT_EQ(manager->ExportList(items, CAT_SKIT), 2);
  EXPECT_EQ(Str(items[0].Info), "Ten info");
  EXPECT_EQ(Str(items[0].FileNames[2]), "10.bmp");
  EXPECT_EQ(items[0].FileNames[3], nullptr);
  EXPECT_EQ(items[0].Flags, 0x55u);
  EXPECT_EQ(items[1].SkitId, 12);
  EXPECT_EQ(items[1].Selection, SEL_AUTO);
  EXPECT_EQ(items[1].Title, manager->Catalog.Records[2].Title.Text) << "borrowed, not copied";
}

// A skit scheduled again is fetched from its first file when it was
// complete, and from where it stopped when it was half done.
TEST_F(CatalogTest, ImportListRestartsOnlyCompleteSkits) {
  Builder.Add(CAT_SKIT, 1, SKIT_INSTALLED, SEL_ON, "Installed", {"1.mov", "1.bmp"});
  Builder.Add(CAT_SKIT, 2, SKIT_FAILED, SEL_NONE, "Half", {"2.mov", "2.txt", "2.bmp"}).FilesDone = 1;
  Builder.Add(CAT_SKIT, 3, SKIT_AVAILABLE, SEL_NONE, "Complete", {"3.mov"}).FilesDone = 1;
  Builder.Add(CAT_SKIT, 4, SKIT_INSTALLED, SEL_ON, "Kept", {"4.mov"});
  Builder.Add(CAT_NOTICE, 5, SKIT_INSTALLED, SEL_ON, "Notice", {"n.mov"});
  Install({"1.mov", "1.bmp", "4.mov", "n.mov"});
  auto manager = Open();

  SkitListItem items[5];
  items[0].SkitId = 1, items[0].State = SKIT_SCHEDULED, items[0].Selection = SEL_ON;
  items[1].SkitId = 2, items[1].State = SKIT_SCHEDULED, items[1].Selection = SEL_ON;
  items[2].SkitId = 3, items[2].State = SKIT_SCHEDULED, items[2].Selection = SEL_AUTO;
  items[3].SkitId = 4, items[3].State = SKIT_INSTALLED, items[3].Selection = SEL_NONE;
  items[4].SkitId = 5, items[4].State = SKIT_SCHEDULED, items[4].Selection = SEL_NONE;  // a notice, not a skit
  manager->ImportList(items, 5, CAT_SKIT);

  const SkitRecord* records = manager->Catalog.Records;
  EXPECT_EQ(records[0].FilesDone, 0u);
  EXPECT_EQ(records[0].State, SKIT_SCHEDULED);
  EXPECT_EQ(records[1].FilesDone, 1u);
  EXPECT_EQ(records[1].State, SKIT_SCHEDULED);
  EXPECT_EQ(records[1].Selection, SEL_ON);
  EXPECT_EQ(records[2].FilesDone, 0u);
  EXPECT_EQ(records[2].Selection, SEL_AUTO);
  EXPECT_EQ(records[3].FilesDone, 1u);
  EXPECT_EQ(records[3].State, SKIT_INSTALLED);
  EXPECT_EQ(records[3].Selection, SEL_NONE);
  EXPECT_EQ(records[4].State, SKIT_INSTALLED);
  EXPECT_EQ(records[4].Selection, SEL_ON);
}
