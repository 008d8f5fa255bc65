// The main saver form in-process, in run mode, on a scratch installation with
// the fake movie player. Checks are made on the form's state and on what the
// player recorded, never on pixels.
#include "saver/saver_main.h"

#include <gtest/gtest.h>

#include <memory>

#include "host/saver_state.h"
#include "base/files.h"
#include "base/settings.h"
#include "forms/application.h"
#include "store/catalogue.h"
#include "tests/catalogue/catalog_builder.h"
#include "tests/saver/saver_fixture.h"
#include "tests/saver/saver_testing.h"
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
  Start();
  ASSERT_TRUE(WaitForStarts(1));
  POINT start = Form->LastCursorPos;

  SetCursorPos(start.x + 8, start.y + 8);
  SendMessageA(Form->Handle(), WM_MOUSEMOVE, 0, 0);
  EXPECT_FALSE(Form->Closing);
  EXPECT_EQ(Form->LastCursorPos.x, start.x);  // small moves add up

  SetCursorPos(start.x + 9, start.y);
  SendMessageA(Form->Handle(), WM_MOUSEMOVE, 0, 0);
  EXPECT_TRUE(Form->Closing);
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
  SkitRecord& skit = AddSkit(1, "a.skit");
  skit.HotKey.KeyCode = 'H';
  skit.HotKey.Action = 1;
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
  Form.reset();
  EXPECT_TRUE(PlayerRunning(Settings.Player));
}

TEST_F(SaverRun, HotKeyActionTwoHoldsTheCloseUntilConfirmed) {
  SkitRecord& skit = AddSkit(1, "a.skit");
  skit.HotKey.KeyCode = 'L';
  skit.HotKey.Action = 2;
  skit.HotKey.Link.Id = Builder.Text("ftp://example.invalid/refused");
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
  char refusal[512] = {};
  GetPrivateProfileStringA("ShellExecute", "ShellExecute", "", refusal, sizeof refusal,
                           TForm_Saver::GetIniPath().c_str());
  EXPECT_NE(std::string(refusal).find("refused"), std::string::npos) << refusal;

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

TEST_F(SaverRun, APlayerThatFailsShowsItsErrorAndTheNextSkitIsTried) {
  AddSkit(1, "a.skit");
  Settings.Player = Dir.File("absent.exe");
  Start();
  ASSERT_TRUE(PumpUntil([&] { return Form->ErrorActive; }));
  SetLastError(ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Form->ErrorLine, Settings.ProgramName + ": " + LastErrorText() + " " + JoinPath(Skits, "a.skit"));
  EXPECT_EQ(Form->SkitPlayer, nullptr);

  // Now a player that never makes a window: its text is that of code 0.
  Settings.Player = InstallPlayer(Dir.Path(), "nowindow.exe");
  Form->OnErrorDisplayDone();
  ASSERT_TRUE(PumpUntil([&] { return Form->ErrorActive && Starts() >= 1; }));
  EXPECT_EQ(Form->ErrorLine, Settings.ProgramName + ": " + ErrorText(0) + " " + JoinPath(Skits, "a.skit"));
  KillPlayers(Settings.Player);
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

TEST(SaverPreview, TheFormBecomesADisabledChildOfTheHost) {
  cSettings settings;
  HWND host = CreateWindowExA(0, "STATIC", "display settings", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 320, 240,
                              nullptr, nullptr, nullptr, nullptr);
  forms::Application.Initialize();
  SaverMode = SAVER_PREVIEW;
  HostWindow = host;
  {
    TForm_Saver_Main_Dem form;
    form.Show();
    EXPECT_EQ(GetParent(form.Handle()), host);
    EXPECT_FALSE(IsWindowEnabled(form.Handle()));
    RECT client, formRect;
    GetClientRect(host, &client);
    GetClientRect(form.Handle(), &formRect);
    EXPECT_EQ(formRect.right, client.right);
    EXPECT_EQ(formRect.bottom, client.bottom);
    EXPECT_TRUE(form.Image_Preview.Visible());
    EXPECT_TRUE(form.Image_Preview.HasPicture());
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
}
