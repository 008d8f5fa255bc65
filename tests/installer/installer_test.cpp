// The built DrearigramsSetup.exe under Wine, as an administrator would use
// it: a silent installation into a program folder and a data folder of the
// build tree, the screensaver started from that installation the way the
// desktop starts it, a silent uninstallation, installing again over an
// installation in use, and the upgrade of an installation of the earlier
// one-folder layout. Wine does not keep the rights the setup gives the
// folders, so those are checked in the setup script itself. The setup carries
// both editions of the programs and installs the one that matches the
// Windows it runs on; the 64-bit suite's prefix is a 64-bit Windows and the
// 32-bit suite's a 32-bit one, so between them they see both choices.
#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <algorithm>
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

// `view` is 0 for this program's own registry view, or KEY_WOW64_32KEY or
// KEY_WOW64_64KEY for the one a 32-bit or 64-bit program sees.
std::optional<std::string> ReadString(HKEY root, const std::string& path, const char* name, REGSAM view = 0) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_QUERY_VALUE | view, &key) != ERROR_SUCCESS) return {};
  char buffer[1024];
  DWORD size = sizeof buffer, type = 0;
  LONG result = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
  RegCloseKey(key);
  if (result != ERROR_SUCCESS || type != REG_SZ) return {};
  return std::string(buffer, size > 0 && buffer[size - 1] == '\0' ? size - 1 : size);
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

// Whether the setup under test carries the 32-bit or 64-bit edition.
bool Carries(int edition) {
  const std::string editions = "," DG_SETUP_EDITIONS ",";
  return editions.find("," + std::to_string(edition) + ",") != std::string::npos;
}

