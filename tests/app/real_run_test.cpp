// The built screensaver with the built reference player, as the desktop
// starts it when the computer is idle: /s plays an installed skit full
// screen, and a key press ends the saver and the player with it; so does
// the saver's end however it comes, unless the user chose to keep the movie.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "base/files.h"
#include "base/settings.h"
#include "store/catalogue.h"
#include "tests/app/saver_process.h"
#include "tests/catalogue/catalog_builder.h"
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
