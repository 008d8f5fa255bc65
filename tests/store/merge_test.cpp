// Merging a synchronisation file into the catalogue, scheduling, and the
// server's data as an attacker would write it.
#include <cstring>
#include <functional>

#include "base/errors.h"
#include "base/files.h"
#include "store/server_data.h"
#include "tests/store/sync_testing.h"

using testing_support::WriteFileBytes;

namespace {

constexpr uint64_t kDay = DATETIME_DAY;

uint32_t CountInState(const cSkitManager& manager, uint8_t state) {
  uint32_t n = 0;
  for (uint32_t i = 0; i < manager.Catalog.Header.Count; ++i) n += manager.Catalog.Records[i].State == state;
  return n;
}

}  // namespace

// The rules alone -----------------------------------------------------------

TEST(ServerData, NamesAndAddressesThatPass) {
  for (const char* name : {"lanterns.skit", "a", "a..b.mov", " lead.mov", "console.mov", "com10.mov", "nul_x.mov",
                           "LPT.mov", "COM.mov"}) {
    EXPECT_TRUE(IsSafeFileName(name)) << name;
  }
  EXPECT_TRUE(IsSafeFileName(std::string(SAFE_NAME_LIMIT, 'n').c_str()));
  // Names are UTF-8 and counted in characters; device names are compared in
  // UTF-16, where the superscript digits one to three are digits too.
  std::string longest;
  for (size_t i = 0; i < SAFE_NAME_LIMIT; ++i) longest += "夏";
  for (const std::string& name : {std::string("Żółw.mov"), std::string("日本の夏.skit"), longest,
                                  std::string("COM\u2074.mov"), std::string("com\u00B9x.mov")}) {
    EXPECT_TRUE(IsSafeFileName(name.c_str())) << name;
  }
  for (const std::string& name : {std::string("COM\u00B9"), std::string("lpt\u00B2.txt"), std::string("Com\u00B3 .x"),
                                  std::string("caf\xE9.mov"), longest + "夏"}) {
    EXPECT_FALSE(IsSafeFileName(name.c_str())) << name;
  }
  for (const char* url : {"http://127.0.0.1/a.mov", "HTTPS://host/a?b=c", "http://h"}) EXPECT_TRUE(IsAllowedUrl(url));
  for (const char* url : {"http://", "https:/host/a", "ftp://host/a", "file:///C:/a", "host/a", "http://h/a b",
                          "http://h/a\r\nX-Evil: 1"}) {
    EXPECT_FALSE(IsAllowedUrl(url)) << url;
  }
  EXPECT_FALSE(IsAllowedUrl(nullptr));
  EXPECT_EQ(PrintableText("a\r\nb"), "a\\x0D\\x0Ab");
  EXPECT_EQ(PrintableText(nullptr), "(none)");
}

// Header and records --------------------------------------------------------

TEST_F(SyncTest, TheHeaderIsTakenOnlyFromANewerVersion) {
  CatalogHeader& built = Builder.Block->Header;
  built.CatalogVersion = 5;
  built.SpecialInterval = 3;
  built.SyncIntervalDays = 7;
  const int32_t urlId = built.SyncUrl.Id;
  OpenManager();
  const CatalogHeader& header = Manager->Catalog.Header;

  SyncBuilder sync;
  sync.Header.Version = 5;
  sync.Header.NewSyncUrl.Id = sync.Text("http://127.0.0.1/v2/kinetrope.syn");
  sync.Header.SpecialInterval = 9;
  sync.Header.SyncIntervalDays = 14;
  sync.Header.Extra1 = 21;
  sync.Header.Extra2 = 22;
  sync.Add(CAT_SKIT, 1, 1, "One", {"one.mov"});
  EXPECT_TRUE(Merge(sync)) << "an equal version still merges its records";
  EXPECT_NE(Find(CAT_SKIT, 1), nullptr);
  EXPECT_EQ(header.SpecialInterval, 3);
  EXPECT_EQ(header.SyncIntervalDays, 7u);
  EXPECT_EQ(Str(header.SyncUrl.Text), "http://127.0.0.1/kinetrope.syn");
  EXPECT_FALSE(FileExists(SyncPath())) << "a merged file is deleted";

  sync.Header.Version = 6;
  EXPECT_FALSE(Merge(sync)) << "the record is unchanged";
  EXPECT_EQ(header.SpecialInterval, 9);
  EXPECT_EQ(header.SyncIntervalDays, 14u);
  EXPECT_EQ(header.SyncExtra1, 21u);
  EXPECT_EQ(header.SyncExtra2, 22u);
  EXPECT_EQ(header.CatalogVersion, 5u);
  EXPECT_EQ(Str(header.SyncUrl.Text), "http://127.0.0.1/v2/kinetrope.syn");
  EXPECT_EQ(header.SyncUrl.Id, urlId);

  // An address of another scheme is refused; the rest of the header is taken.
  sync.Header.NewSyncUrl.Id = sync.Text("file:///C:/windows/kinetrope.syn");
  sync.Header.SyncIntervalDays = 30;
  Merge(sync);
  EXPECT_EQ(header.SyncIntervalDays, 30u);
  EXPECT_EQ(Str(header.SyncUrl.Text), "http://127.0.0.1/v2/kinetrope.syn");
  EXPECT_TRUE(Logged("Rejected synchronisation address file:///C:/windows/kinetrope.syn"));

  Manager.reset();
  EXPECT_EQ(ReadText(Settings.OpsFilePath, urlId), "http://127.0.0.1/v2/kinetrope.syn");
}

