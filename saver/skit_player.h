// One skit shown by the external movie player: the variables go into an
// argument file beside the player program, the program is started in its own
// folder at normal priority, its input is joined to ours while it starts
// (so the form can take the focus back), and its window put above every
// other stay-on-top window, the saver form included.
//
// The player runs in a job object of its own that ends it when the last
// handle to the job goes: letting go of the object ends the program, and so
// does the end of the screensaver, however it ends (a crash, a kill). A
// movie the user chose to keep is let go of the job first (KeepRunning).
//
// Nothing the saver does to the player's window waits for the player's
// thread: the input is detached once the player is found, and its window is
// moved in the Z order asynchronously, so a player that hangs cannot hang
// the screensaver.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "base/errors.h"
#include "base/handles.h"

class cExitNotice;

class cSkitPlayer : public cError {
 public:
  // How long Play looks for the player's window after the player is idle.
  static constexpr DWORD kWindowSearchLimit = 2000;
  // How long a failed Play waits for an orphaned player it has ended.
  static constexpr DWORD kStopLimit = 3000;
  // How long a closing screensaver gives the player to close by itself
  // before it ends it: the run must end within two seconds of the input.
  static constexpr DWORD kCloseLimit = 1000;
  // How long Close waits for a player it has ended to be gone.
  static constexpr DWORD kEndLimit = 500;

  cSkitPlayer(std::string skitPath, std::string playerPath);
  ~cSkitPlayer() override;
  cSkitPlayer(const cSkitPlayer&) = delete;
  cSkitPlayer& operator=(const cSkitPlayer&) = delete;

  // An empty name or value drops every pair added so far.
  void AddVariable(const std::string& name, const std::string& value);
  void AddVariable(const std::string& name, const char* format, int32_t number);
  // True when the player runs and its window was found. On false the code
  // names the cause, the input is detached again, and a player that made
  // no window has been ended.
  bool Play(HWND focusWindow);
  // Whether the player says, in its version resource, that it can wait in
  // standby (base/player_protocol.h).
  static bool CanWait(const std::string& playerPath);
  // Starts the player in standby: hidden and ready, its window found, no
  // input attached, nothing brought to the front. False as for Play.
  bool PlayStandby();
  // Tells the player waiting in standby to show its window and play; false
  // when it is gone or the message cannot be posted.
  bool Begin();
  bool Waiting() const { return Waiting_; }
  bool IsFinished(DWORD milliseconds) const;
  // Asks the player to close and waits up to milliseconds for its window to
  // go or its process to end; true when one of them did.
  bool Stop(DWORD milliseconds);
  // The player's window was found and is no more.
  bool WindowGone() const;
  // Ends the player (and whatever it started) at once.
  void End();
  // Stop, then End when the player has not closed within the limit.
  void Close(DWORD milliseconds = kCloseLimit);
  // Lets the player go of its job, so that it outlives this object and the
  // screensaver: a movie the user chose to keep.
  void KeepRunning();
  // Whether the player runs inside the job this object holds.
  bool InJob() const;
  // Once the player's process has ended, message is posted to window with
  // tag as its wParam, at once rather than at somebody's next look. Nothing
  // is posted after the object has let go of the process. False when the
  // system could not set up the wait (then only IsFinished tells).
  bool NotifyWhenFinished(HWND window, UINT message, WPARAM tag);
  // The same message, once the player's window has gone: for the user the
  // skit is over then, though the process may take its time to end. False
  // when the system could not watch for it (then only WindowGone tells).
  bool NotifyWhenWindowGoes(HWND window, UINT message, WPARAM tag);
  // Puts the player's window at the top of the stay-on-top windows and, with
  // activate, makes it the foreground window, which keeps a window manager
  // from raising a full-screen window that has the focus above it.
  void BringToFront(bool activate);
  // Takes the player's window out of the stay-on-top windows again.
  void LeaveFront();

  static std::string EncodeValue(const std::string& value);
  static std::string ArgFilePathFor(const std::string& playerPath);
  // The player's whole command line: its path in quotes and nothing else.
  // Without one, Windows makes the path itself the command line, unquoted,
  // and the player's C runtime cuts it at the first blank of the path.
  static std::string CommandLineFor(const std::string& playerPath);

  // How the player's process is made; replaceable, for tests, since Wine
  // quotes a missing command line itself and ignores priority classes.
  using StartProcessFn = BOOL (*)(const char* application, char* commandLine, BOOL inheritHandles, DWORD flags,
                                  const char* folder, STARTUPINFOA* startup, PROCESS_INFORMATION* started);
  static StartProcessFn StartProcess;
  static BOOL CreatePlayerProcess(const char* application, char* commandLine, BOOL inheritHandles, DWORD flags,
                                  const char* folder, STARTUPINFOA* startup, PROCESS_INFORMATION* started);

  std::string PlayerPath;
  std::string SkitPath;
  std::string ArgFilePath;
  std::string Variables;
  PROCESS_INFORMATION ProcessInfo{};
  HWND PlayerWindow = nullptr;

 private:
  std::unique_ptr<cExitNotice> ExitNotice;
  // Watches for the destruction of the player's windows.
  handles::UniqueWinEventHook WindowWatch_;
  HWND NotifyWindow_ = nullptr;
  UINT NotifyMessage_ = 0;
  WPARAM NotifyTag_ = 0;
  static void CALLBACK WindowEvent(HWINEVENTHOOK hook, DWORD event, HWND window, LONG object, LONG child,
                                   DWORD thread, DWORD time);
  // Ends the player when the last handle to it goes.
  handles::UniqueHandle Job_;

  bool Start(HWND focusWindow, bool standby);
  bool Waiting_ = false;
  void WriteArgFile();
  void AttachInput();
  void DetachInput();
  void FindPlayerWindow();
  bool StartSuspended(char* commandLine, const char* folder, STARTUPINFOA* startup, PROCESS_INFORMATION* started);
  void JoinJob();
  void Cleanup();
};
