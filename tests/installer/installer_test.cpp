// The built DrearigramsSetup.exe under Wine, as an administrator would use
// it: a silent installation into a folder of the build tree, the screensaver
// started from that installation the way the desktop starts it, a silent
// uninstallation, and installing again over an installation in use.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <sstream>
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
constexpr char kPlayerClass[] = "DrearigramsSkitPlayer";

class Handle {
 public:
  explicit Handle(HANDLE h = nullptr) : H_(h) {}
  ~Handle() {
    if (H_ != nullptr && H_ != INVALID_HANDLE_VALUE) CloseHandle(H_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE Get() const { return H_; }

 private:
  HANDLE H_;
};

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::stringstream stream(text);
  for (std::string part; std::getline(stream, part, separator);)
    if (!part.empty()) parts.push_back(part);
  return parts;
}

bool FileExists(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool FolderExists(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The long form of a path, so that a short name and a long one compare.
std::string LongPath(const std::string& path) {
  char buffer[MAX_PATH * 2];
  DWORD n = GetLongPathNameA(path.c_str(), buffer, sizeof buffer);
  return n > 0 && n < sizeof buffer ? std::string(buffer, n) : path;
}

bool SamePath(const std::string& a, const std::string& b) {
  return lstrcmpiA(LongPath(a).c_str(), LongPath(b).c_str()) == 0;
}

bool KeyExists(HKEY root, const std::string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

bool ReadString(HKEY root, const std::string& path, const std::string& name, std::string& value) {
  char buffer[1024];
  DWORD size = sizeof buffer;
  if (RegGetValueA(root, path.c_str(), name.c_str(), RRF_RT_REG_SZ, nullptr, buffer, &size) != ERROR_SUCCESS)
    return false;
  value.assign(buffer, size > 0 ? size - 1 : 0);
  return true;
}

bool ReadDword(HKEY root, const std::string& path, const std::string& name, DWORD& value) {
  DWORD size = sizeof value;
  return RegGetValueA(root, path.c_str(), name.c_str(), RRF_RT_REG_DWORD, nullptr, &value, &size) == ERROR_SUCCESS;
}

void WriteValue(HKEY root, const std::string& path, const std::string& name, const std::string* text,
                DWORD number = 0) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), ERROR_SUCCESS);
  if (text != nullptr)
    RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text->c_str()),
                   static_cast<DWORD>(text->size() + 1));
  else
    RegSetValueExA(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
  RegCloseKey(key);
}

std::string ProcessImage(DWORD processId) {
  Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
  if (process.Get() == nullptr) return {};
  char buffer[MAX_PATH * 2];
  DWORD size = sizeof buffer;
  if (!QueryFullProcessImageNameA(process.Get(), 0, buffer, &size)) return {};
  return std::string(buffer, size);
}

std::string JobProcesses(HANDLE job) {
  struct {
    JOBOBJECT_BASIC_PROCESS_ID_LIST List;
    ULONG_PTR More[63];
  } ids{};
  ids.List.NumberOfAssignedProcesses = 64;
  std::string text;
  if (QueryInformationJobObject(job, JobObjectBasicProcessIdList, &ids, sizeof ids, nullptr)) {
    for (DWORD i = 0; i < ids.List.NumberOfProcessIdsInList; ++i)
      text += " " + ProcessImage(static_cast<DWORD>(ids.List.ProcessIdList[i]));
  }
  return text;
}

struct RunResult {
  bool Finished = false;
  DWORD ExitCode = 1;
};