TEST_F(SyncTest, AHigherRevisionReplacesTheRecordAndSchedulesIt) {
  SkitRecord& local = Builder.Add(CAT_SKIT, 7, SKIT_INSTALLED, SEL_ON, "Old title", {"a.mov", "a.bmp"});
  local.Revision = 3;
  local.PlayCount = 4;
  local.PlaysLeft = 6;
  Install({"a.mov", "a.bmp"});
  OpenManager();
  const int32_t titleId = Find(CAT_SKIT, 7)->Title.Id;

  SyncBuilder sync;
  SkitRecord& server = sync.Add(CAT_SKIT, 7, 3, "New title", {"b.mov"});
  server.PlaysLeft = 1;
  server.Flags = 0x40;
  EXPECT_FALSE(Merge(sync));
  EXPECT_EQ(Str(Find(CAT_SKIT, 7)->Title.Text), "Old title");
  EXPECT_EQ(Find(CAT_SKIT, 7)->State, SKIT_INSTALLED);

  sync.Records[0].Revision = 4;
  EXPECT_TRUE(Merge(sync));
  const SkitRecord& record = *Find(CAT_SKIT, 7);
  EXPECT_EQ(Str(record.Title.Text), "New title");
  EXPECT_EQ(record.Title.Id, titleId) << "the record keeps its own text entries";
  EXPECT_EQ(record.Revision, 4u);
  EXPECT_EQ(record.Flags, 0x40u);
  EXPECT_EQ(record.FileCount, 1u);
  EXPECT_EQ(Str(record.Files[0].Name.Text), "b.mov");
  EXPECT_EQ(Str(record.Files[0].Url.Text), "http://127.0.0.1/skits/b.mov");
  EXPECT_EQ(record.State, SKIT_SCHEDULED);
  EXPECT_EQ(record.Selection, SEL_ON);
  EXPECT_EQ(record.FilesDone, 0u) << "an installed skit is fetched again from its first file";
  EXPECT_EQ(record.PlayCount, 4);
  EXPECT_EQ(record.PlaysLeft, 6);

  Manager.reset();
  Manager = std::make_unique<cSkitManager>(false);
  EXPECT_EQ(Str(Find(CAT_SKIT, 7)->Title.Text), "New title");
  EXPECT_EQ(Str(Find(CAT_SKIT, 7)->Files[0].Name.Text), "b.mov");
}

// Each bit alone takes its own group of fields and nothing else, and the
// catalogue it leaves opens again (every file in use has its texts).
TEST_F(SyncTest, EachUpdateMaskBitTakesItsOwnFields) {
  for (const uint32_t bit : {0x01u, 0x02u, 0x04u, 0x08u, 0x10u, 0x20u}) {
    SCOPED_TRACE(bit);
    Builder = CatalogBuilder();
    SkitRecord& local = Builder.Add(CAT_SKIT, 7, SKIT_AVAILABLE, SEL_NONE, "Local", {"l0.mov", "l1.bmp"});
    local.Revision = 3;
    local.Flags = 1;
    local.FilesDone = 1;
    local.PlayCount = 5;
    local.PlaysLeft = 9;
    local.ShowFrom = 100;
    local.HotKey = {VK_F1, 1, {}};
    local.HotKey.Link.Id = Builder.Text("http://127.0.0.1/local");
    OpenManager();

    SyncBuilder sync;
    SkitRecord& server = sync.Add(CAT_SKIT, 7, 4, "Server", {"s0.mov", "s1.bmp", "s2.bmp"});
    server.UpdateMask = bit;
    server.Flags = 2;
    server.FilesDone = 3;
    server.PlayCount = 50;
    server.PlaysLeft = 2;
    server.ShowFrom = 200;
    server.ShowUntil = 300;
    server.HotKey = {VK_F2, 2, {}};
    server.HotKey.Link.Id = sync.Text("http://127.0.0.1/server");
    for (auto& file : server.Files) file.Extra = 7;
    EXPECT_TRUE(Merge(sync));

    const SkitRecord& record = *Find(CAT_SKIT, 7);
    const bool identity = bit == 0x01, files = bit == 0x02, plays = bit == 0x04, window = bit == 0x08,
               urls = bit == 0x10, hotKey = bit == 0x20;
    EXPECT_EQ(record.UpdateMask, bit);
    EXPECT_EQ(record.Revision, identity ? 4u : 3u);
    EXPECT_EQ(record.Flags, identity ? 2u : 1u);
    EXPECT_EQ(record.FilesDone, identity ? 3u : 1u);
    EXPECT_EQ(Str(record.Title.Text), identity ? "Server" : "Local");
    EXPECT_EQ(Str(record.Files[0].Name.Text), identity ? "s0.mov" : "l0.mov");
    EXPECT_EQ(record.FileCount, identity || files ? 3u : 2u);
    EXPECT_EQ(record.Files[0].Extra, 0u) << "cleared for the files in use when read";
    EXPECT_EQ(record.Files[3].Extra, identity || files ? 7u : 0u);
    EXPECT_EQ(record.State, files ? SKIT_SCHEDULED : SKIT_AVAILABLE);
    EXPECT_EQ(record.PlaysLeft, plays ? 2 : 9);
    EXPECT_EQ(record.PlayCount, plays ? 0 : 5);
    EXPECT_EQ(record.ShowFrom, window ? 200u : 100u);
    EXPECT_EQ(Str(record.Files[0].Url.Text), urls ? "http://127.0.0.1/skits/s0.mov" : "http://127.0.0.1/skits/l0.mov");
    EXPECT_EQ(record.HotKey.KeyCode, hotKey ? VK_F2 : VK_F1);
    EXPECT_EQ(Str(record.HotKey.Link.Text), hotKey ? "http://127.0.0.1/server" : "http://127.0.0.1/local");

    Manager.reset();
    Manager.reset();
  Manager = std::make_unique<cSkitManager>(false);
    ASSERT_NE(Find(CAT_SKIT, 7), nullptr);
    EXPECT_EQ(Find(CAT_SKIT, 7)->FileCount, identity || files ? 3u : 2u);
    Manager.reset();
  }
}

