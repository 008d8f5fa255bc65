#include "base/settings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "base/files.h"
#include "base/text.h"
#include "tests/support/testing.h"

using testing_support::MessageBoxCatcher;
using testing_support::ScopedRegistryKey;

namespace {

// This program is test_settings.exe, so its settings live under this key.
const char kKey[] = "Software\\Brindlecove\\test_settings";
const char kMissingKeys[] = "Registry keys are missing. Please reinstall this product.";

void SetRaw(HKEY root, const std::string& path, const char* name, DWORD type, const void* data, DWORD size) {
  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
  RegCloseKey(key);
}

bool KeyExists(HKEY root, const std::string& path) {
  HKEY key;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// Both registry keys removed before and after each case; every message box
// the case provokes is caught and answered.
class Settings : public ::testing::Test {
 protected:
  ScopedRegistryKey Machine{HKEY_LOCAL_MACHINE, kKey};
  ScopedRegistryKey User{HKEY_CURRENT_USER, kKey};
  MessageBoxCatcher Boxes{IDOK};
};

}  // namespace

TEST_F(Settings, ConstructionNamesTheKeyAfterTheProgram) {
  {
    cSettings settings;
    EXPECT_EQ(settings.ProgramName, "test_settings");
    EXPECT_EQ(settings.RegistryKey, kKey);
    EXPECT_EQ(TheSettings, &settings);
    EXPECT_EQ(settings.Messages[0], "There are no new skits available to download.");
  }
  EXPECT_EQ(TheSettings, nullptr);

  cSettings_Dem edition;
  EXPECT_EQ(TheSettings, &edition);
  EXPECT_EQ(edition.Messages[0], "There are no new content modules available to download.");
}

TEST_F(Settings, LoadReadsTheSevenPathsAndTheUserChoices) {
  Machine.SetString("Player", "C:\\Player\\play.exe");
  Machine.SetString("SkitsPath", "C:\\Skits");
  Machine.SetString("OpsFilePath", "C:\\Skits\\ops.dat");
  Machine.SetString("DownloadPath", "C:\\Skits\\Download");
  Machine.SetString("HelpFilePath", "C:\\Help\\drearigrams.hlp");
  Machine.SetString("LogPath", "C:\\Logs\\download.log");
  Machine.SetString("AboutURL", "http://brindlecove.example/about");
  // The choices are kept as one byte each: the low byte of what is stored.
  User.SetDword("Sound", 258);
  User.SetDword("SyncMethod", 0xFFFFFFFE);

  std::unique_ptr<cSettings> settings = std::make_unique<cSettings_Dem>();
  settings->Load();
  EXPECT_TRUE(Boxes.Boxes.empty());
  EXPECT_EQ(settings->Player, "C:\\Player\\play.exe");
  EXPECT_EQ(settings->SkitsPath, "C:\\Skits");
  EXPECT_EQ(settings->OpsFilePath, "C:\\Skits\\ops.dat");
  EXPECT_EQ(settings->DownloadPath, "C:\\Skits\\Download");
  EXPECT_EQ(settings->HelpFilePath, "C:\\Help\\drearigrams.hlp");
  EXPECT_EQ(settings->LogPath, "C:\\Logs\\download.log");
  EXPECT_EQ(settings->AboutURL, "http://brindlecove.example/about");
  EXPECT_EQ(settings->Sound, 2);
  EXPECT_EQ(settings->SyncMethod, -2);
}

// What the program writes as it runs goes to the installation's data folder;
// an installation that names none keeps it beside the program, as before.
TEST_F(Settings, DataFilesGoToTheDataFolderOrBesideTheProgram) {
  Machine.SetString("Player", "play.exe");
  cSettings settings;
  settings.Load();
  EXPECT_EQ(settings.DataPath, "");
  std::string folder;
  SplitPath(ModuleFileName(), &folder, nullptr);
  EXPECT_EQ(settings.DataFile("test_settings.ini"), folder + "\\test_settings.ini");

  Machine.SetString("DataPath", "C:\\ProgramData\\Drearigrams");
  settings.Load();
  EXPECT_TRUE(Boxes.Boxes.empty());
  EXPECT_EQ(settings.DataPath, "C:\\ProgramData\\Drearigrams");
  EXPECT_EQ(settings.DataFile("test_settings.ini"), "C:\\ProgramData\\Drearigrams\\test_settings.ini");
}

// One machine-wide value names each user's own folder: REG_EXPAND_SZ values
// are expanded with the reader's environment, REG_SZ values are taken as
// stored, and a variable that is not set stops the load rather than leave a
// relative path behind.
TEST_F(Settings, ExpandableValuesNameTheUsersOwnFolders) {
  testing_support::ScopedEnvironment local("LOCALAPPDATA", "C:\\Users\\Ada Lovelace\\AppData\\Local");
  auto setExpandable = [](const char* name, const std::string& text) {
    SetRaw(HKEY_LOCAL_MACHINE, kKey, name, REG_EXPAND_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1));
  };
  for (const char* name : {"Player", "SkitsPath", "OpsFilePath", "DownloadPath", "LogPath", "DataPath"})
    setExpandable(name, std::string("%LOCALAPPDATA%\\Drearigrams\\") + name);
  setExpandable("SeedPath", "%SystemRoot%\\..\\Seed");
  Machine.SetString("HelpFilePath", "C:\\Saver\\100%LOCALAPPDATA%.html");

