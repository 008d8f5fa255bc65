// What the user sees and does while a skit plays: the movie's window above
// the saver form in the Z order (Wine keeps the top-level order as Windows
// does, and EnumWindows lists it from the top), input that reaches the
// movie's window still ending the run, the next movie following the moment
// one ends, and every monitor covered. The input is real input (SendInput),
// so it goes where the system sends it, not straight to the form.
//
// Wine shows one monitor on a plain Xvfb display. `./run test` runs these
// tests a second time on a two-monitor X display under a window manager;
// there EveryMonitorIsCoveredOnARealDesk runs, and elsewhere the form is
// checked against two monitors through its Screens() seam.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/saver/saver_fixture.h"

using saver_testing::PlayerRunning;

namespace {

void SendKey(WORD key) {
  INPUT input[2] = {};
  input[0].type = input[1].type = INPUT_KEYBOARD;
  input[0].ki.wVk = input[1].ki.wVk = key;
  input[1].ki.dwFlags = KEYEVENTF_KEYUP;
  SendInput(2, input, sizeof(INPUT));
}

void MovePointerBy(int dx, int dy) {
  INPUT input = {};
  input.type = INPUT_MOUSE;
  input.mi.dx = dx;
  input.mi.dy = dy;
  input.mi.dwFlags = MOUSEEVENTF_MOVE;
  SendInput(1, &input, sizeof input);
}

void ClickLeft() {
  INPUT input[2] = {};
  input[0].type = input[1].type = INPUT_MOUSE;
  input[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
  input[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
  SendInput(2, input, sizeof(INPUT));
}

// The visible top-level windows from the top of the Z order down.
std::vector<HWND> TopLevelOrder() {
  std::vector<HWND> order;
  EnumWindows(
      [](HWND window, LPARAM param) CALLBACK -> BOOL {
        if (IsWindowVisible(window)) reinterpret_cast<std::vector<HWND>*>(param)->push_back(window);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&order));
  return order;
}

// Where window lies in the order; -1 when it is not there.
int PlaceOf(const std::vector<HWND>& order, HWND window) {
  for (size_t i = 0; i < order.size(); ++i)
    if (order[i] == window) return static_cast<int>(i);
  return -1;
}

// The order as text for a failure message: class names, "*" for stay-on-top,
// "(fg)" for the foreground window.
std::string Describe(const std::vector<HWND>& order) {
  std::string text;
  for (HWND window : order) {
    char name[64] = {};
    GetClassNameA(window, name, sizeof name);
    text += std::string(text.empty() ? "" : ", ") + name;
    if (GetWindowLongA(window, GWL_EXSTYLE) & WS_EX_TOPMOST) text += "*";
    if (window == GetForegroundWindow()) text += "(fg)";
  }
  return text;
}

RECT WindowRect(HWND window) {
  RECT rect = {};
  GetWindowRect(window, &rect);
  return rect;
}

bool SameRect(const RECT& a, const RECT& b) { return EqualRect(&a, &b) != 0; }

std::string Text(const RECT& r) {
  return "(" + std::to_string(r.left) + "," + std::to_string(r.top) + ")-(" + std::to_string(r.right) + "," +
         std::to_string(r.bottom) + ")";
}

// The stand-in player's window: 200 x 150 at 100, 100.
constexpr POINT kOnTheMovie = {200, 175};

}  // namespace

// SetWindowLong(WS_EX_TOPMOST) leaves a window where it is on Windows, and
// activating the form (as a poll that takes the foreground back does)
// raises it above a movie that was put in front before.
TEST_F(SaverRun, TheMovieStaysAboveTheForm) {
  AddSkit(1, "a.skit");
  Start();
  ASSERT_TRUE(WaitForStarts(1));
  HWND movie = Form->SkitPlayer->PlayerWindow;
  for (int tick = 0; tick <= 2; ++tick) {
    SCOPED_TRACE("after " + std::to_string(tick) + " ticks of the skit timer");
    // The movie is moved without waiting for its thread: the move lands when
    // the player's thread takes it.
    PumpUntil([&] {
      const std::vector<HWND> now = TopLevelOrder();
      return PlaceOf(now, movie) != -1 && PlaceOf(now, movie) < PlaceOf(now, Form->Handle()) &&
             (GetWindowLongA(movie, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
    });
    const std::vector<HWND> order = TopLevelOrder();
    ASSERT_NE(PlaceOf(order, movie), -1);
    ASSERT_NE(PlaceOf(order, Form->Handle()), -1);
    EXPECT_LT(PlaceOf(order, movie), PlaceOf(order, Form->Handle())) << Describe(order);
    EXPECT_LT(PlaceOf(order, Form->Handle()), PlaceOf(order, Form->BackdropWindow)) << Describe(order);
    EXPECT_NE(GetWindowLongA(movie, GWL_EXSTYLE) & WS_EX_TOPMOST, 0);
    Form->SkitTimer.Tick();
  }
}

TEST_F(SaverRun, InputThatReachesTheMovieEndsTheRun) {
  AddSkit(1, "a.skit");
  struct Case {
    const char* name;
    void (*act)();
  };
  const Case cases[] = {
      {"a pointer move of 20 pixels over the movie", [] { MovePointerBy(20, 0); }},
      {"a click on the movie", [] { ClickLeft(); }},
      {"a key while the movie has the keyboard", [] { SendKey('Q'); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetCursorPos(kOnTheMovie.x, kOnTheMovie.y);
    Start();
    ASSERT_TRUE(WaitForStarts(Starts() + 1));
    HWND movie = Form->SkitPlayer->PlayerWindow;
    // The movie is put in front without waiting for its thread.
    PumpUntil([&] { return WindowFromPoint(kOnTheMovie) == movie; });
    ASSERT_EQ(WindowFromPoint(kOnTheMovie), movie) << "the pointer must rest on the movie: " << Describe(TopLevelOrder());
    // The movie may take the foreground itself; then the keys go to it.
    SetForegroundWindow(movie);
    c.act();
    EXPECT_TRUE(PumpUntil([&] { return Form->Closing; }));
    EXPECT_TRUE(PumpUntil([&] { return !PlayerRunning(Settings.Player); }));
    Form.reset();
    delete TheSkitManager;
    TheSkitManager = nullptr;
  }
}

// The key is the movie's only once: the watch keeps the typed key from it,
// and the form passes it on. Keys after the close are no longer kept: they
// show that the movie has had all its input.
TEST_F(SaverRun, AHotKeyTypedWhileTheMovieHasTheKeyboardReachesItOnce) {
  AddSkitWithHotKey(1, "a.skit", 'H', 1);
  Start();
  ASSERT_TRUE(WaitForStarts(1));
  HWND movie = Form->SkitPlayer->PlayerWindow;
  SetForegroundWindow(movie);
  SendKey('H');
  ASSERT_TRUE(PumpUntil([&] { return Form->KeepPlayer && Form->Closing; }));
  // Where the keyboard goes once the form closes is the window system's
  // choice (without a window manager Wine gives it to no one): give it back
  // to the movie, so that the key tells only whether the watch let it pass.
  SetForegroundWindow(movie);
  SendKey('Z');
  auto keys = [&] {
    std::vector<std::string> lines;
    for (const std::string& line : PlayerRecord(Settings.Player))
      if (line.rfind("KEY ", 0) == 0) lines.push_back(line);
    return lines;
  };
  ASSERT_TRUE(PumpUntil([&] {
    for (const std::string& line : keys())
      if (line == "KEY " + std::to_string('Z')) return true;
    return false;
  }));
  std::vector<std::string> expected = {"KEY " + std::to_string('H'), "KEY " + std::to_string('Z')};
  EXPECT_EQ(keys(), expected);
}

// The next movie follows the moment one ends, not at SkitTimer's next tick:
// here the timer does not run at all.
TEST_F(SaverRun, TheNextSkitStartsTheMomentAMovieEnds) {
  AddSkit(1, "a.skit");
  AddSkit(2, "b.skit");
  Start();
  ASSERT_TRUE(WaitForStarts(1));
  Form->SkitTimer.SetEnabled(false);
  Form->MinimumSkitRun = 0;
  for (size_t n = 2; n <= 3; ++n) {
    PostMessageA(Form->SkitPlayer->PlayerWindow, WM_CLOSE, 0, 0);
    ASSERT_TRUE(PumpUntil([&] { return Starts() >= n && Form->SkitPlayer != nullptr; })) << "start " << n;
    EXPECT_FALSE(Form->SkitPlayer->IsFinished(0));
  }
  EXPECT_EQ(Form->RunCount, 3);
}

// A movie that ends as soon as it started (a player that dies at once) is
// let go, and the next one waits for the tick, so a broken player is not
// started many times a second.
TEST_F(SaverRun, AMovieThatEndsAtOnceWaitsForTheTick) {
  AddSkit(1, "a.skit");
  Start();
  ASSERT_TRUE(WaitForStarts(1));
  Form->SkitTimer.SetEnabled(false);
  Form->MinimumSkitRun = 600000;
  PostMessageA(Form->SkitPlayer->PlayerWindow, WM_CLOSE, 0, 0);
  ASSERT_TRUE(PumpUntil([&] { return Form->SkitPlayer == nullptr; }));
  EXPECT_EQ(Starts(), 1u);
  Form->SkitTimer.Tick();
  EXPECT_TRUE(WaitForStarts(2));
}

// Through the seam: a desk whose second monitor lies left of and above the
// primary one, so the virtual screen starts at negative coordinates. The
// error line runs on the primary monitor, which is where the real screen is.
TEST_F(SaverRun, TheFormCoversEveryMonitorItIsGiven) {
  // A window manager moves a window that reaches past its screen as it sees
  // fit; on the desk under one, EveryMonitorIsCoveredOnARealDesk shows it.
  if (const char* desk = std::getenv("DG_DESK"); desk != nullptr && std::string(desk).rfind("openbox", 0) == 0)
    GTEST_SKIP() << "monitors that are not there, under a window manager";
  const int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
  SaverScreens desk{};
  desk.Primary = RECT{0, 0, width, height};
  desk.Cover = RECT{-1024, -120, width, height};
  FakeScreens = desk;
  StartupErrorText = "catalogue trouble [x.pak]";
  Start(false);
  ASSERT_TRUE(PumpUntil([&] { return Form->ErrorActive; }));
  EXPECT_TRUE(SameRect(WindowRect(Form->Handle()), desk.Cover)) << Text(WindowRect(Form->Handle()));
  const RECT box = Form->PaintBox_Main.BoundsRect();
  EXPECT_TRUE(SameRect(box, RECT{1024, 120, 1024 + width, 120 + height})) << Text(box);

  // The line is drawn where the primary monitor shows it.
  Form->ErrorTimer.SetEnabled(false);
  ErrorScrollX = ERROR_SCROLL_UNSTARTED;
  Form->ErrorTimerTimer();
  ErrorScrollX = 60;
  Form->ErrorTimerTimer();
  HFONT font = Form->PaintBox_Main.Font.Handle();
  const int stripHeight = 20;
  const testing_support::Pixels shown =
      testing_support::CaptureWindow(Form->Handle(), RECT{box.left, box.top, box.left + 400, box.top + stripHeight});
  const testing_support::Pixels fresh = testing_support::DrawPixels(400, stripHeight, [&](HDC dc) {
    RECT all = {0, 0, 400, stripHeight};
    FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    SelectObject(dc, font);
    SetTextColor(dc, Form->PaintBox_Main.Font.Color);
    SetBkMode(dc, TRANSPARENT);
    TextOutA(dc, 60, 0, Form->ErrorLine.c_str(), static_cast<int>(Form->ErrorLine.size()));
  });
  EXPECT_EQ(testing_support::DifferentPixels(shown, fresh, 8), 0u);

  // The backdrop that comes with the first skit covers the same desk.
  Form->CreateBackdrop();
  ASSERT_NE(Form->BackdropWindow, nullptr);
  EXPECT_TRUE(SameRect(WindowRect(Form->BackdropWindow), desk.Cover)) << Text(WindowRect(Form->BackdropWindow));
}

TEST_F(SaverRun, EveryMonitorIsCoveredOnARealDesk) {
  const char* deskName = std::getenv("DG_DESK");
  if (GetSystemMetrics(SM_CMONITORS) < 2) {
    // The desk of ./run has two monitors: Wine must see them there.
    if (deskName != nullptr && std::string(deskName).find("two-monitors") != std::string::npos)
      FAIL() << "the desk " << deskName << " has two monitors, Wine reports " << GetSystemMetrics(SM_CMONITORS);
    GTEST_SKIP() << "Wine reports one monitor on this display; ./run test repeats this on a two-monitor desk";
  }
  AddSkit(1, "a.skit");
  SetCursorPos(kOnTheMovie.x, kOnTheMovie.y);
  Start();
  ASSERT_TRUE(WaitForStarts(1));
  const int x = GetSystemMetrics(SM_XVIRTUALSCREEN), y = GetSystemMetrics(SM_YVIRTUALSCREEN);
  const RECT desk = {x, y, x + GetSystemMetrics(SM_CXVIRTUALSCREEN), y + GetSystemMetrics(SM_CYVIRTUALSCREEN)};
  EXPECT_TRUE(SameRect(WindowRect(Form->Handle()), desk)) << Text(WindowRect(Form->Handle()));

  // On every other monitor, in its middle and at its corners, the pointer
  // lies on the form, not on the desktop or a window of another program, and
  // a move there ends the run.
  std::vector<RECT> others;
  EnumDisplayMonitors(
      nullptr, nullptr,
      [](HMONITOR monitor, HDC, LPRECT, LPARAM param) CALLBACK -> BOOL {
        MONITORINFO info = {};
        info.cbSize = sizeof info;
        if (GetMonitorInfoA(monitor, &info) && !(info.dwFlags & MONITORINFOF_PRIMARY))
          reinterpret_cast<std::vector<RECT>*>(param)->push_back(info.rcMonitor);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&others));
  ASSERT_FALSE(others.empty());
  for (const RECT& side : others) {
    const POINT points[] = {{(side.left + side.right) / 2, (side.top + side.bottom) / 2},
                            {side.left, side.top},
                            {side.right - 1, side.top},
                            {side.left, side.bottom - 1},
                            {side.right - 1, side.bottom - 1}};
    for (const POINT& point : points)
      EXPECT_EQ(GetAncestor(WindowFromPoint(point), GA_ROOT), Form->Handle())
          << "monitor " << Text(side) << " at " << point.x << "," << point.y;
  }
  const RECT& side = others.front();
  const POINT middle = {(side.left + side.right) / 2, (side.top + side.bottom) / 2};
  ASSERT_TRUE(SetCursorPos(middle.x, middle.y));
  POINT at = {};
  GetCursorPos(&at);
  ASSERT_TRUE(at.x == middle.x && at.y == middle.y) << "the pointer went to " << at.x << "," << at.y;
  EXPECT_TRUE(PumpUntil([&] { return Form->Closing; }));
}