// The slot a new skit takes is filled with noise first: whatever the server
// record does not set starts at zero.
TEST_F(SyncTest, ANewSkitTakesTheServerFieldsAndTheRestStartsAtZero) {
  Builder.Scramble(5);
  Builder.Add(CAT_SKIT, 1, SKIT_INSTALLED, SEL_ON, "Here", {"here.mov"});
  Install({"here.mov", "present.mov", "present.bmp"});
  OpenManager();

  SyncBuilder sync;
  SkitRecord& present = sync.Add(CAT_SKIT, 2, 1, "Present", {"present.mov", "present.bmp"});
  present.FilesDone = 9;
  present.UpdateMask = 0x3F;
  present.Reserved[0] = 0xAA;
  present.HotKey.KeyCode = VK_F3;  // no link: the hot key is not taken
  SkitRecord& absent = sync.Add(CAT_SKIT, 3, 2, "Absent", {"absent.mov"});
  absent.Title.Id = -1;
  absent.PlaysLeft = 4;
  absent.PlayCount = 2;
  absent.ShowFrom = 10;
  absent.ShowUntil = Now + kDay;
  absent.Flags = 8;
  absent.HotKey = {VK_F4, 2, {}};
  absent.HotKey.Link.Id = sync.Text("http://127.0.0.1/absent");
  EXPECT_TRUE(Merge(sync));
  EXPECT_EQ(Manager->Tally.Added, 2u);

  const SkitRecord& p = *Find(CAT_SKIT, 2);
  EXPECT_EQ(p.State, SKIT_INSTALLED) << "its files are already in the skits folder";
  EXPECT_EQ(p.Selection, SEL_ON);
  EXPECT_EQ(p.FilesDone, 0u);
  EXPECT_EQ(p.UpdateMask, 0u);
  EXPECT_EQ(p.HotKey.KeyCode, 0);
  EXPECT_EQ(p.HotKey.Link.Id, 0);
  for (uint8_t b : p.Reserved) EXPECT_EQ(b, 0);
  for (uint32_t f = 2; f < SKIT_MAX_FILES; ++f) {
    EXPECT_EQ(p.Files[f].Name.Id, 0);
    EXPECT_EQ(p.Files[f].Url.Id, 0);
    EXPECT_EQ(p.Files[f].Extra, 0u);
  }

  const SkitRecord& a = *Find(CAT_SKIT, 3);
  EXPECT_EQ(a.State, SKIT_AVAILABLE);
  EXPECT_EQ(a.Selection, SEL_NONE);
  EXPECT_EQ(Str(a.Title.Text), "") << "a missing text is stored empty";
  EXPECT_EQ(a.Revision, 2u);
  EXPECT_EQ(a.Flags, 8u);
  EXPECT_EQ(a.PlaysLeft, 4);
  EXPECT_EQ(a.PlayCount, 2);
  EXPECT_EQ(a.ShowFrom, 10u);
  EXPECT_EQ(a.HotKey.KeyCode, VK_F4);
  EXPECT_EQ(a.HotKey.Action, 2);
  EXPECT_EQ(Str(a.HotKey.Link.Text), "http://127.0.0.1/absent");

  Manager.reset();
  Manager = std::make_unique<cSkitManager>(false);
  EXPECT_EQ(Str(Find(CAT_SKIT, 2)->Files[1].Name.Text), "present.bmp");
  EXPECT_EQ(Str(Find(CAT_SKIT, 3)->HotKey.Link.Text), "http://127.0.0.1/absent");
}

