// "Get New Content Now" from start to end against the loopback server: the
// progress dialog, the list download and its merge, the "no new" message, the
// download dialog and its own job, failures, a cancel, and a merge that
// cannot be saved. The download dialog is modal: the test drives it from
// the application's OnModalBegin, inside its loop, as the user would.
#include <gtest/gtest.h>

#include <functional>

#include "base/files.h"
#include "download/comm.h"
#include "tests/download/download_testing.h"
#include "tests/ui/ui_testing.h"
#include "ui/download_form.h"
#include "ui/progress_form.h"
#include "ui/settings_form.h"

using download_testing::kPatience;
using testing_support::MessageBoxCatcher;

namespace {

class GetNewContent : public DialogTest {
 protected:
  GetNewContent() {
    forms::Application.OnModalBegin = [this](forms::TForm& form) {
      auto* download = dynamic_cast<TForm_Download*>(&form);
      ASSERT_NE(download, nullptr);
      ++DownloadDialogs;
      EXPECT_EQ(Form_Download, download);
      EXPECT_EQ(Form_DownloadProgress, nullptr);
      if (InDownloadDialog) InDownloadDialog(*download);
      download->Button_CloseClick();
    };
  }
  ~GetNewContent() override { Dialog.reset(); }

  TForm_Settings_Dem& Open() {
    OpenCatalogue();
    Dialog = std::make_unique<TForm_Settings_Dem>();
    Dialog->Show();
    return *Dialog;
  }

  // Presses the button and waits until the update and whatever the download
  // dialog did are over.
  void GetNew() {
    Dialog->Button_GetNewSkits.Click();
    ASSERT_TRUE(PumpUntil([&] { return !Dialog->DownloadRunning(); }, kPatience));
  }

  // In the download dialog: presses Download and waits until the job is
  // over; Boxes gets the message boxes it showed.
  static void DownloadAndWait(TForm_Download& download, std::vector<testing_support::CaughtBox>& boxes) {
    MessageBoxCatcher ok(IDOK);
    download.Button_DownloadClick();
    ASSERT_TRUE(PumpUntil([&] { return !download.DownloadRunning(); }, kPatience));
    boxes = ok.Boxes;
  }

  std::unique_ptr<TForm_Settings_Dem> Dialog;
  std::function<void(TForm_Download&)> InDownloadDialog;
  int DownloadDialogs = 0;
};

}  // namespace

TEST_F(GetNewContent, NothingNewEndsWithTheMessageAndThenTheDownloadDialog) {
  Builder.Add(CAT_SKIT, 1, SKIT_INSTALLED, SEL_ON, "Old", {"old.skit"});
  Install({"old.skit"});
  SyncBuilder sync = ServedSync();
  sync.Add(CAT_SKIT, 1, 0, "Old", {"old.skit"});  // no newer revision
  Serve(sync);
  TForm_Settings_Dem& dialog = Open();
  InDownloadDialog = [&](TForm_Download& download) {
    EXPECT_EQ(download.CheckListBox_Skits.Count(), 1);
    EXPECT_FALSE(download.CheckListBox_Skits.Checked(0));
    EXPECT_FALSE(download.Button_Download.Enabled());
  };
  MessageBoxCatcher ok(IDOK);
  dialog.Button_GetNewSkits.Click();
  // The update runs behind the progress dialog.
  ASSERT_NE(Form_DownloadProgress, nullptr);
  EXPECT_TRUE(Form_DownloadProgress->Visible());
  EXPECT_EQ(Form_DownloadProgress->TxtProcess.Caption(), "Downloading files...");
  EXPECT_FALSE(IsWindowEnabled(dialog.Handle()));
  EXPECT_TRUE(dialog.UpdateTimer.Enabled());
  EXPECT_EQ(Manager->Job().State(), JobState::List);

  ASSERT_TRUE(PumpUntil([&] { return !dialog.DownloadRunning(); }, kPatience));
  ASSERT_EQ(ok.Boxes.size(), 1u);
  EXPECT_EQ(ok.Boxes[0].Text, Settings.Messages[0]);
  EXPECT_EQ(DownloadDialogs, 1);
  EXPECT_EQ(Form_DownloadProgress, nullptr);
  EXPECT_EQ(Form_Download, nullptr);
  EXPECT_TRUE(IsWindowEnabled(dialog.Handle()));
  EXPECT_FALSE(dialog.UpdateTimer.Enabled());
  EXPECT_EQ(Manager->Job().Worker(), nullptr);
  EXPECT_EQ(Manager->Catalog.Header.LastSync, Now);
}

