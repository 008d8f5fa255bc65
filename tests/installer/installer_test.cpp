// The built DrearigramsSetup.exe under Wine, as an administrator would use
// it: a silent installation into a program folder of the build tree, the
// screensaver started from that installation the way the desktop starts it,
// by a user whose local application data folder (LOCALAPPDATA, set for this
// process and so for everything it starts) is in the build tree too, a
// silent uninstallation, installing again over an installation in use, and
// the upgrades of installations of the earlier layouts. Wine does not keep
// the rights the setup gives the program folder, nor has it other users, so
// the rights, and that the setup writes nowhere else, are checked in the
// setup script itself. The setup carries
// both editions of the programs and installs the one that matches the
// Windows it runs on; the 64-bit suite's prefix is a 64-bit Windows and the
// 32-bit suite's a 32-bit one, so between them they see both choices.
#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <regex>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "base/settings.h"
#include "tests/support/testing.h"

namespace {

using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;

constexpr DWORD kRunLimit = 60000;
constexpr DWORD kWindowLimit = 20000;
constexpr char kUninstallKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Drearigrams";
constexpr char kDesktopKey[] = "Control Panel\\Desktop";

class Handle {
 public:
  explicit Handle(HANDLE h = nullptr) : H_(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
  ~Handle() {
    if (H_ != nullptr) CloseHandle(H_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE Get() const { return H_; }

 private:
  HANDLE H_;
};

bool Exists(const std::string& path, bool folder = false) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) == folder;
}

// Compared in their long forms, so that a short name matches its long one.
bool SamePath(const std::string& a, const std::string& b) {
  auto longPath = [](const std::string& path) {
    char buffer[MAX_PATH * 2];
    DWORD n = GetLongPathNameA(path.c_str(), buffer, sizeof buffer);
    return n > 0 && n < sizeof buffer ? std::string(buffer, n) : path;
  };
  return lstrcmpiA(longPath(a).c_str(), longPath(b).c_str()) == 0;
}

bool KeyExists(HKEY root, const std::string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// A text value as stored (not expanded) and its type. `view` is 0 for this
// program's own registry view, or KEY_WOW64_32KEY or KEY_WOW64_64KEY for the
// one a 32-bit or 64-bit program sees.
struct TextValue {
  DWORD Type = REG_NONE;
  std::string Text;
};
std::optional<TextValue> ReadValue(HKEY root, const std::string& path, const char* name, REGSAM view = 0) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_QUERY_VALUE | view, &key) != ERROR_SUCCESS) return {};
  char buffer[1024];
  DWORD size = sizeof buffer, type = 0;
  LONG result = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
  RegCloseKey(key);
  if (result != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return {};
  return TextValue{type, std::string(buffer, size > 0 && buffer[size - 1] == '\0' ? size - 1 : size)};
}

// A REG_SZ value.
std::optional<std::string> ReadString(HKEY root, const std::string& path, const char* name, REGSAM view = 0) {
  std::optional<TextValue> value = ReadValue(root, path, name, view);
  if (!value || value->Type != REG_SZ) return {};
  return value->Text;
}

bool KeyExistsIn(REGSAM view, const std::string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// The registry view a program of the edition reads.
REGSAM ViewOf(int edition) { return edition == 64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY; }

bool WindowsIs64Bit() {
  SYSTEM_INFO info{};
  GetNativeSystemInfo(&info);
  return info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64 ||
         info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_ARM64;
}

// Where the Screen Saver Settings find the edition's screensavers.
std::string ListCopy(int edition) {
  char windows[MAX_PATH];
  UINT n = GetWindowsDirectoryA(windows, MAX_PATH);
  return std::string(windows, n) + (edition == 32 && WindowsIs64Bit() ? "\\SysWOW64" : "\\System32") +
         "\\drearigrams.scr";
}

// Whether the setup under test carries the 32-bit or 64-bit edition.
bool Carries(int edition) {
  const std::string editions = "," DG_SETUP_EDITIONS ",";
  return editions.find("," + std::to_string(edition) + ",") != std::string::npos;
}

// The edition a setup installs unless told which: the one that matches
// Windows. Its keys are in that edition's registry view, which is not this
// test program's own where a 32-bit test runs on 64-bit Windows.
int EditionThatMatchesWindows() { return WindowsIs64Bit() && Carries(64) ? 64 : 32; }

// 32 or 64 by the processor a program file is made for (its PE header's
// machine field), 0 for anything else.
int EditionOf(const std::string& program) {
  switch (testing_support::ProgramMachine(program)) {
    case IMAGE_FILE_MACHINE_AMD64: return 64;
    case IMAGE_FILE_MACHINE_I386: return 32;
    default: return 0;
  }
}

std::optional<std::string> CurrentScreensaver() { return ReadString(HKEY_CURRENT_USER, kDesktopKey, "SCRNSAVE.EXE"); }

void SetCurrentScreensaver(const std::optional<std::string>& value) {
  if (value)
    RegSetKeyValueA(HKEY_CURRENT_USER, kDesktopKey, "SCRNSAVE.EXE", REG_SZ, value->c_str(),
                    static_cast<DWORD>(value->size() + 1));
  else
    RegDeleteKeyValueA(HKEY_CURRENT_USER, kDesktopKey, "SCRNSAVE.EXE");
}

std::string ProcessImage(DWORD processId) {
  Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
  char buffer[MAX_PATH * 2];
  DWORD size = sizeof buffer;
  if (process.Get() == nullptr || !QueryFullProcessImageNameA(process.Get(), 0, buffer, &size)) return {};
  return std::string(buffer, size);
}

// Runs a command line and waits, within a bound, until it and every process
// it started have ended (the uninstaller hands its work to a copy of itself
// in the temporary folder and leaves at once); the exit code, or nothing
// when that did not happen. Standard output goes to the file `output` when
// one is named.
std::optional<DWORD> RunToTheEnd(const std::string& command, const std::string& output = {}) {
  // Under Wine the first program that needs the desktop starts the process
  // that owns it, which then lives as long as the Wine server: let that be
  // this one, not a program inside the job.
  GetDesktopWindow();
  Handle job(CreateJobObjectA(nullptr, nullptr));
  Handle port(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
  JOBOBJECT_ASSOCIATE_COMPLETION_PORT association{job.Get(), port.Get()};
  if (!SetInformationJobObject(job.Get(), JobObjectAssociateCompletionPortInformation, &association,
                               sizeof association)) {
    ADD_FAILURE() << "the job's completion port: error " << GetLastError();
    return {};
  }
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  Handle out(output.empty() ? nullptr
                            : CreateFileA(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  if (out.Get() != nullptr) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = out.Get();
  }
  PROCESS_INFORMATION info{};
  std::string line = command;
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, out.Get() != nullptr, CREATE_SUSPENDED, nullptr,
                      nullptr, &startup, &info)) {
    ADD_FAILURE() << "cannot start " << command << ": error " << GetLastError();
    return {};
  }
  Handle process(info.hProcess), thread(info.hThread);
  AssignProcessToJobObject(job.Get(), info.hProcess);
  ResumeThread(info.hThread);

  const DWORD start = GetTickCount();
  DWORD message = 0;
  ULONG_PTR key = 0;
  LPOVERLAPPED data = nullptr;
  while (message != JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO) {
    DWORD spent = GetTickCount() - start;
    if (!GetQueuedCompletionStatus(port.Get(), &message, &key, &data, spent < kRunLimit ? kRunLimit - spent : 0)) {
      struct {
        JOBOBJECT_BASIC_PROCESS_ID_LIST List;
        ULONG_PTR More[31];
      } ids{{32, 0, {}}, {}};
      std::string left;
      if (QueryInformationJobObject(job.Get(), JobObjectBasicProcessIdList, &ids, sizeof ids, nullptr))
        for (DWORD i = 0; i < ids.List.NumberOfProcessIdsInList; ++i)
          left += " " + ProcessImage(static_cast<DWORD>(ids.List.ProcessIdList[i]));
      ADD_FAILURE() << command << " did not end; still running:" << left;
      TerminateJobObject(job.Get(), 1);
      return {};
    }
  }
  DWORD code = 1;
  GetExitCodeProcess(info.hProcess, &code);
  return code;
}

// The screensaver started from an installation, closed again at the end.
class Screensaver {
 public:
  Screensaver(const std::string& program, const std::string& mode) {
    std::string command = "\"" + program + "\" " + mode;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    Started = CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &Info) != 0;
  }
  ~Screensaver() {
    if (!Started) return;
    if (!Close()) TerminateProcess(Info.hProcess, 1);
    CloseHandle(Info.hThread);
    CloseHandle(Info.hProcess);
  }
  Screensaver(const Screensaver&) = delete;
  Screensaver& operator=(const Screensaver&) = delete;

  // Looks, within a bound, for the first visible top-level window that
  // accept(window, process id) takes; a screensaver that ends stops the search.
  HWND WaitForWindow(const std::function<bool(HWND, DWORD)>& accept) const {
    struct Search {
      const std::function<bool(HWND, DWORD)>* Accept;
      HWND Found;
    } search{&accept, nullptr};
    for (DWORD waited = 0; waited < kWindowLimit; waited += 50) {
      EnumWindows(
          [](HWND window, LPARAM param) CALLBACK -> BOOL {
            auto* s = reinterpret_cast<Search*>(param);
            DWORD pid = 0;
            GetWindowThreadProcessId(window, &pid);
            if (IsWindowVisible(window) && (*s->Accept)(window, pid)) s->Found = window;
            return s->Found == nullptr;
          },
          reinterpret_cast<LPARAM>(&search));
      if (search.Found != nullptr || WaitForSingleObject(Info.hProcess, 50) != WAIT_TIMEOUT) break;
    }
    return search.Found;
  }

  // A form of this program (any window but the application window).
  HWND WaitForForm() const {
    return WaitForWindow([this](HWND window, DWORD pid) {
      char name[64];
      GetClassNameA(window, name, sizeof name);
      return pid == Info.dwProcessId && std::string(name) != "TApplication";
    });
  }

  // Closes the form as the user's move would; true when the program has ended.
  bool Close() const {
    if (WaitForSingleObject(Info.hProcess, 0) != WAIT_TIMEOUT) return true;
    if (HWND form = WaitForForm()) PostMessageA(form, WM_CLOSE, 0, 0);
    return WaitForSingleObject(Info.hProcess, kWindowLimit) == WAIT_OBJECT_0;
  }

  bool Started = false;
  PROCESS_INFORMATION Info{};
};

// The percent-decoded value of `name` in the player's argument file.
std::string ArgumentValue(const std::string& arguments, const std::string& name) {
  size_t at = ("&" + arguments).find("&" + name + "=");
  if (at == std::string::npos) return {};
  std::string encoded = arguments.substr(at + name.size() + 1);
  encoded = encoded.substr(0, encoded.find('&'));
  std::string value;
  for (size_t i = 0; i < encoded.size(); ++i) {
    if (encoded[i] == '%' && i + 2 < encoded.size()) {
      value += static_cast<char>(std::stoi(encoded.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      value += encoded[i];
    }
  }
  return value;
}


constexpr char kProfileList[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
// The values the installation key names each user's folder with, as stored.
constexpr char kUserData[] = "%LOCALAPPDATA%\\Drearigrams";

class Installer : public ::testing::Test {
 protected:
  // Blanks in the folders' names, as under Program Files and in profiles.
  Installer()
      : Folder(Dir_.Path() + "\\Drearigrams Saver"),
        Local(Dir_.Path() + "\\Ada Lovelace\\AppData\\Local"),
        UserData(Local + "\\Drearigrams"),
        SavedScreensaver_(CurrentScreensaver()) {
    std::string folder = Dir_.Path();
    for (const char* part : {"Ada Lovelace", "AppData", "Local"}) {
      folder += std::string("\\") + part;
      CreateDirectoryA(folder.c_str(), nullptr);
    }
  }
  ~Installer() override {
    if (Exists(File("uninstall.exe"))) RunToTheEnd(Uninstaller());
    SetCurrentScreensaver(SavedScreensaver_);
  }

  // In the program folder, in its seed, and in the user's own data folder.
  std::string File(const std::string& name) const { return Folder + "\\" + name; }
  std::string SeedFile(const std::string& name) const { return Folder + "\\seed\\" + name; }
  std::string UserFile(const std::string& name) const { return UserData + "\\" + name; }
  std::string Uninstaller() const { return "\"" + File("uninstall.exe") + "\" /S"; }

  // NSIS takes the program folder as the last argument, unquoted, blanks and all.
  // The setup needs Windows 10 version 1903 or later; Wine 8 reports Windows
  // 7 unless told otherwise, and reports the version its settings name for
  // the setup's program name.
  std::optional<DWORD> RunSetup(const std::string& switches, const char* windows = "win10") {
    const std::string name = SetupProgram.substr(SetupProgram.find_last_of("\\/") + 1);
    testing_support::ScopedRegistryKey version(HKEY_CURRENT_USER, "Software\\Wine\\AppDefaults\\" + name);
    version.SetString("Version", windows);
    return RunToTheEnd("\"" + SetupProgram + "\" /S " + switches + " /D=" + Folder);
  }
  void Install(const std::string& switches = {}) {
    ASSERT_EQ(RunSetup(switches), 0u);
    ASSERT_TRUE(Exists(File("drearigrams.scr")));
  }

  void Uninstall(const std::string& switches = {}) { ASSERT_EQ(RunToTheEnd(Uninstaller() + " " + switches), 0u); }

  // The programs installed are of that edition, and the installation key is
  // where a program of that edition reads it.
  void ExpectInstalledEdition(int edition) {
    EXPECT_EQ(EditionOf(File("drearigrams.scr")), edition);
    EXPECT_EQ(EditionOf(SeedFile("skitplay.exe")), edition);
    std::optional<TextValue> seed = ReadValue(HKEY_LOCAL_MACHINE, Settings, "SeedPath", ViewOf(edition));
    ASSERT_TRUE(seed);
    EXPECT_TRUE(SamePath(seed->Text, File("seed")));
  }

  std::string Setting(const char* name) const {
    std::optional<TextValue> value = ReadValue(HKEY_LOCAL_MACHINE, Settings, name, View);
    EXPECT_TRUE(value) << name;
    return value ? value->Text : std::string();
  }
  // A value as the user's screensaver reads it: expanded when it is REG_EXPAND_SZ.
  std::string Expanded(const char* name) const {
    std::optional<TextValue> value = ReadValue(HKEY_LOCAL_MACHINE, Settings, name, View);
    EXPECT_TRUE(value) << name;
    if (!value) return {};
    return value->Type == REG_EXPAND_SZ ? ExpandValue(name, value->Text) : value->Text;
  }

  // The user starts the settings from the installation, as from the Screen
  // Saver Settings, and closes them again: the user's first start.
  void OpenAndCloseTheSettings() {
    Screensaver settings(File("drearigrams.scr"), "/c");
    ASSERT_TRUE(settings.Started);
    ASSERT_NE(settings.WaitForForm(), nullptr);
    ASSERT_TRUE(settings.Close());
    ASSERT_TRUE(Exists(UserFile("drearigrams.pak")));
  }

  // A catalogue as paktool describes it.
  std::string CatalogueJson(const std::string& catalogue) {
    std::string json = Dir_.File("catalogue.json");
    EXPECT_EQ(RunToTheEnd("\"" DG_PAKTOOL_EXE "\" catalog show \"" + catalogue + "\" --json", json), 0u);
    return ReadFileBytes(json);
  }

  // Unticks the first ticked skit of the user's catalogue, as the settings
  // dialog would; returns the catalogue's new bytes.
  std::string UntickOneSkit() {
    const std::string catalogue = UserFile("drearigrams.pak");
    std::string text = CatalogueJson(catalogue);
    size_t at = text.find("\"selection\": \"on\"");
    if (at == std::string::npos) return {};
    text.replace(at, 17, "\"selection\": \"none\"");
    std::string json = Dir_.File("changed.json");
    WriteFileBytes(json, text);
    std::string build = "\"" DG_PAKTOOL_EXE "\" catalog build \"" + json + "\" \"" + catalogue + "\"";
    EXPECT_EQ(RunToTheEnd(build, Dir_.File("build.txt")), 0u) << ReadFileBytes(Dir_.File("build.txt"));
    return ReadFileBytes(catalogue);
  }

  // How many skits the user's catalogue has unticked. (Its bytes change
  // whenever the screensaver saves it, its ticks only when the user does.)
  size_t UntickedSkits() {
    const std::string text = CatalogueJson(UserFile("drearigrams.pak"));
    size_t count = 0;
    for (size_t at = text.find("\"selection\": \"none\""); at != std::string::npos;
         at = text.find("\"selection\": \"none\"", at + 1))
      ++count;
    return count;
  }

  // The titles of the regular skits in the seed's catalogue.
  std::vector<std::string> SkitTitles() {
    std::string text = CatalogueJson(SeedFile("drearigrams.pak"));
    std::vector<std::string> titles;
    const std::string category = "\"category\": \"skit\"", title = "\"title\": \"";
    for (size_t at = text.find(category); at != std::string::npos; at = text.find(category, at + 1)) {
      size_t start = text.find(title, at);
      if (start == std::string::npos) break;
      start += title.size();
      titles.push_back(text.substr(start, text.find('"', start) - start));
    }
    return titles;
  }

  // The skit files the installer carries.
  static std::vector<std::string> Content() {
    std::vector<std::string> names{""};
    for (char c : std::string(DG_INSTALLED_CONTENT)) {
      if (c == ',')
        names.emplace_back();
      else
        names.back() += c;
    }
    return names;
  }

  // Another profile on the machine, in the profile list as Windows keeps it,
  // with a data folder of its own: only an administrator reaches it.
  std::string AnotherUsersDataFolder() {
    const std::string profile = Dir_.Path() + "\\Grace Hopper";
    for (const char* part : {"", "\\AppData", "\\AppData\\Local", "\\AppData\\Local\\Drearigrams",
                             "\\AppData\\Local\\Drearigrams\\skits"})
      CreateDirectoryA((profile + part).c_str(), nullptr);
    WriteFileBytes(profile + "\\AppData\\Local\\Drearigrams\\drearigrams.pak", "grace's catalogue");
    WriteFileBytes(profile + "\\AppData\\Local\\Drearigrams\\skits\\kites.skit", "grace's skit");
    OtherProfile_.SetString("ProfileImagePath", profile);
    return profile;
  }

  const std::string Settings = SettingsKeyFor("drearigrams");
  // Where the installation's keys are, unless a test asks for an edition.
  const REGSAM View = ViewOf(EditionThatMatchesWindows());
  std::string SetupProgram = DG_SETUP_EXE;

 private:
  testing_support::TempDir Dir_;

 protected:
  std::string Folder;
  std::string Local;
  std::string UserData;
  // The user this test plays: every program it starts inherits the variable.
  testing_support::ScopedEnvironment LocalAppData_{"LOCALAPPDATA", Local.c_str()};
  // Nothing of an earlier run may linger, and nothing of this one is left.
  testing_support::ScopedRegistryKey MachineKey_{HKEY_LOCAL_MACHINE, Settings, View};
  testing_support::ScopedRegistryKey UserKey_{HKEY_CURRENT_USER, Settings};
  testing_support::ScopedRegistryKey UninstallKey_{HKEY_LOCAL_MACHINE, kUninstallKey, View};
  // The profile list is in the 64-bit view on 64-bit Windows, where cleardata reads it.
  testing_support::ScopedRegistryKey OtherProfile_{
      HKEY_LOCAL_MACHINE, std::string(kProfileList) + "\\S-1-5-21-1111-2222-3333-1001", KEY_WOW64_64KEY};
  // The 32-bit edition's keys on 64-bit Windows, seen from a 64-bit program.
  void ForgetThe32BitView() const {
    if (!WindowsIs64Bit()) return;
    for (const std::string& path : {Settings, std::string(kUninstallKey)})
      RegDeleteKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), KEY_WOW64_32KEY, 0);
  }

 private:
  std::optional<std::string> SavedScreensaver_;
};

}  // namespace

TEST_F(Installer, InstallsTheEditionThatMatchesWindows) {
  const int expected = EditionThatMatchesWindows();
  ASSERT_TRUE(Carries(expected)) << "the setup carries " DG_SETUP_EDITIONS;
  Install();
  ExpectInstalledEdition(expected);
  EXPECT_TRUE(ReadString(HKEY_LOCAL_MACHINE, kUninstallKey, "DisplayName", ViewOf(expected)));
}

// Only 64-bit Windows has a choice to make: on 32-bit Windows the 32-bit
// edition is what the test above sees installed.
TEST_F(Installer, The32BitEditionOn64BitWindowsKeepsItsKeysWhereA32BitProgramReadsThem) {
  if (!WindowsIs64Bit() || !Carries(32)) GTEST_SKIP() << "needs 64-bit Windows and a setup with both editions";
  ForgetThe32BitView();
  Install("/EDITION=32");
  ExpectInstalledEdition(32);
  // The Screen Saver Settings list 32-bit screensavers from SysWOW64.
  EXPECT_TRUE(Exists(ListCopy(32)));
  EXPECT_FALSE(Exists(ListCopy(64)));
  EXPECT_TRUE(ReadString(HKEY_LOCAL_MACHINE, kUninstallKey, "DisplayName", KEY_WOW64_32KEY));
  // A 64-bit program finds no installation of its own.
  EXPECT_FALSE(KeyExistsIn(KEY_WOW64_64KEY, Settings));
  EXPECT_FALSE(KeyExistsIn(KEY_WOW64_64KEY, kUninstallKey));

  // The uninstaller finds the keys by the edition it removes.
  Uninstall();
  EXPECT_FALSE(Exists(Folder, true));
  EXPECT_FALSE(KeyExistsIn(KEY_WOW64_32KEY, Settings));
  EXPECT_FALSE(KeyExistsIn(KEY_WOW64_32KEY, kUninstallKey));
  ForgetThe32BitView();
}

// Windows on ARM runs x86 programs on every version, x64 ones on some only:
// the setup installs the 32-bit edition there, with its keys where a 32-bit
// program reads them, and refuses the 64-bit one. Wine runs on x86-64 alone,
// so the setup under test is the one built to take ARM64 for the machine.
TEST_F(Installer, WindowsOnArmGetsThe32BitEdition) {
  if (std::string(DG_SETUP_ARM64_TEST_EXE).empty())
    GTEST_SKIP() << "this build makes no setup of its own, or this machine runs no 32-bit programs natively "
                    "(the setup told it is on ARM is one)";
  if (!WindowsIs64Bit() || !Carries(32) || !Carries(64)) GTEST_SKIP() << "needs 64-bit Windows and both editions";
  SetupProgram = DG_SETUP_ARM64_TEST_EXE;
  EXPECT_EQ(RunSetup("/EDITION=64"), 2u);
  EXPECT_FALSE(Exists(File("drearigrams.scr")));
  ForgetThe32BitView();
  Install();
  ExpectInstalledEdition(32);
  EXPECT_FALSE(KeyExistsIn(KEY_WOW64_64KEY, Settings));
  EXPECT_TRUE(Exists(ListCopy(32)));
  Uninstall();
  EXPECT_FALSE(Exists(ListCopy(32)));
  EXPECT_FALSE(KeyExistsIn(KEY_WOW64_32KEY, Settings));
  ForgetThe32BitView();
}

TEST_F(Installer, AnEditionWindowsCannotRunOrThatDoesNotExistIsRefused) {
  EXPECT_EQ(RunSetup("/EDITION=16"), 2u);
  if (!WindowsIs64Bit()) {
    EXPECT_EQ(RunSetup("/EDITION=64"), 2u);
  }
  // Before Windows 10 version 1903 the programs would not run in UTF-8.
  EXPECT_EQ(RunSetup("", "win81"), 2u) << "Windows 8.1";
  EXPECT_EQ(RunSetup("", "win7"), 2u) << "Windows 7";
  EXPECT_FALSE(Exists(File("drearigrams.scr")));
  EXPECT_FALSE(KeyExistsIn(View, Settings));
}

// Everything the setup writes goes to the program folder, the seed
// included; the key names each user's own folder for what the screensaver
// writes, in values every user's screensaver expands to its own.
TEST_F(Installer, ProgramsAndTheSeedGoToTheProgramFolderAndTheKeyNamesEachUsersOwnFolder) {
  Install();
  for (const char* name : {"drearigrams.scr", "uninstall.exe"}) EXPECT_TRUE(Exists(File(name))) << name;
  // cleardata runs from the setup's own temporary folder, never from here.
  EXPECT_FALSE(Exists(File("cleardata.exe")));
  for (const char* name : {"skitplay.exe", "drearigrams.pak"}) {
    EXPECT_TRUE(Exists(SeedFile(name))) << name;
    EXPECT_FALSE(Exists(File(name))) << name;
  }
  for (const std::string& name : Content()) EXPECT_TRUE(Exists(SeedFile("skits\\" + name))) << name;
  for (const char* name : {"skits", "download"}) EXPECT_FALSE(Exists(File(name), true)) << name;
  // The setup made no user's folder, and no machine-wide one.
  EXPECT_FALSE(Exists(UserData, true));
  char common[MAX_PATH];
  ASSERT_EQ(SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, common), S_OK);
  EXPECT_FALSE(Exists(std::string(common) + "\\Drearigrams", true));