TEST_F(SyncTest, AFullCatalogueSkipsFurtherNewSkitsOneByOne) {
  for (int32_t id = 1; id <= 98; ++id) Builder.Add(CAT_SKIT, id, SKIT_AVAILABLE, SEL_NONE, "S", {});
  OpenManager();
  SyncBuilder sync;
  sync.Add(CAT_SKIT, 200, 1, "Fits", {"fits.mov"});
  sync.Add(CAT_SKIT, 201, 1, "Too many", {"x.mov"});
  sync.Add(CAT_SKIT, 5, 1, "Update", {"five.mov"});
  sync.Add(CAT_SKIT, 202, 1, "Also too many", {"y.mov"});
  EXPECT_TRUE(Merge(sync));
  EXPECT_EQ(Manager->Catalog.Header.Count, 99u);
  EXPECT_NE(Find(CAT_SKIT, 200), nullptr);
  EXPECT_EQ(Find(CAT_SKIT, 201), nullptr);
  EXPECT_EQ(Find(CAT_SKIT, 202), nullptr);
  EXPECT_EQ(Str(Find(CAT_SKIT, 5)->Title.Text), "Update") << "updates still apply";
  EXPECT_TRUE(Logged("Skipped skit record 2: Can't add skit - max entries!"));
  EXPECT_TRUE(Logged("Skipped skit record 4: Can't add skit - max entries!"));

  // A long list of new skits: the first fifty skips are listed, the rest
  // counted in one line.
  DeleteFileA(Settings.LogPath.c_str());
  SyncBuilder many;
  for (int32_t id = 300; id < 360; ++id) many.Add(CAT_SKIT, id, 1, "More", {"m.mov"});
  EXPECT_FALSE(Merge(many));
  const std::vector<std::string> log = LogTexts();
  ASSERT_EQ(log.size(), 51u);
  EXPECT_EQ(log[49], "Skipped skit record 50: Can't add skit - max entries!");
  EXPECT_EQ(log[50], "10 more skit records skipped or rejected, not listed");
}

// Scheduling ----------------------------------------------------------------

TEST_F(SyncTest, AutomaticDownloadSchedulesEveryAvailableSkitAfterAMerge) {
  Builder.Add(CAT_SKIT, 1, SKIT_AVAILABLE, SEL_NONE, "Waiting", {"w.mov"});
  Builder.Add(CAT_SKIT, 2, SKIT_INSTALLED, SEL_ON, "Installed", {"i.mov"});
  Install({"i.mov"});
  for (const int8_t method : {2, 0}) {
    SCOPED_TRACE(method);
    Settings.SyncMethod = method;
    OpenManager();
    SyncBuilder sync;
    sync.Add(CAT_SKIT, 3, 1, "New", {"n.mov"});
    sync.Write(SyncPath());
    Manager->ApplySyncFileAndSave(SyncPath(), true);
    EXPECT_TRUE(FileExists(SyncPath())) << "a skipped merge leaves the file alone";
    Manager->ApplySyncFileAndSave(SyncPath(), false);
    const uint8_t state = method == 0 ? SKIT_SCHEDULED : SKIT_AVAILABLE;
    const uint8_t selection = method == 0 ? SEL_AUTO : SEL_NONE;
    for (int32_t id : {1, 3}) {
      EXPECT_EQ(Find(CAT_SKIT, id)->State, state) << id;
      EXPECT_EQ(Find(CAT_SKIT, id)->Selection, selection) << id;
    }
    EXPECT_EQ(Find(CAT_SKIT, 2)->State, SKIT_INSTALLED);
    EXPECT_EQ(ReadBlock(Settings.OpsFilePath)->Header.Count, 3u) << "a merge that changed something is saved";
  }
}

TEST_F(SyncTest, SpecialsAreScheduledTenAtATimeUnlessDownloadIsAutomatic) {
  for (int32_t id = 1; id <= 13; ++id) Builder.Add(CAT_SPECIAL, id, SKIT_AVAILABLE, SEL_NONE, "Special", {"s.mov"});
  for (const int8_t method : {2, 0}) {
    SCOPED_TRACE(method);
    Settings.SyncMethod = method;
    OpenManager();
    Manager->Catalog.Records[0].ShowUntil = Now - kSecond;  // over: never scheduled
    Manager->ScheduleSpecials();
    EXPECT_EQ(CountInState(*Manager, SKIT_SCHEDULED), method == 0 ? 12u : 10u);
    EXPECT_EQ(Manager->Catalog.Records[0].State, SKIT_AVAILABLE);
    EXPECT_EQ(Manager->Catalog.Records[1].Selection, SEL_AUTO);
    Manager->ScheduleSpecials();
    EXPECT_EQ(CountInState(*Manager, SKIT_SCHEDULED), 12u);
  }
}

// The next file is the first one a scheduled skit still lacks; a skit past
// its ShowUntil, or whose stored name is not a plain file name, is never
// fetched.
TEST_F(SyncTest, TheNextFileIsTheFirstOneAScheduledSkitLacks) {
  Builder.Add(CAT_SKIT, 1, SKIT_SCHEDULED, SEL_AUTO, "Over", {"over.mov"}).ShowUntil = Now;
  Builder.Add(CAT_SKIT, 2, SKIT_SCHEDULED, SEL_AUTO, "Escape", {"..\\escape.mov"});
  Builder.Add(CAT_SKIT, 3, SKIT_SCHEDULED, SEL_AUTO, "Half", {"h0.mov", "h1.bmp", "h2.bmp"}).FilesDone = 1;
  OpenManager();
  EXPECT_EQ(Manager->PendingFiles(CAT_SKIT, SKIT_SCHEDULED), 3u) << "the skit past its time is not pending";
  FileToFetch next;
  ASSERT_TRUE(Manager->PrepareNextFile(next));
  EXPECT_EQ(next.SkitId, 3);
  EXPECT_EQ(Str(next.Url), "http://127.0.0.1/skits/h1.bmp");
  EXPECT_EQ(Str(next.Title), "Half");
  EXPECT_EQ(next.File, JoinPath(Settings.DownloadPath, "h1.bmp"));
  EXPECT_EQ(next.Position, "2 of 3");
  EXPECT_EQ(Find(CAT_SKIT, 1)->State, SKIT_SCHEDULED);
  EXPECT_EQ(Find(CAT_SKIT, 2)->State, SKIT_FAILED);
  EXPECT_TRUE(Logged("Cannot download Escape: unsafe file name ..\\escape.mov"));
}

