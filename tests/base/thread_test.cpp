#include "base/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <stdexcept>
#include <string>

#include "base/log.h"
#include "tests/support/testing.h"

namespace {

constexpr UINT kDone = WM_APP + 7;
constexpr DWORD kPatience = 10000;  // ms; only reached when something is broken

// A message-only window on the test thread that receives completion messages.
class Receiver {
 public:
  Receiver() {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "DrearigramsThreadTestReceiver";
    RegisterClassA(&wc);
    Window = CreateWindowExA(0, wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
  }
  ~Receiver() {
    if (Window != nullptr) DestroyWindow(Window);
  }

  // Waits up to timeout ms for a completion message; pumps the queue meanwhile.
  bool Wait(MSG& msg, DWORD timeout = kPatience) {
    DWORD start = GetTickCount();
    for (;;) {
      if (PeekMessageA(&msg, Window, kDone, kDone, PM_REMOVE)) return true;
      DWORD spent = GetTickCount() - start;
      if (spent >= timeout) return false;
      MsgWaitForMultipleObjectsEx(0, nullptr, timeout - spent, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
  }
  bool Pending() {
    MSG msg;
    return PeekMessageA(&msg, Window, kDone, kDone, PM_REMOVE) != FALSE;
  }

  HWND Window = nullptr;
};

// Runs a test-supplied body and remembers what the base class showed it.
class TestThread : public cThread {
 public:
  ~TestThread() override { WaitUntilIdle(kPatience); }

  void Run() override {
    ++Runs;
    ErrorAtStart = GetError();
    StopAtStart = IsStopRequested();
    if (Body) Body(*this);
  }
  // A subclass's own failures (the download worker's SetError keeps a text
  // and can run out of memory): the thread's entry must hold against them.
  int32_t SetError(int32_t code) override {
    if (code != 0 && ThrowFromSetError) throw std::runtime_error("no memory for the error text");
    return cThread::SetError(code);
  }
  BOOL NotifyOwner() override {
    if (ThrowFromNotifyOwner) throw 42;
    BOOL posted = cThread::NotifyOwner();
    ++Notifications;
    LastPosted = posted;
    return posted;
  }
  HANDLE Handle() const { return ThreadHandle.load(); }

  std::function<void(TestThread&)> Body;
  bool ThrowFromSetError = false;
  bool ThrowFromNotifyOwner = false;
  std::atomic<int> Runs{0};
  std::atomic<int> Notifications{0};
  std::atomic<BOOL> LastPosted{FALSE};
  std::atomic<int32_t> ErrorAtStart{-1};
  std::atomic<int> StopAtStart{-1};
};

// A manual-reset event: one side opens it, the other waits for that.
struct Gate {
  HANDLE Event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ~Gate() { CloseHandle(Event); }
  void Open() { SetEvent(Event); }
  bool WaitOpen() { return WaitForSingleObject(Event, kPatience) == WAIT_OBJECT_0; }
};

}  // namespace

TEST(cThread, PostsOneCompletionMessageCarryingTheErrorCode) {
  Receiver receiver;
  ASSERT_NE(receiver.Window, nullptr);
  TestThread thread;
  thread.Body = [](TestThread& self) { self.SetError(ERR_FILE_CORRUPT); };

  HANDLE handle = thread.Start(receiver.Window, kDone, 77);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  MSG msg;
  ASSERT_TRUE(receiver.Wait(msg));
  EXPECT_EQ(msg.wParam, 77u);
  EXPECT_EQ(static_cast<int32_t>(msg.lParam), ERR_FILE_CORRUPT);

  ASSERT_TRUE(thread.WaitUntilIdle(kPatience));
  EXPECT_FALSE(receiver.Pending()) << "a second completion message";
  EXPECT_EQ(thread.Runs, 1);
  EXPECT_EQ(thread.Notifications, 1);
  EXPECT_TRUE(thread.LastPosted);
  EXPECT_FALSE(thread.IsRunning());
  EXPECT_EQ(thread.Handle(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(thread.GetError(), ERR_FILE_CORRUPT);

  // Without a window nothing is posted.
  ASSERT_NE(thread.Start(nullptr, kDone, 5), INVALID_HANDLE_VALUE);
  ASSERT_TRUE(thread.WaitUntilIdle(kPatience));
  EXPECT_EQ(thread.Notifications, 2);
  EXPECT_FALSE(thread.LastPosted);
  EXPECT_FALSE(receiver.Pending());
}

TEST(cThread, RunsThatReturnAtOnceEachPostExactlyOnce) {
  // Many short runs give the worker every chance to finish before Start has
  // stored the handle: the handle must still be closed once and only once.
  Receiver receiver;
  TestThread thread;
  for (int i = 0; i < 200; ++i) {
    ASSERT_NE(thread.Start(receiver.Window, kDone, i), INVALID_HANDLE_VALUE) << "run " << i;
    MSG msg;
    ASSERT_TRUE(receiver.Wait(msg)) << "run " << i;
    EXPECT_EQ(msg.wParam, static_cast<WPARAM>(i));
    EXPECT_EQ(msg.lParam, 0);
    ASSERT_TRUE(thread.WaitUntilIdle(kPatience));
    EXPECT_EQ(thread.Handle(), INVALID_HANDLE_VALUE) << "run " << i;
  }
  EXPECT_FALSE(receiver.Pending());
  EXPECT_EQ(thread.Runs, 200);
  EXPECT_EQ(thread.Notifications, 200);
}

TEST(cThread, RestartFromTheCompletionMessageIsNeverRefused) {
  // The download job starts its next transfer from the handler of the
  // previous one's completion message; the worker may not have finished its
  // own bookkeeping yet, and a refused start would stall the job for good.
  Receiver receiver;
  TestThread thread;
  MSG msg;
  ASSERT_NE(thread.Start(receiver.Window, kDone, 0), INVALID_HANDLE_VALUE);
  for (int i = 1; i <= 300; ++i) {
    ASSERT_TRUE(receiver.Wait(msg)) << "run " << i;
    ASSERT_NE(thread.Start(receiver.Window, kDone, i), INVALID_HANDLE_VALUE) << "refused at run " << i;
  }
  ASSERT_TRUE(receiver.Wait(msg));
  EXPECT_EQ(msg.wParam, 300u);
  ASSERT_TRUE(thread.WaitUntilIdle(kPatience));
  EXPECT_EQ(thread.Runs, 301);
}

TEST(cThread, SecondStartWhileRunningChangesNothing) {
  Receiver receiver;
  TestThread thread;
  Gate started, release;
  thread.Body = [&](TestThread& self) {
    self.SetError(ERR_CANCELLED);
    started.Open();
    release.WaitOpen();
  };

  ASSERT_NE(thread.Start(receiver.Window, kDone, 1), INVALID_HANDLE_VALUE);
  ASSERT_TRUE(started.WaitOpen());
  EXPECT_TRUE(thread.IsRunning());
  EXPECT_FALSE(thread.WaitUntilIdle(0));
  EXPECT_EQ(thread.Start(receiver.Window, kDone + 1, 2), INVALID_HANDLE_VALUE);
  EXPECT_EQ(thread.GetError(), ERR_CANCELLED) << "the refused Start cleared the running thread's error";

  release.Open();
  MSG msg;
  ASSERT_TRUE(receiver.Wait(msg));
  EXPECT_EQ(msg.wParam, 1u) << "the refused Start replaced the notification values";
  EXPECT_EQ(static_cast<int32_t>(msg.lParam), ERR_CANCELLED);
  ASSERT_TRUE(thread.WaitUntilIdle(kPatience));
  EXPECT_EQ(thread.Runs, 1);
}

TEST(cThread, StopReachesTheWorkerAndRestartClearsIt) {
  Receiver receiver;
  TestThread thread;
  Gate started, release;
  thread.Body = [&](TestThread& self) {
    started.Open();
    release.WaitOpen();
    if (self.IsStopRequested()) self.SetError(ERR_CANCELLED);
  };

  // A Stop before Start has no lasting effect.
  thread.Stop();
  ASSERT_NE(thread.Start(receiver.Window, kDone, 0), INVALID_HANDLE_VALUE);
  ASSERT_TRUE(started.WaitOpen());
  EXPECT_EQ(thread.StopAtStart, 0);
  thread.Stop();
  release.Open();
  MSG msg;
  ASSERT_TRUE(receiver.Wait(msg));
  EXPECT_EQ(static_cast<int32_t>(msg.lParam), ERR_CANCELLED);
  ASSERT_TRUE(thread.WaitUntilIdle(kPatience));

  // The next run starts with neither the old error nor the stop request.
  EXPECT_TRUE(thread.IsStopRequested());
  thread.Body = nullptr;
  ASSERT_NE(thread.Start(receiver.Window, kDone, 0), INVALID_HANDLE_VALUE);
  ASSERT_TRUE(receiver.Wait(msg));
  EXPECT_EQ(msg.lParam, 0);
  ASSERT_TRUE(thread.WaitUntilIdle(kPatience));
  EXPECT_EQ(thread.ErrorAtStart, 0);
  EXPECT_EQ(thread.StopAtStart, 0);
  EXPECT_FALSE(thread.IsStopRequested());
  EXPECT_EQ(thread.GetError(), 0);
}

TEST(cThread, AnExceptionFromRunEndsTheRunWithAnErrorAndALogLine) {
  testing_support::TempDir dir;
  LogSetPath(dir.File("worker.log"), true);
  Receiver receiver;
  TestThread thread;

  thread.Body = [](TestThread&) { throw std::runtime_error("disk on fire"); };
  ASSERT_NE(thread.Start(receiver.Window, kDone, 0), INVALID_HANDLE_VALUE);
  MSG msg;
  ASSERT_TRUE(receiver.Wait(msg));
  EXPECT_EQ(static_cast<int32_t>(msg.lParam), ERR_NO_ERROR_INFO);
  ASSERT_TRUE(thread.WaitUntilIdle(kPatience));

  std::string log = testing_support::ReadFileBytes(dir.File("worker.log"));
  EXPECT_NE(log.find("disk on fire"), std::string::npos) << log;
  LogSetPath("", true);
}

// Nothing leaves the thread's entry, whatever throws: Run() with something
// that is no std::exception, then the subclass's SetError and NotifyOwner
// while the entry handles it. The owner still hears of the end.
TEST(cThread, NothingThrownAtTheEndOfARunLeavesTheThread) {
  testing_support::TempDir dir;
  LogSetPath(dir.File("worker.log"), true);
  Receiver receiver;
  TestThread thread;
  thread.ThrowFromSetError = true;
  thread.ThrowFromNotifyOwner = true;
  thread.Body = [](TestThread&) { throw 7; };
  ASSERT_NE(thread.Start(receiver.Window, kDone, 0), INVALID_HANDLE_VALUE);
  MSG msg;
  ASSERT_TRUE(receiver.Wait(msg)) << "the base's own completion message";
  EXPECT_EQ(static_cast<int32_t>(msg.lParam), ERR_NO_ERROR_INFO);
  ASSERT_TRUE(thread.WaitUntilIdle(kPatience));
  EXPECT_EQ(thread.GetError(), ERR_NO_ERROR_INFO);
  EXPECT_EQ(thread.Handle(), INVALID_HANDLE_VALUE);
  std::string log = testing_support::ReadFileBytes(dir.File("worker.log"));
  EXPECT_NE(log.find("unknown exception"), std::string::npos) << log;
  LogSetPath("", true);
}
