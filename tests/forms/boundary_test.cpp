// Something is thrown through every callback the form library gives Windows:
// the form's window procedure, the check-list box's subclass procedure, the
// timers, the window walks of ShowModal, and the exception displays at the
// end of each wall. The 32-bit edition cannot unwind an exception through
// Windows' frames at all, so there a missing wall ends the test program;
// on the 64-bit edition the exception would come out of SendMessage or
// DispatchMessage, or leave windows disabled.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "forms/application.h"
#include "forms/boundary.h"
#include "forms/form.h"
#include "forms/timer.h"
#include "tests/support/testing.h"

using testing_support::AllowedAllocations;
using testing_support::FailingAllocations;
using testing_support::MessageBoxCatcher;

namespace {

constexpr UINT kThrowStd = WM_APP + 1;
constexpr UINT kThrowOther = WM_APP + 2;
constexpr DWORD kPatience = 10000;  // ms; only reached when something is broken

// A form whose handlers throw on demand and which keeps what reached its
// exception handler; the handler itself can be made to fail as well.
class ThrowingForm : public forms::TForm {
 public:
  ThrowingForm() {
    WantVisible = false;
    OnMessage(kThrowStd, [](WPARAM, LPARAM) -> LRESULT { throw std::runtime_error("handler failed"); });
    OnMessage(kThrowOther, [](WPARAM, LPARAM) -> LRESULT { throw 42; });
    CreateHandle();
  }

  std::vector<std::string> Handled;
  bool HandlerFails = false;

 protected:
  void HandleException(const std::exception& error) override {
    if (HandlerFails) throw std::logic_error("the handler's own failure");
    AllowedAllocations bookkeeping;
    Handled.push_back(error.what());
  }
};

bool PumpUntil(const std::function<bool()>& done) {
  const DWORD start = GetTickCount();
  while (!done()) {
    const DWORD elapsed = GetTickCount() - start;
    if (elapsed >= kPatience) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
  }
  return true;
}

class FormWalls : public ::testing::Test {
 protected:
  FormWalls() { forms::Application.Initialize(); }
};

}  // namespace

TEST_F(FormWalls, AHandlersExceptionReachesTheFormNotWindows) {
  ThrowingForm form;
  EXPECT_EQ(SendMessageA(form.Handle(), kThrowStd, 0, 0), 0);
  EXPECT_EQ(SendMessageA(form.Handle(), kThrowOther, 0, 0), 0);
  EXPECT_EQ(form.Handled, (std::vector<std::string>{"handler failed", forms::UnknownException().what()}));

  // Posted, the message goes through DispatchMessage: the same wall.
  PostMessageA(form.Handle(), kThrowStd, 0, 0);
  EXPECT_TRUE(PumpUntil([&] { return form.Handled.size() == 3; }));
}

TEST_F(FormWalls, AFailingExceptionHandlerEndsInAPlainBox) {
  ThrowingForm form;
  form.HandlerFails = true;
  MessageBoxCatcher boxes;
  EXPECT_EQ(SendMessageA(form.Handle(), kThrowStd, 0, 0), 0);
  ASSERT_EQ(boxes.Boxes.size(), 1u);
  EXPECT_EQ(boxes.Boxes[0].Text, "the handler's own failure");

  // With no memory left the box still shows the text, without the full
  // stop the display would add.
  std::runtime_error error("out of everything");
  {
    FailingAllocations noMemory;
    forms::Application.ShowException(error);
  }
  ASSERT_EQ(boxes.Boxes.size(), 2u);
  EXPECT_EQ(boxes.Boxes[1].Text, "out of everything");
}