TEST_F(GetNewContent, TwoNewSkitsChosenAndDownloadedInTheDownloadDialog) {
  Builder.Add(CAT_SKIT, 1, SKIT_INSTALLED, SEL_ON, "Old", {"old.skit"});
  Install({"old.skit"});
  SyncBuilder sync = ServedSync();
  sync.Add(CAT_SKIT, 7, 1, "Seven", {"seven.skit"});
  sync.Add(CAT_SKIT, 8, 1, "Eight", {"eight.skit", "eight.txt"});
  Serve(sync);
  Settings.SyncMethod = 2;  // new skits wait for the user's choice
  TForm_Settings_Dem& dialog = Open();
  InDownloadDialog = [&](TForm_Download& download) {
    forms::TCheckListBox& list = download.CheckListBox_Skits;
    ASSERT_EQ(list.Count(), 3);
    EXPECT_EQ(list.Item(1), "Seven");
    EXPECT_FALSE(list.Checked(0));
    EXPECT_TRUE(list.Checked(1));
    EXPECT_TRUE(list.Checked(2));
    // While the settings list behind shows them as offered.
    EXPECT_EQ(dialog.CheckListBox_Skits.Item(2), "Eight........[available for download]");

    download.Button_DownloadClick();
    EXPECT_FALSE(IsWindowEnabled(download.Handle()));
    ASSERT_NE(Form_DownloadProgress, nullptr);
    EXPECT_EQ(Form_DownloadProgress->NotifyForm, &download);
    ASSERT_TRUE(PumpUntil([&] { return !download.DownloadRunning(); }, kPatience));
    EXPECT_EQ(Form_DownloadProgress, nullptr);
    EXPECT_TRUE(IsWindowEnabled(download.Handle()));
    // Rebuilt: both installed now, so nothing is ticked and Download is off.
    EXPECT_FALSE(list.Checked(1));
    EXPECT_FALSE(list.Checked(2));
    EXPECT_FALSE(download.Button_Download.Enabled());
  };
  MessageBoxCatcher ok(IDOK);
  GetNew();
  EXPECT_TRUE(ok.Boxes.empty());
  EXPECT_EQ(DownloadDialogs, 1);
  EXPECT_EQ(Record(7).State, SKIT_INSTALLED);
  EXPECT_EQ(Record(8).State, SKIT_INSTALLED);
  EXPECT_EQ(testing_support::ReadFileBytes(SkitFile("seven.skit")), "bytes of seven.skit");
  EXPECT_EQ(testing_support::ReadFileBytes(SkitFile("eight.txt")), "bytes of eight.txt");
  EXPECT_EQ(Server.RequestCount(), 4u);  // the list and three files
  EXPECT_EQ(dialog.CheckListBox_Skits.Item(1), "Seven");
  EXPECT_EQ(dialog.CheckListBox_Skits.Item(2), "Eight");
}

TEST_F(GetNewContent, AFailedListShowsTheTransfersOwnError) {
  Builder.Add(CAT_SKIT, 1, SKIT_AVAILABLE, SEL_NONE, "Offered", {"offered.skit"});
  Builder.Texts[Builder.Block->Header.SyncUrl.Id] = Server.Url("/status/404");
  Builder.Block->Header.LastSync = 5;
  TForm_Settings_Dem& dialog = Open();
  MessageBoxCatcher ok(IDOK);
  GetNew();
  ASSERT_EQ(ok.Boxes.size(), 1u);
  ASSERT_FALSE(LoggedFailure().empty());
  EXPECT_EQ(ok.Boxes[0].Text, "Error downloading Kinetrope list. " + LoggedFailure());
  EXPECT_EQ(Manager->Catalog.Header.LastSync, 5u);
  // The download dialog follows all the same.
  EXPECT_EQ(DownloadDialogs, 1);
  EXPECT_TRUE(IsWindowEnabled(dialog.Handle()));
}

// A file the server refuses shows its error, fails its skit, and the job
// goes on with the next skit.
TEST_F(GetNewContent, ARefusedFileInTheDownloadDialogShowsItsErrorAndTheJobGoesOn) {
  SyncBuilder sync = ServedSync();
  sync.Add(CAT_SKIT, 7, 1, "Seven", {"seven.skit"});
  sync.Add(CAT_SKIT, 8, 1, "Eight", {"eight.skit"});
  Serve(sync);
  DeleteFileA(Served.File("seven.skit").c_str());
  Open();
  std::vector<testing_support::CaughtBox> boxes;
  InDownloadDialog = [&](TForm_Download& download) {
    ASSERT_NO_FATAL_FAILURE(DownloadAndWait(download, boxes));
    EXPECT_EQ(Record(7).State, SKIT_FAILED);
    EXPECT_EQ(Record(8).State, SKIT_INSTALLED) << "the skit behind the refused one still came";
  };
  MessageBoxCatcher outside(IDOK);
  GetNew();
  EXPECT_TRUE(outside.Boxes.empty());
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].Text, "Error downloading Seven. " + LoggedFailure());
  EXPECT_EQ(Manager->Job().Worker(), nullptr);
}