  const struct {
    const char* Name;
    const char* Stored;
    const char* Expanded;
  } perUser[] = {{"Player", "\\skitplay.exe", "skitplay.exe"},     {"SkitsPath", "\\skits", "skits"},
                 {"OpsFilePath", "\\drearigrams.pak", "drearigrams.pak"}, {"DownloadPath", "\\download", "download"},
                 {"LogPath", "\\download.log", "download.log"},     {"DataPath", "", nullptr}};
  for (const auto& value : perUser) {
    std::optional<TextValue> stored = ReadValue(HKEY_LOCAL_MACHINE, Settings, value.Name, View);
    ASSERT_TRUE(stored) << value.Name;
    EXPECT_EQ(stored->Type, static_cast<DWORD>(REG_EXPAND_SZ)) << value.Name;
    EXPECT_EQ(stored->Text, std::string(kUserData) + value.Stored) << value.Name;
    EXPECT_EQ(Expanded(value.Name), value.Expanded ? UserFile(value.Expanded) : UserData) << value.Name;
  }
  std::optional<TextValue> seed = ReadValue(HKEY_LOCAL_MACHINE, Settings, "SeedPath", View);
  ASSERT_TRUE(seed);
  EXPECT_EQ(seed->Type, static_cast<DWORD>(REG_SZ));
  EXPECT_TRUE(SamePath(seed->Text, File("seed")));
  EXPECT_FALSE(Setting("AboutURL").empty());
  // The help page travels once it exists; the value is there either way.
  std::optional<std::string> help = ReadString(HKEY_LOCAL_MACHINE, Settings, "HelpFilePath", View);
  ASSERT_TRUE(help);
  if (!help->empty()) {
    EXPECT_TRUE(SamePath(*help, File("drearigrams.html")));
    EXPECT_TRUE(Exists(*help));
  }