TEST_F(FormWalls, ATickOfTheCheckListBoxThatThrowsGoesToItsForm) {
  ThrowingForm form;
  forms::TCheckListBox list(&form, 100);
  list.SetBounds(0, 0, 200, 100);
  list.Add("first");
  list.Add("second");
  list.SetItemIndex(1);
  list.OnClickCheck = [] { throw std::runtime_error("tick refused"); };

  // The space bar and a press in the tick box both toggle inside the
  // list's subclass procedure, then call the form's code.
  EXPECT_EQ(SendMessageA(list.Handle(), WM_KEYDOWN, VK_SPACE, 0), 0);
  EXPECT_TRUE(list.Checked(1));
  const RECT first = list.ItemRect(0);
  SendMessageA(list.Handle(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(4, (first.top + first.bottom) / 2));
  SendMessageA(list.Handle(), WM_LBUTTONUP, 0, MAKELPARAM(4, (first.top + first.bottom) / 2));
  EXPECT_TRUE(list.Checked(0));
  EXPECT_EQ(form.Handled, (std::vector<std::string>{"tick refused", "tick refused"}));
}

TEST_F(FormWalls, ATimerKeepsWhatItsTickThrewOrNothingWithoutMemory) {
  forms::TTimer timer;
  int ticks = 0;
  // Longer than any text kept before, so that keeping it needs new memory.
  const std::runtime_error failure("the tick failed, and its text is longer than the last one kept");
  bool refuseMemory = false;
  // Refused from inside the tick until the test ends it, so that the
  // timer's handler meets it too.
  std::optional<FailingAllocations> noMemory;
  timer.OnTimer = [&] {
    ++ticks;
    if (refuseMemory) {
      noMemory.emplace();
      throw failure;
    }
    throw 7;
  };
  timer.SetInterval(10);
  timer.SetEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return ticks >= 1; }));
  EXPECT_EQ(timer.LastError, forms::UnknownException().what());

  refuseMemory = true;
  const int before = ticks;
  const bool ticked = PumpUntil([&] { return ticks > before; });
  noMemory.reset();
  ASSERT_TRUE(ticked);
  timer.SetEnabled(false);
  EXPECT_EQ(timer.LastError, "") << "the text could not be kept";

  refuseMemory = false;
  timer.OnTimer = [&] { throw failure; };
  timer.Tick();
  EXPECT_EQ(timer.LastError, failure.what());
}

// A window walk's visitor that throws stops the walk; the exception comes
// out after Windows' enumeration has returned.
TEST_F(FormWalls, AWindowWalkCarriesItsExceptionPastTheEnumeration) {
  ThrowingForm first, second;
  for (auto walk : {+[](const std::function<bool(HWND)>& visit) { forms::ForEachTopLevelWindow(visit); },
                    +[](const std::function<bool(HWND)>& visit) {
                      forms::ForEachThreadWindow(GetCurrentThreadId(), visit);
                    }}) {
    int visited = 0;
    EXPECT_THROW(walk([&](HWND) -> bool {
      ++visited;
      throw std::runtime_error("visit failed");
    }),
                 std::runtime_error);
    EXPECT_EQ(visited, 1);
    visited = 0;
    walk([&](HWND) { return ++visited < 2; });
    EXPECT_EQ(visited, 2) << "false ends the walk";
  }
}

// ShowModal disables the thread's other windows; when it cannot remember
// one (no memory) it fails, and every window it touched is enabled again.
TEST_F(FormWalls, AModalFormThatCannotStartLeavesNoWindowDisabled) {
  ThrowingForm other, dialog;
  other.Show();
  ASSERT_TRUE(IsWindowEnabled(other.Handle()));
  bool threw = false;
  {
    FailingAllocations noMemory;
    try {
      dialog.ShowModal();
    } catch (const std::bad_alloc&) {
      threw = true;
    }
  }
  EXPECT_TRUE(threw);
  EXPECT_TRUE(IsWindowEnabled(other.Handle()));
  EXPECT_FALSE(dialog.Modal());
  EXPECT_FALSE(IsWindowVisible(dialog.Handle()));
}

// The release message is registered, so any program can post it: a form
// that never asked to be released stays, and one that did goes.
TEST_F(FormWalls, OnlyAFormThatAskedIsReleased) {
  const UINT release = RegisterWindowMessageA("DrearigramsReleaseForm");
  auto* form = new ThrowingForm;
  HWND window = form->Handle();
  SendMessageA(window, release, 0, 0);
  ASSERT_TRUE(IsWindow(window));
  EXPECT_EQ(form->Handle(), window);
  form->Release();
  EXPECT_TRUE(PumpUntil([&] { return !IsWindow(window); }));
}
