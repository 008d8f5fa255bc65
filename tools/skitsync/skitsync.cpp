// A fetch runs the screensaver's own worker: a hidden window on this thread
// receives WM_DOWNLOAD_DONE while the loop below pumps messages and shows
// the module's progress figures. Ctrl+C arrives on a thread of the system's;
// it stops the worker, which then ends the transfer as cancelled.
#include "tools/skitsync/skitsync.h"

#include <windows.h>

#include <iostream>
#include <mutex>
#include <string>

#include "base/errors.h"
#include "base/settings.h"
#include "download/comm.h"
#include "forms/application.h"

namespace {

const char kUsage[] =
    "usage: skitsync fetch URL FILE [--log FILE]\n"
    "  fetch   download URL into FILE as the screensaver does, and write the\n"
    "          download-log line to the installation's LogPath (or --log FILE)\n";
// The screensaver's file name, which names its settings key.
const char kInstallationProgram[] = "drearigrams";
const char kApplicationTitle[] = "Drearigrams Screensaver";
const char kWindowClass[] = "SkitsyncNotify";
constexpr DWORD kProgressInterval = 250;  // ms between progress lines

struct FetchCommand {
  std::string URL;
  std::string File;
  std::string LogFile;
};

int BadUsage(std::ostream& err, const std::string& complaint) {
  err << "skitsync: " << complaint << "\n" << kUsage;
  return SKITSYNC_BAD_USAGE;
}

std::string FullPath(const std::string& path) {
  char full[MAX_PATH * 2];
  DWORD n = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
  return n > 0 && n < sizeof full ? std::string(full, n) : path;
}

std::string FileNameOf(const std::string& path) {
  size_t slash = path.find_last_of("\\/:");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The worker Ctrl+C stops; null outside a transfer.
std::mutex ActiveLock;
cThread_Comm* ActiveWorker = nullptr;

BOOL WINAPI OnConsoleControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  std::lock_guard<std::mutex> hold(ActiveLock);
  if (ActiveWorker == nullptr) return FALSE;
  ActiveWorker->Stop();
  return TRUE;
}

// Registers the worker for Ctrl+C while it lives.
class CtrlCStopsWorker {
 public:
  explicit CtrlCStopsWorker(cThread_Comm& worker) {
    {
      std::lock_guard<std::mutex> hold(ActiveLock);
      ActiveWorker = &worker;
    }
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  }
  ~CtrlCStopsWorker() {
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    std::lock_guard<std::mutex> hold(ActiveLock);
    ActiveWorker = nullptr;
  }
  CtrlCStopsWorker(const CtrlCStopsWorker&) = delete;
  CtrlCStopsWorker& operator=(const CtrlCStopsWorker&) = delete;
};

// A message-only window that only has to exist: the loop takes its messages.
class NotifyWindow {
 public:
  NotifyWindow() {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = kWindowClass;
    RegisterClassA(&wc);
    Handle = CreateWindowExA(0, kWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
  }
  ~NotifyWindow() {
    if (Handle != nullptr) DestroyWindow(Handle);
  }
  NotifyWindow(const NotifyWindow&) = delete;
  NotifyWindow& operator=(const NotifyWindow&) = delete;

  HWND Handle = nullptr;
};

// "name: 12345 of 20000 bytes (61%)", or without a total "name: 12345 bytes".
std::string ProgressText(const TDataModule_Comm& module) {
  int32_t received = module.GetBytesReceived();
  int32_t total = module.GetBytesTotal();
  std::string text = module.GetItemName() + ": " + std::to_string(received);
  if (total > 0) {
    long long percent = static_cast<long long>(received) * 100 / total;
    text += " of " + std::to_string(total) + " bytes (" + std::to_string(percent) + "%)";
  } else {
    text += " bytes";
  }
  return text;
}

class ProgressLine {
 public:
  ProgressLine(std::ostream& out, bool console) : Out_(out), Console_(console) {}
  void Show(const std::string& text) {
    if (text == Last_) return;
    if (Console_) {
      // Blanks wipe what a longer previous line left behind.
      std::string padded = text;
      if (padded.size() < Last_.size()) padded.append(Last_.size() - padded.size(), ' ');
      Out_ << "\r" << padded << std::flush;
    } else {
      Out_ << text << "\n";
    }
    Last_ = text;
  }
  void End() {
    if (Console_ && !Last_.empty()) Out_ << "\n";
  }

