// The saver's part in downloads: the automatic download on the second pick,
// and the close that waits behind the progress dialog for it to end.
#include <gtest/gtest.h>

#include "host/password.h"
#include "ui/progress_form.h"
#include "tests/saver/saver_fixture.h"
#include "tests/store/sync_testing.h"
#include "tests/support/http_server.h"

namespace {

class SaverDownload : public SaverRun {
 protected:
  SaverDownload() : Server(Served.Path()) {
    Served.File("skits");
    CreateDirectoryA(Served.File("skits").c_str(), nullptr);
    AddSkit(1, "first.skit");
    Builder.Add(CAT_NOTICE, 1, SKIT_INSTALLED, SEL_NONE, "Notice 1", {"notice1.skit"});
    Builder.Add(CAT_NOTICE, 4, SKIT_INSTALLED, SEL_NONE, "Notice 4", {"notice4.skit"});
    testing_support::WriteFileBytes(JoinPath(Skits, "notice1.skit"), "notice 1");
    testing_support::WriteFileBytes(JoinPath(Skits, "notice4.skit"), "notice 4");
    Builder.Block->Header.SyncUrl.Id = Builder.Text(Server.Url("/kinetrope.syn"));
    Builder.Block->Header.SyncFileName.Id = Builder.Text("kinetrope.syn");
    // Never synchronised: an update is due.
    Builder.Block->Header.LastSync = 0;
    Builder.Block->Header.SyncIntervalDays = 7;
  }

  // A synchronisation file offering one new skit with these files (the movie
  // first), each served with the given body.
  void OfferNewSkit(const std::string& urlBase, const std::string& body,
                    const std::vector<std::string>& files = {"new.skit"}) {
    SyncBuilder sync;
    sync.UrlBase = urlBase;
    sync.Add(CAT_SKIT, 2, 1, "New skit", files);
    sync.Write(Served.File("kinetrope.syn"));
    for (const std::string& file : files) testing_support::WriteFileBytes(JoinPath(Served.File("skits"), file), body);
  }

  // The movie each start was given, in order.
  std::vector<std::string> Played() const {
    std::vector<std::string> played;
    for (const std::string& line : PlayerRecord(Settings.Player)) {
      size_t at = line.find("SS_Swf=");
      if (line.rfind("ARGS ", 0) == 0 && at != std::string::npos) {
        std::string path = line.substr(at + 7);
        played.push_back(path.substr(path.find_last_of('\\') + 1));
      }
    }
    return played;
  }

  // Ends the movie that plays now, as if it had come to its end.
  void EndMovie() {
    if (Form->SkitPlayer != nullptr && Form->SkitPlayer->PlayerWindow != nullptr)
      PostMessageA(Form->SkitPlayer->PlayerWindow, WM_CLOSE, 0, 0);
  }

  // Closes a protected run, past its grace period, while a skit file
  // trickles in; the workstation's lock answers `locks`. Wine has no lock
  // screen, so the lock goes through its seam: each call is counted, with
  // whether the saver still covered the desktop then.
  void CloseProtectedDuringATransfer(bool locks) {
    static bool answer;
    static TForm_Saver* saver;
    answer = locks;
    saver = nullptr;
    Locks = 0;
    CoveredAtLock = false;
    SystemGuardsSaver = [] { return true; };
    LockTheWorkstation = [] {
      ++Locks;
      CoveredAtLock = saver != nullptr && saver->Visible();
      return answer;
    };
    Settings.SyncMethod = 0;
    // About fifty seconds of body, so that the job outlasts the close.
    Server.TrickleInterval = 200;
    OfferNewSkit(Server.Url("/trickle/skits/"), std::string(4000, 'm'));
    Start();
    saver = Form.get();
    ASSERT_TRUE(Form->PasswordProtected);
    Form->GraceSeconds = 0;
    ASSERT_TRUE(WaitForStarts(1));
    EndMovie();
    ASSERT_TRUE(WaitForStarts(2));
    ASSERT_TRUE(PumpUntil([&] { return TheSkitManager->Job().State() == JobState::Files; }, 20000));
    SendMessageA(Form->Handle(), WM_KEYDOWN, 'Q', 0);
    EXPECT_FALSE(Form->Visible());
  }
  ~SaverDownload() override {
    SystemGuardsSaver = &AskSystemGuardsSaver;
    LockTheWorkstation = Lock_;
  }

  testing_support::TempDir Served;
  testing_support::LoopbackServer Server;
  static inline int Locks = 0;
  static inline bool CoveredAtLock = false;

 private:
  LockWorkstationFn Lock_ = LockTheWorkstation;
};

}  // namespace

