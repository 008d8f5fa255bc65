// A timer of the form library: a thread timer with a callback, no window.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace forms {

// Calls OnTimer every Interval milliseconds while enabled. A tick that throws
// is swallowed here (its text kept in LastError, empty when there was no
// memory for it): a timer is a wall.
class TTimer {
 public:
  TTimer() = default;
  TTimer(const TTimer&) = delete;
  TTimer& operator=(const TTimer&) = delete;
  ~TTimer() { Stop(); }

  void SetEnabled(bool enabled);
  bool Enabled() const { return Enabled_; }
  void SetInterval(UINT milliseconds);
  UINT Interval() const { return Interval_; }
  std::function<void()> OnTimer;
  std::string LastError;

  // Runs one tick now, as the system timer would (for tests and callers that
  // must not wait for the next tick).
  void Tick();

 private:
  void Start();
  void Stop();
  static void CALLBACK TimerProc(HWND, UINT, UINT_PTR id, DWORD);

  bool Enabled_ = false;
  UINT Interval_ = 1000;
  UINT_PTR Id_ = 0;
};

}  // namespace forms