// A failure that may pass (a server error) shows its error and ends the
// job: the other skit waits, still scheduled.
TEST_F(GetNewContent, AFileThatMayComeLaterShowsItsErrorAndEndsTheJob) {
  SyncBuilder sync = ServedSync();
  SkitRecord& seven = sync.Add(CAT_SKIT, 7, 1, "Seven", {"seven.skit"});
  sync.Texts[seven.Files[0].Url.Id] = Server.Url("/status/503");
  sync.Add(CAT_SKIT, 8, 1, "Eight", {"eight.skit"});
  Serve(sync);
  Open();
  std::vector<testing_support::CaughtBox> boxes;
  InDownloadDialog = [&](TForm_Download& download) {
    ASSERT_NO_FATAL_FAILURE(DownloadAndWait(download, boxes));
    EXPECT_EQ(Record(7).State, SKIT_SCHEDULED);
    EXPECT_EQ(Record(8).State, SKIT_SCHEDULED);
    EXPECT_TRUE(download.CheckListBox_Skits.Checked(0));
    EXPECT_TRUE(download.CheckListBox_Skits.Checked(1));
    download.CheckListBox_Skits.ToggleChecked(1);
  };
  MessageBoxCatcher outside(IDOK);
  GetNew();
  EXPECT_TRUE(outside.Boxes.empty());
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].Text, "Error downloading Seven. " + LoggedFailure());
  // Closed with the one skit ticked and the other unticked: the one stays
  // scheduled, the other no longer.
  EXPECT_EQ(Record(7).State, SKIT_SCHEDULED);
  EXPECT_EQ(Record(8).State, SKIT_AVAILABLE);
  EXPECT_EQ(Manager->Job().Worker(), nullptr);
}

TEST_F(GetNewContent, ACancelledListShowsNoErrorBox) {
  Builder.Add(CAT_SKIT, 1, SKIT_AVAILABLE, SEL_NONE, "Offered", {"offered.skit"});
  SyncBuilder sync = ServedSync();
  sync.Add(CAT_SKIT, 7, 1, "Seven", {"seven.skit"});
  Serve(sync);
  // The list trickles in for far longer than the test takes to cancel it.
  Server.TrickleInterval = 200;
  Builder.Texts[Builder.Block->Header.SyncUrl.Id] = Server.Url("/trickle/kinetrope.syn");
  TForm_Settings_Dem& dialog = Open();
  dialog.Button_GetNewSkits.Click();
  ASSERT_TRUE(Server.WaitForRequests(1, kPatience));
  dialog.UpdateTimer.Tick();
  ASSERT_NE(Form_DownloadProgress, nullptr);
  EXPECT_EQ(Form_DownloadProgress->BarProgress->Max(), 100);

  MessageBoxCatcher yes(IDYES);
  Form_DownloadProgress->BtnCancelClick();
  ASSERT_TRUE(PumpUntil([&] { return !dialog.DownloadRunning(); }, kPatience));
  ASSERT_EQ(yes.Boxes.size(), 1u);  // the question, and no error
  EXPECT_EQ(yes.Boxes[0].Text, kCancelDownloadQuestion);
  EXPECT_EQ(DownloadDialogs, 1);
  EXPECT_EQ(Manager->FindSkit(CAT_SKIT, 7), -1);
  EXPECT_EQ(Form_DownloadProgress, nullptr);
  EXPECT_TRUE(IsWindowEnabled(dialog.Handle()));
}

TEST_F(GetNewContent, AMergeThatCannotBeSavedEndsTheUpdate) {
  Builder.Add(CAT_SKIT, 1, SKIT_INSTALLED, SEL_ON, "Old", {"old.skit"});
  Install({"old.skit"});
  SyncBuilder sync = ServedSync();
  sync.Add(CAT_SKIT, 1, 2, "Old, revised", {"old.skit"});
  Serve(sync);
  TForm_Settings_Dem& dialog = Open();
  // The catalogue can be read but no longer written.
  Manager->OpsPak.reset();
  Manager->OpsPak = std::make_unique<cPakFile>(Settings.OpsFilePath, true, nullptr, GENERIC_READ);
  MessageBoxCatcher ok(IDOK);
  GetNew();
  ASSERT_EQ(ok.Boxes.size(), 1u);
  EXPECT_EQ(ok.Boxes[0].Text.rfind("Error downloading Kinetrope list. ", 0), 0u) << ok.Boxes[0].Text;
  EXPECT_EQ(DownloadDialogs, 0);
  EXPECT_EQ(Form_DownloadProgress, nullptr);
  EXPECT_TRUE(IsWindowEnabled(dialog.Handle()));
  EXPECT_FALSE(dialog.UpdateTimer.Enabled());
  EXPECT_EQ(Manager->Job().State(), JobState::Idle);
  EXPECT_EQ(Manager->Job().Worker(), nullptr);
  Manager->Access = GENERIC_READ;  // nothing to save at the end either
}

