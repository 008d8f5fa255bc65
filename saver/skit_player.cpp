#include "saver/skit_player.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <utility>
#include <vector>

#include "base/files.h"
#include "base/log.h"
#include "base/player_protocol.h"
#include "forms/boundary.h"

// A registered wait on the player's process: the system's wait thread posts
// the message the moment the process ends. Letting go of the object cancels
// the wait and waits for a callback under way, so none comes afterwards.
class cExitNotice {
 public:
  cExitNotice(HANDLE process, HWND window, UINT message, WPARAM tag)
      : Window_(window), Message_(message), Tag_(tag) {
    if (!RegisterWaitForSingleObject(&Wait_, process, &cExitNotice::Fired, this, INFINITE,
                                     WT_EXECUTEONLYONCE | WT_EXECUTEINWAITTHREAD))
      Wait_ = nullptr;
  }
  ~cExitNotice() {
    if (Wait_ != nullptr) UnregisterWaitEx(Wait_, INVALID_HANDLE_VALUE);
  }
  cExitNotice(const cExitNotice&) = delete;
  cExitNotice& operator=(const cExitNotice&) = delete;

  bool Registered() const { return Wait_ != nullptr; }

 private:
  static void CALLBACK Fired(void* self, BOOLEAN) {
    auto* notice = static_cast<cExitNotice*>(self);
    PostMessageA(notice->Window_, notice->Message_, notice->Tag_, 0);
  }

  HANDLE Wait_ = nullptr;
  HWND Window_;
  UINT Message_;
  WPARAM Tag_;
};

cSkitPlayer::cSkitPlayer(std::string skitPath, std::string playerPath)
    : PlayerPath(std::move(playerPath)), SkitPath(std::move(skitPath)), ArgFilePath(ArgFilePathFor(PlayerPath)) {}

cSkitPlayer::~cSkitPlayer() { Cleanup(); }

std::string cSkitPlayer::ArgFilePathFor(const std::string& playerPath) {
  // Cut at the last "." anywhere in the path (a dot in a folder name counts,
  // as the players we ship with expect); a path without one, or whose only
  // dot is its first character, keeps everything and gets ".arg" appended.
  std::string path = playerPath;
  size_t dot = path.rfind('.');
  if (dot != std::string::npos && dot != 0) path.erase(dot);
  return path + ".arg";
}

std::string cSkitPlayer::CommandLineFor(const std::string& playerPath) { return "\"" + playerPath + "\""; }

BOOL cSkitPlayer::CreatePlayerProcess(const char* application, char* commandLine, BOOL inheritHandles, DWORD flags,
                                      const char* folder, STARTUPINFOA* startup, PROCESS_INFORMATION* started) {
  return CreateProcessA(application, commandLine, nullptr, nullptr, inheritHandles, flags, nullptr, folder, startup,
                        started);
}

cSkitPlayer::StartProcessFn cSkitPlayer::StartProcess = &cSkitPlayer::CreatePlayerProcess;

std::string cSkitPlayer::EncodeValue(const std::string& value) {
  std::string encoded;
  encoded.reserve(value.size());
  for (char c : value) {
    switch (c) {
      case ' ': encoded += "%20"; break;
      case '+': encoded += "%2B"; break;
      case '=': encoded += "%3D"; break;
      case '&': encoded += "%26"; break;
      case '%': encoded += "%25"; break;
      default: encoded += c; break;
    }
  }
  return encoded;
}

void cSkitPlayer::AddVariable(const std::string& name, const std::string& value) {
  if (name.empty() || value.empty()) {
    Variables.clear();
    return;
  }
  if (!Variables.empty()) Variables += '&';
  Variables += name;
  Variables += '=';
  Variables += EncodeValue(value);
}

void cSkitPlayer::AddVariable(const std::string& name, const char* format, int32_t number) {
  char text[256];
  std::snprintf(text, sizeof text, format, static_cast<int>(number));
  AddVariable(name, std::string(text));
}