  EXPECT_EQ(ReadString(HKEY_LOCAL_MACHINE, kUninstallKey, "UninstallString", View),
            "\"" + File("uninstall.exe") + "\"");
  EXPECT_EQ(ReadString(HKEY_LOCAL_MACHINE, kUninstallKey, "DisplayName", View), "Drearigrams Screensaver");

  // A silent setup chooses no screensaver unless told to; the user's own
  // choices are not written at all.
  std::optional<std::string> current = CurrentScreensaver();
  EXPECT_FALSE(current && SamePath(*current, File("drearigrams.scr")));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, Settings));
}

// Earlier setups kept one machine-wide data folder, which /DATA= chose.
TEST_F(Installer, ADataFolderForEveryoneIsNoLongerTaken) {
  EXPECT_EQ(RunSetup("/DATA=\"" + Folder + " Data\""), 2u);
  EXPECT_FALSE(Exists(File("drearigrams.scr")));
  EXPECT_FALSE(Exists(Folder + " Data", true));
  EXPECT_FALSE(KeyExistsIn(View, Settings));
}

// The user's first start makes the user's folder from the seed, and the
// player plays from there, beside its argument file.
TEST_F(Installer, TheCurrentScreensaverPlaysAnInstalledSkitWithTheUsersCopyOfThePlayer) {
  Install("/SETCURRENT");
  std::optional<std::string> current = CurrentScreensaver();
  ASSERT_TRUE(current);
  ASSERT_TRUE(SamePath(*current, File("drearigrams.scr"))) << *current;

  // Started from the value, as the desktop does when the computer is idle.
  Screensaver saver(*current, "/s");
  ASSERT_TRUE(saver.Started);
  const std::string player = UserFile("skitplay.exe");
  std::string arguments;
  HWND window = saver.WaitForWindow([&](HWND window, DWORD pid) {
    char name[64];
    GetClassNameA(window, name, sizeof name);
    if (std::string(name) != "DrearigramsSkitPlayer" || !SamePath(ProcessImage(pid), player)) return false;
    // The argument file lives as long as the player plays its skit.
    arguments = ReadFileBytes(UserFile("skitplay.arg"));
    return !arguments.empty();
  });
  ASSERT_NE(window, nullptr) << "no window of " << player;
  EXPECT_EQ(ReadFileBytes(player), ReadFileBytes(SeedFile("skitplay.exe")));
  EXPECT_EQ(ReadFileBytes(UserFile("drearigrams.pak")), ReadFileBytes(SeedFile("drearigrams.pak")));

  std::string skit = ArgumentValue(arguments, "SS_Swf");
  std::string skits = UserFile("skits\\");
  ASSERT_GT(skit.size(), skits.size()) << arguments;
  EXPECT_TRUE(SamePath(skit.substr(0, skits.size() - 1), UserFile("skits"))) << skit;
  EXPECT_TRUE(Exists(skit)) << skit;
  std::vector<std::string> content = Content();
  EXPECT_NE(std::find(content.begin(), content.end(), skit.substr(skits.size())), content.end()) << skit;

  DWORD playerProcess = 0;
  GetWindowThreadProcessId(window, &playerProcess);
  Handle playing(OpenProcess(SYNCHRONIZE, FALSE, playerProcess));
  EXPECT_TRUE(saver.Close());
  if (playing.Get() != nullptr) {
    EXPECT_EQ(WaitForSingleObject(playing.Get(), kWindowLimit), static_cast<DWORD>(WAIT_OBJECT_0));
  }
}

