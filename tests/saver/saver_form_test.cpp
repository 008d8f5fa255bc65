// The main saver form in-process, in run mode, on a scratch installation with
// the fake movie player. Checks are made on the form's state, on what the
// player recorded, and, for what only the screen shows (the preview, the
// error line), on the pixels against a freshly drawn reference.
#include "saver/saver_main.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "host/password.h"
#include "saver/link_policy.h"
#include "host/saver_state.h"
#include "base/files.h"
#include "base/settings.h"
#include "forms/application.h"
#include "store/catalogue.h"
#include "tests/saver/saver_fixture.h"
#include "tests/saver/saver_testing.h"
#include "tests/store/catalog_builder.h"
#include "tests/support/testing.h"

using saver_testing::InstallPlayer;
using saver_testing::KillPlayers;
using saver_testing::PlayerRecord;
using saver_testing::PlayerRunning;
using saver_testing::PumpUntil;

TEST_F(SaverRun, PlaysSkitsInTurnWithTheExactArgumentFile) {
  AddSkit(1, "first skit.skit");
  AddSkit(2, "second.skit");
  Settings.Sound = 1;  // once: the first skit with sound, the rest without
  Start();
  ASSERT_TRUE(WaitForStarts(1));
  const std::string first = JoinPath(Skits, "first skit.skit");
  EXPECT_EQ(PlayerRecord(Settings.Player)[0], "ARGS SS_RunCount=0&SS_Sound=0&" + TodayVariables() +
                                                  "&SS_PW=lantern57&SS_Swf=" + cSkitPlayer::EncodeValue(first));
  EXPECT_EQ(Settings.Sound, 2);
  EXPECT_NE(Form->BackdropWindow, nullptr);

  // The movie ends by itself: the next one follows at the next poll.
  PostMessageA(Form->SkitPlayer->PlayerWindow, WM_CLOSE, 0, 0);
  ASSERT_TRUE(WaitForStarts(2));
  EXPECT_EQ(PlayerRecord(Settings.Player)[1],
            "ARGS SS_RunCount=1&SS_Sound=1&" + TodayVariables() +
                "&SS_PW=lantern57&SS_Swf=" + cSkitPlayer::EncodeValue(JoinPath(Skits, "second.skit")));
  EXPECT_EQ(Form->RunCount, 2);
}

TEST_F(SaverRun, PointerMovesPastEightPixelsClose) {
  AddSkit(1, "a.skit");
  // The moves below are meant for the form: the pointer starts on it, off
  // the movie's window and away from the screen's edges, wherever an earlier
  // test left it.
  SetCursorPos(GetSystemMetrics(SM_CXSCREEN) / 2, GetSystemMetrics(SM_CYSCREEN) / 2);
  Start();
  ASSERT_TRUE(WaitForStarts(1));
  POINT start = Form->LastCursorPos;

  SetCursorPos(start.x + 8, start.y + 8);
  SendMessageA(Form->Handle(), WM_MOUSEMOVE, 0, 0);
  EXPECT_FALSE(Form->Closing);
  EXPECT_EQ(Form->LastCursorPos.x, start.x);  // small moves add up

  SetCursorPos(start.x + 9, start.y);
  SendMessageA(Form->Handle(), WM_MOUSEMOVE, 0, 0);
  POINT now = {};
  GetCursorPos(&now);
  EXPECT_TRUE(Form->Closing) << "from " << start.x << "," << start.y << " the pointer is at " << now.x << ","
                             << now.y << (Form->PasswordProtected ? ", password protected" : "");
  EXPECT_EQ(Form->SkitPlayer, nullptr);
  EXPECT_TRUE(PumpUntil([&] { return !PlayerRunning(Settings.Player); }));
}

TEST_F(SaverRun, AKeyWithoutAHotKeyCloses) {
  AddSkit(1, "a.skit");
  Start();
  ASSERT_TRUE(WaitForStarts(1));
  SendMessageA(Form->Handle(), WM_KEYDOWN, 'Q', 0);
  EXPECT_TRUE(Form->Closing);
  EXPECT_TRUE(PumpUntil([&] { return !PlayerRunning(Settings.Player); }));
}

