// The built screensaver with the built reference player, as the desktop
// starts it when the computer is idle: /s plays an installed skit full
// screen, and a key press ends the saver and the player with it.
#include <gtest/gtest.h>

#include <string>

#include "base/files.h"
#include "base/settings.h"
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

// The Windows path of a file the build made.
std::string BuiltFile(std::string path) {
  if (!path.empty() && path[0] == '/') path = "Z:" + path;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

}  // namespace

TEST(RealSaver, PlaysASkitWithTheReferencePlayerAndEndsOnAKey) {
  // An installation of its own: the player beside its argument file, one
  // ticked skit, no automatic download.
  testing_support::TempDir dir;
  const std::string player = dir.File("skitplay.exe");
  const std::string skits = dir.File("skits");
  ASSERT_TRUE(CopyFileA(BuiltFile(DG_SKITPLAY_EXE).c_str(), player.c_str(), FALSE));
  ASSERT_TRUE(CreateDirectoryA(skits.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryA(dir.File("download").c_str(), nullptr));
  ASSERT_TRUE(CopyFileA(BuiltFile(DG_DEMO_SKIT).c_str(), JoinPath(skits, "lanterns.skit").c_str(), FALSE));
  CatalogBuilder catalogue;
  catalogue.Add(CAT_SKIT, 1, SKIT_INSTALLED, SEL_ON, "Lanterns", {"lanterns.skit"});
  catalogue.Write(dir.File("drearigrams.pak"));

  ScopedRegistryKey machine(HKEY_LOCAL_MACHINE, SettingsKeyFor("drearigrams"));
  machine.SetString("Player", player);
  machine.SetString("SkitsPath", skits);
  machine.SetString("OpsFilePath", dir.File("drearigrams.pak"));
  machine.SetString("DownloadPath", dir.File("download"));
  machine.SetString("LogPath", dir.File("download.log"));
  machine.SetString("DataPath", dir.Path());
  ScopedRegistryKey user(HKEY_CURRENT_USER, SettingsKeyFor("drearigrams"));
  user.SetDword("SyncMethod", 1);
  user.SetDword("Sound", 0);

  SaverProcess saver("/s");
  ASSERT_TRUE(saver.Started);
  // The player's window, once the argument file names the skit it plays.
  HWND playing = nullptr;
  DWORD playerProcess = 0;
  for (DWORD waited = 0; playing == nullptr && waited < kPlayLimit; waited += 50) {
    if (HWND window = FindWindowA("DrearigramsSkitPlayer", nullptr)) {
      GetWindowThreadProcessId(window, &playerProcess);
      if (playerProcess != saver.Info.dwProcessId && IsWindowVisible(window) &&
          ReadFileBytes(dir.File("skitplay.arg")).find("lanterns.skit") != std::string::npos)
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