TEST_F(Installer, ConfigureModeListsTheInstalledSkits) {
  Install();
  std::vector<std::string> titles = SkitTitles();
  ASSERT_FALSE(titles.empty());
  Screensaver settings(File("drearigrams.scr"), "/c");
  ASSERT_TRUE(settings.Started);
  HWND form = settings.WaitForForm();
  ASSERT_NE(form, nullptr);
  // No message box about a missing or broken installation took its place.
  char name[64];
  GetClassNameA(form, name, sizeof name);
  EXPECT_STRNE(name, "#32770");

  HWND list = nullptr;
  EnumChildWindows(
      form,
      [](HWND child, LPARAM param) CALLBACK -> BOOL {
        char name[32];
        GetClassNameA(child, name, sizeof name);
        if (lstrcmpiA(name, "ListBox") == 0) *reinterpret_cast<HWND*>(param) = child;
        return *reinterpret_cast<HWND*>(param) == nullptr;
      },
      reinterpret_cast<LPARAM>(&list));
  ASSERT_NE(list, nullptr);
  std::vector<std::string> items;
  for (DWORD waited = 0; items.empty() && waited < kWindowLimit; waited += 50) {
    LRESULT count = SendMessageW(list, LB_GETCOUNT, 0, 0);
    // Asked in wide characters: an ANSI request from another process does
    // not get its text converted under Wine.
    for (LRESULT i = 0; count >= static_cast<LRESULT>(titles.size()) && i < count; ++i) {
      wchar_t wide[512] = {};
      if (SendMessageW(list, LB_GETTEXTLEN, i, 0) < static_cast<LRESULT>(std::size(wide)))
        SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(wide));
      char text[1024] = {};
      WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, sizeof text, nullptr, nullptr);
      items.push_back(text);
    }
    WaitForSingleObject(settings.Info.hProcess, items.empty() ? 50 : 0);
  }
  for (const std::string& title : titles) {
    EXPECT_TRUE(std::any_of(items.begin(), items.end(),
                            [&](const std::string& item) { return item.find(title) != std::string::npos; }))
        << title;
  }
  EXPECT_TRUE(settings.Close());
  EXPECT_TRUE(Exists(UserFile("drearigrams.pak")));
}