void cSkitPlayer::WriteArgFile() {
  SetFileAttributesA(ArgFilePath.c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileA(ArgFilePath.c_str());
  if (Variables.empty()) return;
  cFile file;
  // The code says which step failed, for the caller's error line.
  int32_t failure = ERR_FILE_CREATE;
  try {
    file.Create(ArgFilePath, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ);
    failure = ERR_FILE_WRITE;
    file.Write(Variables.data(), static_cast<DWORD>(Variables.size()));
  } catch (...) {
    file.Close();
    SetError(failure);
    throw;
  }
  file.Close();
}

void cSkitPlayer::AttachInput() {
  if (!AttachThreadInput(ProcessInfo.dwThreadId, GetCurrentThreadId(), TRUE)) {
    SetFromLastError();
    throw std::runtime_error("AttachThreadInput failed. " + LastErrorText());
  }
}

void cSkitPlayer::DetachInput() { AttachThreadInput(ProcessInfo.dwThreadId, GetCurrentThreadId(), FALSE); }

namespace {

// Every GUI thread also owns hidden input-method windows at the top level;
// they are the system's, not the player's, and must never be taken for it.
bool IsInputMethodWindow(HWND window) {
  char name[32] = {};
  GetClassNameA(window, name, sizeof name);
  return lstrcmpiA(name, "IME") == 0 || lstrcmpiA(name, "MSCTFIME UI") == 0;
}

}  // namespace

void cSkitPlayer::FindPlayerWindow() {
  PlayerWindow = nullptr;
  // A player can report itself idle a moment before its window exists (Wine
  // does so when the program first touches the desktop), so the search is
  // repeated for a short while before it gives up.
  const DWORD start = GetTickCount();
  for (;;) {
    forms::ForEachTopLevelWindow([this](HWND window) {
      DWORD processId = 0;
      DWORD threadId = GetWindowThreadProcessId(window, &processId);
      if (threadId == ProcessInfo.dwThreadId && processId == ProcessInfo.dwProcessId && !IsInputMethodWindow(window)) {
        PlayerWindow = window;
        return false;
      }
      return true;
    });
    if (PlayerWindow != nullptr) return;
    if (GetTickCount() - start >= kWindowSearchLimit || IsFinished(0)) break;
    Sleep(20);
  }
  SetError(ERR_CREATE_WINDOW);
  throw std::runtime_error("Unable to locate program window.");
}

// Windows starts a screensaver at idle priority, which a child made without
// a class of its own inherits: the movie would get the processor only when
// nothing else wants it. The player inherits none of our handles, and starts
// suspended so that it is in its job before it can start anything itself.
bool cSkitPlayer::StartSuspended(char* commandLine, const char* folder, STARTUPINFOA* startup,
                                 PROCESS_INFORMATION* started) {
  const DWORD flags = NORMAL_PRIORITY_CLASS | CREATE_SUSPENDED;
  // A screensaver started inside a job (by a launcher, a remote session) has
  // its children put in that job too; where the job allows it, the player
  // breaks away, so that its own job is the only one that ends it. Where it
  // does not, the player stays in both (Windows 8 nests jobs).
  BOOL inJob = FALSE;
  if (IsProcessInJob(GetCurrentProcess(), nullptr, &inJob) && inJob) {
    if (StartProcess(PlayerPath.c_str(), commandLine, FALSE, flags | CREATE_BREAKAWAY_FROM_JOB, folder, startup,
                     started))
      return true;
    if (GetLastError() != ERROR_ACCESS_DENIED) return false;
  }
  return StartProcess(PlayerPath.c_str(), commandLine, FALSE, flags, folder, startup, started) != FALSE;
}

void cSkitPlayer::JoinJob() {
  handles::UniqueHandle job(CreateJobObjectA(nullptr, nullptr));
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (job && SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits) &&
      AssignProcessToJobObject(job.get(), ProcessInfo.hProcess)) {
    Job_ = std::move(job);
    return;
  }
  // Windows 7 puts a process in one job only, and a job we cannot leave
  // keeps us out of ours: the player then plays without one.
  LogWrite(LOG_ERROR, "The player %s runs without a job: %s", PlayerPath.c_str(), LastErrorText().c_str());
}

