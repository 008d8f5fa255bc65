#include "saver/input_watch.h"

#include "base/handles.h"

std::atomic<cInputWatch*> cInputWatch::Current_{nullptr};

namespace {

// How long Stop waits for the hook thread; it only pumps messages, so it
// ends at once unless the system is stuck.
constexpr DWORD kStopLimit = 5000;
// Asks the watch's thread to remove its hooks (ForgetHooks); lParam is the
// event it sets once they are gone.
constexpr UINT kForgetHooks = WM_APP + 1;

bool OwnWindow(HWND window) {
  DWORD process = 0;
  return window != nullptr && GetWindowThreadProcessId(window, &process) != 0 &&
         process == GetCurrentProcessId();
}

struct StartState {
  cInputWatch* Watch;
  HANDLE Ready;
  DWORD Error = 0;
};

}  // namespace

cInputWatch::~cInputWatch() { Stop(); }

bool cInputWatch::Start(HWND window) {
  Stop();
  cInputWatch* none = nullptr;
  if (!Current_.compare_exchange_strong(none, this)) {
    SetLastError(ERROR_ALREADY_EXISTS);
    return false;
  }
  Window_ = window;
  LastEventAt_.store(GetTickCount());
  StartState state{this, CreateEventA(nullptr, TRUE, FALSE, nullptr)};
  DWORD error = ERROR_NOT_ENOUGH_MEMORY;
  if (state.Ready != nullptr) {
    Thread_ = CreateThread(nullptr, 0, &cInputWatch::ThreadProc, &state, 0, &ThreadId_);
    if (Thread_ != nullptr) {
      WaitForSingleObject(state.Ready, INFINITE);
      error = state.Error;
    } else {
      error = GetLastError();
    }
    CloseHandle(state.Ready);
  }
  if (error == 0) {
    ++Starts_;
    return true;
  }
  if (Thread_ != nullptr) {
    WaitForSingleObject(Thread_, kStopLimit);
    CloseHandle(Thread_);
    Thread_ = nullptr;
  }
  Current_.store(nullptr);
  SetLastError(error);
  return false;
}

void cInputWatch::Stop() {
  if (Thread_ == nullptr) return;
  ArmedUntil_.store(0);
  PostThreadMessageA(ThreadId_, WM_QUIT, 0, 0);
  WaitForSingleObject(Thread_, kStopLimit);
  CloseHandle(Thread_);
  Thread_ = nullptr;
  ThreadId_ = 0;
  Current_.store(nullptr);
}

void cInputWatch::Arm(DWORD milliseconds) {
  // 0 is kept for "not armed"; a deadline that falls on it moves by a tick.
  DWORD until = 0;
  if (milliseconds != 0) {
    until = GetTickCount() + milliseconds;
    if (until == 0) until = 1;
  }
  ArmedUntil_.store(until);
}

bool cInputWatch::Armed() const {
  const DWORD until = ArmedUntil_.load();
  return until != 0 && static_cast<LONG>(until - GetTickCount()) > 0;
}

bool cInputWatch::TakeMove(POINT& at) {
  if (!MovePending_.exchange(false)) return false;
  const LPARAM point = LatestMove_.load();
  at.x = static_cast<short>(LOWORD(point));
  at.y = static_cast<short>(HIWORD(point));
  return true;
}

bool cInputWatch::MissedInput() const {
  if (Thread_ == nullptr) return false;
  LASTINPUTINFO last = {sizeof last, 0};
  if (!GetLastInputInfo(&last)) return false;
  // Later than every event the hooks saw, and long enough ago that a hook
  // still at work would have seen it by now.
  return static_cast<LONG>(last.dwTime - LastEventAt_.load()) > 0 && GetTickCount() - last.dwTime >= kMissedAfter;
}