// A library that lies beside the screensaver under the name of a system
// library is never loaded: the system's own is. (Windows looks in the
// program's folder first for every library it does not keep as a known DLL;
// Wine prefers its own copies unless told otherwise, so it is told to prefer
// the planted ones, as Windows would. Not version.dll: Wine's own advapi32
// imports it, and the preference would reach that import too, where on
// Windows a known DLL's imports come from the system.)
TEST_F(Installer, ALibraryPlantedBesideTheScreensaverIsNeverLoaded) {
  Install();
  const std::vector<std::string> planted{"wininet.dll", "bcrypt.dll", "gdiplus.dll"};
  for (const std::string& name : planted) ASSERT_TRUE(CopyFileA(DG_PLANTED_LIBRARY, File(name).c_str(), FALSE)) << name;
  testing_support::ScopedRegistryKey preferPlanted(HKEY_CURRENT_USER,
                                                  "Software\\Wine\\AppDefaults\\drearigrams.scr\\DllOverrides");
  for (const char* name : {"wininet", "bcrypt", "gdiplus"}) preferPlanted.SetString(name, "native,builtin");
  OpenAndCloseTheSettings();
  for (const std::string& name : planted) EXPECT_FALSE(Exists(File(name + ".loaded"))) << name;
  for (const std::string& name : planted) {
    DeleteFileA(File(name).c_str());
    DeleteFileA(File(name + ".loaded").c_str());
  }
}

// The uninstaller removes every user's data folder it can reach: the
// caller's own and each one the profile list names; nothing else of those
// profiles.
TEST_F(Installer, SilentUninstallLeavesNoneOfItsFilesFoldersOrKeys) {
  Install("/SETCURRENT");
  OpenAndCloseTheSettings();
  // What the screensaver makes as it runs: the user's choices, a download
  // under way, a skit that came later, the player's argument file, its log.
  UserKey_.SetDword("Sound", 1);
  WriteFileBytes(UserFile("download\\fireflies.skit"), "part");
  WriteFileBytes(UserFile("skits\\fireflies.skit"), "skit 1\r\n");
  WriteFileBytes(UserFile("skitplay.arg"), "SS_Swf=x");
  WriteFileBytes(UserFile("drearigrams.ini"), "[ShellExecute]\r\n");
  WriteFileBytes(UserFile("drearigrams.log"), "line\r\n");
  SetFileAttributesA(UserFile("skits\\fireflies.skit").c_str(), FILE_ATTRIBUTE_READONLY);
  const std::string grace = AnotherUsersDataFolder();
  WriteFileBytes(Local + "\\another program's.dat", "kept");
  // A link in a user's folder to what the user could never remove (where
  // the system makes links; Wine does not, and cleardata's own tests cover
  // the rule through a seam).
  const std::string elsewhere = Folder + " Elsewhere";
  CreateDirectoryA(elsewhere.c_str(), nullptr);
  WriteFileBytes(elsewhere + "\\system.dll", "precious");
  const bool linked =
      testing_support::MakeFolderLink(grace + "\\AppData\\Local\\Drearigrams\\skits\\linked", elsewhere);

  Uninstall();
  if (linked) {
    EXPECT_EQ(ReadFileBytes(elsewhere + "\\system.dll"), "precious");
  }
  testing_support::RemoveTree(elsewhere);
  EXPECT_FALSE(Exists(Folder, true));
  EXPECT_FALSE(Exists(UserData, true));
  EXPECT_FALSE(Exists(grace + "\\AppData\\Local\\Drearigrams", true));
  EXPECT_TRUE(Exists(grace + "\\AppData\\Local", true));
  EXPECT_EQ(ReadFileBytes(Local + "\\another program's.dat"), "kept");
  EXPECT_FALSE(KeyExistsIn(View, Settings));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, Settings));
  EXPECT_FALSE(KeyExistsIn(View, kUninstallKey));
  EXPECT_EQ(CurrentScreensaver(), std::nullopt);
}

TEST_F(Installer, UninstallLeavesAScreensaverChosenSinceAlone) {
  Install("/SETCURRENT");
  const std::string other = "C:\\windows\\system32\\scrnsave.scr";
  SetCurrentScreensaver(other);
  Uninstall();
  EXPECT_EQ(CurrentScreensaver(), other);
}

// A new setup writes the programs and the seed afresh; each user's folder is
// the user's, and stays as it is, but the player follows its new master.
TEST_F(Installer, InstallingAgainKeepsEveryUsersDataAndRenewsTheSeed) {
  Install();
  OpenAndCloseTheSettings();
  std::string ticked = UntickOneSkit();
  ASSERT_FALSE(ticked.empty());
  const size_t unticked = UntickedSkits();
  ASSERT_GT(unticked, 0u);
  const std::string skit = SeedFile("skits\\" + Content().front());
  ASSERT_TRUE(DeleteFileA(SeedFile("skitplay.exe").c_str()));
  ASSERT_TRUE(DeleteFileA(skit.c_str()));
  WriteFileBytes(SeedFile("skits\\from an earlier setup.skit"), "gone");
  WriteFileBytes(UserFile("skitplay.exe"), "an older player");

  Install();
  EXPECT_EQ(ReadFileBytes(UserFile("drearigrams.pak")), ticked);
  EXPECT_TRUE(Exists(SeedFile("skitplay.exe")));
  EXPECT_TRUE(Exists(skit));
  EXPECT_FALSE(Exists(SeedFile("skits\\from an earlier setup.skit")));
  EXPECT_TRUE(SamePath(Setting("SeedPath"), File("seed")));

  OpenAndCloseTheSettings();
  EXPECT_EQ(UntickedSkits(), unticked);
  EXPECT_EQ(ReadFileBytes(UserFile("skitplay.exe")), ReadFileBytes(SeedFile("skitplay.exe")));
}