TEST_F(SaverDownload, AutomaticDownloadOnTheSecondPickBringsASkitThatPlaysLater) {
  Settings.SyncMethod = 0;
  OfferNewSkit(Server.Url("/skits/"), "the new movie");
  Start();
  ASSERT_TRUE(WaitForStarts(1));
  EXPECT_EQ(Played()[0], "first.skit");
  EndMovie();
  ASSERT_TRUE(WaitForStarts(2));
  EXPECT_EQ(Played()[1], "notice1.skit");
  // The list, then the new skit's file, arrive while the notice plays.
  ASSERT_TRUE(PumpUntil([&] { return FileExists(JoinPath(Skits, "new.skit")); }, 30000));
  ASSERT_TRUE(PumpUntil([&] { return TheSkitManager->Job().Worker() == nullptr || TheSkitManager->Job().State() == JobState::Idle; }));
  int32_t index = TheSkitManager->FindSkit(CAT_SKIT, 2);
  ASSERT_GE(index, 0);
  EXPECT_EQ(TheSkitManager->Catalog.Records[index].State, SKIT_INSTALLED);
  EXPECT_EQ(TheSkitManager->Catalog.Records[index].Selection, SEL_ON);
  // The rotation now takes the new skit in turn.
  for (size_t starts = 3; starts <= 4; ++starts) {
    EndMovie();
    ASSERT_TRUE(WaitForStarts(starts));
  }
  std::vector<std::string> played = Played();
  EXPECT_NE(std::find(played.begin() + 2, played.end(), "new.skit"), played.end());
}

TEST_F(SaverDownload, WithAutomaticDownloadOffNoticeFourAndNoRequest) {
  Settings.SyncMethod = 2;
  OfferNewSkit(Server.Url("/skits/"), "the new movie");
  Start();
  ASSERT_TRUE(WaitForStarts(1));
  EndMovie();
  ASSERT_TRUE(WaitForStarts(2));
  EXPECT_EQ(Played()[1], "notice4.skit");
  EXPECT_EQ(TheSkitManager->Job().Worker(), nullptr);
  EXPECT_EQ(Server.RequestCount(), 0u);
}

TEST_F(SaverDownload, NothingDueMeansARegularSkitAndNoDownload) {
  Settings.SyncMethod = 0;
  Builder.Block->Header.LastSync = cDateTime::Now().Value();
  AddSkit(3, "third.skit");
  Start();
  ASSERT_TRUE(WaitForStarts(1));
  EndMovie();
  ASSERT_TRUE(WaitForStarts(2));
  EXPECT_EQ(Played()[1], "third.skit");
  EXPECT_EQ(Server.RequestCount(), 0u);
}

TEST_F(SaverDownload, ClosingDuringADownloadWaitsBehindTheProgressDialog) {
  Settings.SyncMethod = 0;
  Server.TrickleInterval = 100;
  // Two files of about two seconds each.
  OfferNewSkit(Server.Url("/trickle/skits/"), std::string(320, 'm'), {"new.skit", "new.txt"});
  Start();
  ASSERT_TRUE(WaitForStarts(1));
  EndMovie();
  ASSERT_TRUE(WaitForStarts(2));
  // Close while the skit file trickles in.
  ASSERT_TRUE(PumpUntil([&] { return TheSkitManager->Job().State() == JobState::Files; }, 20000));
  SendMessageA(Form->Handle(), WM_KEYDOWN, 'Q', 0);
  EXPECT_TRUE(Form->Closing);
  EXPECT_FALSE(Form->Visible());
  ASSERT_NE(Form_DownloadProgress, nullptr);
  EXPECT_TRUE(Form_DownloadProgress->Visible());
  EXPECT_EQ(Form_DownloadProgress->TxtProcess.Caption(), "Downloading files...");
  EXPECT_EQ(Form_DownloadProgress->TxtActivity.Caption(), "New skit");
  EXPECT_TRUE(Form->ExitTimer.Enabled());
  EXPECT_EQ(Form->SkitPlayer, nullptr);

  // The first file's completion starts the second: the form keeps waiting.
  ASSERT_TRUE(PumpUntil([&] { return TheSkitManager->Job().Progress().JobDone >= 1 || !Form->ExitTimer.Enabled(); }, 30000));
  EXPECT_TRUE(Form->ExitTimer.Enabled());
  EXPECT_NE(Form_DownloadProgress, nullptr);
  // The job ends with the last transfer, and so does the waiting.
  ASSERT_TRUE(PumpUntil([&] { return !Form->ExitTimer.Enabled(); }, 30000));
  EXPECT_EQ(Form_DownloadProgress, nullptr);
  EXPECT_EQ(TheSkitManager->Job().Worker(), nullptr);
  EXPECT_TRUE(FileExists(JoinPath(Skits, "new.skit")));
}

// Windows locks a protected desktop only once the screensaver has ended,
// and the waiting close keeps it from ending: the saver locks the desktop
// itself before it hides, and the job goes on behind the lock screen.
TEST_F(SaverDownload, AProtectedSaverLocksTheDesktopBeforeItWaits) {
  CloseProtectedDuringATransfer(true);
  EXPECT_EQ(Locks, 1);
  EXPECT_TRUE(CoveredAtLock) << "the desktop showed before the lock";
  EXPECT_TRUE(Form->ExitTimer.Enabled());
  EXPECT_NE(TheSkitManager->Job().Worker(), nullptr);
}

