// A fetch runs the screensaver's own worker: a hidden window on this thread
// receives WM_DOWNLOAD_DONE while the loop below pumps messages and shows
// the module's progress figures. Ctrl+C arrives on a thread of the system's;
// it stops the worker, which then ends the transfer as cancelled.
//
// A sync opens the installed catalogue as the settings dialog does and runs
// one job on it the way the screensaver's forms do: the hidden window takes
// each WM_DOWNLOAD_DONE to the catalogue's OnDownloadDone until the job is
// over. Its worker belongs to the catalogue and comes and goes with the job,
// so Ctrl+C does not touch it: it posts WM_DOWNLOAD_CANCEL to the window, as
// the progress dialog does, and the loop stops the transfer on this thread.
#include "tools/skitsync/skitsync.h"

#include <windows.h>

#include <atomic>
#include <iostream>
#include <mutex>
#include <string>

#include "base/errors.h"
#include "base/files.h"
#include "base/handles.h"
#include "base/settings.h"
#include "download/comm.h"
#include "store/catalogue.h"
#include "store/server_data.h"
#include "store/user_data.h"

namespace {

const char kUsage[] =
    "usage: skitsync fetch URL FILE [--log FILE]\n"
    "       skitsync sync [--automatic] [--catalog FILE] [--skits FOLDER] [--download FOLDER] [--log FILE]\n"
    "  fetch   download URL into FILE as the screensaver does, and write the\n"
    "          download-log line to the installation's LogPath (or --log FILE)\n"
    "  sync    synchronise the installed catalogue as the screensaver does: fetch\n"
    "          the skit list and merge it; with --automatic, or when the user's\n"
    "          SyncMethod is 0, also fetch the files of the scheduled skits. The\n"
    "          paths come from the installation's settings unless given.\n"
    "Exit status: 0 done, 1 a transfer failed, 2 bad arguments.\n";
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

// What Ctrl+C cancels: the worker of a fetch, or the window of a sync job;
// null outside them.
std::mutex ActiveLock;
cThread_Comm* ActiveWorker = nullptr;
std::atomic<HWND> ActiveJobWindow{nullptr};

// Registers the worker for Ctrl+C while it lives.
class CtrlCStopsWorker {
 public:
  explicit CtrlCStopsWorker(cThread_Comm& worker) {
    {
      std::lock_guard<std::mutex> hold(ActiveLock);
      ActiveWorker = &worker;
    }
    SetConsoleCtrlHandler(SkitsyncConsoleControl, TRUE);
  }
  ~CtrlCStopsWorker() {
    SetConsoleCtrlHandler(SkitsyncConsoleControl, FALSE);
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
  const int64_t received = module.GetBytesReceived();
  const int64_t total = module.GetBytesTotal();
  std::string text = module.GetItemName() + ": " + std::to_string(received);
  if (total > 0) {
    const int64_t percent = received * 100 / total;
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
    return BadUsage(err, "the installation has no LogPath setting (HKLM\\" + SettingsKeyFor(SkitsyncProgramName) +
                             "); name the log with --log FILE");
  }
  std::string file = FullPath(command.File);

  // The process-wide state the worker relies on, as the screensaver sets it up.
  cSettings settings;
  settings.LogPath = logFile;

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

// ---------------------------------------------------------------------------
// sync

struct SyncCommand {
  bool Automatic = false;
  std::string Catalog;
  std::string Skits;
  std::string Download;
  std::string Log;
};

std::string RegistryText(HKEY root, const std::string& key, const char* name) {
  handles::UniqueKey handle;
  if (RegOpenKeyExA(root, key.c_str(), 0, KEY_READ, handle.put()) != ERROR_SUCCESS) return std::string();
  char value[MAX_PATH * 2] = {};
  DWORD type = 0, size = sizeof value - 1;
  const LONG status = RegQueryValueExA(handle.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
  if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return std::string();
  return type == REG_EXPAND_SZ ? ExpandValue(name, value) : std::string(value);
}

DWORD RegistryNumber(HKEY root, const std::string& key, const char* name, DWORD fallback) {
  handles::UniqueKey handle;
  if (RegOpenKeyExA(root, key.c_str(), 0, KEY_READ, handle.put()) != ERROR_SUCCESS) return fallback;
  DWORD type = 0, value = 0, size = sizeof value;
  const LONG status = RegQueryValueExA(handle.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
  return status == ERROR_SUCCESS && type == REG_DWORD ? value : fallback;
}

// Sends Ctrl+C to the job's window while it lives.
class CtrlCCancelsJob {
 public:
  explicit CtrlCCancelsJob(HWND window) {
    ActiveJobWindow.store(window);
    SetConsoleCtrlHandler(SkitsyncConsoleControl, TRUE);
  }
  ~CtrlCCancelsJob() {
    SetConsoleCtrlHandler(SkitsyncConsoleControl, FALSE);
    ActiveJobWindow.store(nullptr);
  }
  CtrlCCancelsJob(const CtrlCCancelsJob&) = delete;
  CtrlCCancelsJob& operator=(const CtrlCCancelsJob&) = delete;
};

// Puts a process-wide pointer back as it was.
template <typename T>
class Restore {
 public:
  explicit Restore(T*& pointer) : Pointer_(pointer), Saved_(pointer) {}
  ~Restore() { Pointer_ = Saved_; }
  Restore(const Restore&) = delete;
  Restore& operator=(const Restore&) = delete;

 private:
  T*& Pointer_;
  T* Saved_;
};

uint32_t CountInState(const cSkitManager& manager, uint8_t state) {
  uint32_t n = 0;
  for (const SkitRecord& record : RecordsInUse(manager.Catalog)) n += record.State == state ? 1 : 0;
  return n;
}

// The job of one sync: reports each transfer as its completion arrives,
// before the catalogue goes on (it ends the worker, and with it the error
// text, when the job is over).
class SyncJob {
 public:
  SyncJob(cSkitManager& manager, std::ostream& out, std::ostream& err) : Manager_(manager), Out_(out), Err_(err) {}

  void Completed(int32_t code) {
    const cDownloadJob& job = Manager_.Job();
    const JobState state = job.State();
    const DownloadItem item = job.Item();
    const std::string position = job.Position();
    const std::string error = code != 0 ? job.ErrorText() : std::string();
    const uint32_t installedBefore = Manager_.Tally.Installed;
    const bool more = Manager_.OnDownloadDone(code);

    if (state == JobState::List) {
      if (code != 0) {
        Failed = true;
        Err_ << "skitsync: the skit list was not fetched: " << error << "\n";
      } else {
        const JobTally& tally = Manager_.Tally;
        Scheduled = CountInState(Manager_, SKIT_SCHEDULED);
        Out_ << "Merged the list: " << tally.Added << " added, " << tally.Updated << " updated, " << tally.Rejected
             << " rejected\n";
        Out_ << "Scheduled: " << Scheduled << " skits, " << Manager_.PendingFiles(CAT_ANY, SKIT_SCHEDULED)
             << " files\n";
      }
    } else if (state == JobState::Files && item.File != nullptr) {
      const std::string name = PrintableText(item.Title) + " " + position;
      const int32_t index = Manager_.FindSkit(item.Category, item.SkitId);
      if (code != 0) {
        Failed = true;
        Err_ << "skitsync: " << name << " failed: " << error << "\n";
      } else if (Manager_.Tally.Installed > installedBefore) {
        Out_ << "Installed " << name << "\n";
        if (index >= 0 && Manager_.Catalog.Records[index].State == SKIT_INSTALLED) ++InstalledSkits;
      } else {
        Out_ << "Could not install " << name << " into the skits folder; fetching it again\n";
      }
    }
    if (more && job.State() == JobState::Files && job.Item().File != nullptr) {
      Out_ << "Fetching " << PrintableText(job.Item().Title) << " " << job.Position() << "\n";
    }
  }

  bool Failed = false;
  uint32_t Scheduled = 0;
  uint32_t InstalledSkits = 0;

 private:
  cSkitManager& Manager_;
  std::ostream& Out_;
  std::ostream& Err_;
};

int Sync(const SyncCommand& command, std::ostream& out, std::ostream& err) {
  // The settings as the screensaver reads them, read here without its
  // message box; the options take precedence.
  Restore<cSettings> keepSettings(TheSettings);
  cSettings settings;
  settings.ProgramName = SkitsyncProgramName;
  settings.RegistryKey = SettingsKeyFor(SkitsyncProgramName);
  const std::string& key = settings.RegistryKey;
  const struct {
    const char* Value;
    const char* Option;
    const std::string& Given;
    std::string& Setting;
  } paths[] = {{"OpsFilePath", "--catalog FILE", command.Catalog, settings.OpsFilePath},
               {"SkitsPath", "--skits FOLDER", command.Skits, settings.SkitsPath},
               {"DownloadPath", "--download FOLDER", command.Download, settings.DownloadPath},
               {"LogPath", "--log FILE", command.Log, settings.LogPath}};
  for (const auto& path : paths) {
    path.Setting = !path.Given.empty() ? FullPath(path.Given) : RegistryText(HKEY_LOCAL_MACHINE, key, path.Value);
    if (path.Setting.empty()) {
      return BadUsage(err, std::string("the installation has no ") + path.Value + " setting (HKLM\\" + key +
                               "); give " + path.Option);
    }
  }
  // The installed catalogue is the user's own, made from the setup's seed
  // the first time, as the screensaver would.
  if (command.Catalog.empty()) {
    settings.SeedPath = RegistryText(HKEY_LOCAL_MACHINE, key, "SeedPath");
    try {
      PrepareUserData(settings);
    } catch (const std::exception& error) {
      err << "skitsync: " << error.what() << "\n";
      return SKITSYNC_FAILED;
    }
  }
  settings.SyncMethod = static_cast<int8_t>(RegistryNumber(HKEY_CURRENT_USER, key, "SyncMethod", 0));
  const bool automatic = command.Automatic || settings.SyncMethod == 0;

  NotifyWindow window;
  if (window.Handle == nullptr) {
    err << "skitsync: cannot create the notification window: " << LastErrorText() << "\n";
    return SKITSYNC_FAILED;
  }
  Restore<cSkitManager> keepManager(TheSkitManager);
  cSkitManager manager(false);
  TheSkitManager = &manager;
  SyncJob job(manager, out, err);
  CtrlCCancelsJob ctrlC(window.Handle);

  out << "Catalogue " << settings.OpsFilePath << "\n";
  out << "Fetching the skit list from " << PrintableText(manager.Catalog.Header.SyncUrl.Text)
      << (automatic ? ", then the files of the scheduled skits" : "") << "\n";
  manager.StartListDownload(window.Handle, automatic);
  while (manager.Job().State() != JobState::Idle) {
    MSG msg;
    if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.hwnd == window.Handle && msg.message == WM_DOWNLOAD_DONE) {
        job.Completed(static_cast<int32_t>(msg.lParam));
      } else if (msg.hwnd == window.Handle && msg.message == WM_DOWNLOAD_CANCEL) {
        if (manager.Job().Worker() != nullptr) {
          out << "Cancelling\n";
          manager.Job().Stop();
        }
      } else {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
      }
      continue;
    }
    // The worker posts before it goes idle: idle with nothing queued means
    // the transfer never started.
    cThread_Comm* worker = manager.Job().Worker();
    if (worker != nullptr && worker->WaitUntilIdle(0) &&
        !PeekMessageA(&msg, window.Handle, WM_DOWNLOAD_DONE, WM_DOWNLOAD_DONE, PM_NOREMOVE)) {
      err << "skitsync: the transfer could not start: " << ErrorText(worker->GetError()) << "\n";
      manager.EndDownload();
      job.Failed = true;
      break;
    }
    MsgWaitForMultipleObjectsEx(0, nullptr, kProgressInterval, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
  // The completion posted when no file was left belongs to no job.
  MSG msg;
  while (PeekMessageA(&msg, window.Handle, WM_DOWNLOAD_DONE, WM_DOWNLOAD_CANCEL, PM_REMOVE)) {
    if (msg.message == WM_DOWNLOAD_DONE) manager.OnDownloadDone(static_cast<int32_t>(msg.lParam));
  }

  const JobTally& tally = manager.Tally;
  out << "Summary: " << tally.Added << " added, " << tally.Updated << " updated, " << job.Scheduled
      << " scheduled, " << job.InstalledSkits << " installed (" << tally.Installed << " files), " << tally.Failed
      << " failed\n";
  return job.Failed ? SKITSYNC_FAILED : SKITSYNC_OK;
}

int ParseSync(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  SyncCommand command;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& word = args[i];
    std::string* value = nullptr;
    if (word == "--automatic") {
      command.Automatic = true;
      continue;
    }
    if (word == "--catalog") value = &command.Catalog;
    if (word == "--skits") value = &command.Skits;
    if (word == "--download") value = &command.Download;
    if (word == "--log") value = &command.Log;
    if (value == nullptr) {
      return BadUsage(err, word.rfind("--", 0) == 0 ? "unknown option '" + word + "'"
                                                    : "sync takes no argument '" + word + "'");
    }
    if (i + 1 >= args.size() || args[i + 1].empty()) return BadUsage(err, word + " needs a value");
    *value = args[++i];
  }
  return Sync(command, out, err);
}

}  // namespace

std::string SkitsyncProgramName = "drearigrams";

// Runs on a thread the system starts for the event: nothing may leave it.
// A cancel that fails still counts as handled (the process is not killed
// with the catalogue half written); the transfer then ends on its own.
BOOL WINAPI SkitsyncConsoleControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  try {
    if (HWND window = ActiveJobWindow.load()) return PostMessageA(window, WM_DOWNLOAD_CANCEL, 0, 0) ? TRUE : FALSE;
    std::lock_guard<std::mutex> hold(ActiveLock);
    if (ActiveWorker == nullptr) return FALSE;
    ActiveWorker->Stop();
    return TRUE;
  } catch (...) {
    return TRUE;
  }
}

std::string InstallationLogPath() {
  return RegistryText(HKEY_LOCAL_MACHINE, SettingsKeyFor(SkitsyncProgramName), "LogPath");
}

int RunSkitsync(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  try {
    if (args.empty()) return BadUsage(err, "no command given");
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "/?") {
      out << kUsage;
      return SKITSYNC_OK;
    }
    if (args[0] == "sync") return ParseSync(args, out, err);
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