TEST_F(SyncTest, ALocalSynchronisationFileIsMergedAtStartAndDeleted) {
  Builder.Block->Header.LastSync = 1234;
  Builder.Add(CAT_SKIT, 1, SKIT_SCHEDULED, SEL_AUTO, "Shipped", {"shipped.mov"});
  Install({"shipped.mov", "new.mov"});
  Settings.SyncMethod = 2;
  OpenManager();
  EXPECT_EQ(Manager->Catalog.Header.LastSync, 1234u) << "no file, no stamp";
  EXPECT_EQ(Find(CAT_SKIT, 1)->State, SKIT_SCHEDULED);
  Manager.reset();

  SyncBuilder sync;
  sync.Add(CAT_SKIT, 2, 1, "New", {"new.mov"});
  sync.Add(CAT_SKIT, 3, 1, "Later", {"later.mov"});
  sync.Write(SkitFile(LOCAL_SYNC_FILE_NAME));
  OpenManager();
  EXPECT_FALSE(FileExists(SkitFile(LOCAL_SYNC_FILE_NAME)));
  EXPECT_EQ(Manager->Catalog.Header.LastSync, Now);
  EXPECT_EQ(Find(CAT_SKIT, 1)->State, SKIT_INSTALLED) << "its files were there at start";
  EXPECT_EQ(Find(CAT_SKIT, 1)->Selection, SEL_ON);
  EXPECT_EQ(Find(CAT_SKIT, 2)->State, SKIT_INSTALLED);
  EXPECT_EQ(Find(CAT_SKIT, 3)->State, SKIT_AVAILABLE);
}

// Hostile files -------------------------------------------------------------

TEST_F(SyncTest, UnsafeNamesAndAddressesAreRejectedAndTheRestMerges) {
  Builder.Add(CAT_SKIT, 1, SKIT_INSTALLED, SEL_ON, "Good", {"good.mov"});
  Install({"good.mov"});
  OpenManager();
  SyncBuilder sync;
  sync.Add(CAT_SKIT, 2, 1, "Long", {"ok.mov", std::string(SAFE_NAME_LIMIT, 'n')});
  sync.Add(CAT_SKIT, 3, 1, "Upper", {"upper.mov"});
  sync.Texts[sync.Records.back().Files[0].Url.Id] = "HTTPS://127.0.0.1/upper.mov";
  std::vector<std::string> expected;

  const std::vector<std::string> names = {"..", ".", "..\\evil.mov", "sub/evil.mov", "C:\\evil.mov", "C:evil.mov",
                                          "\\\\host\\share\\evil.mov", "movie.mov:stream", "evil.", "evil ", "NUL",
                                          "com1", "LPT1.txt", "CONOUT$", "aux.tar.gz", "", "tab\tname.mov",
                                          "what?.mov", std::string(SAFE_NAME_LIMIT + 1, 'n')};
  int32_t id = 10;
  for (const std::string& name : names) {
    const std::string title = "Skit " + std::to_string(id);
    sync.Add(CAT_SKIT, id++, 1, title, {"ok.mov", name});
    expected.push_back("Rejected skit " + title + ": unsafe file name " + PrintableText(name.c_str()));
  }
  sync.Add(CAT_SKIT, id, 1, "No name", {"ok.mov"}).Files[0].Name.Id = -1;
  expected.push_back("Rejected skit No name: unsafe file name (none)");
  for (const std::string url : {"ftp://127.0.0.1/a.mov", "file:///C:/a.mov", "http://"}) {
    const std::string title = "Skit " + std::to_string(++id);
    sync.Add(CAT_SKIT, id, 1, title, {"ok.mov"});
    sync.Texts[sync.Records.back().Files[0].Url.Id] = url;
    expected.push_back("Rejected skit " + title + ": unsupported address " + url);
  }
  sync.Add(CAT_SKIT, ++id, 1, "Many", {"ok.mov"}).FileCount = 9;
  expected.push_back("Rejected skit Many: 9 files");
  // The keys that wake the computer never become hot keys.
  for (const auto& [key, name] : std::vector<std::pair<int32_t, std::string>>{{VK_SPACE, "Space"}, {VK_RSHIFT, "Shift"}}) {
    SkitRecord& waker = sync.Add(CAT_SKIT, ++id, 1, "Waker " + name, {"ok.mov"});
    waker.HotKey = {key, static_cast<uint8_t>(key == VK_SPACE ? 2 : 1), {}};
    waker.HotKey.Link.Id = sync.Text("http://127.0.0.1/wake");
    expected.push_back("Rejected skit Waker " + name + ": its hot key is the wake key " + name);
  }
  // A partial update is judged by what it takes: plays only, whatever its
  // names; names, and then they must be safe.
  SkitRecord& plays = sync.Add(CAT_SKIT, 1, 1, "Good", {"..\\evil.mov"});
  plays.UpdateMask = 0x04;
  plays.PlaysLeft = 3;
  sync.Add(CAT_SKIT, 1, 2, "Good", {"..\\evil.mov"}).UpdateMask = 0x01;
  expected.push_back("Rejected skit Good: unsafe file name ..\\evil.mov");

  EXPECT_TRUE(Merge(sync));
  EXPECT_EQ(Manager->Catalog.Header.Count, 3u);
  EXPECT_NE(Find(CAT_SKIT, 2), nullptr);
  EXPECT_NE(Find(CAT_SKIT, 3), nullptr);
  EXPECT_EQ(Find(CAT_SKIT, 1)->PlaysLeft, 3);
  EXPECT_EQ(Str(Find(CAT_SKIT, 1)->Files[0].Name.Text), "good.mov");
  EXPECT_EQ(Manager->Tally.Rejected, expected.size());
  for (const std::string& line : expected) EXPECT_TRUE(Logged(line)) << line;
}

