// The built screensaver with the built reference player, as the desktop
// starts it when the computer is idle: /s plays an installed skit full
// screen, and a key press ends the saver and the player with it; so does
// the saver's end however it comes, unless the user chose to keep the movie.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/files.h"
#include "base/settings.h"
#include "base/text.h"
#include "store/catalogue.h"
#include "tests/app/saver_process.h"
#include "tests/store/catalog_builder.h"
#include "tests/support/testing.h"

using app_testing::SaverProcess;
using testing_support::ReadFileBytes;
using testing_support::ScopedRegistryKey;

namespace {

// Two programs start one after the other; emulated, each takes seconds. A
// bound only a broken run reaches.
constexpr DWORD kPlayLimit = 60000;
// How soon the player must go once the saver has.
constexpr DWORD kPlayerEndLimit = 2000;

// The Windows path of a file the build made.
std::string BuiltFile(std::string path) {
  if (!path.empty() && path[0] == '/') path = "Z:" + path;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

// An installation of its own: the player beside its argument file, one
// ticked skit (with the hot key H of action 1, "to the movie"), no
// automatic download.
class RealSaver : public ::testing::Test {
 protected:
  RealSaver() : Machine(HKEY_LOCAL_MACHINE, SettingsKeyFor("drearigrams")), User(HKEY_CURRENT_USER, SettingsKeyFor("drearigrams")) {
    const std::string player = Dir.File("skitplay.exe");
    const std::string skits = Dir.File("skits");
    CopyFileA(BuiltFile(DG_SKITPLAY_EXE).c_str(), player.c_str(), FALSE);
    CreateDirectoryA(skits.c_str(), nullptr);
    CreateDirectoryA(Dir.File("download").c_str(), nullptr);
    CopyFileA(BuiltFile(DG_DEMO_SKIT).c_str(), JoinPath(skits, "lanterns.skit").c_str(), FALSE);
    CatalogBuilder catalogue;
    SkitRecord& skit = catalogue.Add(CAT_SKIT, 1, SKIT_INSTALLED, SEL_ON, "Lanterns", {"lanterns.skit"});
    skit.HotKey.KeyCode = 'H';
    skit.HotKey.Action = 1;
    catalogue.Write(Dir.File("drearigrams.pak"));
    Machine.SetString("Player", player);
    Machine.SetString("SkitsPath", skits);
    Machine.SetString("OpsFilePath", Dir.File("drearigrams.pak"));
    Machine.SetString("DownloadPath", Dir.File("download"));
    Machine.SetString("LogPath", Dir.File("download.log"));
    Machine.SetString("DataPath", Dir.Path());
    User.SetDword("SyncMethod", 1);
    User.SetDword("Sound", 0);
  }
  ~RealSaver() override {
    if (Player != nullptr) {
      TerminateProcess(Player, 9);
      CloseHandle(Player);
    }
  }

  // Starts the saver and waits for the player's window, once the argument
  // file names the skit it plays; keeps a handle to the player's process.
  void StartAndWaitForPlayer() {
    Saver.emplace("/s");
    ASSERT_TRUE(Saver->Started);
    HWND playing = nullptr;
    DWORD playerProcess = 0;
    for (DWORD waited = 0; playing == nullptr && waited < kPlayLimit; waited += 50) {
      if (HWND window = FindWindowA("DrearigramsSkitPlayer", nullptr)) {
        GetWindowThreadProcessId(window, &playerProcess);
        if (playerProcess != Saver->Info.dwProcessId && IsWindowVisible(window) &&
            ReadFileBytes(Dir.File("skitplay.arg")).find("lanterns.skit") != std::string::npos)
          playing = window;
      }
      if (playing == nullptr && WaitForSingleObject(Saver->Info.hProcess, 50) != WAIT_TIMEOUT) break;
    }
    ASSERT_NE(playing, nullptr) << "the saver started no player for the skit";
    Player = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, playerProcess);
    ASSERT_NE(Player, nullptr);
  }

  // A key for the saver's form. It is posted there rather than typed: under
  // Xvfb with no window manager, X gives the focus to the window under the
  // pointer, the full-screen player, and Wine follows X, which Windows does
  // not.
  void PostKey(WPARAM key) const {
    HWND form = app_testing::FindProcessWindow(Saver->Info.dwProcessId, [](HWND window, const std::string& cls) {
      return cls == "TFormWindow" && IsWindowVisible(window);
    });
    ASSERT_NE(form, nullptr);
    PostMessageA(form, WM_KEYDOWN, key, 0);
    PostMessageA(form, WM_KEYUP, key, 0);
  }

  testing_support::TempDir Dir;
  ScopedRegistryKey Machine;
  ScopedRegistryKey User;
  std::optional<SaverProcess> Saver;
  HANDLE Player = nullptr;
};

// Waits until the saver's player plays lanterns.skit (the argument file
// names it), then ends the saver with a key, as a user would.
void ExpectPlaysAndEndsOnAKey(const SaverProcess& saver, const std::string& argumentFile) {
  // The player's window, once the argument file names the skit it plays.
  HWND playing = nullptr;
  DWORD playerProcess = 0;
  for (DWORD waited = 0; playing == nullptr && waited < kPlayLimit; waited += 50) {
    if (HWND window = FindWindowA("DrearigramsSkitPlayer", nullptr)) {
      GetWindowThreadProcessId(window, &playerProcess);
      if (playerProcess != saver.Info.dwProcessId && IsWindowVisible(window) &&
          ReadFileBytes(argumentFile).find("lanterns.skit") != std::string::npos)
        playing = window;
    }
    if (playing == nullptr && WaitForSingleObject(saver.Info.hProcess, 50) != WAIT_TIMEOUT) break;
  }
  ASSERT_NE(playing, nullptr) << "the saver started no player for the skit";
  HANDLE playerHandle = OpenProcess(SYNCHRONIZE, FALSE, playerProcess);
  ASSERT_NE(playerHandle, nullptr);

  // The key goes to the saver's form, which holds the keyboard focus while
  // the skit plays (the player's input is attached to the saver's). It is
  // posted there rather than typed: under Xvfb with no window manager, X
  // gives the focus to the window under the pointer, the full-screen player,
  // and Wine follows X, which Windows does not.
  HWND form = app_testing::FindProcessWindow(saver.Info.dwProcessId, [](HWND window, const std::string& cls) {
    return cls == "TFormWindow" && IsWindowVisible(window);
  });
  ASSERT_NE(form, nullptr);
  PostMessageA(form, WM_KEYDOWN, 'Q', 0);
  PostMessageA(form, WM_KEYUP, 'Q', 0);
  DWORD code = 99;
  EXPECT_TRUE(saver.Exited(code, kPlayLimit)) << "a key ends the saver";
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(WaitForSingleObject(playerHandle, kPlayLimit), static_cast<DWORD>(WAIT_OBJECT_0)) << "and the player";
  CloseHandle(playerHandle);
}

}  // namespace

