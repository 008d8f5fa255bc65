// The built screensaver with the built reference player, as the desktop
// starts it when the computer is idle: /s plays an installed skit full
// screen, and a key press ends the saver and the player with it.
#include <gtest/gtest.h>

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

// The Windows path of a file the build made.
std::string BuiltFile(std::string path) {
  if (!path.empty() && path[0] == '/') path = "Z:" + path;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

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
  ExpectPlaysAndEndsOnAKey(saver, dir.File("skitplay.arg"));
}

// A user whose name no 8-bit code page holds, as "%LOCALAPPDATA%" and the
// profile give it (the folder made by the wide call, the variables set for
// the saver's process): the saver makes that user's folders inside that
// profile, never beside it under a look-alike name, copies the seed there,
// and plays its skit with the reference player.
TEST(RealSaver, ServesAUserOfAnyNameFromThatUsersOwnProfile) {
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
