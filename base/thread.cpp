// The thread handle is closed exactly once: by the worker when it finishes,
// or by Start when the worker finished before Start had stored the handle.
// Both sides take the handle with an atomic exchange, so only one can win.
#include "base/thread.h"

#include <process.h>

#include <exception>

#include "base/log.h"

cThread::BeginThreadFn cThread::BeginThread = _beginthreadex;

cThread::~cThread() {
  // The owner stops and waits first; this is the last line of defence so the
  // thread never runs on a destroyed object.
  if (Idle_) WaitForSingleObject(Idle_.get(), INFINITE);
  CloseThreadHandle();
}

HANDLE cThread::Start(HWND notifyWindow, UINT notifyMessage, WPARAM notifyWParam) {
  if (ThreadHandle.load() != INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
  if (Idle_ && WaitForSingleObject(Idle_.get(), 0) != WAIT_OBJECT_0) {
    if (Running.load() != 0) return INVALID_HANDLE_VALUE;
    // Run() has returned and the worker is only finishing its completion
    // message. Owners restart from the handler of that very message (the next
    // transfer of a download job), which can arrive before the worker has
    // signalled; refusing then would stall the job, so wait for the tail.
    WaitForSingleObject(Idle_.get(), INFINITE);
  }
  SetError(0);
  ResetStop();
  NotifyWindow = notifyWindow;
  NotifyMessage = notifyMessage;
  NotifyWParam = notifyWParam;
  Running.store(1);
  if (Idle_) ResetEvent(Idle_.get());

  uintptr_t created = BeginThread(nullptr, 0, &cThread::ThreadProc, this, 0, nullptr);
  if (created == 0) {
    SetFromLastError();
    Running.store(0);
    if (Idle_) SetEvent(Idle_.get());
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle = reinterpret_cast<HANDLE>(created);
  ThreadHandle.store(handle);
  if (Running.load() == 0) {
    // The worker has already finished and may have found no handle to close.
    CloseHandleOnce();
  }
  return handle;
}

void cThread::CloseHandleOnce() {
  HANDLE handle = ThreadHandle.exchange(INVALID_HANDLE_VALUE);
  if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
}

void cThread::CloseThreadHandle() { CloseHandleOnce(); }

BOOL cThread::NotifyOwner() {
  if (NotifyWindow == nullptr) return FALSE;
  return PostMessageA(NotifyWindow, NotifyMessage, NotifyWParam, static_cast<LPARAM>(GetError()));
}

void cThread::Stop() { StopRequested.store(1); }

void cThread::ResetStop() { StopRequested.store(0); }

bool cThread::WaitUntilIdle(DWORD milliseconds) {
  return !Idle_ || WaitForSingleObject(Idle_.get(), milliseconds) == WAIT_OBJECT_0;
}

// The thread's entry is a wall: nothing thrown by Run(), by a subclass's
// SetError or NotifyOwner, or by the log leaves it (an exception cannot
// unwind into the system's thread start). The owner always gets its
// completion message and the object always reaches idle.
unsigned __stdcall cThread::ThreadProc(void* self) {
  auto* thread = static_cast<cThread*>(self);
  try {
    thread->Run();
  } catch (...) {
    thread->RecordEscapedException();
  }
  thread->Running.store(0);
  thread->CloseHandleOnce();
  unsigned result = 0;
  try {
    result = thread->NotifyOwner() ? 1u : 0u;
  } catch (...) {
    // A subclass's notification failed: the base's plain message instead.
    try {
      result = thread->cThread::NotifyOwner() ? 1u : 0u;
    } catch (...) {
    }
  }
  HANDLE idle = thread->Idle_.get();
  if (idle != nullptr) SetEvent(idle);  // the object may be destroyed from here on
  return result;
}

void cThread::RecordEscapedException() noexcept {
  try {
    try {
      throw;
    } catch (const std::exception& e) {
      LogWrite(LOG_ERROR, "Worker thread stopped by an exception: %s", e.what());
    } catch (...) {
      LogWrite(LOG_ERROR, "Worker thread stopped by an unknown exception.");
    }
  } catch (...) {
    // Not even the log line could be written; the error code still tells.
  }
  try {
    if (GetError() == 0) SetError(ERR_NO_ERROR_INFO);
  } catch (...) {
    // A subclass's SetError failed (its text needs memory): the code alone.
    cThread::SetError(ERR_NO_ERROR_INFO);
  }
}