// 32 or 64 by the processor a program file is made for (its PE header's
// machine field), 0 for anything else.
int EditionOf(const std::string& program) {
  std::string bytes = ReadFileBytes(program);
  auto word = [&](size_t at) -> uint32_t {
    return at + 2 <= bytes.size() ? static_cast<uint8_t>(bytes[at]) | static_cast<uint8_t>(bytes[at + 1]) << 8 : 0;
  };
  if (bytes.size() < 0x40 || bytes.compare(0, 2, "MZ") != 0) return 0;
  size_t header = word(0x3C) | static_cast<size_t>(word(0x3E)) << 16;
  if (header > bytes.size() || bytes.compare(header, 4, std::string("PE\0\0", 4)) != 0) return 0;
  switch (word(header + 4)) {
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

class Installer : public ::testing::Test {
 protected:
  // Blanks in the folders' names, as under Program Files.
  Installer()
      : Folder(Dir_.Path() + "\\Drearigrams Saver"),
        Data(Dir_.Path() + "\\Drearigrams Data"),
        SavedScreensaver_(CurrentScreensaver()) {}
  ~Installer() override {
    if (Exists(File("uninstall.exe"))) RunToTheEnd(Uninstaller());
    SetCurrentScreensaver(SavedScreensaver_);
  }

  // In the program folder, and in the data folder.
  std::string File(const std::string& name) const { return Folder + "\\" + name; }
  std::string DataFile(const std::string& name) const { return Data + "\\" + name; }
  std::string Uninstaller() const { return "\"" + File("uninstall.exe") + "\" /S"; }

  // NSIS takes the program folder as the last argument, unquoted, blanks and
  // all. The data folder is this test's own unless a case asks for the
  // default (dataFolder false).
  std::optional<DWORD> RunSetup(const std::string& switches, bool dataFolder = true) {
    std::string data = dataFolder ? " /DATA=\"" + Data + "\"" : "";
    return RunToTheEnd("\"" + SetupProgram + "\" /S " + switches + data + " /D=" + Folder);
  }
  void Install(const std::string& switches = {}, bool dataFolder = true) {
    ASSERT_EQ(RunSetup(switches, dataFolder), 0u);
    ASSERT_TRUE(Exists(File("drearigrams.scr")));
  }

  void Uninstall(const std::string& switches = {}) { ASSERT_EQ(RunToTheEnd(Uninstaller() + " " + switches), 0u); }

  std::string Setting(const char* name) const {
    std::optional<std::string> value = ReadString(HKEY_LOCAL_MACHINE, Settings, name);
    EXPECT_TRUE(value) << name;
    return value.value_or("");
  }

  // The installed catalogue as paktool describes it.
  std::string CatalogueJson() {
    std::string json = Dir_.File("catalogue.json");
    EXPECT_EQ(RunToTheEnd("\"" DG_PAKTOOL_EXE "\" catalog show \"" + DataFile("drearigrams.pak") + "\" --json", json), 0u);
    return ReadFileBytes(json);
  }

  // Unticks the first ticked skit of the installed catalogue, as the
  // settings dialog would; returns the catalogue's new bytes.
  std::string UntickOneSkit() {
    std::string text = CatalogueJson();
    size_t at = text.find("\"selection\": \"on\"");
    if (at == std::string::npos) return {};
    text.replace(at, 17, "\"selection\": \"none\"");
    std::string json = Dir_.File("changed.json");
    WriteFileBytes(json, text);
    std::string build = "\"" DG_PAKTOOL_EXE "\" catalog build \"" + json + "\" \"" + DataFile("drearigrams.pak") + "\"";
    EXPECT_EQ(RunToTheEnd(build, Dir_.File("build.txt")), 0u) << ReadFileBytes(Dir_.File("build.txt"));
    return ReadFileBytes(DataFile("drearigrams.pak"));
  }

  // The titles of the regular skits in the installed catalogue.
  std::vector<std::string> SkitTitles() {
    std::string text = CatalogueJson();
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

  const std::string Settings = SettingsKeyFor("drearigrams");
  std::string SetupProgram = DG_SETUP_EXE;

 private:
  testing_support::TempDir Dir_;

 protected:
  std::string Folder;
  std::string Data;
  // Nothing of an earlier run may linger, and nothing of this one is left.
  testing_support::ScopedRegistryKey MachineKey_{HKEY_LOCAL_MACHINE, Settings};
  testing_support::ScopedRegistryKey UserKey_{HKEY_CURRENT_USER, Settings};
  testing_support::ScopedRegistryKey UninstallKey_{HKEY_LOCAL_MACHINE, kUninstallKey};
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
  const int expected = WindowsIs64Bit() && Carries(64) ? 64 : 32;
  ASSERT_TRUE(Carries(expected)) << "the setup carries " DG_SETUP_EDITIONS;
  Install();
  EXPECT_EQ(EditionOf(File("drearigrams.scr")), expected);
  EXPECT_EQ(EditionOf(DataFile("skitplay.exe")), expected);
  // The key is where a program of that edition looks for it.
  std::optional<std::string> player = ReadString(HKEY_LOCAL_MACHINE, Settings, "Player", ViewOf(expected));
  ASSERT_TRUE(player);
  EXPECT_TRUE(SamePath(*player, DataFile("skitplay.exe")));
  EXPECT_TRUE(ReadString(HKEY_LOCAL_MACHINE, kUninstallKey, "DisplayName", ViewOf(expected)));
}

// Only 64-bit Windows has a choice to make: on 32-bit Windows the 32-bit
// edition is what the test above sees installed.
TEST_F(Installer, The32BitEditionOn64BitWindowsKeepsItsKeysWhereA32BitProgramReadsThem) {
  if (!WindowsIs64Bit() || !Carries(32)) GTEST_SKIP() << "needs 64-bit Windows and a setup with both editions";
  ForgetThe32BitView();
  Install("/EDITION=32");
  EXPECT_EQ(EditionOf(File("drearigrams.scr")), 32);
  EXPECT_EQ(EditionOf(DataFile("skitplay.exe")), 32);
  std::optional<std::string> player = ReadString(HKEY_LOCAL_MACHINE, Settings, "Player", KEY_WOW64_32KEY);
  ASSERT_TRUE(player);
  EXPECT_TRUE(SamePath(*player, DataFile("skitplay.exe")));
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
  if (std::string(DG_SETUP_ARM64_TEST_EXE).empty()) GTEST_SKIP() << "this build makes no setup of its own";
  if (!WindowsIs64Bit() || !Carries(32) || !Carries(64)) GTEST_SKIP() << "needs 64-bit Windows and both editions";
  SetupProgram = DG_SETUP_ARM64_TEST_EXE;
  EXPECT_EQ(RunSetup("/EDITION=64"), 2u);
  EXPECT_FALSE(Exists(File("drearigrams.scr")));
  ForgetThe32BitView();
  Install();
  EXPECT_EQ(EditionOf(File("drearigrams.scr")), 32);
  EXPECT_EQ(EditionOf(DataFile("skitplay.exe")), 32);
  std::optional<std::string> player = ReadString(HKEY_LOCAL_MACHINE, Settings, "Player", KEY_WOW64_32KEY);
  ASSERT_TRUE(player);
  EXPECT_TRUE(SamePath(*player, DataFile("skitplay.exe")));
  EXPECT_FALSE(KeyExistsIn(KEY_WOW64_64KEY, Settings));
  Uninstall();
  EXPECT_FALSE(KeyExistsIn(KEY_WOW64_32KEY, Settings));
  ForgetThe32BitView();
}

TEST_F(Installer, AnEditionWindowsCannotRunOrThatDoesNotExistIsRefused) {
  EXPECT_EQ(RunSetup("/EDITION=16"), 2u);
  if (!WindowsIs64Bit()) {
    EXPECT_EQ(RunSetup("/EDITION=64"), 2u);
  }
  EXPECT_FALSE(Exists(File("drearigrams.scr")));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, Settings));
}

TEST_F(Installer, ProgramsGoToTheProgramFolderDataToTheDataFolderAndTheKeyNamesThem) {
  Install();
  for (const char* name : {"drearigrams.scr", "uninstall.exe"}) EXPECT_TRUE(Exists(File(name))) << name;
  for (const char* name : {"skitplay.exe", "drearigrams.pak", "download.log"}) {
    EXPECT_TRUE(Exists(DataFile(name))) << name;
    EXPECT_FALSE(Exists(File(name))) << name;
  }
  for (const std::string& name : Content()) EXPECT_TRUE(Exists(DataFile("skits\\" + name))) << name;
  EXPECT_TRUE(Exists(DataFile("download"), true));
  EXPECT_FALSE(Exists(File("skits"), true));
  EXPECT_FALSE(Exists(File("download"), true));

  EXPECT_TRUE(SamePath(Setting("Player"), DataFile("skitplay.exe")));
  EXPECT_TRUE(SamePath(Setting("SkitsPath"), DataFile("skits")));
  EXPECT_TRUE(SamePath(Setting("OpsFilePath"), DataFile("drearigrams.pak")));
  EXPECT_TRUE(SamePath(Setting("DownloadPath"), DataFile("download")));
  EXPECT_TRUE(SamePath(Setting("LogPath"), DataFile("download.log")));
  EXPECT_TRUE(SamePath(Setting("DataPath"), Data));
  EXPECT_FALSE(Setting("AboutURL").empty());
  // The help page travels once it exists; the value is there either way.
  std::string help = Setting("HelpFilePath");
  if (!help.empty()) {
    EXPECT_TRUE(SamePath(help, File("drearigrams.html")));
    EXPECT_TRUE(Exists(help));
  }

  EXPECT_EQ(ReadString(HKEY_LOCAL_MACHINE, kUninstallKey, "UninstallString"), "\"" + File("uninstall.exe") + "\"");
  EXPECT_EQ(ReadString(HKEY_LOCAL_MACHINE, kUninstallKey, "DisplayName"), "Drearigrams Screensaver");

  // A silent setup chooses no screensaver unless told to; the user's own
  // choices are not written at all.
  std::optional<std::string> current = CurrentScreensaver();
  EXPECT_FALSE(current && SamePath(*current, File("drearigrams.scr")));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, Settings));
}