// A huge SkitCount is believed only as far as "SKIT" entries exist; a record
// that names a text the archive lacks, or is too short, is skipped; one
// whose texts are missing altogether merges with empty texts.
TEST_F(SyncTest, SkitCountMissingTextsAndShortRecords) {
  OpenManager();
  SyncBuilder sync;
  sync.Add(CAT_SKIT, 1, 1, "First", {"first.mov"});
  sync.Add(CAT_SKIT, 2, 1, "Lost info", {"second.mov"}).Info.Id = 999;
  SkitRecord& bare = sync.Add(CAT_SKIT, 3, 1, "Bare", {"third.mov"});
  bare.Title.Id = bare.Info.Id = -1;
  sync.Header.SkitCount = 0xFFFFFFFFu;
  sync.SkitCountGiven = true;
  sync.Write(SyncPath());
  {
    cPakFile pak(SyncPath());
    const uint8_t shortRecord[100] = {1};
    pak.WriteEntry(SYNC_RECORD_TYPE, 4, 0, true, sizeof shortRecord, shortRecord);
    uint8_t outside[SKIT_RECORD_SIZE];
    SkitRecord record = sync.Records[0];
    record.SkitId = 50;
    EncodeSkitRecord(record, outside);
    pak.WriteEntry(SYNC_RECORD_TYPE, 0, 0, true, sizeof outside, outside);
  }

  const DWORD start = GetTickCount();
  EXPECT_TRUE(Manager->ApplySyncFile(SyncPath()));
  EXPECT_LT(GetTickCount() - start, 10000u);
  EXPECT_NE(Find(CAT_SKIT, 1), nullptr);
  EXPECT_EQ(Find(CAT_SKIT, 2), nullptr);
  ASSERT_NE(Find(CAT_SKIT, 3), nullptr);
  EXPECT_EQ(Str(Find(CAT_SKIT, 3)->Title.Text), "");
  EXPECT_EQ(Str(Find(CAT_SKIT, 3)->Info.Text), "");
  EXPECT_EQ(Find(CAT_SKIT, 50), nullptr) << "id 0 is outside 1 .. SkitCount";
  EXPECT_TRUE(Logged("Skipped skit record 2: Pak not found."));
  EXPECT_TRUE(Logged("Skipped skit record 4: " + ErrorText(ERR_FILE_CORRUPT) + " " + SyncPath()));
}

TEST_F(SyncTest, AFileThatIsNoSynchronisationFileMergesNothingAndIsDeleted) {
  OpenManager();
  const auto noHeader = [this] {
    cPakFile pak(SyncPath(), false);
    pak.WriteEntry(PAK_TYPE_STRING, 1, 0, true, 0, "text");
  };
  const auto shortHeader = [this] {
    cPakFile pak(SyncPath(), false);
    const uint8_t header[20] = {};
    pak.WriteEntry(SYNC_HEADER_TYPE, SYNC_HEADER_ID, 0, true, sizeof header, header);
  };
  const auto page = [this] { WriteFileBytes(SyncPath(), "<html><body>" + std::string(300, 'x') + "</body></html>"); };
  for (const auto& make : {std::function<void()>(page), std::function<void()>(noHeader),
                           std::function<void()>(shortHeader)}) {
    make();
    EXPECT_FALSE(Manager->ApplySyncFile(SyncPath()));
    EXPECT_FALSE(FileExists(SyncPath()));
    EXPECT_EQ(LogTexts().back(), "Synchronisation file not merged: " + ErrorText(ERR_FILE_CORRUPT) + " " + SyncPath());
  }
  EXPECT_EQ(LogTexts().size(), 3u);
  EXPECT_EQ(Manager->Catalog.Header.Count, 0u);
}

// The start of a run deletes the files of unavailable skits and checks those
// of installed ones; a stored name that is not a plain file name reaches
// neither outside the skits folder.
TEST_F(SyncTest, AStoredUnsafeNameIsNeitherDeletedNorTakenForInstalled) {
  WriteFileBytes(Dir.File("victim.txt"), "keep me");
  Install({"victim.txt"});
  Builder.Add(CAT_SKIT, 1, SKIT_NOT_AVAILABLE, SEL_NONE, "Gone", {"..\\victim.txt", "victim.txt"});
  Builder.Add(CAT_SKIT, 2, SKIT_INSTALLED, SEL_ON, "Outside", {"..\\victim.txt"});
  OpenManager();
  EXPECT_TRUE(FileExists(Dir.File("victim.txt")));
  EXPECT_FALSE(FileExists(SkitFile("victim.txt"))) << "the plain name in the skits folder is deleted";
  EXPECT_EQ(Find(CAT_SKIT, 2)->State, SKIT_AVAILABLE);
  EXPECT_TRUE(Logged("Outside: file not found. ..\\victim.txt"));

  // Nor is it taken for a movie when it comes up for play.
  SkitRecord& outside = Manager->Catalog.Records[Manager->FindSkit(CAT_SKIT, 2)];
  outside.State = SKIT_INSTALLED;
  outside.Selection = SEL_ON;
  EXPECT_EQ(Manager->NextSkit(), nullptr);
  EXPECT_EQ(outside.State, SKIT_AVAILABLE);
}