bool cSkitPlayer::InJob() const {
  BOOL in = FALSE;
  return Job_ && ProcessInfo.hProcess != nullptr && IsProcessInJob(ProcessInfo.hProcess, Job_.get(), &in) && in;
}

bool cSkitPlayer::CanWait(const std::string& playerPath) {
  std::string value;
  return ReadVersionText(playerPath, player_protocol::kStandbyVersionValue, value) && value == "1";
}

bool cSkitPlayer::Play(HWND focusWindow) { return Start(focusWindow, false); }

bool cSkitPlayer::PlayStandby() { return Start(nullptr, true); }

bool cSkitPlayer::Begin() {
  if (!Waiting_ || PlayerWindow == nullptr || !IsWindow(PlayerWindow) || IsFinished(0)) return false;
  static const UINT begin = RegisterWindowMessageA(player_protocol::kBeginMessage);
  if (begin == 0) return false;
  // In its place above the stay-on-top windows before it shows.
  BringToFront(false);
  if (!PostMessageA(PlayerWindow, begin, 0, 0)) return false;
  Waiting_ = false;
  return true;
}

bool cSkitPlayer::Start(HWND focusWindow, bool standby) {
  SetError(0);
  try {
    if (standby) AddVariable(player_protocol::kStandbyVariable, "1");
    AddVariable("SS_Swf", SkitPath);
    WriteArgFile();
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    std::string folder;
    SplitPath(PlayerPath, &folder, nullptr);
    PROCESS_INFORMATION started = {};
    std::string commandLine = CommandLineFor(PlayerPath);
    if (!StartSuspended(commandLine.data(), folder.empty() ? nullptr : folder.c_str(), &startup, &started)) {
      SetFromLastError();
      return false;
    }
    ProcessInfo = started;
    JoinJob();
    ResumeThread(ProcessInfo.hThread);
    WaitForInputIdle(ProcessInfo.hProcess, 5000);
    if (standby) {
      // Hidden, the player takes neither the focus nor the front.
      FindPlayerWindow();
      Waiting_ = true;
      return true;
    }
    AttachInput();
    if (focusWindow != nullptr) {
      SetForegroundWindow(focusWindow);
      SetFocus(focusWindow);
    }
    FindPlayerWindow();
    // From now on the two threads have their own input again: with shared
    // input, moving or activating the player's window and the form's focus
    // wait for the player's thread, which may hang.
    DetachInput();
    BringToFront(false);
    return true;
  } catch (...) {
    // The caller shows the text of the recorded code and lets go of this
    // object: nothing of the failed start may outlive it. The input goes
    // back to our own thread, and a player that never made a window, which
    // nobody could ever close, is ended.
    if (GetError() == 0) SetError(ERR_NO_ERROR_INFO);
    if (ProcessInfo.hProcess != nullptr) {
      if (!standby) DetachInput();
      if (PlayerWindow == nullptr && !IsFinished(0)) {
        End();
        IsFinished(kStopLimit);
      }
    }
    return false;
  }
}

bool cSkitPlayer::IsFinished(DWORD milliseconds) const {
  if (ProcessInfo.hProcess == nullptr) return true;
  return WaitForSingleObject(ProcessInfo.hProcess, milliseconds) == WAIT_OBJECT_0;
}

bool cSkitPlayer::Stop(DWORD milliseconds) {
  if (ProcessInfo.hProcess != nullptr) DetachInput();
  if (PlayerWindow != nullptr) PostMessageA(PlayerWindow, WM_CLOSE, 0, 0);
  // Closed once its window has gone: the process may take its time after
  // that (Wine's takes two seconds), and its job ends it with this object.
  const DWORD start = GetTickCount();
  for (;;) {
    if (WindowGone()) return true;
    const DWORD elapsed = GetTickCount() - start;
    if (elapsed >= milliseconds) return IsFinished(0);
    if (IsFinished(std::min<DWORD>(milliseconds - elapsed, 20))) return true;
  }
}

bool cSkitPlayer::WindowGone() const { return PlayerWindow != nullptr && !IsWindow(PlayerWindow); }

void cSkitPlayer::End() {
  if (ProcessInfo.hProcess == nullptr) return;
  if (Job_) TerminateJobObject(Job_.get(), 1);
  else TerminateProcess(ProcessInfo.hProcess, 1);
}