TEST_F(GetNewContent, ACancelConfirmedWithTheCloseBoxShowsNoErrorBox) {
  Builder.Add(CAT_SKIT, 1, SKIT_AVAILABLE, SEL_NONE, "Offered", {"offered.skit"});
  SyncBuilder sync = ServedSync();
  sync.Add(CAT_SKIT, 7, 1, "Seven", {"seven.skit"});
  Serve(sync);
  Server.TrickleInterval = 200;
  Builder.Texts[Builder.Block->Header.SyncUrl.Id] = Server.Url("/trickle/kinetrope.syn");
  TForm_Settings_Dem& dialog = Open();
  dialog.Button_GetNewSkits.Click();
  ASSERT_TRUE(Server.WaitForRequests(1, kPatience));
  ASSERT_NE(Form_DownloadProgress, nullptr);

  MessageBoxCatcher yes(IDYES);
  // The close box and Alt+F4 both arrive as SC_CLOSE.
  SendMessageA(Form_DownloadProgress->Handle(), WM_SYSCOMMAND, SC_CLOSE, 0);
  ASSERT_TRUE(PumpUntil([&] { return !dialog.DownloadRunning(); }, kPatience));
  ASSERT_EQ(yes.Boxes.size(), 1u) << "a confirmed cancel is not a failure";
  EXPECT_EQ(yes.Boxes[0].Text, kCancelDownloadQuestion);
  EXPECT_EQ(Manager->FindSkit(CAT_SKIT, 7), -1);
}

namespace {

// A window that, when its message comes, notes whether another window exists.
struct Probe {
  static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_APP) {
      Seen = true;
      WatchedAlive = IsWindow(Watched) != FALSE;
      return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
  }
  Probe() {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = Proc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "ProgressProbe";
    RegisterClassA(&wc);
    Window = CreateWindowExA(0, "ProgressProbe", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
    Seen = WatchedAlive = false;
  }
  ~Probe() {
    DestroyWindow(Window);
    UnregisterClassA("ProgressProbe", GetModuleHandleA(nullptr));
  }
  HWND Window = nullptr;
  static inline HWND Watched = nullptr;
  static inline bool Seen = false;
  static inline bool WatchedAlive = false;
};

}  // namespace

TEST_F(GetNewContent, TheLastTransferEndingWhileTheCancelQuestionIsOpenLeavesTheDialogUntilTheAnswer) {
  SyncBuilder sync = ServedSync();
  sync.Add(CAT_SKIT, 7, 1, "Seven", {"seven.skit"});
  Serve(sync);
  Settings.SyncMethod = 2;
  Open();
  std::vector<testing_support::CaughtBox> boxes;
  InDownloadDialog = [&](TForm_Download& download) {
    download.Button_DownloadClick();
    ASSERT_NE(Form_DownloadProgress, nullptr);
    const HWND progress = Form_DownloadProgress->Handle();
    // The one transfer ends; its completion now waits in the queue, and the
    // question's own loop will hand it to the download dialog.
    ASSERT_NE(Manager->Job().Worker(), nullptr);
    ASSERT_TRUE(Manager->Job().Worker()->WaitUntilIdle(kPatience));
    Probe probe;
    Probe::Watched = progress;
    {
      MessageBoxCatcher yes(IDYES);
      yes.OnBox = [&](HWND) { PostMessageA(probe.Window, WM_APP, 0, 0); };
      Form_DownloadProgress->BtnCancelClick();
      boxes = yes.Boxes;
    }
    EXPECT_TRUE(Probe::Seen);
    EXPECT_TRUE(Probe::WatchedAlive) << "the dialog went while it was asking";
    EXPECT_FALSE(download.DownloadRunning());
    EXPECT_EQ(Form_DownloadProgress, nullptr);
    // Gone once the answer is in.
    EXPECT_TRUE(PumpUntil([&] { return !IsWindow(progress); }, kPatience));
    EXPECT_TRUE(IsWindowEnabled(download.Handle()));
    EXPECT_EQ(Record(7).State, SKIT_INSTALLED);
  };
  MessageBoxCatcher outside(IDOK);
  GetNew();
  EXPECT_EQ(DownloadDialogs, 1);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].Text, kCancelDownloadQuestion);
}