  cSettings settings;
  settings.Load();
  EXPECT_TRUE(Boxes.Boxes.empty());
  const std::string user = "C:\\Users\\Ada Lovelace\\AppData\\Local\\Drearigrams\\";
  EXPECT_EQ(settings.Player, user + "Player");
  EXPECT_EQ(settings.SkitsPath, user + "SkitsPath");
  EXPECT_EQ(settings.OpsFilePath, user + "OpsFilePath");
  EXPECT_EQ(settings.DownloadPath, user + "DownloadPath");
  EXPECT_EQ(settings.LogPath, user + "LogPath");
  EXPECT_EQ(settings.DataPath, user + "DataPath");
  char root[MAX_PATH];
  ASSERT_GT(GetEnvironmentVariableA("SystemRoot", root, sizeof root), 0u);
  EXPECT_EQ(settings.SeedPath, std::string(root) + "\\..\\Seed");
  EXPECT_EQ(settings.HelpFilePath, "C:\\Saver\\100%LOCALAPPDATA%.html") << "REG_SZ is read as stored";

  // Another user, another folder, from the same values.
  testing_support::ScopedEnvironment other("LOCALAPPDATA", "D:\\Profiles\\grace");
  settings.Load();
  EXPECT_EQ(settings.OpsFilePath, "D:\\Profiles\\grace\\Drearigrams\\OpsFilePath");

  testing_support::ScopedEnvironment unset("LOCALAPPDATA", nullptr);
  cSettings without;
  without.Load();
  ASSERT_EQ(Boxes.Boxes.size(), 1u);
  EXPECT_EQ(Boxes.Boxes[0].Text, std::string("Error reading registry. The value 'Player' names %LOCALAPPDATA%, "
                                             "which is not set. ") + kKey);
  EXPECT_EQ(without.Player, "");
}

