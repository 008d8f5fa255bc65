// A user's first start fills that user's own folders from the setup's seed;
// later starts keep what the user has and only bring the player up to date
// with its master copy.
#include "store/user_data.h"

#include <set>
#include <stdexcept>

#include "base/errors.h"
#include "base/files.h"
#include "base/handles.h"
#include "base/log.h"
#include "tests/store/catalog_builder.h"

using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;

namespace {

bool IsFolder(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::set<std::string> Names(const std::string& pattern) {
  std::set<std::string> names;
  cFindFile scan;
  for (bool found = scan.First(FIND_ANY_FILE, pattern); found; found = scan.Next()) names.insert(scan.Name);
  return names;
}

// The failure text PrepareUserData gives, or "" when it succeeded.
std::string Failure(const cSettings& settings) {
  try {
    PrepareUserData(settings);
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return {};
}

// A seed as the setup installs it beside the programs, and a user whose
// folders (below a local application data folder of the test's own) do not
// exist yet, named as the expanded installation values name them.
class UserData : public ::testing::Test {
 protected:
  UserData() {
    Seed = Dir.File("Program Files\\Drearigrams\\seed");
    Settings.SeedPath = Seed;
    CreateDirectoryA(Dir.File("Program Files").c_str(), nullptr);
    CreateDirectoryA(Dir.File("Program Files\\Drearigrams").c_str(), nullptr);
    CreateDirectoryA(Seed.c_str(), nullptr);
    CreateDirectoryA(JoinPath(Seed, "skits").c_str(), nullptr);
    Builder.Add(CAT_SKIT, 1, SKIT_INSTALLED, SEL_ON, "Kites", {"kites.skit", "kites.bmp"});
    Builder.Write(JoinPath(Seed, "drearigrams.pak"));
    WriteFileBytes(JoinPath(Seed, "skits\\kites.skit"), "kites movie");
    WriteFileBytes(JoinPath(Seed, "skits\\kites.bmp"), "kites picture");
    WriteFileBytes(JoinPath(Seed, "skitplay.exe"), "player, first edition");

    User = Dir.File("Users\\ada\\AppData\\Local\\Drearigrams");
    Settings.DataPath = User;
    Settings.OpsFilePath = JoinPath(User, "drearigrams.pak");
    Settings.SkitsPath = JoinPath(User, "skits");
    Settings.DownloadPath = JoinPath(User, "download");
    Settings.LogPath = JoinPath(User, "download.log");
    Settings.Player = JoinPath(User, "skitplay.exe");
  }
  testing_support::TempDir Dir;
  cSettings Settings;
  CatalogBuilder Builder;
  std::string Seed;
  std::string User;
};

}  // namespace

TEST_F(UserData, TheFirstStartMakesTheUsersFoldersAndCopiesTheSeed) {
  ASSERT_EQ(Failure(Settings), "");
  for (const std::string& folder : {User, Settings.SkitsPath, Settings.DownloadPath}) {
    EXPECT_TRUE(IsFolder(folder)) << folder;
  }
  EXPECT_EQ(ReadFileBytes(Settings.OpsFilePath), ReadFileBytes(JoinPath(Seed, "drearigrams.pak")));
  EXPECT_EQ(ReadFileBytes(JoinPath(Settings.SkitsPath, "kites.skit")), "kites movie");
  EXPECT_EQ(ReadFileBytes(JoinPath(Settings.SkitsPath, "kites.bmp")), "kites picture");
  EXPECT_EQ(ReadFileBytes(Settings.Player), "player, first edition");
  EXPECT_TRUE(Exists(Settings.LogPath)) << "the download dialog can open the log at once";
  // Nothing half-copied is left beside what was copied.
  cFindFile scan;
  for (bool found = scan.First(FIND_ANY_FILE, JoinPath(User, "*.new")); found; found = scan.Next())
    ADD_FAILURE() << scan.Name;

  // The copy is a working catalogue whose skit is installed and ticked.
  cSkitManager manager(false);
  ASSERT_EQ(manager.Catalog.Header.Count, 1u);
  EXPECT_EQ(manager.Catalog.Records[0].State, SKIT_INSTALLED);
  EXPECT_EQ(manager.Catalog.Records[0].Selection, SEL_ON);
}

// The catalogue holds the user's ticks and what was downloaded since: once it
// exists, the seed is never copied over it or over the user's skits again.
// What a crash left goes at the next start: staged files and the half-made
// copies beside the catalogue. A look-alike stays, and so does one still open.
TEST_F(UserData, LeftoversOfACrashAreRemovedAtTheNextStart) {
  PrepareUserData(Settings);
  const std::vector<std::string> leftovers = {
      JoinPath(Settings.SkitsPath, "~dg0123abcd.new"), JoinPath(Settings.DownloadPath, "~dgFFFFFFFF.new"),
      JoinPath(User, "~dg00000001.new"), Settings.OpsFilePath + ".4242.new", Settings.OpsFilePath + "1"};
  const std::vector<std::string> kept = {
      JoinPath(Settings.SkitsPath, "~dgnothex1.new"), JoinPath(Settings.SkitsPath, "movie.new"),
      JoinPath(Settings.SkitsPath, "~dg0123abcd.new.skit"), Settings.OpsFilePath + ".x.new", Settings.OpsFilePath};
  for (const std::string& file : leftovers) WriteFileBytes(file, "left");
  for (const std::string& file : kept) if (!Exists(file)) WriteFileBytes(file, "kept");
  const std::string open = JoinPath(Settings.SkitsPath, "~dg0badf00d.new");
  WriteFileBytes(open, "being written");
  handles::UniqueFile held(CreateFileA(open.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(held);
  RemoveLeftoverFiles(Settings);
  for (const std::string& file : leftovers) EXPECT_FALSE(Exists(file)) << file;
  for (const std::string& file : kept) EXPECT_TRUE(Exists(file)) << file;
  EXPECT_TRUE(Exists(open));
}

TEST_F(UserData, LaterStartsKeepTheUsersCatalogueAndSkits) {
  ASSERT_EQ(Failure(Settings), "");
  WriteFileBytes(Settings.OpsFilePath, "the user's own catalogue");
  ASSERT_TRUE(DeleteFileA(JoinPath(Settings.SkitsPath, "kites.bmp").c_str()));
  WriteFileBytes(JoinPath(Settings.SkitsPath, "kites.skit"), "downloaded since");

  ASSERT_EQ(Failure(Settings), "");
  EXPECT_EQ(ReadFileBytes(Settings.OpsFilePath), "the user's own catalogue");
  EXPECT_FALSE(Exists(JoinPath(Settings.SkitsPath, "kites.bmp")));
  EXPECT_EQ(ReadFileBytes(JoinPath(Settings.SkitsPath, "kites.skit")), "downloaded since");
}

// The player must lie beside its argument file in the user's folder; a new
// setup changes the master copy, and every user's copy follows at the next
// start, also when only its bytes differ, and also over a read-only copy.
TEST_F(UserData, ThePlayerIsCopiedAgainWhenTheMasterCopyDiffers) {
  ASSERT_EQ(Failure(Settings), "");
  const std::string master = JoinPath(Seed, "skitplay.exe");
  WriteFileBytes(master, "player, second edition");
  SetFileAttributesA(master.c_str(), FILE_ATTRIBUTE_READONLY);
  ASSERT_EQ(Failure(Settings), "");
  EXPECT_EQ(ReadFileBytes(Settings.Player), "player, second edition");
  SetFileAttributesA(master.c_str(), FILE_ATTRIBUTE_NORMAL);

  WriteFileBytes(Settings.Player, "player, second EDITION");  // same size
  ASSERT_EQ(Failure(Settings), "");
  EXPECT_EQ(ReadFileBytes(Settings.Player), "player, second edition");

  // A user's copy that cannot be replaced because it runs plays on as it is.
  WriteFileBytes(master, "player, third edition");
  HANDLE running = CreateFileA(Settings.Player.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(running, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Failure(Settings), "");
  CloseHandle(running);
  EXPECT_EQ(ReadFileBytes(Settings.Player), "player, second edition");
  ASSERT_EQ(Failure(Settings), "");
  EXPECT_EQ(ReadFileBytes(Settings.Player), "player, third edition");

  EXPECT_TRUE(SameFileBytes(master, Settings.Player));
  EXPECT_FALSE(SameFileBytes(master, JoinPath(Seed, "drearigrams.pak")));
  EXPECT_FALSE(SameFileBytes(master, Dir.File("absent")));
}

TEST_F(UserData, AMissingSeedOrAFolderThatCannotBeMadeIsAClearError) {
  const std::string reinstall = "Please reinstall this product.";
  const std::string seedCatalogue = JoinPath(Seed, "drearigrams.pak");
  ASSERT_TRUE(DeleteFileA(seedCatalogue.c_str()));
  EXPECT_EQ(Failure(Settings), "The setup's starting catalogue is missing. " + reinstall + " " + seedCatalogue);
  EXPECT_FALSE(Exists(Settings.OpsFilePath));
  Builder.Write(seedCatalogue);

  const std::string master = JoinPath(Seed, "skitplay.exe");
  ASSERT_TRUE(DeleteFileA(master.c_str()));
  EXPECT_EQ(Failure(Settings), "The player program is missing. " + reinstall + " " + master);
  // Once the user has a player, a missing master copy leaves it alone.
  WriteFileBytes(Settings.Player, "a copy from before");
  EXPECT_EQ(Failure(Settings), "");
  EXPECT_EQ(ReadFileBytes(Settings.Player), "a copy from before");

  // A file where a folder must go.
  CreateDirectoryA(Dir.File("Users").c_str(), nullptr);
  WriteFileBytes(Dir.File("Users\\bob"), "not a folder");
  cSettings blocked;
  blocked.SeedPath = Seed;
  blocked.DataPath = Dir.File("Users\\bob\\AppData\\Local\\Drearigrams");
  blocked.OpsFilePath = JoinPath(blocked.DataPath, "drearigrams.pak");
  const std::string text = Failure(blocked);
  const std::string head = "Cannot make the folder for your skits: ";
  EXPECT_EQ(text.rfind(head, 0), 0u) << text;
  ASSERT_GT(text.size(), head.size() + blocked.DataPath.size());
  EXPECT_EQ(text.substr(text.size() - blocked.DataPath.size() - 1), " " + blocked.DataPath) << text;
}

// A copy cut short leaves no catalogue, so the next start copies afresh
// instead of opening a catalogue whose skits never arrived.
TEST_F(UserData, AFirstStartCutShortIsDoneAgainByTheNext) {
  // A folder where a skit must go.
  std::string folder = Dir.Path();
  for (const char* part : {"Users", "ada", "AppData", "Local", "Drearigrams", "skits", "kites.skit"}) {
    folder = JoinPath(folder, part);
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr)) << folder;
  }
  const std::string text = Failure(Settings);
  const std::string head = "Cannot copy the starting skits into your folder: ";
  EXPECT_EQ(text.rfind(head, 0), 0u) << text;
  EXPECT_NE(text.find(JoinPath(Settings.SkitsPath, "kites.skit")), std::string::npos) << text;
  EXPECT_FALSE(Exists(Settings.OpsFilePath));

  ASSERT_TRUE(RemoveDirectoryA(JoinPath(Settings.SkitsPath, "kites.skit").c_str()));
  ASSERT_EQ(Failure(Settings), "");
  EXPECT_EQ(ReadFileBytes(JoinPath(Settings.SkitsPath, "kites.skit")), "kites movie");
  EXPECT_TRUE(Exists(Settings.OpsFilePath));
}

// An installation without a seed (an earlier setup, or one made by hand)
// works as before: nothing is made or copied.
TEST_F(UserData, WithoutASeedNothingIsMade) {
  Settings.SeedPath.clear();
  ASSERT_EQ(Failure(Settings), "");
  EXPECT_FALSE(Exists(User));
}

// A catalogue that no longer opens (a damaged archive, or one without its
// block) is kept under a dated name, never overwritten, and the user goes on
// with the seed's; one that cannot be moved, or other failures, stand.
TEST_F(UserData, ACatalogueThatDoesNotOpenIsSetAsideAndTheSeedTakesItsPlace) {
  ASSERT_EQ(Failure(Settings), "");
  LogSetDefaultFolder(Dir.Path());
  const std::string setAside = JoinPath(User, "drearigrams.*.bad.pak");
  const std::string damaged[] = {std::string(300, 'x'), "", "no block"};
  std::set<std::string> kept;
  for (int round = 0; round < 3; ++round) {
    if (round == 2) {
      cPakFile empty(Settings.OpsFilePath, false);
    } else {
      WriteFileBytes(Settings.OpsFilePath, damaged[round]);
    }
    const std::string bytes = ReadFileBytes(Settings.OpsFilePath);
    std::string notice;
    const std::unique_ptr<cSkitManager> manager = OpenUserCatalogue(Settings, round == 1, notice);
    ASSERT_NE(manager, nullptr);
    ASSERT_EQ(manager->Catalog.Header.Count, 1u);
    EXPECT_STREQ(manager->Catalog.Records[0].Title.Text, "Kites");
    // One more file set aside, and those before it as they were.
    std::set<std::string> now = Names(setAside);
    ASSERT_EQ(now.size(), kept.size() + 1);
    for (const std::string& name : kept) now.erase(name);
    const std::string name = *now.begin();
    kept.insert(name);
    EXPECT_EQ(ReadFileBytes(JoinPath(User, name)), bytes) << name;
    EXPECT_NE(notice.find(name), std::string::npos) << notice;
    EXPECT_NE(notice.find(ErrorText(ERR_FILE_CORRUPT)), std::string::npos) << notice;
  }
  const SYSTEMTIME day{2026, 12, 3, 9, 0, 0, 0, 0};
  EXPECT_EQ(SetAsideName("C:\\u\\drearigrams.pak", day, 1), "C:\\u\\drearigrams.2026-12-09.bad.pak");
  EXPECT_EQ(SetAsideName("C:\\u\\drearigrams.pak", day, 2), "C:\\u\\drearigrams.2026-12-09.2.bad.pak");
  const std::string log = ReadFileBytes(LogDefaultPath());
  EXPECT_NE(log.find("it was set aside as " + JoinPath(User, *kept.begin())), std::string::npos) << log;

  // Held open by someone else: it stays, and so does the error.
  WriteFileBytes(Settings.OpsFilePath, damaged[0]);
  HANDLE held = CreateFileA(Settings.OpsFilePath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  std::string notice;
  EXPECT_THROW(OpenUserCatalogue(Settings, true, notice), std::runtime_error);
  CloseHandle(held);
  EXPECT_EQ(ReadFileBytes(Settings.OpsFilePath), damaged[0]);
  // Without a seed there is nothing to start again from.
  Settings.SeedPath.clear();
  EXPECT_THROW(OpenUserCatalogue(Settings, true, notice), std::runtime_error);
  EXPECT_EQ(ReadFileBytes(Settings.OpsFilePath), damaged[0]);
  EXPECT_TRUE(notice.empty());
  EXPECT_EQ(Names(setAside), kept);
  DeleteFileA(LogDefaultPath().c_str());
  LogSetDefaultFolder("");
}