TEST_F(Installer, TheDataFolderIsInTheCommonApplicationDataFolderByDefault) {
  char common[MAX_PATH];
  ASSERT_EQ(SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, common), S_OK);
  Data = std::string(common) + "\\Drearigrams";
  // Left by nothing else: this prefix is the build's own.
  testing_support::RemoveTree(Data);
  Install({}, false);
  EXPECT_TRUE(SamePath(Setting("DataPath"), Data));
  EXPECT_TRUE(SamePath(Setting("OpsFilePath"), DataFile("drearigrams.pak")));
  EXPECT_TRUE(Exists(DataFile("drearigrams.pak")));
  EXPECT_TRUE(Exists(DataFile("skitplay.exe")));
  Uninstall();
  EXPECT_FALSE(Exists(Data, true));
}

TEST_F(Installer, TheCurrentScreensaverPlaysAnInstalledSkitWithTheInstalledPlayer) {
  Install("/SETCURRENT");
  std::optional<std::string> current = CurrentScreensaver();
  ASSERT_TRUE(current);
  ASSERT_TRUE(SamePath(*current, File("drearigrams.scr"))) << *current;

  // Started from the value, as the desktop does when the computer is idle.
  Screensaver saver(*current, "/s");
  ASSERT_TRUE(saver.Started);
  const std::string player = DataFile("skitplay.exe");
  std::string arguments;
  HWND window = saver.WaitForWindow([&](HWND window, DWORD pid) {
    char name[64];
    GetClassNameA(window, name, sizeof name);
    if (std::string(name) != "DrearigramsSkitPlayer" || !SamePath(ProcessImage(pid), player)) return false;
    // The argument file lives as long as the player plays its skit.
    arguments = ReadFileBytes(DataFile("skitplay.arg"));
    return !arguments.empty();
  });
  ASSERT_NE(window, nullptr) << "no window of " << player;

  std::string skit = ArgumentValue(arguments, "SS_Swf");
  std::string skits = DataFile("skits\\");
  ASSERT_GT(skit.size(), skits.size()) << arguments;
  EXPECT_TRUE(SamePath(skit.substr(0, skits.size() - 1), DataFile("skits"))) << skit;
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
      WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof text, nullptr, nullptr);
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
}

