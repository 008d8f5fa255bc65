// The base of background work: one Win32 thread running the subclass's Run(),
// its outcome kept as an error code, and one completion message posted to a
// window when Run() returns.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "base/errors.h"
#include "base/handles.h"

class cThread : public cError {
 public:
  cThread() = default;
  cThread(const cThread&) = delete;
  cThread& operator=(const cThread&) = delete;
  ~cThread() override;

  // Returns the thread handle, or INVALID_HANDLE_VALUE when a thread of this
  // object is still running or could not be created (then GetError() says why).
  HANDLE Start(HWND notifyWindow, UINT notifyMessage, WPARAM notifyWParam);
  void CloseThreadHandle();
  virtual BOOL NotifyOwner();
  virtual void Stop();
  virtual void ResetStop();
  virtual void Run() = 0;

  bool IsRunning() const { return Running.load() != 0; }
  bool IsStopRequested() const { return StopRequested.load() != 0; }
  // Waits until no thread of this object is left (its completion message
  // posted); true when that happened within the time. An owner calls it after
  // Stop() before it destroys the object.
  bool WaitUntilIdle(DWORD milliseconds);

  // The call that creates the thread; tests swap it for one that fails.
  using BeginThreadFn = uintptr_t (*)(void* security, unsigned stackSize, unsigned(__stdcall* entry)(void*),
                                      void* argument, unsigned flags, unsigned* threadId);
  static BeginThreadFn BeginThread;

 protected:
  std::atomic<HANDLE> ThreadHandle{INVALID_HANDLE_VALUE};
  std::atomic<int32_t> Running{0};
  std::atomic<int32_t> StopRequested{0};
  HWND NotifyWindow = nullptr;
  UINT NotifyMessage = WM_USER;
  WPARAM NotifyWParam = 0;

 private:
  static unsigned __stdcall ThreadProc(void* self);
  // Inside the entry's catch block: a log line and the error code.
  void RecordEscapedException() noexcept;
  void CloseHandleOnce();

  // Signalled while no thread of this object exists (also during the tail of
  // a finished run, until its message is posted it stays reset).
  handles::UniqueHandle Idle_{CreateEventA(nullptr, TRUE, TRUE, nullptr)};
};