 private:
  std::ostream& Out_;
  bool Console_;
  std::string Last_;
};

bool WritesToConsole(const std::ostream& out) {
  DWORD mode;
  return &out == &std::cout && GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode);
}

int Fetch(const FetchCommand& command, std::ostream& out, std::ostream& err) {
  std::string logFile = command.LogFile.empty() ? InstallationLogPath() : FullPath(command.LogFile);
  if (logFile.empty()) {
    return BadUsage(err, "the installation has no LogPath setting (HKLM\\" + SettingsKeyFor(kInstallationProgram) +
                             "); name the log with --log FILE");
  }
  std::string file = FullPath(command.File);

  // The process-wide state the worker relies on, as the screensaver sets it up.
  cSettings settings;
  settings.LogPath = logFile;
  forms::Application.SetTitle(kApplicationTitle);

  NotifyWindow window;
  if (window.Handle == nullptr) {
    err << "skitsync: cannot create the notification window: " << LastErrorText() << "\n";
    return SKITSYNC_FAILED;
  }
  cThread_Comm worker;
  TDataModule_Comm& module = *worker.DataModule();
  CtrlCStopsWorker ctrlC(worker);
  ProgressLine progress(out, WritesToConsole(out));

  worker.StartDownload(command.URL, file, FileNameOf(file), "1 of 1", window.Handle, WM_DOWNLOAD_DONE, 0);
  LPARAM result = -1;
  while (result == -1) {
    MSG msg;
    while (result == -1 && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.hwnd == window.Handle && msg.message == WM_DOWNLOAD_DONE) {
        result = msg.lParam;
      } else {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
      }
    }
    if (result != -1) break;
    // Idle with no message queued: the worker never started.
    if (worker.WaitUntilIdle(0) && !PeekMessageA(&msg, window.Handle, WM_DOWNLOAD_DONE, WM_DOWNLOAD_DONE, PM_NOREMOVE)) {
      progress.End();
      err << "skitsync: the transfer could not start: " << ErrorText(worker.GetError()) << "\n";
      return SKITSYNC_FAILED;
    }
    if (module.GetBytesReceived() > 0) progress.Show(ProgressText(module));
    MsgWaitForMultipleObjectsEx(0, nullptr, kProgressInterval, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }

  if (result != 0) {
    progress.End();
    err << "skitsync: " << module.GetErrorText() << "\n";
    return SKITSYNC_FAILED;
  }
  progress.Show(ProgressText(module));
  progress.End();
  out << "Saved " << file << " (" << module.GetBytesReceived() << " bytes)\n";
  return SKITSYNC_OK;
}

}  // namespace

std::string InstallationLogPath() {
  HKEY key = nullptr;
  std::string path = SettingsKeyFor(kInstallationProgram);
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return std::string();
  char value[MAX_PATH * 2] = {};
  DWORD type = 0, size = sizeof value - 1;
  LONG status = RegQueryValueExA(key, "LogPath", nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return std::string();
  return value;
}

int RunSkitsync(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  try {
    if (args.empty()) return BadUsage(err, "no command given");
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "/?") {
      out << kUsage;
      return SKITSYNC_OK;
    }
    if (args[0] != "fetch") return BadUsage(err, "unknown command '" + args[0] + "'");

    FetchCommand command;
    std::vector<std::string> positional;
    for (size_t i = 1; i < args.size(); ++i) {
      if (args[i] == "--log") {
        if (i + 1 >= args.size()) return BadUsage(err, "--log needs a file name");
        command.LogFile = args[++i];
      } else if (args[i].rfind("--", 0) == 0) {
        return BadUsage(err, "unknown option '" + args[i] + "'");
      } else {
        positional.push_back(args[i]);
      }
    }
    if (positional.size() != 2) return BadUsage(err, "fetch needs a URL and a FILE");
    command.URL = positional[0];
    command.File = positional[1];
    return Fetch(command, out, err);
  } catch (const std::exception& e) {
    err << "skitsync: " << e.what() << "\n";
    return SKITSYNC_FAILED;
  } catch (...) {
    err << "skitsync: unknown exception\n";
    return SKITSYNC_FAILED;
  }
}