TEST_F(Installer, SilentUninstallLeavesNoneOfItsFilesOrKeys) {
  Install("/SETCURRENT");
  // What the screensaver makes as it runs: the user's choices, a download
  // under way, a skit that came later, the player's argument file, its log.
  UserKey_.SetDword("Sound", 1);
  WriteFileBytes(DataFile("download\\fireflies.skit"), "part");
  WriteFileBytes(DataFile("skits\\fireflies.skit"), "skit 1\r\n");
  WriteFileBytes(DataFile("skitplay.arg"), "SS_Swf=x");
  WriteFileBytes(DataFile("drearigrams.ini"), "[ShellExecute]\r\n");
  WriteFileBytes(DataFile("drearigrams.log"), "line\r\n");
  WriteFileBytes(DataFile("download.log"), "line\r\n");

  Uninstall();
  EXPECT_FALSE(Exists(Folder, true));
  EXPECT_FALSE(Exists(Data, true));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, Settings));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, Settings));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kUninstallKey));
  EXPECT_EQ(CurrentScreensaver(), std::nullopt);
}

TEST_F(Installer, UninstallLeavesAScreensaverChosenSinceAlone) {
  Install("/SETCURRENT");
  const std::string other = "C:\\windows\\system32\\scrnsave.scr";
  SetCurrentScreensaver(other);
  Uninstall();
  EXPECT_EQ(CurrentScreensaver(), other);
}

TEST_F(Installer, InstallingAgainKeepsTheUsersCatalogue) {
  Install();
  std::string ticked = UntickOneSkit();
  ASSERT_FALSE(ticked.empty());
  // The programs and starting skits are written afresh.
  const std::string skit = DataFile("skits\\" + Content().front());
  ASSERT_TRUE(DeleteFileA(DataFile("skitplay.exe").c_str()));
  ASSERT_TRUE(DeleteFileA(skit.c_str()));

  // Without /DATA= the setup keeps the data folder the key names.
  Install({}, false);
  EXPECT_EQ(ReadFileBytes(DataFile("drearigrams.pak")), ticked);
  EXPECT_TRUE(Exists(DataFile("skitplay.exe")));
  EXPECT_TRUE(Exists(skit));
  EXPECT_TRUE(SamePath(Setting("OpsFilePath"), DataFile("drearigrams.pak")));
  EXPECT_TRUE(SamePath(Setting("DataPath"), Data));
}

TEST_F(Installer, KeepSettingsKeepsTheChoicesForTheNextInstallation) {
  Install();
  std::string ticked = UntickOneSkit();
  ASSERT_FALSE(ticked.empty());
  UserKey_.SetDword("Sound", 2);
  UserKey_.SetDword("SyncMethod", 2);
  WriteFileBytes(DataFile("skits\\fireflies.skit"), "skit 1\r\n");

  Uninstall("/KEEPSETTINGS");
  // The programs and the installation key are gone ...
  EXPECT_FALSE(Exists(File("drearigrams.scr")));
  EXPECT_FALSE(Exists(File("uninstall.exe")));
  EXPECT_FALSE(Exists(DataFile("skitplay.exe")));
  EXPECT_FALSE(Exists(DataFile("download"), true));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, Settings));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kUninstallKey));
  // ... the user's choices, ticks and skits stay ...
  DWORD sound = 0, sync = 0;
  EXPECT_TRUE(UserKey_.GetDword("Sound", sound));
  EXPECT_TRUE(UserKey_.GetDword("SyncMethod", sync));
  EXPECT_EQ(sound, 2u);
  EXPECT_EQ(sync, 2u);
  EXPECT_EQ(ReadFileBytes(DataFile("drearigrams.pak")), ticked);
  EXPECT_TRUE(Exists(DataFile("skits\\fireflies.skit")));

  // ... and the next installation takes them up.
  Install();
  EXPECT_EQ(ReadFileBytes(DataFile("drearigrams.pak")), ticked);
  EXPECT_TRUE(UserKey_.GetDword("Sound", sound));
  EXPECT_EQ(sound, 2u);
}

