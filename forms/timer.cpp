#include "forms/timer.h"

#include <map>

#include "forms/boundary.h"

namespace forms {

namespace {
std::map<UINT_PTR, TTimer*>& Timers() {
  static std::map<UINT_PTR, TTimer*> timers;
  return timers;
}
}  // namespace

void TTimer::SetEnabled(bool enabled) {
  if (enabled == Enabled_) return;
  Enabled_ = enabled;
  if (Enabled_) Start(); else Stop();
}

void TTimer::SetInterval(UINT milliseconds) {
  if (milliseconds == Interval_) return;
  Interval_ = milliseconds;
  if (Enabled_) {
    Stop();
    Start();
  }
}

void TTimer::Start() {
  if (Interval_ == 0 || OnTimer == nullptr) return;
  // A thread timer with a callback needs no window; the id is the system's.
  Id_ = SetTimer(nullptr, 0, Interval_, &TTimer::TimerProc);
  if (Id_ != 0) Timers()[Id_] = this;
}

void TTimer::Stop() {
  if (Id_ != 0) {
    KillTimer(nullptr, Id_);
    Timers().erase(Id_);
    Id_ = 0;
  }
}

void TTimer::Tick() {
  if (!OnTimer) return;
  try {
    OnTimer();
  } catch (...) {
    const char* text = CurrentExceptionText();
    try {
      LastError = text;
    } catch (...) {
      // No memory to keep the text: the tick is still over.
      LastError.clear();
    }
  }
}

void CALLBACK TTimer::TimerProc(HWND, UINT, UINT_PTR id, DWORD) {
  try {
    auto it = Timers().find(id);
    if (it != Timers().end() && it->second->Enabled_) it->second->Tick();
  } catch (...) {
  }
}

}  // namespace forms
