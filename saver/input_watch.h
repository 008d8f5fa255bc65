// The user's input while the movie player's window lies above the saver
// form. The pointer and the keys then reach the player, another program,
// and the form would never learn of them. Low-level mouse and keyboard hooks
// see every key, button and pointer move wherever it goes; they run on a
// thread of their own that does nothing but pump their messages, because the
// system drops a low-level hook whose thread answers too slowly, and the
// form's thread waits for seconds at a time while a player starts or stops.
//
// The system removes a low-level hook without a word once it answers slower
// than LowLevelHooksTimeout. The watch notices: input the system counted
// (GetLastInputInfo) that no hook saw for a while means the hooks are gone,
// and the form starts the watch again.
//
// Input headed for one of this program's own windows is left alone: the
// window gets it as usual. Input headed for any other window is reported to
// the form as a posted WM_SAVER_INPUT, and while the form is armed, keys and
// buttons are also kept from that window, as the form would have taken them
// itself had it been in front. Arming lapses on its own unless the form
// renews it, so a form that stops answering never leaves the desktop deaf.
#pragma once

#include <windows.h>

#include <atomic>

// wParam: WM_MOUSEMOVE, WM_LBUTTONDOWN, WM_RBUTTONDOWN, WM_MBUTTONDOWN,
// WM_KEYDOWN or WM_SYSKEYDOWN; lParam: for a key its virtual-key code, for
// the mouse the pointer's screen position (x in the low word, y in the high
// word, both signed).
constexpr UINT WM_SAVER_INPUT = WM_APP + 0x118;

class cInputWatch {
 public:
  cInputWatch() = default;
  ~cInputWatch();
  cInputWatch(const cInputWatch&) = delete;
  cInputWatch& operator=(const cInputWatch&) = delete;

  // Starts watching for window; false when the hooks could not be set (the
  // reason is in GetLastError). One watch runs per process at a time.
  bool Start(HWND window);
  void Stop();
  bool Running() const { return Thread_ != nullptr; }
  // How many times Start has set the hooks.
  unsigned Starts() const { return Starts_; }

  // Keys and buttons for other windows are swallowed for the next
  // milliseconds; 0 disarms at once.
  void Arm(DWORD milliseconds);
  // The latest pointer position reported with WM_MOUSEMOVE, once: moves are
  // coalesced, one message waiting at a time. False when none is waiting.
  bool TakeMove(POINT& at);
  // True when the system has counted input that the hooks have not seen
  // within kMissedAfter: they are gone.
  bool MissedInput() const;
  // Removes the hooks and leaves the watch believing it runs, as the system
  // does to a hook that answered too slowly; for tests. False when the
  // watch's thread did not confirm in time.
  bool ForgetHooks();

  static constexpr DWORD kMissedAfter = 1000;

 private:
  static DWORD WINAPI ThreadProc(void* self);
  static LRESULT CALLBACK MouseHook(int code, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK KeyboardHook(int code, WPARAM wParam, LPARAM lParam);
  bool Armed() const;
  // What the hooks do with one event: true swallows it.
  bool Report(UINT message, LPARAM detail, bool forOthers);

  HWND Window_ = nullptr;
  HANDLE Thread_ = nullptr;
  DWORD ThreadId_ = 0;
  unsigned Starts_ = 0;
  // The tick count until which the watch is armed; 0 when it is not.
  std::atomic<DWORD> ArmedUntil_{0};
  std::atomic<LPARAM> LatestMove_{0};
  std::atomic<bool> MovePending_{false};
  // The tick count of the latest event either hook saw, or of the start.
  std::atomic<DWORD> LastEventAt_{0};

  static std::atomic<cInputWatch*> Current_;
};
