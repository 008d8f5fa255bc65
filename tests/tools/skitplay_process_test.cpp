// The built player, started the way the screensaver starts it: no command
// line, its own folder as current directory, the argument file beside it
// named after the program file (renamed here so that a fixed name would fail).
#include <windows.h>
#include <dbghelp.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/player_protocol.h"
#include "tests/support/testing.h"
#include "tests/tools/movie_testing.h"

namespace {

constexpr DWORD kWaitLimit = 20000;

class PlayerProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    Folder_ = Dir_.File("player folder");
    ASSERT_TRUE(CreateDirectoryA(Folder_.c_str(), nullptr));
    Program_ = Folder_ + "\\theatre.exe";
    ASSERT_TRUE(CopyFileA(DG_SKITPLAY_EXE, Program_.c_str(), FALSE)) << DG_SKITPLAY_EXE;
    ASSERT_TRUE(CreateDirectoryA(Dir_.File("my skits").c_str(), nullptr));
  }

  void TearDown() override {
    if (!Started_) return;
    if (WaitForSingleObject(Info_.hProcess, 0) == WAIT_TIMEOUT) {
      if (HWND window = PlayerWindow()) PostMessageA(window, WM_CLOSE, 0, 0);
      if (WaitForSingleObject(Info_.hProcess, kWaitLimit) == WAIT_TIMEOUT) TerminateProcess(Info_.hProcess, 1);
    }
    CloseHandle(Info_.hThread);
    CloseHandle(Info_.hProcess);
  }

  // Writes a skit into "my skits" and names it in the argument file, encoded
  // as the screensaver encodes it.
  void PrepareSkit(const std::string& name, const std::string& text, const std::string& extraPairs = "") {
    std::string path = Dir_.File("my skits\\" + name);
    testing_support::WriteFileBytes(path, text);
    std::string encoded;
    for (char c : path) encoded += c == ' ' ? std::string("%20") : c == '%' ? std::string("%25") : std::string(1, c);
    testing_support::WriteFileBytes(Folder_ + "\\theatre.arg",
                                    "SS_RunCount=0&SS_Sound=1&SS_Month=03&SS_Day=07&" + extraPairs + "SS_Swf=" + encoded);
  }

  void Start() {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    Started_ = CreateProcessA(Program_.c_str(), nullptr, nullptr, nullptr, TRUE, 0, nullptr, Folder_.c_str(), &startup,
                              &Info_) != 0;
    ASSERT_TRUE(Started_);
    StartTick_ = GetTickCount64();
  }

  // The first top-level window of the player's main thread, as the
  // screensaver searches for it.
  HWND PlayerWindow() const {
    struct Search {
      DWORD process, thread;
      HWND found;
    } search{Info_.dwProcessId, Info_.dwThreadId, nullptr};
    EnumWindows(
        [](HWND window, LPARAM param) CALLBACK -> BOOL {
          auto* s = reinterpret_cast<Search*>(param);
          DWORD process = 0;
          DWORD thread = GetWindowThreadProcessId(window, &process);
          if (thread != s->thread || process != s->process) return TRUE;
          s->found = window;
          return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
  }

  // Ready for input within the screensaver's 5 seconds, and the first
  // top-level window of its main thread is the player's own. Under Wine a
  // program goes idle as soon as it first reaches the desktop, a little
  // before its window exists, so the window is waited for (and, as it may be
  // caught while being made, its showing too).
  HWND WaitUntilReady() {
    EXPECT_EQ(WaitForInputIdle(Info_.hProcess, 5000), 0u);
    HWND window = nullptr;
    for (DWORD waited = 0; waited < 5000; waited += 20) {
      window = PlayerWindow();
      if (window && IsWindowVisible(window)) break;
      if (WaitForSingleObject(Info_.hProcess, 20) != WAIT_TIMEOUT) break;
    }
    EXPECT_NE(window, nullptr);
    if (window) {
      // Answered once the player has read its skit and runs its message loop.
      DWORD_PTR result = 0;
      EXPECT_TRUE(SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &result));
      char windowClass[64] = {};
      GetClassNameA(window, windowClass, sizeof windowClass);
      EXPECT_STREQ(windowClass, "DrearigramsSkitPlayer");
      EXPECT_TRUE(IsWindowVisible(window));
    }
    return window;
  }

  bool Exited(DWORD& code, DWORD limit = kWaitLimit) const {
    if (WaitForSingleObject(Info_.hProcess, limit) != WAIT_OBJECT_0) return false;
    GetExitCodeProcess(Info_.hProcess, &code);
    return true;
  }

  static std::string Title(HWND window) {
    char text[512] = {};
    GetWindowTextA(window, text, sizeof text);
    return text;
  }

  testing_support::TempDir Dir_;
  std::string Folder_;
  std::string Program_;
  PROCESS_INFORMATION Info_{};
  bool Started_ = false;
  ULONGLONG StartTick_ = 0;
};

}  // namespace