TEST_F(Installer, KeepSettingsKeepsEveryUsersDataForTheNextInstallation) {
  Install();
  OpenAndCloseTheSettings();
  std::string ticked = UntickOneSkit();
  ASSERT_FALSE(ticked.empty());
  const size_t unticked = UntickedSkits();
  UserKey_.SetDword("Sound", 2);
  UserKey_.SetDword("SyncMethod", 2);
  WriteFileBytes(UserFile("skits\\fireflies.skit"), "skit 1\r\n");
  const std::string grace = AnotherUsersDataFolder();

  Uninstall("/KEEPSETTINGS");
  // The programs, the seed and the installation key are gone ...
  EXPECT_FALSE(Exists(Folder, true));
  EXPECT_FALSE(KeyExistsIn(View, Settings));
  EXPECT_FALSE(KeyExistsIn(View, kUninstallKey));
  // ... the users' choices, ticks and skits stay ...
  DWORD sound = 0, sync = 0;
  EXPECT_TRUE(UserKey_.GetDword("Sound", sound));
  EXPECT_TRUE(UserKey_.GetDword("SyncMethod", sync));
  EXPECT_EQ(sound, 2u);
  EXPECT_EQ(sync, 2u);
  EXPECT_EQ(ReadFileBytes(UserFile("drearigrams.pak")), ticked);
  EXPECT_TRUE(Exists(UserFile("skits\\fireflies.skit")));
  EXPECT_EQ(ReadFileBytes(grace + "\\AppData\\Local\\Drearigrams\\drearigrams.pak"), "grace's catalogue");

  // ... and the next installation takes them up.
  Install();
  OpenAndCloseTheSettings();
  EXPECT_EQ(UntickedSkits(), unticked);
  EXPECT_TRUE(UserKey_.GetDword("Sound", sound));
  EXPECT_EQ(sound, 2u);
}

namespace {

// What a setup of an earlier layout left in a folder every user could write,
// with a catalogue of its own and a link someone put there.
void LeaveEarlierData(const std::string& folder) {
  CreateDirectoryA(folder.c_str(), nullptr);
  for (const char* sub : {"\\skits", "\\download"}) CreateDirectoryA((folder + sub).c_str(), nullptr);
  for (const char* name : {"drearigrams.pak", "drearigrams.pak.old", "skits\\kites.skit", "skits\\fireflies.skit",
                           "download\\tide.skit", "download.log", "skitplay.exe", "skitplay.arg", "drearigrams.ini",
                           "drearigrams.log"})
    WriteFileBytes(folder + "\\" + name, std::string("earlier ") + name);
}

}  // namespace

// Earlier setups kept the data in one machine-wide folder every user could
// write, named by DataPath. The new setup removes what they put there (and
// the folder, once empty) and every user starts from the seed.
TEST_F(Installer, AnUpgradeRemovesTheMachineWideDataFolderAndUsersStartFromTheSeed) {
  Install();
  const std::string earlier = Folder + " Data";
  LeaveEarlierData(earlier);
  for (const char* name : {"Player", "SkitsPath", "OpsFilePath", "DownloadPath", "LogPath"})
    MachineKey_.SetString(name, earlier + "\\x");
  MachineKey_.SetString("DataPath", earlier);
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, Settings.c_str(), 0, KEY_SET_VALUE | View, &key), ERROR_SUCCESS);
  RegDeleteValueA(key, "SeedPath");
  RegCloseKey(key);

  Install();
  EXPECT_FALSE(Exists(earlier, true));
  EXPECT_EQ(Setting("DataPath"), kUserData);
  EXPECT_EQ(Setting("OpsFilePath"), std::string(kUserData) + "\\drearigrams.pak");
  OpenAndCloseTheSettings();

  // A folder that holds more than the setup put there keeps what is not ours,
  // and a link someone put in place of one of our folders goes as a link:
  // what it leads to stays.
  LeaveEarlierData(earlier);
  WriteFileBytes(earlier + "\\someone's notes.txt", "notes");
  const std::string elsewhere = Folder + " Elsewhere";
  CreateDirectoryA(elsewhere.c_str(), nullptr);
  WriteFileBytes(elsewhere + "\\system.dll", "precious");
  testing_support::RemoveTree(earlier + "\\download");
  // (Wine makes no links: there the folder is simply gone.)
  const bool linked = testing_support::MakeFolderLink(earlier + "\\download", elsewhere);
  MachineKey_.SetString("DataPath", earlier);
  Install();
  EXPECT_EQ(ReadFileBytes(earlier + "\\someone's notes.txt"), "notes");
  if (linked) {
    EXPECT_EQ(ReadFileBytes(elsewhere + "\\system.dll"), "precious");
  }
  for (const char* name : {"drearigrams.pak", "skits", "download", "download.log", "skitplay.exe", "skitplay.arg"})
    EXPECT_FALSE(Exists(earlier + "\\" + name) || Exists(earlier + "\\" + name, true)) << name;
  testing_support::RemoveTree(earlier);
  testing_support::RemoveTree(elsewhere);
}

// The oldest setups kept everything in the program folder and let every user
// write there. What they left goes; the programs stay, with the program
// folder's rights.
TEST_F(Installer, AnInstallationOfTheOneFolderLayoutIsUpgradedInPlace) {
  Install();
  LeaveEarlierData(Folder);
  for (const char* name : {"Player", "SkitsPath", "OpsFilePath", "DownloadPath", "LogPath"})
    MachineKey_.SetString(name, File("x"));
  MachineKey_.SetString("HelpFilePath", File("drearigrams.hlp"));
  MachineKey_.SetString("AboutURL", "http://old.example/");
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, Settings.c_str(), 0, KEY_SET_VALUE | View, &key), ERROR_SUCCESS);
  RegDeleteValueA(key, "DataPath");
  RegDeleteValueA(key, "SeedPath");
  RegCloseKey(key);

  Install();
  for (const char* name : {"drearigrams.pak", "drearigrams.pak.old", "download.log", "skitplay.exe", "skitplay.arg",
                           "drearigrams.ini", "drearigrams.log"})
    EXPECT_FALSE(Exists(File(name))) << name;
  EXPECT_FALSE(Exists(File("skits"), true));
  EXPECT_FALSE(Exists(File("download"), true));
  EXPECT_TRUE(Exists(File("drearigrams.scr")));
  EXPECT_EQ(Setting("SkitsPath"), std::string(kUserData) + "\\skits");
  EXPECT_NE(Setting("HelpFilePath"), File("drearigrams.hlp"));
  EXPECT_NE(Setting("AboutURL"), "http://old.example/");
  // The upgraded installation works: the settings list the seed's skits.
  OpenAndCloseTheSettings();
}

namespace {

// The rights a security descriptor in SDDL gives, as the system reads it.
struct Rights {
  bool Protected = false;    // not inherited from the folder above
  bool OwnedByAdministrators = false;
  std::map<std::string, ACCESS_MASK> Allowed;  // by SDDL SID string ("BU", "BA", "SY" as S-1-...)
  bool AllInherit = true;    // every entry passes to files and folders inside
  bool AnyDenied = false;
};

std::string SidText(PSID sid) {
  char* text = nullptr;
  if (!ConvertSidToStringSidA(sid, &text)) return {};
  std::string result = text;
  LocalFree(text);
  return result;
}

Rights ReadRights(const std::string& sddl) {
  Rights rights;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &sd, nullptr)) {
    ADD_FAILURE() << "not a security descriptor: " << sddl;
    return rights;
  }
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  GetSecurityDescriptorControl(sd, &control, &revision);
  rights.Protected = (control & SE_DACL_PROTECTED) != 0;
  PSID owner = nullptr;
  BOOL defaulted = FALSE, present = FALSE;
  GetSecurityDescriptorOwner(sd, &owner, &defaulted);
  rights.OwnedByAdministrators = owner != nullptr && SidText(owner) == "S-1-5-32-544";
  PACL dacl = nullptr;
  GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
  for (DWORD i = 0; present && dacl != nullptr && i < dacl->AceCount; ++i) {
    ACE_HEADER* header = nullptr;
    if (!GetAce(dacl, i, reinterpret_cast<void**>(&header))) continue;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) {
      rights.AnyDenied = true;
      continue;
    }
    auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
    rights.Allowed[SidText(&ace->SidStart)] |= ace->Mask;
    if ((header->AceFlags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)) != (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE))
      rights.AllInherit = false;
  }
  LocalFree(sd);
  return rights;
}