TEST_F(RealSaver, PlaysASkitWithTheReferencePlayerAndEndsOnAKey) {
  ASSERT_NO_FATAL_FAILURE(StartAndWaitForPlayer());
  PostKey('Q');
  DWORD code = 99;
  EXPECT_TRUE(Saver->Exited(code, kPlayLimit)) << "a key ends the saver";
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(WaitForSingleObject(Player, kPlayLimit), static_cast<DWORD>(WAIT_OBJECT_0)) << "and the player";
}

// As a crash ends it: no code of the saver runs, and its handles go.
TEST_F(RealSaver, ASaverThatIsKilledTakesItsPlayerWithIt) {
  ASSERT_NO_FATAL_FAILURE(StartAndWaitForPlayer());
  ASSERT_TRUE(TerminateProcess(Saver->Info.hProcess, 1));
  EXPECT_EQ(WaitForSingleObject(Player, kPlayerEndLimit), static_cast<DWORD>(WAIT_OBJECT_0));
}

TEST_F(RealSaver, AMovieTheUserKeptOutlivesTheSaver) {
  ASSERT_NO_FATAL_FAILURE(StartAndWaitForPlayer());
  PostKey('H');
  DWORD code = 99;
  ASSERT_TRUE(Saver->Exited(code, kPlayLimit)) << "the hot key ends the saver";
  EXPECT_EQ(WaitForSingleObject(Player, kPlayerEndLimit), static_cast<DWORD>(WAIT_TIMEOUT)) << "and keeps the movie";
}

// The reference player says it can wait: while one skit plays, the next
// one's player is already started, its window hidden, and that window shows
// the moment the first one's goes, with no new program started in between.
TEST_F(RealSaver, TheNextSkitWaitsHiddenAndShowsTheMomentTheFirstEnds) {
  const std::string skits = Dir.File("skits");
  CatalogBuilder catalogue;
  for (int id : {1, 2}) {
    const std::string file = "short" + std::to_string(id) + ".skit";
    testing_support::WriteFileBytes(JoinPath(skits, file), "skit 1\nlength 3\nbackground #102030 #203040\n");
    catalogue.Add(CAT_SKIT, id, SKIT_INSTALLED, SEL_ON, "Short " + std::to_string(id), {file});
  }
  catalogue.Write(Dir.File("drearigrams.pak"));
  Saver.emplace("/s");
  ASSERT_TRUE(Saver->Started);
  // The players' windows: the one on the screen and the one waiting.
  const auto players = [] {
    std::vector<HWND> found;
    for (HWND window = FindWindowExA(nullptr, nullptr, "DrearigramsSkitPlayer", nullptr); window != nullptr;
         window = FindWindowExA(nullptr, window, "DrearigramsSkitPlayer", nullptr))
      found.push_back(window);
    return found;
  };
  HWND shown = nullptr, waiting = nullptr;
  for (DWORD waited = 0; waiting == nullptr && waited < kPlayLimit; waited += 50) {
    shown = waiting = nullptr;
    for (HWND window : players()) (IsWindowVisible(window) ? shown : waiting) = window;
    if (shown == nullptr) waiting = nullptr;
    if (waiting == nullptr) {
      ASSERT_EQ(WaitForSingleObject(Saver->Info.hProcess, 50), static_cast<DWORD>(WAIT_TIMEOUT));
    }
  }
  ASSERT_NE(waiting, nullptr) << "no player waited for the next skit";
  EXPECT_NE(ReadFileBytes(Dir.File("skitplay.arg")).find("SS_Standby=1"), std::string::npos);
  // The waiting window shows only once the first has gone: looked at in
  // that order, a shown waiting window and a first one still there are two
  // movies on the screen at once.
  bool showed = false;
  for (DWORD waited = 0; !showed && waited < kPlayLimit; waited += 10) {
    showed = IsWindowVisible(waiting) != FALSE;
    if (showed) {
      EXPECT_FALSE(IsWindow(shown)) << "both movies on the screen at once";
    } else {
      ASSERT_EQ(WaitForSingleObject(Saver->Info.hProcess, 10), static_cast<DWORD>(WAIT_TIMEOUT));
    }
  }
  EXPECT_TRUE(showed) << "the waiting player never showed";
  PostKey('Q');
  DWORD code = 99;
  EXPECT_TRUE(Saver->Exited(code, kPlayLimit));
}