TEST_F(PlayerProgram, PlaysToTheEndAndLeavesWithZero) {
  PrepareSkit("one second.skit", "skit 1\nlength 1\nbackground #203040\nellipse 10 50 10 10 #FFFFFF to 90 50\n");
  Start();
  HWND window = WaitUntilReady();
  ASSERT_NE(window, nullptr);
  EXPECT_NE(Title(window).find("one second.skit"), std::string::npos) << Title(window);
  DWORD code = 1;
  ASSERT_TRUE(Exited(code));
  EXPECT_EQ(code, 0u);
  EXPECT_GE(GetTickCount64() - StartTick_, 900u);  // it played its second first
}

TEST_F(PlayerProgram, TakesKeysWithoutLeavingAndClosesOnWmClose) {
  PrepareSkit("long.skit", "skit 1\nlength 120\ntext 50 50 10 #FFFFFF \"Still here\"\n");
  Start();
  HWND window = WaitUntilReady();
  ASSERT_NE(window, nullptr);
  // Sent, not posted: handled by the time the call returns.
  DWORD_PTR result = 0;
  ASSERT_TRUE(SendMessageTimeoutA(window, WM_KEYDOWN, VK_F5, 0x003F0001, SMTO_NORMAL, 5000, &result));
  EXPECT_TRUE(IsWindow(window));
  EXPECT_EQ(WaitForSingleObject(Info_.hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT));

  PostMessageA(window, WM_CLOSE, 0, 0);
  DWORD code = 1;
  ASSERT_TRUE(Exited(code, 10000));
  EXPECT_EQ(code, 0u);
}

TEST_F(PlayerProgram, BrokenSkitShowsWhyAndEndsWithAnError) {
  PrepareSkit("broken.skit", "skit 1\nlength 3\nrect 1 2 3 4\n");
  Start();
  HWND window = WaitUntilReady();
  ASSERT_NE(window, nullptr);
  EXPECT_NE(Title(window).find("broken.skit: line 3: rect: missing the colour"), std::string::npos) << Title(window);
  DWORD code = 0;
  ASSERT_TRUE(Exited(code));
  EXPECT_EQ(code, 2u);
}

TEST_F(PlayerProgram, MissingArgumentFileIsShownNotFatal) {
  Start();
  HWND window = WaitUntilReady();
  ASSERT_NE(window, nullptr);
  EXPECT_NE(Title(window).find("theatre.arg"), std::string::npos) << Title(window);
  PostMessageA(window, WM_CLOSE, 0, 0);
  DWORD code = 0;
  ASSERT_TRUE(Exited(code, 10000));
  EXPECT_EQ(code, 2u);
}