// Runs a command line and waits, within a bound, until it and every process
// it started have ended: the uninstaller hands its work to a copy of itself
// in the temporary folder and leaves at once. Standard output goes to the
// file `output` when one is named.
RunResult RunToTheEnd(const std::string& command, const std::string& output = {}) {
  RunResult result;
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
    return result;
  }
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  Handle out(output.empty() ? nullptr
                            : CreateFileA(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  if (out.Get() != nullptr) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out.Get();
    startup.hStdError = out.Get();
  }
  PROCESS_INFORMATION info{};
  std::string line = command;
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, out.Get() != nullptr, CREATE_SUSPENDED, nullptr,
                      nullptr, &startup, &info)) {
    ADD_FAILURE() << "cannot start " << command << ": error " << GetLastError();
    return result;
  }
  Handle process(info.hProcess);
  Handle thread(info.hThread);
  AssignProcessToJobObject(job.Get(), info.hProcess);
  ResumeThread(info.hThread);

  const DWORD start = GetTickCount();
  auto remaining = [&] {
    DWORD spent = GetTickCount() - start;
    return spent < kRunLimit ? kRunLimit - spent : 0;
  };
  if (WaitForSingleObject(info.hProcess, kRunLimit) != WAIT_OBJECT_0) {
    TerminateJobObject(job.Get(), 1);
    ADD_FAILURE() << command << " did not end";
    return result;
  }
  GetExitCodeProcess(info.hProcess, &result.ExitCode);
  for (;;) {
    DWORD message = 0;
    ULONG_PTR key = 0;
    LPOVERLAPPED data = nullptr;
    if (!GetQueuedCompletionStatus(port.Get(), &message, &key, &data, remaining())) {
      ADD_FAILURE() << "processes started by " << command << " did not end:" << JobProcesses(job.Get());
      TerminateJobObject(job.Get(), 1);
      return result;
    }
    if (message == JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO) break;
  }
  result.Finished = true;
  return result;
}