void cSkitPlayer::Close(DWORD milliseconds) {
  if (Stop(milliseconds)) return;
  End();
  // Its windows go with the process: until then the system may hand the
  // activation to a window whose thread does not answer.
  IsFinished(kEndLimit);
}

void cSkitPlayer::KeepRunning() {
  if (!Job_) return;
  // A process never leaves its job; without the limit, the job no longer
  // ends it when we let go of it.
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  SetInformationJobObject(Job_.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits);
  Job_.reset();
}

bool cSkitPlayer::NotifyWhenFinished(HWND window, UINT message, WPARAM tag) {
  ExitNotice.reset();
  if (ProcessInfo.hProcess == nullptr) return false;
  ExitNotice = std::make_unique<cExitNotice>(ProcessInfo.hProcess, window, message, tag);
  if (ExitNotice->Registered()) return true;
  ExitNotice.reset();
  return false;
}

namespace {

// The players whose windows are watched, by their hooks; the hooks call back
// on the thread that set them, the user-interface thread.
std::vector<std::pair<HWINEVENTHOOK, cSkitPlayer*>> WatchedPlayers;

}  // namespace

bool cSkitPlayer::NotifyWhenWindowGoes(HWND window, UINT message, WPARAM tag) {
  WindowWatch_.reset();
  if (PlayerWindow == nullptr) return false;
  NotifyWindow_ = window;
  NotifyMessage_ = message;
  NotifyTag_ = tag;
  WindowWatch_.reset(SetWinEventHook(EVENT_OBJECT_DESTROY, EVENT_OBJECT_DESTROY, nullptr, &cSkitPlayer::WindowEvent,
                                     ProcessInfo.dwProcessId, ProcessInfo.dwThreadId, WINEVENT_OUTOFCONTEXT));
  if (!WindowWatch_) return false;
  WatchedPlayers.emplace_back(WindowWatch_.get(), this);
  return true;
}

void CALLBACK cSkitPlayer::WindowEvent(HWINEVENTHOOK hook, DWORD, HWND window, LONG object, LONG, DWORD, DWORD) {
  if (object != OBJID_WINDOW) return;
  for (const auto& [watch, player] : WatchedPlayers) {
    if (watch == hook && window == player->PlayerWindow) {
      PostMessageA(player->NotifyWindow_, player->NotifyMessage_, player->NotifyTag_, 0);
      return;
    }
  }
}

// Only SetWindowPos moves a window in the Z order: setting WS_EX_TOPMOST in
// its style (SetWindowLong) changes the bit and leaves the window where it
// was, below the stay-on-top saver form. The request is handed to the
// player's thread rather than waited for.
void cSkitPlayer::BringToFront(bool activate) {
  if (PlayerWindow == nullptr) return;
  SetWindowPos(PlayerWindow, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_ASYNCWINDOWPOS);
  if (activate && GetForegroundWindow() != PlayerWindow) SetForegroundWindow(PlayerWindow);
}

void cSkitPlayer::LeaveFront() {
  if (PlayerWindow != nullptr)
    SetWindowPos(PlayerWindow, HWND_NOTOPMOST, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_ASYNCWINDOWPOS);
}

void cSkitPlayer::Cleanup() {
  // The wait goes before the handle it waits on; the job, unless let go of,
  // takes the player with it.
  ExitNotice.reset();
  if (WindowWatch_) {
    const HWINEVENTHOOK watch = WindowWatch_.get();
    WatchedPlayers.erase(std::remove_if(WatchedPlayers.begin(), WatchedPlayers.end(),
                                        [watch](const auto& entry) { return entry.first == watch; }),
                         WatchedPlayers.end());
    WindowWatch_.reset();
  }
  Job_.reset();
  if (ProcessInfo.hThread != nullptr) CloseHandle(ProcessInfo.hThread);
  if (ProcessInfo.hProcess != nullptr) CloseHandle(ProcessInfo.hProcess);
  ProcessInfo = {};
  PlayerWindow = nullptr;
  if (!ArgFilePath.empty()) DeleteFileA(ArgFilePath.c_str());
}