namespace {

std::string TestMovie(const char* name) { return testing_support::ReadFileBytes(movie_testing::MoviePath(name)); }

// The player decodes on a thread beside its window's: not where 32-bit
// programs are emulated one thread at a time.
#define NEED_MOVIES()                                                               \
  do {                                                                              \
    DG_SKIP_WHERE_EMULATED("the player decodes a movie on a thread of its own");    \
    const std::string why = movie_testing::WhyNoMovies();                           \
    if (!why.empty()) GTEST_SKIP() << why;                                          \
  } while (0)

enum class Seen { Black, Red, Green, Blue, Other };

Seen Classify(COLORREF colour) {
  const int r = GetRValue(colour), g = GetGValue(colour), b = GetBValue(colour);
  auto about = [](int value, int target) { return value >= target - 40 && value <= target + 40; };
  if (about(r, 0) && about(g, 0) && about(b, 0)) return Seen::Black;
  if (about(r, 255) && about(g, 0) && about(b, 0)) return Seen::Red;
  if (about(r, 0) && about(g, 255) && about(b, 0)) return Seen::Green;
  if (about(r, 0) && about(g, 0) && about(b, 255)) return Seen::Blue;
  return Seen::Other;
}

// A pixel of the X display as the user sees it.
COLORREF ScreenPixel(int x, int y) {
  HDC screen = GetDC(nullptr);
  const COLORREF colour = GetPixel(screen, x, y);
  ReleaseDC(nullptr, screen);
  return colour;
}

// What the centre of the screen showed until the player ended: the colours
// in their order (R, G, B, ? for others; black left out), how long red and
// green stood, and the colour of the bar beside the picture while red did.
struct Watched {
  std::string Order;
  ULONGLONG Red = 0, Green = 0;
  COLORREF Bar = CLR_INVALID;
  COLORREF Other = CLR_INVALID;  // the first colour that was none of the movie's
};

// Only what the player's own window shows at the centre counts: the tests
// share the display, and another program's window may stand there before the
// player's shows, or after it has gone while its process ends.
Watched WatchCentre(HANDLE process, HWND player, ULONGLONG limit) {
  const int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
  const POINT centre{width / 2, height / 2};
  const ULONGLONG start = GetTickCount64();
  Watched watched;
  std::vector<ULONGLONG> starts;
  Seen last = Seen::Black;
  for (;;) {
    const HWND at = WindowFromPoint(centre);
    const bool ours = at != nullptr && GetAncestor(at, GA_ROOT) == player;
    const COLORREF colour = ours ? ScreenPixel(centre.x, centre.y) : CLR_INVALID;
    const Seen seen = ours ? Classify(colour) : last;
    const ULONGLONG now = GetTickCount64();
    // A full run once saw 124 ms of another colour before the movie's first,
    // most likely what lay beneath a window just shown, until its first
    // picture reached the X server: colours before the movie's first are
    // left out (the player paints black until then).
    const bool before = watched.Order.empty() && seen == Seen::Other;
    if (seen != last && seen != Seen::Black && !before) {
      if (seen == Seen::Other && watched.Other == CLR_INVALID) watched.Other = colour;
      watched.Order += "?RGB?"[static_cast<int>(seen)];
      starts.push_back(now);
    }
    last = seen;
    // The 4:3 movie on the wider screen: black bars left and right.
    if (ours && seen == Seen::Red && watched.Bar == CLR_INVALID) watched.Bar = ScreenPixel(width / 40, height / 2);
    if (WaitForSingleObject(process, 15) != WAIT_TIMEOUT || now - start > limit) break;
  }
  if (starts.size() >= 3) {
    watched.Red = starts[1] - starts[0];
    watched.Green = starts[2] - starts[1];
  }
  return watched;
}

}  // namespace

// Red, green and blue for a second each, with a tone (SS_Sound=1: where Wine
// has no audio output, as here, the movie plays silent). The centre of the
// screen is watched until the program ends.
TEST_F(PlayerProgram, MovieShowsEachColourInItsTimeAndLeavesWithZero) {
  NEED_MOVIES();
  PrepareSkit("segments.mp4", TestMovie("segments.mp4"));
  Start();
  HWND window = WaitUntilReady();
  ASSERT_NE(window, nullptr);
  const Watched watched = WatchCentre(Info_.hProcess, window, kWaitLimit);
  DWORD code = 1;
  ASSERT_TRUE(Exited(code));
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(watched.Bar, RGB(0, 0, 0));
  ASSERT_EQ(watched.Order, "RGB") << "other colour: " << std::hex << watched.Other;
  RecordProperty("red_ms", static_cast<int>(watched.Red));
  RecordProperty("green_ms", static_cast<int>(watched.Green));
  EXPECT_GE(watched.Red, 700u);
  EXPECT_LE(watched.Red, 1400u);
  EXPECT_GE(watched.Green, 700u);
  EXPECT_LE(watched.Green, 1400u);
}

// In standby the movie is read and waits hidden, its time stopped (the
// three-second movie is still there after four), and plays from its start
// once begun.
TEST_F(PlayerProgram, MovieWaitsInStandbyThenPlaysFromItsStart) {
  NEED_MOVIES();
  PrepareSkit("segments.mp4", TestMovie("segments.mp4"), "SS_Standby=1&");
  Start();
  EXPECT_EQ(WaitForInputIdle(Info_.hProcess, 5000), 0u);
  HWND window = nullptr;
  for (DWORD waited = 0; !window && waited < 5000; waited += 20) {
    window = PlayerWindow();
    if (!window && WaitForSingleObject(Info_.hProcess, 20) != WAIT_TIMEOUT) break;
  }
  ASSERT_NE(window, nullptr);
  DWORD_PTR result = 0;
  ASSERT_TRUE(SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &result));
  EXPECT_FALSE(IsWindowVisible(window));
  EXPECT_EQ(WaitForSingleObject(Info_.hProcess, 4000), static_cast<DWORD>(WAIT_TIMEOUT));
  PostMessageA(window, RegisterWindowMessageA(player_protocol::kBeginMessage), 0, 0);
  const Watched watched = WatchCentre(Info_.hProcess, window, kWaitLimit);
  DWORD code = 1;
  ASSERT_TRUE(Exited(code));
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(watched.Order, "RGB") << "other colour: " << std::hex << watched.Other;
  EXPECT_GE(watched.Red, 700u);
}