// An installation made by the earlier setup kept everything in one folder:
// the programs, the player, the catalogue, the skits, the download folder and
// log, and what the programs wrote beside themselves; its key named that
// folder. It is made here from a fresh installation, file by file and value
// by value as the earlier setup left it, with a skit unticked and one more
// downloaded, then upgraded by running the setup again.
TEST_F(Installer, AnInstallationOfTheOneFolderLayoutIsUpgradedInPlace) {
  Install();
  const std::string ticked = UntickOneSkit();
  ASSERT_FALSE(ticked.empty());
  auto move = [&](const std::string& name) {
    ASSERT_TRUE(MoveFileA(DataFile(name).c_str(), File(name).c_str())) << name;
  };
  for (const char* name : {"drearigrams.pak", "skits", "download", "skitplay.exe", "download.log"}) move(name);
  WriteFileBytes(File("skits\\fireflies.skit"), "skit 1\r\n");
  WriteFileBytes(File("download\\kites.skit"), "part");
  WriteFileBytes(File("download.log"), "an earlier download\r\n");
  WriteFileBytes(File("skitplay.arg"), "SS_Swf=x");
  WriteFileBytes(File("drearigrams.ini"), "[ShellExecute]\r\n");
  WriteFileBytes(File("drearigrams.log"), "line\r\n");
  testing_support::RemoveTree(Data);
  MachineKey_.SetString("Player", File("skitplay.exe"));
  MachineKey_.SetString("SkitsPath", File("skits"));
  MachineKey_.SetString("OpsFilePath", File("drearigrams.pak"));
  MachineKey_.SetString("DownloadPath", File("download"));
  MachineKey_.SetString("HelpFilePath", File("drearigrams.hlp"));
  MachineKey_.SetString("LogPath", File("download.log"));
  MachineKey_.SetString("AboutURL", "http://old.example/");
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, Settings.c_str(), 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
  RegDeleteValueA(key, "DataPath");
  RegCloseKey(key);

  Install();
  // The user's data moved, unchanged ...
  EXPECT_EQ(ReadFileBytes(DataFile("drearigrams.pak")), ticked);
  EXPECT_TRUE(Exists(DataFile("skits\\fireflies.skit")));
  for (const std::string& name : Content()) EXPECT_TRUE(Exists(DataFile("skits\\" + name))) << name;
  EXPECT_EQ(ReadFileBytes(DataFile("download.log")), "an earlier download\r\n");
  EXPECT_TRUE(Exists(DataFile("skitplay.exe")));
  EXPECT_TRUE(Exists(DataFile("download"), true));
  // ... nothing of it, and nothing a user could write, stays beside the programs ...
  for (const char* name : {"drearigrams.pak", "download.log", "skitplay.exe", "skitplay.exe.new", "skitplay.arg",
                           "drearigrams.ini", "drearigrams.log"})
    EXPECT_FALSE(Exists(File(name))) << name;
  EXPECT_FALSE(Exists(File("skits"), true));
  EXPECT_FALSE(Exists(File("download"), true));
  // ... and every value of the key names the new places.
  EXPECT_TRUE(SamePath(Setting("Player"), DataFile("skitplay.exe")));
  EXPECT_TRUE(SamePath(Setting("SkitsPath"), DataFile("skits")));
  EXPECT_TRUE(SamePath(Setting("OpsFilePath"), DataFile("drearigrams.pak")));
  EXPECT_TRUE(SamePath(Setting("DownloadPath"), DataFile("download")));
  EXPECT_TRUE(SamePath(Setting("LogPath"), DataFile("download.log")));
  EXPECT_TRUE(SamePath(Setting("DataPath"), Data));
  EXPECT_NE(Setting("HelpFilePath"), File("drearigrams.hlp"));
  EXPECT_NE(Setting("AboutURL"), "http://old.example/");

  // The upgraded installation works: the settings list the moved catalogue's skits.
  std::vector<std::string> titles = SkitTitles();
  EXPECT_FALSE(titles.empty());
}