// A list over either limit merges nothing and says why; one at the limit
// merges. The records share their texts, so ten thousand of them stay well
// under the size limit.
TEST_F(SyncTest, AListOverItsLimitsIsRefusedWithALogLine) {
  OpenManager();
  SyncBuilder sync;
  const SkitRecord first = sync.Add(CAT_SKIT, 1, 1, "Shared", {"shared.mov"});
  sync.Records.resize(SYNC_RECORD_LIMIT + 1, first);
  sync.WriteAtOnce(SyncPath());
  EXPECT_FALSE(Manager->ApplySyncFile(SyncPath()));
  EXPECT_EQ(Manager->Catalog.Header.Count, 0u);
  EXPECT_EQ(LogTexts(), std::vector<std::string>{"Synchronisation file not merged: " + SyncPath() +
                                                 " holds 10001 skit records; a synchronisation file may hold at "
                                                 "most 10000"});

  SyncBuilder big;
  big.Add(CAT_SKIT, 2, 1, "Big", {"big.mov"});
  big.Text(std::string(SYNC_FILE_SIZE_LIMIT, 'x'));
  big.WriteAtOnce(SyncPath());
  const uint64_t size = GetFileSizeByName(SyncPath());
  EXPECT_FALSE(Manager->ApplySyncFile(SyncPath()));
  EXPECT_EQ(LogTexts().back(), "Synchronisation file not merged: " + SyncPath() + " holds " + std::to_string(size) +
                                   " bytes; a synchronisation file may hold at most 4194304");
  EXPECT_FALSE(FileExists(SyncPath()));

  // The same record ten thousand times: the first adds the skit, the others
  // change nothing.
  sync.Records.resize(SYNC_RECORD_LIMIT);
  sync.WriteAtOnce(SyncPath());
  EXPECT_TRUE(Manager->ApplySyncFile(SyncPath()));
  EXPECT_EQ(Manager->Catalog.Header.Count, 1u);
  EXPECT_EQ(Str(Find(CAT_SKIT, 1)->Title.Text), "Shared");

  // One text of 1.7 MB named by every text of ten records: each record is
  // refused before the text is read, and the catalogue stays small. A title
  // of exactly the limit still merges.
  SyncBuilder greedy;
  const int32_t huge = greedy.Text(std::string(1700000, 't'));
  for (int32_t id = 10; id < 20; ++id) {
    SkitRecord& record = greedy.Add(CAT_SKIT, id, 1, "Greedy", {"a.mov", "b.mov", "c.mov", "d.mov"});
    record.Title.Id = huge;
    if (id % 2 == 0) record.Info.Id = huge;
    for (auto& file : record.Files) file.Url.Id = huge;
    record.HotKey.Link.Id = huge;
  }
  SkitRecord& link = greedy.Add(CAT_SKIT, 60, 1, "Link", {"l.mov"});
  link.HotKey.KeyCode = 'L';
  link.HotKey.Action = 2;
  link.HotKey.Link.Id = greedy.Text("http://127.0.0.1/" + std::string(SYNC_ADDRESS_LIMIT, 'l'));
  greedy.Add(CAT_SKIT, 61, 1, std::string(SYNC_TEXT_LIMIT, 'T'), {"t.mov"}).Info.Id = -1;
  greedy.WriteAtOnce(SyncPath());
  const uint32_t rejected = Manager->Tally.Rejected;
  EXPECT_TRUE(Manager->ApplySyncFile(SyncPath()));
  EXPECT_EQ(Manager->Tally.Rejected - rejected, 11u);
  EXPECT_TRUE(Logged("Refused skit record 1: its title is 1700000 bytes long, more than the 4096 it may have"));
  EXPECT_TRUE(Logged("Refused skit record 11: its hot key's link is " + std::to_string(SYNC_ADDRESS_LIMIT + 17) +
                     " bytes long, more than the 2083 it may have"));
  EXPECT_EQ(Manager->Catalog.Header.Count, 2u);
  ASSERT_NE(Find(CAT_SKIT, 61), nullptr);
  EXPECT_EQ(Str(Find(CAT_SKIT, 61)->Title.Text).size(), SYNC_TEXT_LIMIT);
  Manager->Save();
  EXPECT_LT(GetFileSizeByName(Settings.OpsFilePath), 200000u) << "the catalogue grew by the refused texts";
}