// Cut short, damaged, empty, or with no pictures: each shows its reason in
// the title (and on the screen) and ends with 2, within a bounded time.
TEST_F(PlayerProgram, UnplayableMoviesShowWhyAndEndWithTwo) {
  NEED_MOVIES();
  struct Case {
    const char* File;
    const char* Reason;
  } cases[] = {
      {"cut.mp4", "cut.mp4: the file is cut short: its mdat box runs to byte "},
      {"flipped.mp4", "flipped.mp4: the file is damaged: no box starts at byte 32"},
      {"empty.mp4", "empty.mp4: the file is empty"},
      {"soundonly.mp4", "soundonly.mp4: the file holds no pictures (it has no video stream)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.File);
    PrepareSkit(c.File, TestMovie(c.File));
    Start();
    HWND window = WaitUntilReady();
    ASSERT_NE(window, nullptr);
    std::string title;
    while (title.find(c.Reason) == std::string::npos && WaitForSingleObject(Info_.hProcess, 20) == WAIT_TIMEOUT)
      title = Title(window);
    EXPECT_NE(title.find(c.Reason), std::string::npos) << title;
    DWORD code = 0;
    ASSERT_TRUE(Exited(code, 15000));
    EXPECT_EQ(code, 2u);
    EXPECT_LT(GetTickCount64() - StartTick_, 15000u);
    TearDown();
    Started_ = false;
  }
}

// The player lives in a folder where every user may create files: a library
// it imports must be one the system never looks for beside a program (a
// "known DLL" since Windows 7), or another user could plant it there. And
// a screensaver's player never asks the system to keep the display on.
TEST(PlayerImports, OnlyLibrariesTheSystemAlwaysTakesFromItsOwnFolderAndNoDisplayRequest) {
  HANDLE file = CreateFileA(DG_SKITPLAY_EXE, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  ASSERT_NE(mapping, nullptr);
  void* base = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
  ASSERT_NE(base, nullptr);
  PIMAGE_NT_HEADERS headers = ImageNtHeader(base);
  ASSERT_NE(headers, nullptr);
  ULONG size = 0;
  auto* import = static_cast<PIMAGE_IMPORT_DESCRIPTOR>(
      ImageDirectoryEntryToData(base, FALSE, IMAGE_DIRECTORY_ENTRY_IMPORT, &size));
  ASSERT_NE(import, nullptr);
  int libraries = 0, calls = 0;
  for (; import->Name != 0; ++import, ++libraries) {
    const char* name = static_cast<const char*>(ImageRvaToVa(headers, base, import->Name, nullptr));
    ASSERT_NE(name, nullptr);
    bool known = false;
    for (const char* allowed : {"kernel32.dll", "user32.dll", "gdi32.dll", "imm32.dll", "msvcrt.dll"})
      known = known || lstrcmpiA(name, allowed) == 0;
    EXPECT_TRUE(known) << name;
    // A screensaver's player never asks the system to keep the display on.
    auto* thunk = static_cast<PIMAGE_THUNK_DATA>(ImageRvaToVa(
        headers, base, import->OriginalFirstThunk ? import->OriginalFirstThunk : import->FirstThunk, nullptr));
    for (; thunk && thunk->u1.AddressOfData != 0; ++thunk) {
      if (IMAGE_SNAP_BY_ORDINAL(thunk->u1.Ordinal)) continue;
      auto* byName = static_cast<PIMAGE_IMPORT_BY_NAME>(
          ImageRvaToVa(headers, base, static_cast<ULONG>(thunk->u1.AddressOfData), nullptr));
      ASSERT_NE(byName, nullptr);
      EXPECT_STRNE(reinterpret_cast<const char*>(byName->Name), "SetThreadExecutionState");
      ++calls;
    }
  }
  EXPECT_GT(calls, 50);
  EXPECT_GT(libraries, 0);
  UnmapViewOfFile(base);
  CloseHandle(mapping);
  CloseHandle(file);
}