// Where the desktop cannot be locked, nothing is left open for the length
// of the job: it is stopped, and the wait ends with it.
TEST_F(SaverDownload, AProtectedSaverThatCannotLockStopsTheJob) {
  CloseProtectedDuringATransfer(false);
  EXPECT_EQ(Locks, 1);
  ASSERT_TRUE(PumpUntil([&] { return !Form->ExitTimer.Enabled(); }, 15000));
  EXPECT_FALSE(FileExists(JoinPath(Skits, "new.skit")));
  // The skit waits for the next job, which resumes what arrived.
  const int32_t index = TheSkitManager->FindSkit(CAT_SKIT, 2);
  ASSERT_GE(index, 0);
  EXPECT_EQ(TheSkitManager->Catalog.Records[index].State, SKIT_SCHEDULED);
}

TEST_F(SaverDownload, CancellingInTheProgressDialogEndsTheWait) {
  Settings.SyncMethod = 0;
  // A slow body: each piece lets the worker see the cancel (a body that never
  // comes at all ends only at the receive time-out under Wine).
  Server.TrickleInterval = 200;
  OfferNewSkit(Server.Url("/trickle/skits/"), std::string(4000, 'm'));
  Start();
  ASSERT_TRUE(WaitForStarts(1));
  EndMovie();
  ASSERT_TRUE(WaitForStarts(2));
  ASSERT_TRUE(PumpUntil([&] { return TheSkitManager->Job().State() == JobState::Files; }, 20000));
  SendMessageA(Form->Handle(), WM_KEYDOWN, 'Q', 0);
  ASSERT_NE(Form_DownloadProgress, nullptr);
  {
    testing_support::MessageBoxCatcher yes(IDYES);
    Form_DownloadProgress->BtnCancelClick();
    EXPECT_EQ(yes.Boxes.size(), 1u);
  }
  ASSERT_TRUE(PumpUntil([&] { return !Form->ExitTimer.Enabled(); }, 15000));
  EXPECT_EQ(Form_DownloadProgress, nullptr);
  EXPECT_FALSE(FileExists(JoinPath(Skits, "new.skit")));
  EXPECT_FALSE(FileExists(JoinPath(Settings.DownloadPath, "new.skit")));
}

TEST_F(SaverDownload, ADownloadThatEndsWhileTheSaverPlaysDoesNotCloseIt) {
  Settings.SyncMethod = 0;
  OfferNewSkit(Server.Url("/skits/"), "the new movie");
  Start();
  ASSERT_TRUE(WaitForStarts(1));
  EndMovie();
  ASSERT_TRUE(WaitForStarts(2));
  ASSERT_TRUE(PumpUntil([&] { return FileExists(JoinPath(Skits, "new.skit")) && TheSkitManager->Job().Worker() == nullptr; },
                        30000));
  EXPECT_FALSE(Form->Closing);
  EXPECT_TRUE(Form->Visible());
}

TEST_F(SaverDownload, ACompletionThatFailsEndsTheWaitAndNamesTheItem) {
  Settings.SyncMethod = 0;
  // A new revision of the skit the catalogue has: merged, then saved.
  SyncBuilder sync;
  sync.UrlBase = Server.Url("/skits/");
  sync.Add(CAT_SKIT, 1, 2, "First, revised", {"first.skit"});
  sync.Write(Served.File("kinetrope.syn"));
  Start();
  ASSERT_TRUE(WaitForStarts(1));
  EndMovie();
  ASSERT_TRUE(WaitForStarts(2));
  // The list's completion is handled only when this thread next takes its
  // messages: close now, while the job still waits for it.
  ASSERT_EQ(TheSkitManager->Job().State(), JobState::List);
  SendMessageA(Form->Handle(), WM_KEYDOWN, 'Q', 0);
  ASSERT_TRUE(Form->ExitTimer.Enabled());
  // The merge cannot be saved: the catalogue ends the job and throws.
  TheSkitManager->OpsPak.reset();
  TheSkitManager->OpsPak = std::make_unique<cPakFile>(Settings.OpsFilePath, true, nullptr, GENERIC_READ);
  testing_support::MessageBoxCatcher ok(IDOK);
  ASSERT_TRUE(PumpUntil([&] { return !Form->ExitTimer.Enabled(); }, 30000)) << "the wait never ends";
  EXPECT_EQ(Form_DownloadProgress, nullptr);
  EXPECT_EQ(TheSkitManager->Job().Worker(), nullptr);
  ASSERT_EQ(ok.Boxes.size(), 1u);
  EXPECT_EQ(ok.Boxes[0].Text.rfind("Error downloading Kinetrope list. ", 0), 0u) << ok.Boxes[0].Text;
  TheSkitManager->Access = GENERIC_READ;  // nothing to save at the end either
}