// A user's name of any alphabet names that user's own folder, not a
// look-alike; a folder name that UTF-8 cannot carry stops the load with the
// name, rather than turn into another folder's.
TEST_F(Settings, EveryUsersNameNamesTheirOwnFolderAndOneThatCannotBeRepresentedIsRefused) {
  const std::string text = "%LOCALAPPDATA%\\Drearigrams\\skits";
  SetRaw(HKEY_LOCAL_MACHINE, kKey, "SkitsPath", REG_EXPAND_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1));
  const std::wstring player = L"C:\\Program Files\\Brindlecove\\Żółw\\skitplay.exe";
  HKEY key;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
  RegSetValueExW(key, L"Player", 0, REG_SZ, reinterpret_cast<const BYTE*>(player.c_str()),
                 static_cast<DWORD>((player.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  const struct {
    const char* name;
    const wchar_t* skits;
  } users[] = {{"Łukasz Nowak", L"C:\\Users\\Łukasz Nowak\\AppData\\Local\\Drearigrams\\skits"},
               {"张伟", L"C:\\Users\\张伟\\AppData\\Local\\Drearigrams\\skits"}};
  for (const auto& user : users) {
    testing_support::ScopedEnvironment local("LOCALAPPDATA", ("C:\\Users\\" + std::string(user.name) + "\\AppData\\Local").c_str());
    cSettings settings;
    settings.Load();
    EXPECT_TRUE(Boxes.Boxes.empty()) << user.name;
    EXPECT_EQ(WideFromUtf8(settings.SkitsPath), user.skits);
    EXPECT_EQ(WideFromUtf8(settings.Player), player);
  }

  testing_support::ScopedEnvironment restored("LOCALAPPDATA", "C:\\x");
  ASSERT_TRUE(SetEnvironmentVariableW(L"LOCALAPPDATA", L"C:\\Users\\Ann\xDC00\\AppData\\Local"));
  cSettings settings;
  settings.Load();
  ASSERT_EQ(Boxes.Boxes.size(), 1u);
  EXPECT_EQ(Boxes.Boxes[0].Text, std::string("Error reading registry. The value 'SkitsPath' holds a character that cannot be "
                                 "represented (an unpaired surrogate): C:\\Users\\Ann<U+DC00>\\AppData\\Local\\Drearigrams\\skits ") +
                                     kKey);
  EXPECT_EQ(settings.SkitsPath, "") << "no other folder in its place";
}

TEST_F(Settings, AbsentValuesKeepTheMemberAndEmptyValuesClearIt) {
  Machine.SetString("SkitsPath", "");
  Machine.SetString("Player", "play.exe");
  cSettings settings;
  settings.SkitsPath = "before";
  settings.LogPath = "before";
  settings.Load();
  EXPECT_TRUE(Boxes.Boxes.empty());
  EXPECT_EQ(settings.SkitsPath, "");
  EXPECT_EQ(settings.LogPath, "before");
  EXPECT_EQ(settings.Player, "play.exe");
  // No user key: the choices stay as they were.
  EXPECT_EQ(settings.Sound, 0);
  EXPECT_EQ(settings.SyncMethod, 0);
}

TEST_F(Settings, StringTypedSoundStopsTheLoad) {
  Machine.SetString("Player", "play.exe");
  Machine.SetString("LogPath", "download.log");
  User.SetString("Sound", "1");
  User.SetDword("SyncMethod", 2);

  cSettings settings;
  settings.Load();
  ASSERT_EQ(Boxes.Boxes.size(), 1u);
  const std::string& text = Boxes.Boxes[0].Text;
  const std::string head = "Error reading registry. ";
  const std::string tail = std::string(" ") + kKey;
  ASSERT_GT(text.size(), head.size() + tail.size());
  EXPECT_EQ(text.substr(0, head.size()), head);
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
  EXPECT_NE(text.find("Sound"), std::string::npos) << "the message should name the value: " << text;

  // What was read before the failure stays; SyncMethod was never reached.
  EXPECT_EQ(settings.Player, "play.exe");
  EXPECT_EQ(settings.LogPath, "download.log");
  EXPECT_EQ(settings.Sound, 0);
  EXPECT_EQ(settings.SyncMethod, 0);
}

TEST_F(Settings, WrongTypedPathStopsAtThatValue) {
  Machine.SetString("Player", "play.exe");
  DWORD number = 7;
  SetRaw(HKEY_LOCAL_MACHINE, kKey, "SkitsPath", REG_DWORD, &number, sizeof number);
  Machine.SetString("OpsFilePath", "ops.dat");
  User.SetDword("Sound", 2);

  cSettings settings;
  settings.Load();
  ASSERT_EQ(Boxes.Boxes.size(), 1u);
  EXPECT_EQ(Boxes.Boxes[0].Text.rfind("Error reading registry. ", 0), 0u) << Boxes.Boxes[0].Text;
  EXPECT_NE(Boxes.Boxes[0].Text.find("SkitsPath"), std::string::npos) << Boxes.Boxes[0].Text;
  EXPECT_EQ(settings.Player, "play.exe");
  EXPECT_EQ(settings.OpsFilePath, "");
  EXPECT_EQ(settings.Sound, 0);
}

TEST_F(Settings, MissingInstallationKeyIsReportedAndTheProgramGoesOn) {
  User.SetDword("Sound", 2);
  cSettings_Dem settings;
  EXPECT_NO_THROW(settings.Load());
  ASSERT_EQ(Boxes.Boxes.size(), 1u);
  EXPECT_EQ(Boxes.Boxes[0].Text, std::string("Error reading registry. ") + kMissingKeys + " " + kKey);
  EXPECT_TRUE(settings.Player.empty() && settings.SkitsPath.empty() && settings.LogPath.empty());
  EXPECT_EQ(settings.Sound, 0);
  EXPECT_EQ(settings.SyncMethod, 0);
}

TEST_F(Settings, SaveCreatesTheUserKeyAndLoadReadsItBack) {
  Machine.SetString("Player", "play.exe");
  ASSERT_FALSE(KeyExists(HKEY_CURRENT_USER, kKey));
  {
    cSettings_Dem settings;
    settings.Load();
    settings.Sound = 2;
    settings.SyncMethod = -1;
    settings.Save();
  }
  ASSERT_TRUE(KeyExists(HKEY_CURRENT_USER, kKey));
  DWORD sound = 0, syncMethod = 0;
  EXPECT_TRUE(User.GetDword("Sound", sound));
  EXPECT_TRUE(User.GetDword("SyncMethod", syncMethod));
  EXPECT_EQ(sound, 2u);
  EXPECT_EQ(syncMethod, 0xFFFFFFFFu) << "widened with its sign";

  // Saving over a value of another type replaces it.
  User.SetString("Sound", "garbage");
  cSettings again;
  again.Sound = 1;
  again.Save();
  EXPECT_TRUE(User.GetDword("Sound", sound));
  EXPECT_EQ(sound, 1u);

  cSettings reread;
  reread.Load();
  EXPECT_EQ(reread.Sound, 1);
  EXPECT_EQ(reread.SyncMethod, 0);
  EXPECT_TRUE(Boxes.Boxes.empty());
}

TEST_F(Settings, RegKeyOpensWithoutCreating) {
  User.SetString("Name", "value");
  SetRaw(HKEY_CURRENT_USER, std::string(kKey) + "\\Child", "Inner", REG_SZ, "in", 3);

  cRegKey key;
  EXPECT_EQ(key.Key, nullptr);
  ASSERT_TRUE(key.Open(HKEY_CURRENT_USER, kKey, ""));
  char buffer[16];
  EXPECT_EQ(key.ReadString("Name", buffer, sizeof buffer, "dflt"), 6u);
  EXPECT_STREQ(buffer, "value");
  // The key is opened for writing too.
  DWORD one = 1;
  EXPECT_EQ(RegSetValueExA(key.Key, "Written", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one),
            ERROR_SUCCESS);

  ASSERT_TRUE(key.Open(HKEY_CURRENT_USER, kKey, "Child"));
  EXPECT_EQ(key.ReadString("Inner", buffer, sizeof buffer, "dflt"), 3u);
  EXPECT_STREQ(buffer, "in");

  EXPECT_FALSE(key.Open(HKEY_CURRENT_USER, kKey, "Absent"));
  EXPECT_EQ(key.Key, nullptr);
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, std::string(kKey) + "\\Absent"));
  key.Close();
  key.Close();
}