// A visible top-level window of the process, of the class given or (with an
// empty class) any but the application window.
HWND WindowOf(DWORD processId, const std::string& className) {
  struct Search {
    DWORD Process;
    const std::string* Class;
    HWND Found;
  } search{processId, &className, nullptr};
  EnumWindows(
      [](HWND window, LPARAM param) -> BOOL {
        auto* s = reinterpret_cast<Search*>(param);
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        char cls[64];
        GetClassNameA(window, cls, sizeof cls);
        bool wanted = s->Class->empty() ? std::string(cls) != "TApplication" : *s->Class == cls;
        if (pid == s->Process && wanted && IsWindowVisible(window)) {
          s->Found = window;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.Found;
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

  // Waits, within a bound, for a window of the class in any process for
  // which accept(window, process id) holds; a screensaver that ends first
  // ends the wait.
  template <typename Accept>
  HWND WaitForWindow(const std::string& className, Accept accept) const {
    for (DWORD waited = 0; waited < kWindowLimit; waited += 50) {
      HWND found = nullptr;
      HWND window = nullptr;
      while (found == nullptr && (window = FindWindowExA(nullptr, window, className.c_str(), nullptr)) != nullptr) {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        if (IsWindowVisible(window) && accept(window, pid)) found = window;
      }
      if (found != nullptr) return found;
      if (WaitForSingleObject(Info.hProcess, 50) != WAIT_TIMEOUT) return nullptr;
    }
    return nullptr;
  }

  HWND WaitForForm() const {
    for (DWORD waited = 0; waited < kWindowLimit; waited += 50) {
      if (HWND form = WindowOf(Info.dwProcessId, "")) return form;
      if (WaitForSingleObject(Info.hProcess, 50) != WAIT_TIMEOUT) return nullptr;
    }
    return nullptr;
  }

  // Closes the form as the desktop's user would end it; true when the
  // program has ended.
  bool Close() const {
    if (WaitForSingleObject(Info.hProcess, 0) != WAIT_TIMEOUT) return true;
    if (HWND form = WindowOf(Info.dwProcessId, "")) PostMessageA(form, WM_CLOSE, 0, 0);
    return WaitForSingleObject(Info.hProcess, kWindowLimit) == WAIT_OBJECT_0;
  }

  bool Started = false;
  PROCESS_INFORMATION Info{};
};

// The argument file's value of `name`, percent-decoded.
std::string ArgumentValue(const std::string& arguments, const std::string& name) {
  for (const std::string& pair : Split(arguments, '&')) {
    if (pair.compare(0, name.size() + 1, name + "=") != 0) continue;
    std::string value;
    for (size_t i = name.size() + 1; i < pair.size(); ++i) {
      if (pair[i] == '%' && i + 2 < pair.size()) {
        value += static_cast<char>(std::stoi(pair.substr(i + 1, 2), nullptr, 16));
        i += 2;
      } else {
        value += pair[i];
      }
    }
    return value;
  }
  return {};
}

class Installer : public ::testing::Test {
 protected:
  Installer() {
    // A blank in the folder's name, as under Program Files.
    Folder = Dir_.Path() + "\\Drearigrams Saver";
    Saved_ = ReadString(HKEY_CURRENT_USER, kDesktopKey, "SCRNSAVE.EXE", SavedScreensaver_);
  }
  ~Installer() override {
    if (FileExists(File("uninstall.exe"))) RunToTheEnd(Uninstaller());
    HKEY desktop = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kDesktopKey, 0, KEY_SET_VALUE, &desktop) == ERROR_SUCCESS) {
      if (Saved_)
        RegSetValueExA(desktop, "SCRNSAVE.EXE", 0, REG_SZ, reinterpret_cast<const BYTE*>(SavedScreensaver_.c_str()),
                       static_cast<DWORD>(SavedScreensaver_.size() + 1));
      else
        RegDeleteValueA(desktop, "SCRNSAVE.EXE");
      RegCloseKey(desktop);
    }
  }

  std::string File(const std::string& name) const { return Folder + "\\" + name; }
  std::string Uninstaller() const { return "\"" + File("uninstall.exe") + "\" /S"; }

  // NSIS takes the folder as the last argument, unquoted, blanks and all.
  void Install(const std::string& switches = {}) {
    RunResult run = RunToTheEnd("\"" DG_SETUP_EXE "\" /S " + switches + (switches.empty() ? "" : " ") + "/D=" + Folder);
    ASSERT_TRUE(run.Finished);
    ASSERT_EQ(run.ExitCode, 0u);
    ASSERT_TRUE(FileExists(File("drearigrams.scr")));
  }

  void Uninstall(const std::string& switches = {}) {
    RunResult run = RunToTheEnd(Uninstaller() + (switches.empty() ? "" : " ") + switches);
    ASSERT_TRUE(run.Finished);
    ASSERT_EQ(run.ExitCode, 0u);
  }

  std::string Setting(const std::string& name) const {
    std::string value;
    EXPECT_TRUE(ReadString(HKEY_LOCAL_MACHINE, Settings, name, value)) << name;
    return value;
  }

  // Runs paktool on the installed catalogue; what it prints goes to `output`.
  void Paktool(const std::string& arguments, const std::string& output = {}) {
    RunResult run = RunToTheEnd("\"" DG_PAKTOOL_EXE "\" " + arguments, output);
    ASSERT_TRUE(run.Finished);
    ASSERT_EQ(run.ExitCode, 0u) << arguments << "\n" << (output.empty() ? "" : ReadFileBytes(output));
  }

  // Unticks the first ticked skit of the installed catalogue, as the
  // settings dialog would; returns the catalogue's new bytes.
  std::string UntickOneSkit() {
    std::string json = Dir_.File("catalogue.json");
    Paktool("catalog show \"" + File("drearigrams.pak") + "\" --json", json);
    std::string text = ReadFileBytes(json);
    size_t at = text.find("\"selection\": \"on\"");
    EXPECT_NE(at, std::string::npos);
    if (at == std::string::npos) return {};
    text.replace(at, 17, "\"selection\": \"none\"");
    WriteFileBytes(json, text);
    Paktool("catalog build \"" + json + "\" \"" + File("drearigrams.pak") + "\"", Dir_.File("build.txt"));
    return ReadFileBytes(File("drearigrams.pak"));
  }

  // The titles of the regular skits in the installed catalogue.
  std::vector<std::string> SkitTitles() {
    std::string json = Dir_.File("titles.json");
    Paktool("catalog show \"" + File("drearigrams.pak") + "\" --json", json);
    std::string text = ReadFileBytes(json);
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

  static std::vector<std::string> Content() { return Split(DG_INSTALLED_CONTENT, ','); }

  const std::string Settings = SettingsKeyFor("drearigrams");
  std::string Folder;

 private:
  testing_support::TempDir Dir_;
  // Nothing of an earlier run may linger, and nothing of this one is left.
  testing_support::ScopedRegistryKey MachineKey_{HKEY_LOCAL_MACHINE, SettingsKeyFor("drearigrams")};
  testing_support::ScopedRegistryKey UserKey_{HKEY_CURRENT_USER, SettingsKeyFor("drearigrams")};
  testing_support::ScopedRegistryKey UninstallKey_{HKEY_LOCAL_MACHINE, kUninstallKey};
  bool Saved_ = false;
  std::string SavedScreensaver_;
};

}  // namespace

TEST_F(Installer, SilentInstallPutsEverythingInTheFolderAndTheKeyPointsThere) {
  Install();
  for (const char* name : {"drearigrams.scr", "skitplay.exe", "drearigrams.pak", "download.log", "uninstall.exe"})
    EXPECT_TRUE(FileExists(File(name))) << name;
  for (const std::string& name : Content()) EXPECT_TRUE(FileExists(File("skits\\" + name))) << name;
  EXPECT_TRUE(FolderExists(File("download")));

  EXPECT_TRUE(SamePath(Setting("Player"), File("skitplay.exe")));
  EXPECT_TRUE(SamePath(Setting("SkitsPath"), File("skits")));
  EXPECT_TRUE(SamePath(Setting("OpsFilePath"), File("drearigrams.pak")));
  EXPECT_TRUE(SamePath(Setting("DownloadPath"), File("download")));
  EXPECT_TRUE(SamePath(Setting("LogPath"), File("download.log")));
  EXPECT_FALSE(Setting("AboutURL").empty());
  // The help page travels once it exists; the value is there either way.
  std::string help = Setting("HelpFilePath");
  if (!help.empty()) {
    EXPECT_TRUE(SamePath(help, File("drearigrams.html")));
    EXPECT_TRUE(FileExists(help));
  }

  std::string uninstall;
  ASSERT_TRUE(ReadString(HKEY_LOCAL_MACHINE, kUninstallKey, "UninstallString", uninstall));
  EXPECT_EQ(uninstall, "\"" + File("uninstall.exe") + "\"");
  std::string name;
  EXPECT_TRUE(ReadString(HKEY_LOCAL_MACHINE, kUninstallKey, "DisplayName", name));
  EXPECT_EQ(name, "Drearigrams Screensaver");

  // A silent setup chooses no screensaver unless told to; the user's own
  // choices are not written at all.
  std::string current;
  ReadString(HKEY_CURRENT_USER, kDesktopKey, "SCRNSAVE.EXE", current);
  EXPECT_FALSE(!current.empty() && SamePath(current, File("drearigrams.scr")));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, Settings));
}