bool cInputWatch::ForgetHooks() {
  if (Thread_ == nullptr) return false;
  handles::UniqueHandle done(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  if (!done || !PostThreadMessageA(ThreadId_, kForgetHooks, 0, reinterpret_cast<LPARAM>(done.get()))) return false;
  return WaitForSingleObject(done.get(), kStopLimit) == WAIT_OBJECT_0;
}

bool cInputWatch::Report(UINT message, LPARAM detail, bool forOthers) {
  if (!forOthers) return false;
  if (message == WM_MOUSEMOVE) {
    // Moves come by the hundred: the form reads the latest one when it gets
    // round to it, and one message waits for it at a time.
    LatestMove_.store(detail);
    if (!MovePending_.exchange(true)) PostMessageA(Window_, WM_SAVER_INPUT, message, detail);
    return false;
  }
  PostMessageA(Window_, WM_SAVER_INPUT, message, detail);
  return Armed();
}

LRESULT CALLBACK cInputWatch::MouseHook(int code, WPARAM wParam, LPARAM lParam) {
  cInputWatch* self = Current_.load();
  if (code == HC_ACTION && self != nullptr) {
    self->LastEventAt_.store(GetTickCount());
    const auto* event = reinterpret_cast<const MSLLHOOKSTRUCT*>(lParam);
    const UINT message = static_cast<UINT>(wParam);
    const bool forOthers = !OwnWindow(WindowFromPoint(event->pt));
    switch (message) {
      case WM_MOUSEMOVE:
      case WM_LBUTTONDOWN:
      case WM_RBUTTONDOWN:
      case WM_MBUTTONDOWN:
        if (self->Report(message, MAKELPARAM(event->pt.x, event->pt.y), forOthers)) return 1;
        break;
      case WM_LBUTTONUP:
      case WM_RBUTTONUP:
      case WM_MBUTTONUP:
        // The release of a button whose press was kept back goes the same way.
        if (forOthers && self->Armed()) return 1;
        break;
      default: break;
    }
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

LRESULT CALLBACK cInputWatch::KeyboardHook(int code, WPARAM wParam, LPARAM lParam) {
  cInputWatch* self = Current_.load();
  if (code == HC_ACTION && self != nullptr) {
    self->LastEventAt_.store(GetTickCount());
    const auto* event = reinterpret_cast<const KBDLLHOOKSTRUCT*>(lParam);
    const UINT message = static_cast<UINT>(wParam);
    // Keys go to the foreground window's thread.
    const bool forOthers = !OwnWindow(GetForegroundWindow());
    if (message == WM_KEYDOWN || message == WM_SYSKEYDOWN) {
      if (self->Report(message, static_cast<LPARAM>(event->vkCode), forOthers)) return 1;
    } else if ((message == WM_KEYUP || message == WM_SYSKEYUP) && forOthers && self->Armed()) {
      return 1;
    }
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

DWORD WINAPI cInputWatch::ThreadProc(void* param) {
  auto* state = static_cast<StartState*>(param);
  // The thread's message queue exists before Stop can post WM_QUIT to it.
  MSG msg;
  PeekMessageA(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
  HINSTANCE instance = GetModuleHandleA(nullptr);
  HHOOK mouse = SetWindowsHookExA(WH_MOUSE_LL, &cInputWatch::MouseHook, instance, 0);
  HHOOK keyboard = mouse != nullptr ? SetWindowsHookExA(WH_KEYBOARD_LL, &cInputWatch::KeyboardHook, instance, 0)
                                    : nullptr;
  if (keyboard == nullptr) {
    state->Error = GetLastError();
    if (state->Error == 0) state->Error = ERROR_HOOK_NOT_INSTALLED;
    if (mouse != nullptr) UnhookWindowsHookEx(mouse);
    SetEvent(state->Ready);
    return 1;
  }
  SetEvent(state->Ready);  // state belongs to Start, which may return now
  handles::UniqueHook mouseHook(mouse), keyboardHook(keyboard);
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    if (msg.hwnd == nullptr && msg.message == kForgetHooks) {
      keyboardHook.reset();
      mouseHook.reset();
      SetEvent(reinterpret_cast<HANDLE>(msg.lParam));
      continue;
    }
    DispatchMessageA(&msg);
  }
  return 0;
}