// The update needs new text entries for the files it adds; the catalogue
// file refuses the first write. The record stays as it was, and the
// catalogue saved afterwards opens again.
TEST_F(SyncTest, AnUpdateThatCannotBeWrittenLeavesTheOldRecord) {
  SkitRecord& local = Builder.Add(CAT_SKIT, 7, SKIT_INSTALLED, SEL_ON, "Old", {"old.mov"});
  local.Revision = 3;
  Install({"old.mov"});
  for (const uint32_t mask : {0u, 0x01u}) {
    SCOPED_TRACE(mask);
    OpenManager();
    SyncBuilder sync;
    sync.Add(CAT_SKIT, 7, 4, "New", {"n0.mov", "n1.bmp", "n2.bmp"}).UpdateMask = mask;
    sync.Write(SyncPath());

    // The same file, open for reading only, in the catalogue's place.
    std::unique_ptr<cPakFile> writable = std::move(Manager->OpsPak);
    Manager->OpsPak = std::make_unique<cPakFile>(Settings.OpsFilePath, true, nullptr, GENERIC_READ);
    EXPECT_FALSE(Manager->ApplySyncFile(SyncPath()));
    Manager->OpsPak = std::move(writable);

    const SkitRecord& record = *Find(CAT_SKIT, 7);
    EXPECT_EQ(record.Revision, 3u);
    EXPECT_EQ(record.FileCount, 1u);
    EXPECT_EQ(record.State, SKIT_INSTALLED);
    EXPECT_EQ(Str(record.Title.Text), "Old");
    EXPECT_EQ(Str(record.Files[0].Name.Text), "old.mov");
    EXPECT_EQ(Manager->Tally.Rejected, 1u);

    Manager.reset();
    ASSERT_NO_THROW(Manager = std::make_unique<cSkitManager>(false));
    EXPECT_EQ(Find(CAT_SKIT, 7)->FileCount, 1u);
    EXPECT_EQ(Str(Find(CAT_SKIT, 7)->Title.Text), "Old");
  }
}

// Texts ---------------------------------------------------------------------

// A list that says its texts are UTF-8 merges them as they are, the four
// titles below among them; a list that says nothing is one of the lists of
// before, in Windows-1252, and reads as it always did; a list that names
// another encoding merges nothing. In a UTF-8 list, a text that is not valid
// UTF-8 skips its record. The catalogue keeps every text in UTF-8.
TEST_F(SyncTest, ListTextsAreUtf8WhenTheListSaysSoAndWindows1252WhenItSaysNothing) {
  OpenManager();
  const std::vector<std::string> titles = {"Café au lait", "Żółw", "Привет", "日本の夏"};
  SyncBuilder utf8;
  utf8.TextEncoding = "UTF-8";
  int32_t id = 1;
  const std::vector<std::string> names = {"Café.mov", "Żółw.mov", "Привет.mov", "日本の夏.mov"};
  for (size_t i = 0; i < titles.size(); ++i) utf8.Add(CAT_SKIT, id++, 1, titles[i], {names[i]});
  utf8.Add(CAT_SKIT, id++, 1, "Device", {"COM\u00B9.mov"});
  utf8.Add(CAT_SKIT, id, 1, "Caf\xE9", {"bad.mov"});
  EXPECT_TRUE(Merge(utf8));
  for (size_t i = 0; i < titles.size(); ++i) {
    const SkitRecord* record = Find(CAT_SKIT, static_cast<int32_t>(i + 1));
    ASSERT_NE(record, nullptr) << titles[i] << testing::PrintToString(LogTexts());
    EXPECT_EQ(Str(record->Title.Text), titles[i]);
    EXPECT_EQ(Str(record->Files[0].Name.Text), names[i]);
  }
  EXPECT_EQ(Find(CAT_SKIT, 5), nullptr);
  EXPECT_TRUE(Logged("Rejected skit Device: unsafe file name COM\u00B9.mov"));
  EXPECT_EQ(Find(CAT_SKIT, 6), nullptr);
  EXPECT_TRUE(Logged("Skipped skit record 6: The text is not valid UTF-8: Caf\\xE9"));

  SyncBuilder old;
  old.Add(CAT_SKIT, 7, 1, "Caf\xE9 \x80 cr\xE8me", {"caf\xE9.mov"});
  EXPECT_TRUE(Merge(old));
  ASSERT_NE(Find(CAT_SKIT, 7), nullptr);
  EXPECT_EQ(Str(Find(CAT_SKIT, 7)->Title.Text), "Café € crème");
  EXPECT_EQ(Str(Find(CAT_SKIT, 7)->Files[0].Name.Text), "café.mov");

  SyncBuilder other;
  other.TextEncoding = "KOI8-R";
  other.Add(CAT_SKIT, 8, 1, "\xF0\xD2\xC9", {"p.mov"});
  EXPECT_FALSE(Merge(other));
  EXPECT_EQ(Find(CAT_SKIT, 8), nullptr);
  EXPECT_TRUE(Logged("Synchronisation file not merged: The texts of " + SyncPath() +
                     " are in an encoding this program does not know: KOI8-R"));

  // Saved and opened again: the same texts, and the catalogue says UTF-8.
  Manager.reset();
  cSkitManager again(false);
  EXPECT_TRUE(again.Utf8Texts());
  EXPECT_EQ(Str(again.Catalog.Records[again.FindSkit(CAT_SKIT, 4)].Title.Text), "日本の夏");
  EXPECT_EQ(Str(again.Catalog.Records[again.FindSkit(CAT_SKIT, 7)].Title.Text), "Café € crème");
}