TEST_F(Installer, TheCurrentScreensaverPlaysAnInstalledSkitWithTheInstalledPlayer) {
  Install("/SETCURRENT");
  std::string current;
  ASSERT_TRUE(ReadString(HKEY_CURRENT_USER, kDesktopKey, "SCRNSAVE.EXE", current));
  ASSERT_TRUE(SamePath(current, File("drearigrams.scr"))) << current;

  // Started from the value, as the desktop does when the computer is idle.
  Screensaver saver(current, "/s");
  ASSERT_TRUE(saver.Started);
  const std::string player = File("skitplay.exe");
  std::string arguments;
  HWND window = saver.WaitForWindow(kPlayerClass, [&](HWND, DWORD pid) {
    if (!SamePath(ProcessImage(pid), player)) return false;
    // The argument file lives as long as the player plays its skit.
    arguments = ReadFileBytes(File("skitplay.arg"));
    return !arguments.empty();
  });
  ASSERT_NE(window, nullptr) << "no player window from " << player;

  std::string skit = ArgumentValue(arguments, "SS_Swf");
  std::string skits = File("skits\\");
  ASSERT_GT(skit.size(), skits.size()) << arguments;
  EXPECT_TRUE(SamePath(skit.substr(0, skits.size() - 1), File("skits"))) << skit;
  EXPECT_TRUE(FileExists(skit)) << skit;
  std::string name = skit.substr(skits.size());
  std::vector<std::string> content = Content();
  EXPECT_NE(std::find(content.begin(), content.end(), name), content.end()) << name;

  DWORD playerProcess = 0;
  GetWindowThreadProcessId(window, &playerProcess);
  Handle playerHandle(OpenProcess(SYNCHRONIZE, FALSE, playerProcess));
  EXPECT_TRUE(saver.Close());
  if (playerHandle.Get() != nullptr) {
    EXPECT_EQ(WaitForSingleObject(playerHandle.Get(), kWindowLimit), static_cast<DWORD>(WAIT_OBJECT_0));
  }
}