// A user whose name no 8-bit code page holds, as "%LOCALAPPDATA%" and the
// profile give it (the folder made by the wide call, the variables set for
// the saver's process): the saver makes that user's folders inside that
// profile, never beside it under a look-alike name, copies the seed there,
// and plays its skit with the reference player.
TEST(RealSaverUsers, ServesAUserOfAnyNameFromThatUsersOwnProfile) {
  const struct {
    const char* name;
    const wchar_t* wide;
  } users[] = {{"Łukasz Nowak", L"Łukasz Nowak"}, {"张伟", L"张伟"}};
  for (const auto& user : users) {
    SCOPED_TRACE(user.name);
    testing_support::TempDir dir;
    const std::wstring profiles = WideFromUtf8(dir.File("Users"));
    const std::wstring local = profiles + L"\\" + user.wide + L"\\AppData\\Local";
    for (const std::wstring& folder : {profiles, profiles + L"\\" + user.wide, profiles + L"\\" + user.wide + L"\\AppData", local})
      ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    testing_support::ScopedEnvironment profile("USERPROFILE", (dir.File("Users\\") + user.name).c_str());
    testing_support::ScopedEnvironment localAppData("LOCALAPPDATA", Utf8FromWide(local).c_str());

    const std::string seed = dir.File("seed");
    ASSERT_TRUE(CreateDirectoryA(seed.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA(JoinPath(seed, "skits").c_str(), nullptr));
    ASSERT_TRUE(CopyFileA(BuiltFile(DG_SKITPLAY_EXE).c_str(), JoinPath(seed, "skitplay.exe").c_str(), FALSE));
    ASSERT_TRUE(CopyFileA(BuiltFile(DG_DEMO_SKIT).c_str(), JoinPath(seed, "skits\\lanterns.skit").c_str(), FALSE));
    CatalogBuilder catalogue;
    catalogue.Add(CAT_SKIT, 1, SKIT_INSTALLED, SEL_ON, "Lanterns", {"lanterns.skit"});
    catalogue.Write(JoinPath(seed, "drearigrams.pak"));

    ScopedRegistryKey machine(HKEY_LOCAL_MACHINE, SettingsKeyFor("drearigrams"));
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, SettingsKeyFor("drearigrams").c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    for (const auto& [name, below] : {std::pair<const char*, const char*>{"Player", "skitplay.exe"},
                                      {"SkitsPath", "skits"}, {"OpsFilePath", "drearigrams.pak"},
                                      {"DownloadPath", "download"}, {"LogPath", "download.log"}, {"DataPath", ""}}) {
      const std::string value = std::string("%LOCALAPPDATA%\\Drearigrams") + (*below ? "\\" : "") + below;
      RegSetValueExA(key, name, 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>(value.size() + 1));
    }
    RegCloseKey(key);
    machine.SetString("SeedPath", seed);
    ScopedRegistryKey userKey(HKEY_CURRENT_USER, SettingsKeyFor("drearigrams"));
    userKey.SetDword("SyncMethod", 1);

    SaverProcess saver("/s");
    ASSERT_TRUE(saver.Started);
    const std::string mine = Utf8FromWide(local) + "\\Drearigrams";
    ExpectPlaysAndEndsOnAKey(saver, mine + "\\skitplay.arg");
    EXPECT_NE(GetFileAttributesW((local + L"\\Drearigrams\\skits\\lanterns.skit").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(GetFileAttributesW((local + L"\\Drearigrams\\drearigrams.pak").c_str()), INVALID_FILE_ATTRIBUTES);
    // Nothing beside the profile: a look-alike name would be a second entry.
    WIN32_FIND_DATAW entry;
    std::vector<std::wstring> names;
    HANDLE search = FindFirstFileW((profiles + L"\\*").c_str(), &entry);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    do {
      if (std::wstring(entry.cFileName) != L"." && std::wstring(entry.cFileName) != L"..") names.push_back(entry.cFileName);
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    EXPECT_EQ(names, std::vector<std::wstring>{user.wide});
  }
}