TEST_F(SaverRun, HotKeyActionOneReachesTheMovieWhichOutlivesTheSaver) {
  AddSkitWithHotKey(1, "a.skit", 'H', 1);
  Start();
  ASSERT_TRUE(WaitForStarts(1));
  SendMessageA(Form->Handle(), WM_KEYDOWN, 'H', 0);
  EXPECT_TRUE(Form->KeepPlayer);
  EXPECT_TRUE(Form->Closing);
  ASSERT_TRUE(PumpUntil([&] {
    for (const std::string& line : PlayerRecord(Settings.Player))
      if (line == "KEY " + std::to_string('H')) return true;
    return false;
  }));
  HWND movie = FindWindowA("FakeSkitPlayer", nullptr);
  Form.reset();
  EXPECT_TRUE(PlayerRunning(Settings.Player));
  // Left running, it is an ordinary window again, not one that stays on top
  // (the player's own thread makes the change, when it next runs).
  ASSERT_TRUE(IsWindow(movie));
  EXPECT_TRUE(PumpUntil([&] { return (GetWindowLongA(movie, GWL_EXSTYLE) & WS_EX_TOPMOST) == 0; }));
}

// A player whose main thread stops taking messages: nothing the saver does
// to its window waits for that thread, and a key still ends the run, and
// the player with it, within two seconds. The time is checked where a
// window manager runs: on bare Xvfb, Wine spends about two seconds on each
// full-screen window the close takes away, with a player that answers too.
TEST_F(SaverRun, AHungPlayerCannotHoldTheSaver) {
  AddSkit(1, "a.skit");
  Settings.Player = InstallPlayer(Dir.Path(), "hung.exe");
  Start();
  ASSERT_TRUE(WaitForStarts(1));
  ASSERT_TRUE(PumpUntil([&] {
    const std::vector<std::string> record = PlayerRecord(Settings.Player);
    return std::find(record.begin(), record.end(), "HUNG") != record.end();
  }));
  // The form above the movie: keeping the movie in front must move it.
  SetWindowPos(Form->Handle(), HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  const DWORD before = GetTickCount();
  Form->KeepSkitInFront();
  SendMessageA(Form->Handle(), WM_KEYDOWN, 'Q', 0);
  EXPECT_TRUE(Form->Closing);
  EXPECT_EQ(Form->SkitPlayer, nullptr);
  EXPECT_TRUE(PumpUntil([&] { return !PlayerRunning(Settings.Player); }, 2000));
  const char* desk = std::getenv("DG_DESK");
  if (desk != nullptr && std::string(desk).rfind("openbox", 0) == 0) {
    EXPECT_LT(GetTickCount() - before, 2000u);
  }
}

// The system drops a low-level hook that answered too slowly, and says
// nothing: only the count of input the system keeps can show that the hooks
// missed some (here a turn of the wheel), and fresh hooks are set.
TEST_F(SaverRun, HooksTheSystemDroppedAreSetAgain) {
  AddSkit(1, "a.skit");
  Start();
  ASSERT_TRUE(WaitForStarts(1));
  const unsigned starts = Form->InputWatch.Starts();
  ASSERT_TRUE(Form->InputWatch.ForgetHooks());
  INPUT wheel = {};
  wheel.type = INPUT_MOUSE;
  wheel.mi.dwFlags = MOUSEEVENTF_WHEEL;
  wheel.mi.mouseData = WHEEL_DELTA;
  ASSERT_EQ(SendInput(1, &wheel, sizeof wheel), 1u);
  EXPECT_TRUE(PumpUntil([&] { return Form->InputWatch.Starts() > starts; }, 5000));
  EXPECT_TRUE(Form->InputWatch.Running());
  EXPECT_FALSE(Form->Closing);
}

// For the user the skit is over when its window goes: the next one starts
// then, while the old process ends in its own time.
TEST_F(SaverRun, TheNextSkitStartsWhenTheMovieWindowGoes) {
  AddSkit(1, "a.skit");
  AddSkit(2, "b.skit");
  Settings.Player = InstallPlayer(Dir.Path(), "linger.exe");
  Start();
  ASSERT_TRUE(WaitForStarts(1));
  HANDLE first = nullptr;
  DuplicateHandle(GetCurrentProcess(), Form->SkitPlayer->ProcessInfo.hProcess, GetCurrentProcess(), &first,
                  SYNCHRONIZE, FALSE, 0);
  PostMessageA(Form->SkitPlayer->PlayerWindow, WM_CLOSE, 0, 0);
  ASSERT_TRUE(WaitForStarts(2));
  EXPECT_EQ(WaitForSingleObject(first, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(Form->EndingPlayers.size(), 1u);
  CloseHandle(first);
}

TEST_F(SaverRun, ANoticeMovieHasNoHotKey) {
  AddSkitWithHotKey(1, "a.skit", 'H', 1);
  Builder.Add(CAT_NOTICE, 4, SKIT_INSTALLED, SEL_NONE, "Notice 4", {"notice4.skit"});
  testing_support::WriteFileBytes(JoinPath(Skits, "notice4.skit"), "notice");
  Builder.Block->Header.LastSync = 0;  // due: the second pick is notice 4
  Start();
  ASSERT_TRUE(WaitForStarts(1));
  PostMessageA(Form->SkitPlayer->PlayerWindow, WM_CLOSE, 0, 0);
  ASSERT_TRUE(PumpUntil([&] { return Starts() >= 2 && Form->SkitPlayer != nullptr && Form->SkitPlayer->PlayerWindow; }));
  ASSERT_NE(PlayerRecord(Settings.Player)[1].find("notice4.skit"), std::string::npos);

  // The first skit's key means nothing to the notice: it closes the saver.
  SendMessageA(Form->Handle(), WM_KEYDOWN, 'H', 0);
  EXPECT_FALSE(Form->KeepPlayer);
  EXPECT_TRUE(Form->Closing);
  EXPECT_TRUE(PumpUntil([&] { return !PlayerRunning(Settings.Player); }));
  for (const std::string& line : PlayerRecord(Settings.Player)) EXPECT_EQ(line.rfind("KEY ", 0), std::string::npos);
}

TEST_F(SaverRun, ARefusedLinkKeepsTheSaverPlayingAndOnlyWritesItsReason) {
  SkitRecord& skit = AddSkitWithHotKey(1, "a.skit", 'L', 2);
  skit.HotKey.Link.Id = Builder.Text("ftp://example.invalid/refused");
  Start();
  ASSERT_TRUE(WaitForStarts(1));
  DeleteFileA(TForm_Saver::GetIniPath().c_str());
  SendMessageA(Form->Handle(), WM_KEYDOWN, 'L', 0);
  EXPECT_EQ(Form->CloseSaverDialog, nullptr);
  EXPECT_TRUE(Form->Visible());
  EXPECT_FALSE(Form->Closing);
  EXPECT_FALSE(Form->VerifyingPassword);
  EXPECT_TRUE(Form->SkitTimer.Enabled());
  ASSERT_NE(Form->SkitPlayer, nullptr);
  EXPECT_FALSE(Form->SkitPlayer->IsFinished(0));
  char refusal[512] = {};
  GetPrivateProfileStringA("ShellExecute", "ShellExecute", "", refusal, sizeof refusal,
                           TForm_Saver::GetIniPath().c_str());
  EXPECT_EQ(std::string(refusal).rfind("Link refused: ", 0), 0u) << refusal;
  DeleteFileA(TForm_Saver::GetIniPath().c_str());
}

// The user's own data folder holds more than skits and downloads (the
// player, its argument file, the catalogue, the logs), all written by the
// screensaver: a program anywhere in it is never started by a link, nor one
// in the setup's seed of skits.
TEST_F(SaverRun, ALinkToAProgramInTheUsersDataFolderIsRefused) {
  SkitRecord& skit = AddSkitWithHotKey(1, "a.skit", 'L', 2);
  // Beside the catalogue, outside the skits and download folders.
  const std::string tool = InstallPlayer(Dir.Path(), "player tool.exe");
  skit.HotKey.Link.Id = Builder.Text(tool);
  Settings.DataPath = Dir.Path();
  Start();
  ASSERT_TRUE(WaitForStarts(1));
  DeleteFileA(TForm_Saver::GetIniPath().c_str());
  SendMessageA(Form->Handle(), WM_KEYDOWN, 'L', 0);
  EXPECT_EQ(Form->CloseSaverDialog, nullptr);
  EXPECT_FALSE(Form->Closing);
  char refusal[512] = {};
  GetPrivateProfileStringA("ShellExecute", "ShellExecute", "", refusal, sizeof refusal,
                           TForm_Saver::GetIniPath().c_str());
  EXPECT_EQ(std::string(refusal).rfind("Link refused: ", 0), 0u) << refusal;
  EXPECT_FALSE(PlayerRunning(tool));

  testing_support::TempDir seed;
  Settings.SeedPath = seed.Path();
  const std::string seeded = InstallPlayer(seed.Path(), "seeded.exe");
  EXPECT_NE(LinkRefusal(seeded, TForm_Saver_Main::ContentFolders()), "");
  DeleteFileA(TForm_Saver::GetIniPath().c_str());
}

TEST_F(SaverRun, HotKeyActionTwoHoldsTheCloseUntilConfirmed) {
  SkitRecord& skit = AddSkitWithHotKey(1, "a.skit", 'L', 2);
  // A program outside the content folders: the stand-in player itself.
  const std::string tool = InstallPlayer(Dir.Path(), "player tool.exe");
  skit.HotKey.Link.Id = Builder.Text(tool);
  Start();
  ASSERT_TRUE(WaitForStarts(1));
  BOOL running = TRUE;
  SystemParametersInfoA(SPI_SETSCREENSAVERRUNNING, TRUE, &running, 0);

  SendMessageA(Form->Handle(), WM_KEYDOWN, 'L', 0);
  ASSERT_NE(Form->CloseSaverDialog, nullptr);
  EXPECT_TRUE(IsWindowVisible(Form->CloseSaverDialog));
  EXPECT_FALSE(Form->Visible());
  EXPECT_TRUE(Form->VerifyingPassword);
  // The close that the key asked for is held back by the dialog.
  EXPECT_FALSE(Form->Closing);
  char command[512] = {};
  GetPrivateProfileStringA("ShellExecute", "Command", "", command, sizeof command, TForm_Saver::GetIniPath().c_str());
  EXPECT_EQ(std::string(command), tool);
  EXPECT_TRUE(PumpUntil([&] { return PlayerRunning(tool); }));
  KillPlayers(tool);

  {
    testing_support::MessageBoxCatcher no(IDNO);
    SendMessageA(Form->CloseSaverDialog, WM_COMMAND, IDOK, 0);
    ASSERT_EQ(no.Boxes.size(), 1u);
    EXPECT_EQ(no.Boxes[0].Text, kCloseSaverQuestion);
  }
  EXPECT_TRUE(IsWindow(Form->CloseSaverDialog));
  {
    testing_support::MessageBoxCatcher yes(IDYES);
    SendMessageA(Form->CloseSaverDialog, WM_COMMAND, IDCANCEL, 0);
  }
  EXPECT_FALSE(IsWindow(Form->CloseSaverDialog));
  EXPECT_TRUE(PumpUntil([&] { return Form->Closing; }));
  DeleteFileA(TForm_Saver::GetIniPath().c_str());
}

// A password the system asks for (by policy, not in the user's values)
// stops a hot key's link as the user's own password does: the key ends the
// run, and no program is left open on an unlocked desktop.
TEST_F(SaverRun, AHotKeyLinkOpensNothingWhereTheSystemAsksForAPassword) {
  struct Restore {
    ~Restore() { SystemGuardsSaver = &AskSystemGuardsSaver; }
  } restore;
  SystemGuardsSaver = [] { return true; };
  SkitRecord& skit = AddSkitWithHotKey(1, "a.skit", 'L', 2);
  const std::string tool = InstallPlayer(Dir.Path(), "player tool.exe");
  skit.HotKey.Link.Id = Builder.Text(tool);
  Start();
  ASSERT_TRUE(WaitForStarts(1));
  ASSERT_TRUE(Form->PasswordProtected);
  DeleteFileA(TForm_Saver::GetIniPath().c_str());

  SendMessageA(Form->Handle(), WM_KEYDOWN, 'L', 0);
  EXPECT_EQ(Form->CloseSaverDialog, nullptr);
  EXPECT_TRUE(Form->Closing);
  char command[512] = {};
  GetPrivateProfileStringA("ShellExecute", "Command", "", command, sizeof command, TForm_Saver::GetIniPath().c_str());
  EXPECT_STREQ(command, "");
  EXPECT_FALSE(PlayerRunning(tool));
}

TEST_F(SaverRun, AMissingCatalogueScrollsTheStartupText) {
  StartupErrorText = "catalogue trouble [x.pak]";
  Start(false);
  ASSERT_TRUE(PumpUntil([&] { return Form->ErrorActive; }));
  EXPECT_EQ(Form->ErrorLine, Settings.ProgramName + ": catalogue trouble [x.pak]");
  EXPECT_FALSE(Form->SkitTimer.Enabled());
  // A pass of the line hands back to the skit timer, which shows it again.
  Form->OnErrorDisplayDone();
  EXPECT_FALSE(Form->ErrorActive);
  EXPECT_TRUE(Form->SkitTimer.Enabled());
  EXPECT_EQ(Form->SkitTimer.Interval(), 50u);
  ASSERT_TRUE(PumpUntil([&] { return Form->ErrorActive; }));
}

// A catalogue that started again from the seed is told of once, and the
// skits follow.
TEST_F(SaverRun, ACatalogueStartedAgainIsToldOfBeforeTheSkits) {
  AddSkit(1, "a.skit");
  StartupNoticeText = "catalogue kept as x.bad.pak";
  Start();
  ASSERT_TRUE(PumpUntil([&] { return Form->ErrorActive; }));
  EXPECT_EQ(Form->ErrorLine, Settings.ProgramName + ": catalogue kept as x.bad.pak");
  EXPECT_EQ(Form->SkitPlayer, nullptr);
  Form->OnErrorDisplayDone();
  EXPECT_TRUE(WaitForStarts(1));
}

TEST_F(SaverRun, APlayerThatFailsShowsItsErrorAndTheNextSkitIsTried) {
  AddSkit(1, "a.skit");
  Settings.Player = Dir.File("absent.exe");
  Start();
  ASSERT_TRUE(PumpUntil([&] { return Form->ErrorActive; }));
  SetLastError(ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Form->ErrorLine, Settings.ProgramName + ": " + LastErrorText() + " " + JoinPath(Skits, "a.skit"));
  EXPECT_EQ(Form->SkitPlayer, nullptr);

  // Now a player that never makes a window: the line names the window, and
  // each pass of the line leaves no player behind it.
  Settings.Player = InstallPlayer(Dir.Path(), "nowindow.exe");
  for (size_t pass = 1; pass <= 2; ++pass) {
    Form->OnErrorDisplayDone();
    ASSERT_TRUE(PumpUntil([&] { return Form->ErrorActive && Starts() >= pass; }));
    EXPECT_EQ(Form->ErrorLine,
              Settings.ProgramName + ": " + ErrorText(ERR_CREATE_WINDOW) + " " + JoinPath(Skits, "a.skit"));
    EXPECT_EQ(Form->SkitPlayer, nullptr);
    EXPECT_FALSE(PlayerRunning(Settings.Player)) << "pass " << pass;
  }

  // And an argument file that cannot be written: the file's failure.
  Settings.Player = InstallPlayer(Dir.Path(), "player.exe");
  ASSERT_TRUE(CreateDirectoryA(cSkitPlayer::ArgFilePathFor(Settings.Player).c_str(), nullptr));
  Form->OnErrorDisplayDone();
  ASSERT_TRUE(PumpUntil([&] { return Form->ErrorActive; }));
  EXPECT_EQ(Form->ErrorLine, Settings.ProgramName + ": " + ErrorText(ERR_FILE_CREATE) + " " + JoinPath(Skits, "a.skit"));
  EXPECT_FALSE(PlayerRunning(Settings.Player));
  RemoveDirectoryA(cSkitPlayer::ArgFilePathFor(Settings.Player).c_str());
}

TEST_F(SaverRun, SystemRequestsAreIgnoredButASuspendQueryCloses) {
  AddSkit(1, "a.skit");
  Start();
  ASSERT_TRUE(WaitForStarts(1));
  SendMessageA(Form->Handle(), WM_SYSCOMMAND, SC_SCREENSAVE, 0);
  SendMessageA(Form->Handle(), WM_SYSCOMMAND, SC_CLOSE, 0);
  EXPECT_FALSE(Form->Closing);
  SendMessageA(Form->Handle(), WM_POWERBROADCAST, PBT_APMQUERYSUSPEND, 0);
  EXPECT_TRUE(Form->Closing);
}

namespace {

// What the system sends when the display goes off (0), on (1) or dim (2).
void SendDisplayState(HWND form, DWORD state) {
  std::vector<BYTE> bytes(offsetof(POWERBROADCAST_SETTING, Data) + sizeof state);
  auto* setting = reinterpret_cast<POWERBROADCAST_SETTING*>(bytes.data());
  setting->PowerSetting = kDisplayStateSetting;
  setting->DataLength = sizeof state;
  CopyMemory(setting->Data, &state, sizeof state);
  SendMessageA(form, WM_POWERBROADCAST, PBT_POWERSETTINGCHANGE, reinterpret_cast<LPARAM>(setting));
}

}  // namespace

// Wine sends no power notifications: the form is given the system's messages.
TEST_F(SaverRun, NothingPlaysForADarkDisplayAndASuspendCloses) {
  AddSkit(1, "a.skit");
  Start();
  ASSERT_TRUE(WaitForStarts(1));
  SendDisplayState(Form->Handle(), 0);
  EXPECT_EQ(Form->SkitPlayer, nullptr);
  EXPECT_FALSE(Form->SkitTimer.Enabled());
  EXPECT_TRUE(PumpUntil([&] { return !PlayerRunning(Settings.Player); }));
  Form->SkitTimerTimer();  // nor does a tick start one
  EXPECT_EQ(Form->SkitPlayer, nullptr);
  EXPECT_EQ(Starts(), 1u);
  SendDisplayState(Form->Handle(), 2);  // dimmed is still seen
  ASSERT_TRUE(WaitForStarts(2));
  SendMessageA(Form->Handle(), WM_POWERBROADCAST, PBT_APMSUSPEND, 0);
  EXPECT_TRUE(Form->Closing);
}

TEST_F(SaverRun, TheErrorLineReadsCleanlyAtEveryTick) {
  StartupErrorText = "catalogue trouble [x.pak]";
  Start(false);
  ASSERT_TRUE(PumpUntil([&] { return Form->ErrorActive; }));
  Form->ErrorTimer.SetEnabled(false);
  // The line runs in the paint box, over the primary monitor.
  const RECT box = Form->PaintBox_Main.BoundsRect();
  const RECT client = {0, 0, box.right - box.left, box.bottom - box.top};
  // A new pass clears the form; then the line starts well inside it.
  ErrorScrollX = ERROR_SCROLL_UNSTARTED;
  Form->ErrorTimerTimer();
  ErrorScrollX = 60;
  HFONT font = Form->PaintBox_Main.Font.Handle();
  SIZE extent = {0, 0};
  testing_support::DrawPixels(1, 1, [&](HDC dc) {
    SelectObject(dc, font);
    GetTextExtentPoint32A(dc, Form->ErrorLine.c_str(), static_cast<int>(Form->ErrorLine.size()), &extent);
  });
  ASSERT_GT(extent.cy, 0);
  for (int ticks : {1, 5, 12}) {
    SCOPED_TRACE("after " + std::to_string(ticks) + " more ticks");
    for (int i = 0; i < ticks; ++i) Form->ErrorTimerTimer();
    const int x = ErrorScrollX + 2;  // where the last tick drew
    const testing_support::Pixels shown =
        testing_support::CaptureWindow(Form->Handle(), RECT{box.left, box.top, box.right, box.top + extent.cy});
    const testing_support::Pixels fresh = testing_support::DrawPixels(client.right, extent.cy, [&](HDC dc) {
      RECT all = {0, 0, client.right, extent.cy};
      FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
      SelectObject(dc, font);
      SetTextColor(dc, Form->PaintBox_Main.Font.Color);
      SetBkMode(dc, TRANSPARENT);
      TextOutA(dc, x, 0, Form->ErrorLine.c_str(), static_cast<int>(Form->ErrorLine.size()));
    });
    EXPECT_EQ(testing_support::DifferentPixels(shown, fresh, 8), 0u);
  }
}

TEST(SaverPreview, TheFormBecomesADisabledChildOfTheHostAndShowsThePicture) {
  cSettings settings;
  WNDCLASSA wc = {};
  wc.lpfnWndProc = DefWindowProcA;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
  wc.lpszClassName = "PreviewHostTest";
  RegisterClassA(&wc);
  HWND host = CreateWindowExA(0, "PreviewHostTest", "display settings", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 320,
                              240, nullptr, nullptr, wc.hInstance, nullptr);
  forms::Application.Initialize();
  SaverMode = SAVER_PREVIEW;
  HostWindow = host;
  {
    // As start-up does it: parented once right after creation, again when shown.
    TForm_Saver_Main_Dem form;
    form.CreateHandle();
    ParentToHost(forms::Application.Handle(), form.Handle());
    form.Show();
    EXPECT_TRUE(IsWindowVisible(form.Handle()));
    EXPECT_FALSE(IsWindowVisible(forms::Application.Handle()));
    EXPECT_EQ(GetParent(form.Handle()), host);
    EXPECT_FALSE(IsWindowEnabled(form.Handle()));
    RECT client, formRect;
    GetClientRect(host, &client);
    GetClientRect(form.Handle(), &formRect);
    EXPECT_EQ(formRect.right, client.right);
    EXPECT_EQ(formRect.bottom, client.bottom);
    EXPECT_TRUE(form.Image_Preview.Visible());
    ASSERT_TRUE(form.Image_Preview.HasPicture());

    // What the host shows where the picture goes is the picture.
    RedrawWindow(host, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    const RECT place = form.Image_Preview.BoundsRect();
    const SIZE size = form.Image_Preview.PictureSize();
    ASSERT_EQ(place.right - place.left, size.cx);
    ASSERT_EQ(place.bottom - place.top, size.cy);
    HBITMAP picture = static_cast<HBITMAP>(
        LoadImageA(GetModuleHandleA(nullptr), "PREVIEW", IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
    ASSERT_NE(picture, nullptr);
    const testing_support::Pixels fresh = testing_support::DrawPixels(size.cx, size.cy, [&](HDC dc) {
      HDC memory = CreateCompatibleDC(dc);
      HGDIOBJ old = SelectObject(memory, picture);
      BitBlt(dc, 0, 0, size.cx, size.cy, memory, 0, 0, SRCCOPY);
      SelectObject(memory, old);
      DeleteDC(memory);
    });
    DeleteObject(picture);
    const testing_support::Pixels shown = testing_support::CaptureWindow(host, place);
    EXPECT_EQ(testing_support::DifferentPixels(shown, fresh, 8), 0u);
    // Input is never acted on in preview mode.
    SendMessageA(form.Handle(), WM_KEYDOWN, 'Q', 0);
    SendMessageA(form.Handle(), WM_LBUTTONDOWN, 0, 0);
    EXPECT_FALSE(form.Closing);
    EXPECT_FALSE(form.SkitTimer.Enabled());
    // A suspend query closes in every mode.
    SendMessageA(form.Handle(), WM_POWERBROADCAST, PBT_APMQUERYSUSPEND, 0);
    EXPECT_TRUE(form.Closing);
  }
  // Give the application window back its own place for the other tests.
  SetParent(forms::Application.Handle(), nullptr);
  HostWindow = nullptr;
  SaverMode = SAVER_CONFIGURE;
  DestroyWindow(host);
  UnregisterClassA("PreviewHostTest", GetModuleHandleA(nullptr));
}