TEST_F(Installer, ConfigureModeOpensItsFormOnTheInstallation) {
  Install();
  std::vector<std::string> titles = SkitTitles();
  ASSERT_FALSE(titles.empty());
  Screensaver settings(File("drearigrams.scr"), "/c");
  ASSERT_TRUE(settings.Started);
  HWND form = settings.WaitForForm();
  ASSERT_NE(form, nullptr);
  // No message box about a missing or broken installation took its place.
  char cls[64];
  GetClassNameA(form, cls, sizeof cls);
  EXPECT_STRNE(cls, "#32770");

  // Where the form has a skit list, it names every installed skit.
  HWND list = nullptr;
  EnumChildWindows(
      form,
      [](HWND child, LPARAM param) -> BOOL {
        char name[32];
        GetClassNameA(child, name, sizeof name);
        if (lstrcmpiA(name, "ListBox") != 0) return TRUE;
        *reinterpret_cast<HWND*>(param) = child;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&list));
  if (list != nullptr) {
    std::vector<std::string> items;
    for (DWORD waited = 0; waited < kWindowLimit; waited += 50) {
      LRESULT count = SendMessageA(list, LB_GETCOUNT, 0, 0);
      if (count >= static_cast<LRESULT>(titles.size())) {
        // Asked in wide characters: an ANSI request from another process
        // does not get its text converted under Wine.
        for (LRESULT i = 0; i < count; ++i) {
          wchar_t wide[512] = {};
          if (SendMessageW(list, LB_GETTEXTLEN, i, 0) < static_cast<LRESULT>(std::size(wide)))
            SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(wide));
          char text[1024] = {};
          WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof text, nullptr, nullptr);
          items.push_back(text);
        }
        break;
      }
      WaitForSingleObject(settings.Info.hProcess, 50);
    }
    for (const std::string& title : titles) {
      bool listed = std::any_of(items.begin(), items.end(),
                                [&](const std::string& item) { return item.find(title) != std::string::npos; });
      EXPECT_TRUE(listed) << title;
    }
  }
  EXPECT_TRUE(settings.Close());
}