// Both places hold a catalogue: the data folder's is the one in use, and the
// old one is kept beside it rather than lost.
TEST_F(Installer, AnOldCatalogueBesideTheProgramsDoesNotReplaceTheDataFoldersOne) {
  Install();
  const std::string ticked = UntickOneSkit();
  ASSERT_FALSE(ticked.empty());
  WriteFileBytes(File("drearigrams.pak"), "an old catalogue");
  Install();
  EXPECT_EQ(ReadFileBytes(DataFile("drearigrams.pak")), ticked);
  EXPECT_EQ(ReadFileBytes(DataFile("drearigrams.pak.old")), "an old catalogue");
  EXPECT_FALSE(Exists(File("drearigrams.pak")));
  Uninstall();
  EXPECT_FALSE(Exists(Data, true));
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

}  // namespace

// Wine keeps no rights on files, so an installation under it cannot show
// them: the setup script is read instead, the rights it names are read as
// the system reads them, and the places it gives them to are checked.
TEST(InstallerRights, ProgramsAreTheAdministratorsAndDataTheUsers) {
  const std::string script = ReadFileBytes(DG_SOURCE_DIR "/installer/drearigrams.nsi");
  ASSERT_FALSE(script.empty());
  auto defined = [&](const std::string& name) {
    std::smatch match;
    std::regex definition("!define " + name + " \"([^\"]+)\"");
    return std::regex_search(script, match, definition) ? match[1].str() : std::string();
  };
  const Rights programs = ReadRights(defined("PROGRAM_FOLDER_ACL"));
  const Rights data = ReadRights(defined("DATA_FOLDER_ACL"));
  const Rights player = ReadRights(defined("PROGRAM_FILE_ACL"));

  for (const Rights* rights : {&programs, &data, &player}) {
    EXPECT_TRUE(rights->Protected);
    EXPECT_TRUE(rights->OwnedByAdministrators);
    EXPECT_FALSE(rights->AnyDenied);
    for (const char* sid : {kAdministrators, kSystem}) {
      auto found = rights->Allowed.find(sid);
      EXPECT_TRUE(found != rights->Allowed.end() && (found->second & FILE_ALL_ACCESS) == FILE_ALL_ACCESS) << sid;
    }
    // Nobody else is named.
    EXPECT_EQ(rights->Allowed.size(), 3u);
  }
  // Users read and run the programs and the player, and change nothing of them.
  for (const Rights* rights : {&programs, &player}) {
    ACCESS_MASK users = rights->Allowed.count(kUsers) ? rights->Allowed.at(kUsers) : 0;
    EXPECT_EQ(users & kReadAndRun, kReadAndRun);
    EXPECT_EQ(users & kChange, 0u) << std::hex << users;
  }
  // In the data folder they create files and folders and change and delete
  // them, but may not delete what their rights do not allow (the player),
  // nor change anybody's rights.
  ACCESS_MASK users = data.Allowed.count(kUsers) ? data.Allowed.at(kUsers) : 0;
  for (ACCESS_MASK right : std::initializer_list<ACCESS_MASK>{FILE_ADD_FILE, FILE_ADD_SUBDIRECTORY, FILE_WRITE_DATA,
                                                              DELETE, FILE_GENERIC_READ})
    EXPECT_EQ(users & right, right) << std::hex << right;
  EXPECT_EQ(users & (FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER | GENERIC_ALL), 0u) << std::hex << users;
  EXPECT_TRUE(programs.AllInherit);
  EXPECT_TRUE(data.AllInherit);

  // Each goes where it belongs, and the player lies where the key says.
  for (const char* use : {R"(!insertmacro DG_SET_ACL "$INSTDIR" "${PROGRAM_FOLDER_ACL}")",
                          R"(!insertmacro DG_SET_ACL "$DATADIR" "${DATA_FOLDER_ACL}")",
                          R"(!insertmacro DG_SET_ACL "$DATADIR\skitplay.exe" "${PROGRAM_FILE_ACL}")",
                          R"(WriteRegStr HKLM "${SETTINGS_KEY}" "Player" "$DATADIR\skitplay.exe")"})
    EXPECT_NE(script.find(use), std::string::npos) << use;
  // A folder moved in from the program folder keeps the rights it had there
  // until the data folder's are given again, after the move.
  size_t upgrade = script.find("  !insertmacro DG_UPGRADE_ONE_FOLDER_LAYOUT\n");
  ASSERT_NE(upgrade, std::string::npos);
  EXPECT_NE(script.find(R"(!insertmacro DG_SET_ACL "$DATADIR" "${DATA_FOLDER_ACL}")", upgrade), std::string::npos);
}