constexpr char kUsers[] = "S-1-5-32-545", kAdministrators[] = "S-1-5-32-544", kSystem[] = "S-1-5-18";
// What would let a user change, replace or remove a file, or the rights.
constexpr ACCESS_MASK kChange = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES | DELETE |
                                FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
constexpr ACCESS_MASK kReadAndRun = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;

// The lines of the script from the line that starts with `from` to the next
// line that starts with `to`.
std::vector<std::string> ScriptLines(const std::string& script, const std::string& from, const std::string& to) {
  std::vector<std::string> lines;
  size_t at = script.find("\n" + from);
  if (at == std::string::npos) return lines;
  for (++at; at < script.size();) {
    size_t end = script.find('\n', at);
    if (end == std::string::npos) end = script.size();
    std::string line = script.substr(at, end - at);
    if (!lines.empty() && line.rfind(to, 0) == 0) break;
    lines.push_back(line);
    at = end + 1;
  }
  return lines;
}

}  // namespace

// Wine keeps no rights on files and has no other users, so an installation
// under it cannot show who may change what: the setup script is read
// instead. The rights it names are read as the system reads them, the
// places it gives them to are checked, and every instruction of the
// installing part that writes a file or folder is checked to write only
// into the program folder (or the setup's own temporary folder).
TEST(InstallerRights, OnlyAdministratorsChangeWhatTheSetupWritesAndItWritesNothingElse) {
  const std::string script = ReadFileBytes(DG_SOURCE_DIR "/installer/drearigrams.nsi");
  ASSERT_FALSE(script.empty());
  std::vector<std::string> descriptors;
  const std::regex definition("!define ([A-Z_]+) \"(O:[^\"]+)\"");
  for (std::sregex_iterator it(script.begin(), script.end(), definition), end; it != end; ++it)
    descriptors.push_back((*it)[1].str());
  ASSERT_EQ(descriptors, std::vector<std::string>{"PROGRAM_FOLDER_ACL"}) << "one set of rights, the program folder's";
  std::smatch match;
  ASSERT_TRUE(std::regex_search(script, match, std::regex("!define PROGRAM_FOLDER_ACL \"([^\"]+)\"")));
  const Rights programs = ReadRights(match[1].str());

  EXPECT_TRUE(programs.Protected);
  EXPECT_TRUE(programs.OwnedByAdministrators);
  EXPECT_FALSE(programs.AnyDenied);
  EXPECT_TRUE(programs.AllInherit);
  for (const char* sid : {kAdministrators, kSystem}) {
    auto found = programs.Allowed.find(sid);
    EXPECT_TRUE(found != programs.Allowed.end() && (found->second & FILE_ALL_ACCESS) == FILE_ALL_ACCESS) << sid;
  }
  EXPECT_EQ(programs.Allowed.size(), 3u) << "nobody else is named";
  // Users read and run the programs and the seed, and change nothing of them.
  ACCESS_MASK users = programs.Allowed.count(kUsers) ? programs.Allowed.at(kUsers) : 0;
  EXPECT_EQ(users & kReadAndRun, kReadAndRun);
  EXPECT_EQ(users & kChange, 0u) << std::hex << users;

  // The program folder gets its rights before anything is written into it.
  const std::vector<std::string> install = ScriptLines(script, "Section \"-Program\"", "SectionEnd");
  ASSERT_FALSE(install.empty());
  size_t rightsAt = install.size();
  for (size_t i = 0; i < install.size(); ++i) {
    if (install[i].find(R"(cleardata.exe" own "$INSTDIR" "${PROGRAM_FOLDER_ACL}")") != std::string::npos) {
      rightsAt = i;
      break;
    }
  }
  ASSERT_LT(rightsAt, install.size());
  // Every instruction that writes names a place in the program folder.
  const std::regex writes(
      R"(^\s*(File|SetOutPath|CreateDirectory|WriteUninstaller|Rename|CopyFiles|FileOpen|Delete|RMDir)\b(.*)$)");
  size_t checked = 0;
  for (size_t i = 0; i < install.size(); ++i) {
    std::smatch write;
    if (!std::regex_match(install[i], write, writes)) continue;
    const std::string command = write[1].str(), rest = write[2].str();
    ++checked;
    if (command == "File") {
      // File writes into the output folder that SetOutPath chose, or where
      // /oname= says: the setup's own temporary folder, or the system folder
      // the Screen Saver Settings list screensavers from.
      if (rest.find("/oname=$PLUGINSDIR\\") == std::string::npos &&
          rest.find("/oname=$ListFolder\\") == std::string::npos) {
        EXPECT_GT(i, rightsAt) << install[i];
      }
      continue;
    }
    std::smatch target;
    ASSERT_TRUE(std::regex_search(rest, target, std::regex(R"(\"([^\"]*)\")"))) << install[i];
    EXPECT_EQ(target[1].str().rfind("$INSTDIR", 0), 0u) << install[i];
    if (command != "CreateDirectory" || target[1].str() != "$INSTDIR") {
      EXPECT_GT(i, rightsAt) << install[i];
    }
  }
  EXPECT_GT(checked, 5u);
  // cleardata runs only from where the setup (or the uninstaller) unpacked
  // it, a folder of the administrator's own that no other account may
  // write; never from the program folder, where an earlier layout let every
  // user put a cleardata.exe of their own.
  EXPECT_EQ(script.find("$INSTDIR\\cleardata"), std::string::npos);
  const std::regex run(R"(Exec[A-Za-z]* '"([^"]*)cleardata\.exe")");
  size_t runs = 0;
  for (std::sregex_iterator it(script.begin(), script.end(), run), end; it != end; ++it, ++runs)
    EXPECT_EQ((*it)[1].str(), "$PLUGINSDIR\\") << it->str();
  EXPECT_EQ(runs, 2u) << "the takeover, and every removal";
  // cleardata only removes, and only in earlier data folders (see its own tests).
  EXPECT_EQ(script.find("$APPDATA"), std::string::npos);
  EXPECT_EQ(script.find("SetShellVarContext"), std::string::npos);
}

namespace {

// Gives `path` the DACL `sddl` names, as another account could have.
bool SetRights(const std::string& path, const char* sddl) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd, nullptr)) return false;
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
  const DWORD error = SetNamedSecurityInfoA(const_cast<char*>(path.c_str()), SE_FILE_OBJECT,
                                            DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                            nullptr, dacl, nullptr);
  LocalFree(sd);
  return error == ERROR_SUCCESS;
}

// Whether everyone, or every user, may change the folder, as the system
// reports its rights (Wine reports, and keeps, what its file modes can hold).
bool EveryoneMayChange(const std::string& path) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                            nullptr, &sd) != ERROR_SUCCESS)
    return true;
  char* text = nullptr;
  std::string sddl;
  if (ConvertSecurityDescriptorToStringSecurityDescriptorA(sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
                                                           nullptr)) {
    sddl = text;
    LocalFree(text);
  }
  LocalFree(sd);
  const Rights rights = ReadRights("O:BA" + sddl);
  for (const char* sid : {"S-1-1-0", kUsers, "S-1-5-11"}) {
    auto found = rights.Allowed.find(sid);
    if (found != rights.Allowed.end() && (found->second & kChange) != 0) return true;
  }
  return false;
}

std::vector<std::string> EntriesOf(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA entry;
  HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if (std::string(entry.cFileName) != "." && std::string(entry.cFileName) != "..") names.push_back(entry.cFileName);
  } while (FindNextFileA(search, &entry));
  FindClose(search);
  return names;
}

}  // namespace