TEST_F(Installer, SilentUninstallLeavesNoneOfItsFilesOrKeys) {
  Install("/SETCURRENT");
  // What the screensaver makes as it runs: the user's choices, a download
  // under way, a skit that came later, the player's argument file, its log.
  WriteValue(HKEY_CURRENT_USER, Settings, "Sound", nullptr, 1);
  WriteFileBytes(File("download\\fireflies.skit"), "part");
  WriteFileBytes(File("skits\\fireflies.skit"), "skit 1\r\n");
  WriteFileBytes(File("skitplay.arg"), "SS_Swf=x");
  WriteFileBytes(File("drearigrams.log"), "line\r\n");
  WriteFileBytes(File("download.log"), "line\r\n");

  Uninstall();
  EXPECT_FALSE(FolderExists(Folder));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, Settings));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, Settings));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kUninstallKey));
  std::string current;
  EXPECT_FALSE(ReadString(HKEY_CURRENT_USER, kDesktopKey, "SCRNSAVE.EXE", current)) << current;
}

TEST_F(Installer, UninstallLeavesAScreensaverChosenSinceAlone) {
  Install("/SETCURRENT");
  const std::string other = "C:\\windows\\system32\\scrnsave.scr";
  WriteValue(HKEY_CURRENT_USER, kDesktopKey, "SCRNSAVE.EXE", &other);
  Uninstall();
  std::string current;
  EXPECT_TRUE(ReadString(HKEY_CURRENT_USER, kDesktopKey, "SCRNSAVE.EXE", current));
  EXPECT_EQ(current, other);
}

TEST_F(Installer, InstallingAgainKeepsTheUsersCatalogue) {
  Install();
  std::string ticked = UntickOneSkit();
  ASSERT_FALSE(ticked.empty());
  // The programs and starting skits are written afresh.
  ASSERT_TRUE(DeleteFileA(File("skitplay.exe").c_str()));
  ASSERT_TRUE(DeleteFileA(File(("skits\\" + Content().front()).c_str()).c_str()));

  Install();
  EXPECT_EQ(ReadFileBytes(File("drearigrams.pak")), ticked);
  EXPECT_TRUE(FileExists(File("skitplay.exe")));
  EXPECT_TRUE(FileExists(File("skits\\" + Content().front())));
  EXPECT_TRUE(SamePath(Setting("OpsFilePath"), File("drearigrams.pak")));
}

TEST_F(Installer, KeepSettingsKeepsTheChoicesForTheNextInstallation) {
  Install();
  std::string ticked = UntickOneSkit();
  ASSERT_FALSE(ticked.empty());
  WriteValue(HKEY_CURRENT_USER, Settings, "Sound", nullptr, 2);
  WriteValue(HKEY_CURRENT_USER, Settings, "SyncMethod", nullptr, 2);
  WriteFileBytes(File("skits\\fireflies.skit"), "skit 1\r\n");

  Uninstall("/KEEPSETTINGS");
  // The programs and the installation key are gone ...
  EXPECT_FALSE(FileExists(File("drearigrams.scr")));
  EXPECT_FALSE(FileExists(File("uninstall.exe")));
  EXPECT_FALSE(FolderExists(File("download")));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, Settings));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kUninstallKey));
  // ... the user's choices, ticks and skits stay ...
  DWORD sound = 0, sync = 0;
  EXPECT_TRUE(ReadDword(HKEY_CURRENT_USER, Settings, "Sound", sound));
  EXPECT_TRUE(ReadDword(HKEY_CURRENT_USER, Settings, "SyncMethod", sync));
  EXPECT_EQ(sound, 2u);
  EXPECT_EQ(sync, 2u);
  EXPECT_EQ(ReadFileBytes(File("drearigrams.pak")), ticked);
  EXPECT_TRUE(FileExists(File("skits\\fireflies.skit")));

  // ... and the next installation takes them up.
  Install();
  EXPECT_EQ(ReadFileBytes(File("drearigrams.pak")), ticked);
  EXPECT_TRUE(ReadDword(HKEY_CURRENT_USER, Settings, "Sound", sound));
  EXPECT_EQ(sound, 2u);
}