TEST_F(Settings, RegKeyReadsFallBackToTheirDefaults) {
  User.SetDword("Number", 0x12345678);
  const unsigned char four[4] = {1, 2, 3, 4};
  SetRaw(HKEY_CURRENT_USER, kKey, "Binary", REG_BINARY, four, sizeof four);
  User.SetString("Long", "a rather long text");
  SetRaw(HKEY_CURRENT_USER, kKey, "Unterminated", REG_SZ, "abc", 3);

  cRegKey key;
  char buffer[8];

  // Closed key: defaults.
  EXPECT_EQ(key.ReadDword("Number", 99), 99u);
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(key.ReadString("Long", buffer, sizeof buffer, "dflt"), 0u);
  EXPECT_STREQ(buffer, "dflt");

  ASSERT_TRUE(key.Open(HKEY_CURRENT_USER, kKey, ""));
  EXPECT_EQ(key.ReadDword("Number", 99), 0x12345678u);
  EXPECT_EQ(key.ReadDword("Binary", 99), 0x04030201u) << "the type is not examined";
  EXPECT_EQ(key.ReadDword("Absent", 99), 99u);
  EXPECT_EQ(key.ReadDword("Long", 99), 99u) << "does not fit in four bytes";

  EXPECT_EQ(key.ReadString("Absent", buffer, sizeof buffer, "dflt"), 0u);
  EXPECT_STREQ(buffer, "dflt");
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(key.ReadString("Long", buffer, sizeof buffer, "dflt"), 0u) << "does not fit";
  EXPECT_STREQ(buffer, "dflt");

  // Stored without its terminator: what the caller gets is still terminated.
  char wide[8];
  std::memset(wide, 'x', sizeof wide);
  EXPECT_GT(key.ReadString("Unterminated", wide, sizeof wide, "dflt"), 0u);
  EXPECT_STREQ(wide, "abc");
  char tight[3];
  std::memset(tight, 'x', sizeof tight);
  key.ReadString("Unterminated", tight, sizeof tight, "dflt");
  EXPECT_NE(std::memchr(tight, '\0', sizeof tight), nullptr);
}