// A folder every user could write (the one-folder layout, or one a user made
// beforehand where users may make folders) holds what that user left there:
// a library the screensaver would load, a cleardata.exe the elevated
// uninstaller would run, a player every user copies. The setup moves it
// aside, makes the folder anew with its own rights, and removes what was
// moved aside; in its own installation it removes what it did not put there.
TEST_F(Installer, TheProgramFolderHoldsOnlyWhatTheSetupPutThere) {
  ASSERT_TRUE(CreateDirectoryA(Folder.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryA(File("seed").c_str(), nullptr));
  for (const char* name : {"version.dll", "cleardata.exe", "seed\\skitplay.exe"}) WriteFileBytes(File(name), "planted");
  ASSERT_TRUE(SetRights(Folder, "D:P(A;OICI;FA;;;WD)"));
  const bool open = EveryoneMayChange(Folder);

  Install();
  const std::vector<std::string> ours{"drearigrams.scr", "drearigrams.html", "uninstall.exe", "seed"};
  for (const std::string& name : EntriesOf(Folder))
    EXPECT_NE(std::find(ours.begin(), ours.end(), name), ours.end()) << name;
  EXPECT_NE(ReadFileBytes(SeedFile("skitplay.exe")), "planted");
  EXPECT_FALSE(EveryoneMayChange(Folder));
  EXPECT_FALSE(Exists(Folder + ".old", true)) << "what was moved aside is removed";
  if (!open) std::printf("(this system did not keep the rights given to the folder: it was taken over in place)\n");

  WriteFileBytes(File("left.dll"), "left");
  CreateDirectoryA(File("plugins").c_str(), nullptr);
  Install();
  EXPECT_FALSE(Exists(File("left.dll")));
  EXPECT_FALSE(Exists(File("plugins"), true));
  EXPECT_TRUE(Exists(File("drearigrams.scr")));
}

// Whoever may change the folder above could move the program folder away
// after the setup checked it and put another in its place.
TEST_F(Installer, AFolderWhoseParentAnotherAccountMayChangeIsRefused) {
  const std::string parent = Folder + " Open";
  ASSERT_TRUE(CreateDirectoryA(parent.c_str(), nullptr));
  ASSERT_TRUE(SetRights(parent, "D:P(A;OICI;FA;;;WD)"));
  if (!EveryoneMayChange(parent)) GTEST_SKIP() << "this system does not keep the rights given to a folder";
  Folder = parent + "\\Drearigrams";
  EXPECT_EQ(RunSetup(""), 2u);
  EXPECT_FALSE(Exists(Folder, true));
  EXPECT_FALSE(KeyExistsIn(View, Settings));
  testing_support::RemoveTree(parent);
}

namespace {


// Saving and loading parts of the registry takes these privileges, which an
// administrator has but must ask for.
void EnableRegistryPrivileges() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return;
  for (const char* name : {"SeBackupPrivilege", "SeRestorePrivilege"}) {
    TOKEN_PRIVILEGES privileges{1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
    if (LookupPrivilegeValueA(nullptr, name, &privileges.Privileges[0].Luid))
      AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
  }
  CloseHandle(token);
}

// A profile that is not signed in: its part of the registry is its
// NTUSER.DAT, here made with the screensaver value `chosen`.
void WriteProfileHive(const std::string& profile, const std::string& chosen) {
  EnableRegistryPrivileges();
  const std::string staging = "Software\\Drearigrams test hive";
  {
    testing_support::ScopedRegistryKey desktop(HKEY_CURRENT_USER, staging + "\\Control Panel\\Desktop");
    desktop.SetString("SCRNSAVE.EXE", chosen);
    HKEY root = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, staging.c_str(), 0, KEY_READ, &root), ERROR_SUCCESS);
    DeleteFileA((profile + "\\NTUSER.DAT").c_str());
    EXPECT_EQ(RegSaveKeyA(root, (profile + "\\NTUSER.DAT").c_str(), nullptr), ERROR_SUCCESS);
    RegCloseKey(root);
  }
  RegDeleteTreeA(HKEY_CURRENT_USER, staging.c_str());
}

// The screensaver value of a profile's part of the registry: loaded under
// HKEY_USERS as `mount` (where a signed-in user's is, under the user's SID)
// unless it is already.
std::optional<std::string> ProfileScreensaver(const std::string& profile, const std::string& mount,
                                              bool loaded = false) {
  if (!loaded && RegLoadKeyA(HKEY_USERS, mount.c_str(), (profile + "\\NTUSER.DAT").c_str()) != ERROR_SUCCESS) {
    ADD_FAILURE() << "cannot load " << profile << "\\NTUSER.DAT";
    return {};
  }
  std::optional<std::string> value = ReadString(HKEY_USERS, mount + "\\" + kDesktopKey, "SCRNSAVE.EXE");
  RegUnLoadKeyA(HKEY_USERS, mount.c_str());
  return value;
}

}  // namespace

// Every user may choose ours again from the Screen Saver Settings, which
// list what lies in the system's folders: a copy lies there. The uninstaller
// removes it, and forgets ours as the screensaver of every profile that chose
// it (the program folder's copy or the list's), signed in or not, where
// before only the administrator's own choice went and every other user kept
// a value naming a deleted program. (Wine has no Screen Saver Settings: the
// copy is looked for where they read.)
TEST_F(Installer, EveryUserCanChooseItAgainAndTheUninstallerForgetsItForEveryUser) {
  Install("/SETCURRENT");
  const std::string copy = ListCopy(EditionThatMatchesWindows());
  EXPECT_TRUE(Exists(copy) && ReadFileBytes(copy) == ReadFileBytes(File("drearigrams.scr"))) << copy;

  // Grace is signed in, having chosen ours from the list: her part of the
  // registry is loaded under her SID. Alan is not, and chose another.
  const std::string grace = AnotherUsersDataFolder();
  WriteProfileHive(grace, copy);
  const std::string graceSid = "S-1-5-21-1111-2222-3333-1001";
  ASSERT_EQ(RegLoadKeyA(HKEY_USERS, graceSid.c_str(), (grace + "\\NTUSER.DAT").c_str()), ERROR_SUCCESS);
  const std::string alan = Folder + " Alan Turing";
  CreateDirectoryA(alan.c_str(), nullptr);
  testing_support::ScopedRegistryKey alanInList(
      HKEY_LOCAL_MACHINE, std::string(kProfileList) + "\\S-1-5-21-1111-2222-3333-1002", KEY_WOW64_64KEY);
  alanInList.SetString("ProfileImagePath", alan);
  const std::string other = "C:\\windows\\system32\\scrnsave.scr";
  WriteProfileHive(alan, other);

  Uninstall();
  EXPECT_FALSE(Exists(copy));
  EXPECT_EQ(CurrentScreensaver(), std::nullopt);
  EXPECT_EQ(ProfileScreensaver(grace, graceSid, true), std::nullopt);
  // Alan's was looked at and left alone, and his part of the registry is
  // unloaded again. (A profile not signed in that had chosen ours loses the
  // value too, on Windows; Wine does not write a loaded part of the
  // registry back to its file, so that case cannot be shown here.)
  EXPECT_EQ(ProfileScreensaver(alan, "Drearigrams test profile"), other);
  testing_support::RemoveTree(alan);
}

// The setup runs as an administrator, perhaps another account than the user
// at the screen: it starts none of what it installed (the settings, their
// downloads and their pictures would run with the administrator's rights,
// and keep the administrator's choices).
TEST(InstallerRights, TheElevatedSetupStartsNoneOfThePrograms) {
  const std::string script = ReadFileBytes(DG_SOURCE_DIR "/installer/drearigrams.nsi");
  ASSERT_FALSE(script.empty());
  EXPECT_EQ(script.find("MUI_FINISHPAGE_RUN"), std::string::npos);
  // A program started is the first word after Exec..., or the second after ExecShell.
  EXPECT_FALSE(std::regex_search(script, std::regex(R"(Exec[A-Za-z]*\s+'?"[^"]*\.scr")")));
  EXPECT_FALSE(std::regex_search(script, std::regex(R"(ExecShell[A-Za-z]*\s+"[^"]*"\s+"[^"]*\.scr")")));
}
