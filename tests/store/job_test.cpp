// Whole download jobs against the loopback server: the catalogue starts each
// transfer on the real worker, and the test plays the owner window, handing
// every WM_DOWNLOAD_DONE to OnDownloadDone.
#include <algorithm>
#include <functional>

#include "base/files.h"
#include "base/errors.h"
#include "base/text.h"
#include "download/comm.h"
#include "download/progress.h"
#include "download/resume.h"
#include "store/server_data.h"
#include "tests/download/download_testing.h"
#include "tests/store/sync_testing.h"
#include "tests/support/http_server.h"

using testing_support::GeneratedBytes;
using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;

namespace {


using Names = std::vector<std::string>;
// Completions in one job: far more than any test here has files.
constexpr int kMostSteps = 200;

class JobTest : public SyncTest {
 protected:
  JobTest() { Builder.Texts[Builder.Block->Header.SyncUrl.Id] = Server.Url("/kinetrope.syn"); }

  SyncBuilder ServedSync() const {
    SyncBuilder sync;
    sync.UrlBase = Server.Url("/");
    return sync;
  }
  // The list, and every file it names with "bytes of NAME" in it.
  void Serve(const SyncBuilder& sync) {
    sync.Write(Served.File("kinetrope.syn"));
    for (const SkitRecord& record : sync.Records) {
      for (uint32_t f = 0; f < FilesInUse(record) && f < record.FileCount; ++f) {
        const std::string& name = sync.Texts.at(record.Files[f].Name.Id);
        if (IsSafeFileName(name.c_str())) WriteFileBytes(Served.File(name), "bytes of " + name);
      }
    }
  }
  // A catalogue record whose files the server has.
  SkitRecord& AddServed(int32_t skitId, uint8_t state, const std::string& title, const Names& files) {
    SkitRecord& record = Builder.Add(CAT_SKIT, skitId, state, SEL_AUTO, title, files);
    for (size_t f = 0; f < files.size(); ++f) {
      Builder.Texts[record.Files[f].Url.Id] = Server.Url("/" + files[f]);
      WriteFileBytes(Served.File(files[f]), "bytes of " + files[f]);
    }
    return record;
  }

  // The list served with validators, and a first list job that merges it.
  void MergeRangedList(const SyncBuilder& sync) {
    Serve(sync);
    Builder.Texts[Builder.Block->Header.SyncUrl.Id] = Server.Url("/ranged/kinetrope.syn");
    OpenManager();
    ASSERT_TRUE(Manager->StartListDownload(Receiver.Window, false));
    RunJob();
  }

  // Hands each completion to the catalogue until the job is over, calling
  // between after each one; then the message posted when no file was left,
  // which must change nothing. A job that starts the same failing file
  // again and again fails the test instead of holding it.
  void RunJob(const std::function<void(int)>& between = {}) {
    for (int step = 1; Manager->Job().State() != JobState::Idle; ++step) {
      ASSERT_LE(step, kMostSteps) << "the job does not end";
      MSG msg;
      ASSERT_TRUE(Receiver.Wait(WM_DOWNLOAD_DONE, msg)) << "no end of transfer";
      Manager->OnDownloadDone(static_cast<int32_t>(msg.lParam));
      if (between) between(step);
    }
    EXPECT_EQ(Manager->Job().Worker(), nullptr);
    MSG msg;
    while (PeekMessageA(&msg, Receiver.Window, WM_DOWNLOAD_DONE, WM_DOWNLOAD_DONE, PM_REMOVE)) {
      EXPECT_FALSE(Manager->OnDownloadDone(static_cast<int32_t>(msg.lParam)));
    }
  }

  testing_support::TempDir Served;
  testing_support::LoopbackServer Server{Served.Path()};
  download_testing::Receiver Receiver;
};

}  // namespace

TEST_F(JobTest, AnAutomaticJobFetchesTheListThenEveryFileOfTheNewSkit) {
  Settings.SyncMethod = 0;
  SyncBuilder sync = ServedSync();
  sync.Add(CAT_SKIT, 5, 1, "Kites", {"kites.skit", "kites.txt", "kites.bmp"});
  Serve(sync);
  OpenManager();
  ASSERT_TRUE(Manager->StartListDownload(Receiver.Window, true));
  EXPECT_FALSE(Manager->StartListDownload(Receiver.Window, true)) << "one job at a time";
  EXPECT_FALSE(Manager->StartFileDownloads(Receiver.Window));
  RunJob();

  EXPECT_EQ(LogTexts(), (Names{"Download success: Kinetrope list 1 of 1", "Download success: Kites 1 of 3",
                               "Download success: Kites 2 of 3", "Download success: Kites 3 of 3"}));
  const SkitRecord& kites = *Find(CAT_SKIT, 5);
  EXPECT_EQ(kites.State, SKIT_INSTALLED);
  EXPECT_EQ(kites.Selection, SEL_ON) << "scheduled by the program, ticked once installed";
  EXPECT_EQ(kites.FilesDone, 3u);
  for (const std::string name : {"kites.skit", "kites.txt", "kites.bmp"}) {
    EXPECT_EQ(ReadFileBytes(SkitFile(name)), "bytes of " + name);
  }
  EXPECT_EQ(FolderNames(Settings.DownloadPath), Names{}) << "the downloaded copies and the list are gone";
  EXPECT_EQ(Manager->Catalog.Header.LastSync, Now);
  EXPECT_TRUE(Manager->Changed);
  EXPECT_EQ(Manager->Job().Progress().JobDone, 3u);
  EXPECT_EQ(Manager->Job().Progress().JobTotal, 3u);
  EXPECT_EQ(Manager->Tally.Added, 1u);
  EXPECT_EQ(Manager->Tally.Installed, 3u);
  Manager.reset();
  EXPECT_EQ(ReadBlock(Settings.OpsFilePath)->Records[0].State, SKIT_INSTALLED);
}

// A user whose name no 8-bit code page holds keeps the catalogue, the skits
// and the downloads in folders under that name: the list arrives, and the
// file of its new skit, named in UTF-8 too, is installed there.
TEST_F(JobTest, ADownloadIsInstalledForAUserOfAnyName) {
  Settings.SyncMethod = 0;
  for (const std::string user : {"Łukasz Nowak", "张伟"}) {
    SCOPED_TRACE(user);
    std::string data = Dir.Path();
    for (const std::string part : {"Users", user.c_str(), "AppData", "Local", "Drearigrams"}) {
      data = JoinPath(data, part);
      ASSERT_TRUE(CreateDirectoryW(WideFromUtf8(data).c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS)
          << data;
    }
    Settings.SkitsPath = JoinPath(data, "skits");
    Settings.DownloadPath = JoinPath(data, "download");
    Settings.OpsFilePath = JoinPath(data, "drearigrams.pak");
    Settings.LogPath = JoinPath(data, "download.log");
    ASSERT_TRUE(CreateDirectoryW(WideFromUtf8(Settings.SkitsPath).c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(WideFromUtf8(Settings.DownloadPath).c_str(), nullptr));
    SyncBuilder sync = ServedSync();
    sync.TextEncoding = "UTF-8";
    SkitRecord& record = sync.Add(CAT_SKIT, 5, 1, "日本の夏", {"日本の夏.skit"});
    sync.Texts[record.Files[0].Url.Id] = Server.Url("/natsu.skit");
    Serve(sync);
    WriteFileBytes(Served.File("natsu.skit"), "skit 1");
    OpenManager();
    ASSERT_TRUE(Manager->StartListDownload(Receiver.Window, true)) << testing::PrintToString(LogTexts());
    RunJob();
    ASSERT_NE(Find(CAT_SKIT, 5), nullptr) << testing::PrintToString(LogTexts());
    EXPECT_EQ(Find(CAT_SKIT, 5)->State, SKIT_INSTALLED);
    EXPECT_EQ(LogTexts(), (Names{"Download success: Kinetrope list 1 of 1", "Download success: 日本の夏 1 of 1"}));
    EXPECT_EQ(ReadFileBytes(SkitFile("日本の夏.skit")), "skit 1");
    EXPECT_NE(GetFileAttributesW((WideFromUtf8(data) + L"\\skits\\日本の夏.skit").c_str()), INVALID_FILE_ATTRIBUTES);
    Manager.reset();
  }
}

// One file the server refuses fails its skit only: the job goes on with the
// other new skits.
TEST_F(JobTest, AFileTheServerRefusesFailsItsSkitAndTheJobGoesOn) {
  Settings.SyncMethod = 0;
  SyncBuilder sync = ServedSync();
  SkitRecord& broken = sync.Add(CAT_SKIT, 1, 1, "Broken", {"b0.mov", "b1.bmp", "b2.bmp"});
  sync.Texts[broken.Files[1].Url.Id] = Server.Url("/status/404");
  SkitRecord& forbidden = sync.Add(CAT_SKIT, 2, 1, "Forbidden", {"f.mov"});
  sync.Texts[forbidden.Files[0].Url.Id] = Server.Url("/status/403");
  sync.Add(CAT_SKIT, 3, 1, "Waiting", {"w.mov"});
  Serve(sync);
  OpenManager();
  Manager->StartListDownload(Receiver.Window, true);
  RunJob();

  EXPECT_EQ(Find(CAT_SKIT, 1)->State, SKIT_FAILED);
  EXPECT_EQ(Find(CAT_SKIT, 1)->FilesDone, 1u);
  EXPECT_EQ(Find(CAT_SKIT, 2)->State, SKIT_FAILED);
  EXPECT_EQ(Find(CAT_SKIT, 3)->State, SKIT_INSTALLED) << "the skit behind the refused ones still comes";
  EXPECT_EQ(FolderNames(Settings.SkitsPath), (Names{"b0.mov", "w.mov"}));
  EXPECT_EQ(FolderNames(Settings.DownloadPath), Names{});
  EXPECT_EQ(Server.RequestCount(), 5u) << "the list, b0, the 404, the 403 and w.mov; b2 is not asked for";
  EXPECT_EQ(Manager->Tally.Failed, 2u);
  EXPECT_EQ(Manager->Tally.Installed, 2u);
  EXPECT_EQ(Manager->Job().Progress().JobDone, 4u);
  EXPECT_TRUE(Logged("Download failed: Broken 2 of 3. HTTP status 404 Not Found"));
  EXPECT_TRUE(Logged("Download failed: Forbidden 1 of 1. HTTP status 403 Forbidden"));
}

// A read-only file of the same name stands where the file belongs (and a
// folder for the second skit): fetching again would not help, so each skit
// fails after one transfer, its download is removed, and the job goes on.
TEST_F(JobTest, AFileThatCannotBeInstalledFailsItsSkitAndTheJobGoesOn) {
  AddServed(1, SKIT_SCHEDULED, "Stubborn", {"stubborn.mov"});
  AddServed(2, SKIT_SCHEDULED, "Blocked", {"blocked.mov"});
  AddServed(3, SKIT_SCHEDULED, "Fine", {"fine.mov"});
  WriteFileBytes(SkitFile("stubborn.mov"), "an old copy");
  ASSERT_TRUE(SetFileAttributesA(SkitFile("stubborn.mov").c_str(), FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(CreateDirectoryA(SkitFile("blocked.mov").c_str(), nullptr));
  OpenManager();
  ASSERT_TRUE(Manager->StartFileDownloads(Receiver.Window));
  RunJob();
  SetFileAttributesA(SkitFile("stubborn.mov").c_str(), FILE_ATTRIBUTE_NORMAL);

  EXPECT_EQ(Server.RequestCount(), 3u) << "each file fetched once";
  EXPECT_EQ(Find(CAT_SKIT, 1)->State, SKIT_FAILED);
  EXPECT_EQ(Find(CAT_SKIT, 2)->State, SKIT_FAILED);
  EXPECT_EQ(Find(CAT_SKIT, 3)->State, SKIT_INSTALLED);
  EXPECT_EQ(ReadFileBytes(SkitFile("stubborn.mov")), "an old copy");
  EXPECT_EQ(FolderNames(Settings.DownloadPath), Names{}) << "the downloads that could not be installed are gone";
  EXPECT_EQ(Manager->Tally.Failed, 2u);
  const Names log = LogTexts();
  EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const std::string& line) {
    return line.rfind("Cannot download Stubborn: cannot install ", 0) == 0;
  }));
}

// A cancel is the user's, not the skit's: it stays scheduled.
TEST_F(JobTest, CancelEndsTheJobAndLeavesNoPartialFile) {
  AddServed(1, SKIT_SCHEDULED, "Slow", {"slow.mov"});
  // Still arriving when cancelled, so the cancel ends it at its next piece
  // even where closing the handles does not interrupt a blocked read.
  Builder.Texts[Builder.Block->Records[0].Files[0].Url.Id] = Server.Url("/trickle/slow.mov");
  WriteFileBytes(Served.File("slow.mov"), GeneratedBytes(200000));
  Server.TrickleInterval = 1;
  OpenManager();
  ASSERT_TRUE(Manager->StartFileDownloads(Receiver.Window));
  ASSERT_TRUE(Server.WaitForRequests(1, download_testing::kPatience));
  // What the owner does on WM_DOWNLOAD_CANCEL.
  Manager->Job().Worker()->Stop();
  RunJob();
  EXPECT_EQ(Find(CAT_SKIT, 1)->State, SKIT_SCHEDULED);
  EXPECT_EQ(Find(CAT_SKIT, 1)->FilesDone, 0u);
  EXPECT_EQ(FolderNames(Settings.DownloadPath), Names{});
  EXPECT_EQ(FolderNames(Settings.SkitsPath), Names{});
  EXPECT_EQ(LogTexts().back(), std::string("Download failed: Slow 1 of 1. ") + kUserCancelledText);
}

// The settings dialog fetches the list only, even when files are pending;
// the download dialog then starts the files.
TEST_F(JobTest, AJobStartedByADialogStopsAfterTheList) {
  Settings.SyncMethod = 0;
  SyncBuilder sync = ServedSync();
  sync.Add(CAT_SKIT, 1, 1, "Picked", {"picked.mov"});
  Serve(sync);
  OpenManager();
  Manager->StartListDownload(Receiver.Window, false);
  RunJob();
  EXPECT_EQ(Server.RequestCount(), 1u);
  EXPECT_EQ(Find(CAT_SKIT, 1)->State, SKIT_SCHEDULED);
  EXPECT_EQ(Manager->Catalog.Header.LastSync, Now);

  Manager->StartFileDownloads(Receiver.Window);
  RunJob();
  EXPECT_EQ(Server.RequestCount(), 2u);
  EXPECT_EQ(Find(CAT_SKIT, 1)->State, SKIT_INSTALLED);
}

TEST_F(JobTest, AFailedListMergesNothingAndLeavesLastSync) {
  Builder.Texts[Builder.Block->Header.SyncUrl.Id] = Server.Url("/status/500");
  Builder.Block->Header.LastSync = 1234;
  OpenManager();
  Manager->StartListDownload(Receiver.Window, true);
  RunJob();
  EXPECT_EQ(Manager->Catalog.Header.LastSync, 1234u);
  EXPECT_EQ(Manager->Catalog.Header.Count, 0u);
  EXPECT_FALSE(Manager->Changed);
}

// A cleared item names category 0, id 0, which this notice movie has: the
// completion that ends a job with nothing to fetch must not touch it.
TEST_F(JobTest, AFileJobWithNothingToFetchChangesNoRecord) {
  Builder.Add(CAT_NOTICE, 0, SKIT_INSTALLED, SEL_ON, "Notice", {"notice.mov"});
  Install({"notice.mov"});
  OpenManager();
  ASSERT_TRUE(Manager->StartFileDownloads(Receiver.Window));
  RunJob();
  EXPECT_EQ(Find(CAT_NOTICE, 0)->State, SKIT_INSTALLED);
  EXPECT_EQ(Server.RequestCount(), 0u);
}

// Every refused record would otherwise be fetched (its address is good):
// the job installs the good skit and writes nowhere but the two folders.
TEST_F(JobTest, AHostileListWritesNothingOutsideTheTwoFolders) {
  Settings.SyncMethod = 0;
  SyncBuilder sync = ServedSync();
  sync.Add(CAT_SKIT, 1, 1, "Good", {"good.mov"});
  const Names names = {"..\\evil.mov", "C:\\dg-evil.mov", "\\\\127.0.0.1\\c$\\dg-evil.mov", "good.mov:stream",
                       "NUL", "sub/evil.mov"};
  int32_t id = 2;
  for (const std::string& name : names) {
    SkitRecord& record = sync.Add(CAT_SKIT, id++, 1, "Evil", {name});
    sync.Texts[record.Files[0].Url.Id] = Server.Url("/good.mov");
  }
  sync.Add(CAT_SKIT, id, 1, "Evil", {"evil.mov"});
  sync.Texts[sync.Records.back().Files[0].Url.Id] = "file:///C:/windows/win.ini";
  Serve(sync);
  OpenManager();
  Manager->StartListDownload(Receiver.Window, true);
  RunJob();

  EXPECT_EQ(Manager->Catalog.Header.Count, 1u);
  EXPECT_EQ(Find(CAT_SKIT, 1)->State, SKIT_INSTALLED);
  EXPECT_EQ(FolderNames(Dir.Path()), (Names{"download", "download.log", "ops.pak", "skits"}));
  EXPECT_EQ(FolderNames(Settings.SkitsPath), Names{"good.mov"});
  EXPECT_EQ(FolderNames(Settings.DownloadPath), Names{});
  EXPECT_FALSE(FileExists("C:\\dg-evil.mov"));
  EXPECT_EQ(Server.RequestCount(), 2u);
  EXPECT_EQ(Manager->Tally.Rejected, names.size() + 1);
}

// Scheduling again ------------------------------------------------------------

namespace {

class RescheduleTest : public JobTest {
 protected:
  // Skit 7, installed from an old copy of its movie; the server has a new one.
  void InstallOldKites() {
    Settings.SyncMethod = 0;
    SkitRecord& kites = AddServed(7, SKIT_INSTALLED, "Kites", {"kites.mov"});
    kites.Selection = SEL_ON;
    kites.Revision = 1;
  }
  void RunListJob(const SyncBuilder& sync) {
    Serve(sync);
    OpenManager();
    ASSERT_TRUE(Manager->StartListDownload(Receiver.Window, true));
    RunJob();
  }
  void ExpectFetchedAndPlaying() {
    EXPECT_EQ(Server.RequestCount(), 2u) << "the list and the movie";
    EXPECT_EQ(ReadFileBytes(SkitFile("kites.mov")), "bytes of kites.mov");
    const SkitRecord& kites = *Find(CAT_SKIT, 7);
    EXPECT_EQ(kites.State, SKIT_INSTALLED);
    EXPECT_EQ(kites.Selection, SEL_ON);
    EXPECT_EQ(kites.FilesDone, 1u);
    EXPECT_EQ(Str(Manager->NextSkit()), "kites.mov");
  }
};

}  // namespace

TEST_F(RescheduleTest, AHigherRevisionIsFetchedAgainAndPlays) {
  InstallOldKites();
  Install({"kites.mov"});
  SyncBuilder sync = ServedSync();
  sync.Add(CAT_SKIT, 7, 2, "Kites", {"kites.mov"});
  RunListJob(sync);
  ExpectFetchedAndPlaying();
}

TEST_F(RescheduleTest, AnUpdateOfTheFilesIsFetchedAgainAndPlays) {
  InstallOldKites();
  Install({"kites.mov"});
  SyncBuilder sync = ServedSync();
  sync.Add(CAT_SKIT, 7, 2, "Kites", {"kites.mov"}).UpdateMask = 0x02;
  RunListJob(sync);
  ExpectFetchedAndPlaying();
}

// The movie was deleted: the start of the run makes the skit available, and
// the list job schedules it again.
TEST_F(RescheduleTest, ASkitWhoseMovieWasDeletedIsFetchedAgainAndPlays) {
  InstallOldKites();
  SyncBuilder sync = ServedSync();
  sync.Add(CAT_SKIT, 7, 1, "Kites", {"kites.mov"});
  RunListJob(sync);
  ExpectFetchedAndPlaying();
}

// The catalogue's promises ------------------------------------------------------

// The settings dialog holds the catalogue, so the run opened it read-only:
// nothing it fetched could be recorded.
TEST_F(JobTest, AReadOnlyCatalogueStartsNoJob) {
  Settings.SyncMethod = 0;
  SyncBuilder sync = ServedSync();
  sync.Add(CAT_SKIT, 1, 1, "New", {"new.mov"});
  Serve(sync);
  AddServed(2, SKIT_SCHEDULED, "Pending", {"pending.mov"});
  Builder.Write(Settings.OpsFilePath);
  HANDLE held = CreateFileA(Settings.OpsFilePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  {
    cSkitManager manager(true);
    ASSERT_TRUE(manager.IsReadOnly());
    EXPECT_FALSE(manager.StartListDownload(Receiver.Window, true));
    EXPECT_FALSE(manager.StartFileDownloads(Receiver.Window));
    EXPECT_EQ(manager.Job().State(), JobState::Idle);
    EXPECT_EQ(manager.Job().Worker(), nullptr);
  }
  CloseHandle(held);
  EXPECT_EQ(Server.RequestCount(), 0u);
  EXPECT_FALSE(Receiver.Pending(WM_DOWNLOAD_DONE));
  EXPECT_EQ(FolderNames(Settings.SkitsPath), Names{});
}

namespace {

// Destroying a worker may ask whether to hang up; the question's message loop
// hands what is queued, a completion too, to the owner, which passes it to the
// catalogue. This worker does the same when it is destroyed.
class AskingWorker : public cThread_Comm {
 public:
  AskingWorker(cSkitManager& manager, HWND window, int& destroyed, std::vector<bool>& nested)
      : Manager_(manager), Window_(window), Destroyed_(destroyed), Nested_(nested) {}
  ~AskingWorker() override {
    ++Destroyed_;
    MSG msg;
    while (PeekMessageA(&msg, Window_, WM_DOWNLOAD_DONE, WM_DOWNLOAD_DONE, PM_REMOVE)) {
      Nested_.push_back(Manager_.OnDownloadDone(static_cast<int32_t>(msg.lParam)));
    }
  }

 private:
  cSkitManager& Manager_;
  HWND Window_;
  int& Destroyed_;
  std::vector<bool>& Nested_;
};

}  // namespace

TEST_F(JobTest, ACompletionDeliveredWhileTheJobEndsIsIgnored) {
  AddServed(1, SKIT_SCHEDULED, "One", {"one.mov"});
  OpenManager();
  int destroyed = 0;
  std::vector<bool> nested;
  Manager->Job().UseWorker(std::make_unique<AskingWorker>(*Manager, Receiver.Window, destroyed, nested));
  ASSERT_TRUE(Manager->StartFileDownloads(Receiver.Window));
  MSG msg;
  ASSERT_TRUE(Receiver.Wait(WM_DOWNLOAD_DONE, msg));
  // Nothing is left after one.mov: the job ends, and the completion posted
  // for "nothing left" arrives while the worker is going.
  EXPECT_FALSE(Manager->OnDownloadDone(static_cast<int32_t>(msg.lParam)));
  EXPECT_EQ(destroyed, 1) << "the worker is deleted once";
  EXPECT_EQ(nested, std::vector<bool>{false});
  EXPECT_EQ(Manager->Job().Worker(), nullptr);
  EXPECT_EQ(Manager->Job().State(), JobState::Idle);
  EXPECT_EQ(Find(CAT_SKIT, 1)->State, SKIT_INSTALLED);
}

// Only the server's definite answer fails a skit, and the job then goes on
// with the next one; an answer that may change leaves the skit scheduled for
// the next job, from the file that failed, and ends this job, whose next
// file would most likely fail the same way. Nothing of the failed file
// reaches the skits folder.
TEST_F(JobTest, OnlyADefiniteRefusalFailsASkitAndOnlyARefusalLetsTheJobGoOn) {
  struct Case {
    const char* Path;
    uint8_t State;
  };
  const Case cases[] = {{"/status/503", SKIT_SCHEDULED}, {"/status/500", SKIT_SCHEDULED},
                        {"/reset/x.mov", SKIT_SCHEDULED}, {"/cut/x.mov", SKIT_SCHEDULED},
                        {"/status/404", SKIT_FAILED},    {"/status/410", SKIT_FAILED},
                        {"/status/403", SKIT_FAILED}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Path);
    Builder = CatalogBuilder();
    SkitRecord& record = AddServed(1, SKIT_SCHEDULED, "X", {"x.mov"});
    WriteFileBytes(Served.File("x.mov"), GeneratedBytes(20000));
    Builder.Texts[record.Files[0].Url.Id] = Server.Url(c.Path);
    AddServed(2, SKIT_SCHEDULED, "Next", {"next.mov"});
    OpenManager();
    const size_t requestsBefore = Server.RequestCount();
    ASSERT_TRUE(Manager->StartFileDownloads(Receiver.Window));
    RunJob();
    EXPECT_EQ(Find(CAT_SKIT, 1)->State, c.State);
    EXPECT_EQ(Find(CAT_SKIT, 1)->FilesDone, 0u);
    const bool refused = c.State == SKIT_FAILED;
    EXPECT_EQ(Find(CAT_SKIT, 2)->State, refused ? SKIT_INSTALLED : SKIT_SCHEDULED);
    EXPECT_EQ(Server.RequestCount() - requestsBefore, refused ? 2u : 1u);
    // What a cut left may wait there for the next job to finish.
    if (refused) {
      EXPECT_EQ(FolderNames(Settings.DownloadPath), Names{});
    }
    EXPECT_EQ(FolderNames(Settings.SkitsPath), refused ? Names{"next.mov"} : Names{});
    for (const std::string& folder : {Settings.DownloadPath, Settings.SkitsPath}) {
      for (const std::string& name : FolderNames(folder)) DeleteFileA(JoinPath(folder, name).c_str());
    }
  }
}

// Partial downloads are kept for resuming only while a record may still
// ask for them, and all of them together within the catalogue's bound:
// when a job starts, one whose address and name no record uses goes, an
// unreadable record goes with its file, and the oldest go first until the
// rest fit.
TEST_F(JobTest, AJobStartRemovesStalePartialDownloadsAndKeepsTheRestWithinTheBound) {
  AddServed(1, SKIT_AVAILABLE, "Wanted", {"wanted.mov"});
  AddServed(2, SKIT_AVAILABLE, "Old", {"old.mov"});
  AddServed(3, SKIT_AVAILABLE, "Newer", {"newer.mov"});
  auto partial = [&](const std::string& name, const std::string& url, size_t bytes, int ageMinutes) {
    const std::string path = JoinPath(Settings.DownloadPath, name);
    WriteFileBytes(path, GeneratedBytes(bytes));
    TFetchRecord record;
    record.Url = url;
    record.Validators.ETag = "\"v1\"";
    record.Bytes = bytes;
    WriteFetchRecord(ResumeRecordPath(path), record);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER when;
    when.LowPart = now.dwLowDateTime;
    when.HighPart = now.dwHighDateTime;
    when.QuadPart -= static_cast<uint64_t>(ageMinutes) * 60 * 10000000;
    const FILETIME written{when.LowPart, when.HighPart};
    HANDLE file = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    SetFileTime(file, nullptr, nullptr, &written);
    CloseHandle(file);
  };
  partial("wanted.mov", Server.Url("/wanted.mov"), 3000, 1);
  partial("old.mov", Server.Url("/old.mov"), 3000, 30);
  partial("newer.mov", Server.Url("/newer.mov"), 3000, 10);
  partial("gone.mov", Server.Url("/gone.mov"), 100, 5);       // no record has this address
  partial("renamed.mov", Server.Url("/wanted.mov"), 100, 5);  // the address, but under another name
  const std::string broken = JoinPath(Settings.DownloadPath, "broken.mov");
  WriteFileBytes(broken, "x");
  WriteFileBytes(ResumeRecordPath(broken), "not a record");
  WriteFileBytes(ResumeRecordPath(JoinPath(Settings.DownloadPath, "lonely.mov")) + ".tmp", "left over");
  WriteFileBytes(JoinPath(Settings.DownloadPath, "other.bin"), "not a partial download");
  OpenManager();
  Manager->Job().PartialFilesLimit = 7000;
  ASSERT_TRUE(Manager->StartFileDownloads(Receiver.Window));
  RunJob();

  EXPECT_EQ(FolderNames(Settings.DownloadPath),
            (Names{"newer.mov", "newer.mov.resume", "other.bin", "wanted.mov", "wanted.mov.resume"}))
      << "the oldest wanted one goes to fit the bound";
  EXPECT_EQ(Server.RequestCount(), 0u) << "nothing was scheduled";
  EXPECT_TRUE(Logged("Removed the partial download gone.mov: no longer wanted"));
  EXPECT_TRUE(Logged("Removed the partial download renamed.mov: no longer wanted"));
  EXPECT_TRUE(Logged("Removed the partial download broken.mov: unreadable record"));
  EXPECT_TRUE(Logged("Removed the partial download old.mov: over the limit"));

  // A list job tidies too, and keeps the list's own partial file.
  partial("kinetrope.syn", Builder.Texts[Builder.Block->Header.SyncUrl.Id], 50, 1);
  partial("gone2.mov", Server.Url("/gone2.mov"), 100, 1);
  Manager->Job().PartialFilesLimit = 1000000;
  WriteFileBytes(Served.File("kinetrope.syn"), "not a list");
  ASSERT_TRUE(Manager->StartListDownload(Receiver.Window, false));
  RunJob();
  EXPECT_TRUE(Logged("Removed the partial download gone2.mov: no longer wanted"));
  EXPECT_FALSE(Logged("Removed the partial download kinetrope.syn: no longer wanted"));
}

// The progress bar shows the files done plus the share of the current one:
// when the next file starts, nothing of the last one may be counted again.
TEST_F(JobTest, TheByteCountersStartAgainForTheNextFile) {
  SkitRecord& two = AddServed(1, SKIT_SCHEDULED, "Two", {"first.mov", "second.mov"});
  WriteFileBytes(Served.File("first.mov"), GeneratedBytes(50000));
  // Nobody answers for the second file, so no progress of its own covers
  // what the first one left.
  std::string nowhere;
  {
    testing_support::LoopbackServer gone;
    nowhere = gone.Url("/second.mov");
  }
  Builder.Texts[two.Files[1].Url.Id] = nowhere;
  OpenManager();
  ASSERT_TRUE(Manager->StartFileDownloads(Receiver.Window));
  RunJob([this](int step) {
    if (step != 1) return;
    ASSERT_NE(Manager->Job().Worker(), nullptr);
    const DownloadProgress progress = Manager->Job().Progress();
    EXPECT_EQ(progress.BytesReceived, 0u);
    EXPECT_EQ(progress.BytesTotal, 0u);
    EXPECT_EQ(ProgressPosition(progress), 100u) << "one file of two done, the second not begun";
    EXPECT_EQ(ProgressMaximum(progress), 200u);
  });
  EXPECT_EQ(Find(CAT_SKIT, 1)->FilesDone, 1u);
}

// A title with a line break in it would write a line of its own.
TEST_F(JobTest, ServerTextsCannotForgeDownloadLogLines) {
  AddServed(1, SKIT_SCHEDULED, "Kites\r\n.ERROR.. 2024-01-01_00:00:00.000 Thread=1 forged", {"kites.mov"});
  OpenManager();
  ASSERT_TRUE(Manager->StartFileDownloads(Receiver.Window));
  RunJob();
  EXPECT_EQ(LogTexts(),
            Names{"Download success: Kites\\x0D\\x0A.ERROR.. 2024-01-01_00:00:00.000 Thread=1 forged 1 of 1"});
}

namespace {

uintptr_t NoThread(void*, unsigned, unsigned(__stdcall*)(void*), void*, unsigned, unsigned*) {
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return 0;
}

class NoThreads {
 public:
  NoThreads() : Original_(cThread::BeginThread) { cThread::BeginThread = &NoThread; }
  ~NoThreads() { cThread::BeginThread = Original_; }
  NoThreads(const NoThreads&) = delete;
  NoThreads& operator=(const NoThreads&) = delete;

 private:
  cThread::BeginThreadFn Original_;
};

}  // namespace

// No thread for the transfer: the job still ends, through the usual message,
// with the cause for the owner to show, and no skit is marked.
TEST_F(JobTest, AWorkerThatCannotStartEndsTheJobWithItsCause) {
  AddServed(1, SKIT_SCHEDULED, "Waiting", {"w.mov"});
  OpenManager();
  const std::string cause = ErrorText(ERROR_NOT_ENOUGH_MEMORY);
  NoThreads noThreads;
  for (const bool list : {true, false}) {
    SCOPED_TRACE(list ? "list" : "files");
    ASSERT_TRUE(list ? Manager->StartListDownload(Receiver.Window, true) : Manager->StartFileDownloads(Receiver.Window));
    MSG msg;
    ASSERT_TRUE(Receiver.Wait(WM_DOWNLOAD_DONE, msg, 5000)) << "the job never ends";
    EXPECT_EQ(msg.lParam, ERROR_NOT_ENOUGH_MEMORY);
    ASSERT_NE(Manager->Job().Worker(), nullptr);
    EXPECT_EQ(Manager->Job().Worker()->DataModule()->GetErrorText(), cause);
    EXPECT_FALSE(Manager->OnDownloadDone(static_cast<int32_t>(msg.lParam)));
    EXPECT_EQ(Manager->Job().State(), JobState::Idle);
    EXPECT_EQ(Manager->Job().Worker(), nullptr);
  }
  EXPECT_EQ(Find(CAT_SKIT, 1)->State, SKIT_SCHEDULED);
  EXPECT_EQ(Server.RequestCount(), 0u);
  EXPECT_TRUE(Logged("Download not started: " + cause));
}

// ---------------------------------------------------------------------------
// Asking only for what is new

namespace {

bool HasHeader(const testing_support::ServedRequest& request, const std::string& line) {
  return ("\r\n" + request.Headers + "\r\n").find("\r\n" + line + "\r\n") != std::string::npos;
}

}  // namespace

// After a merge the list's validators are kept beside it; asked again, the
// server's 304 counts as a synchronisation that brought nothing: the job
// stamps it and goes on to the pending files. A changed list is merged.
TEST_F(JobTest, AnUnchangedListCountsAsASynchronisationWithNothingNew) {
  Settings.SyncMethod = 0;
  SyncBuilder sync = ServedSync();
  sync.Add(CAT_SKIT, 5, 1, "Kites", {"kites.skit"});
  MergeRangedList(sync);
  ASSERT_EQ(Find(CAT_SKIT, 5)->State, SKIT_SCHEDULED);
  EXPECT_EQ(FolderNames(Settings.DownloadPath), Names{"kinetrope.syn.fetched"});
  const std::string etag = testing_support::LoopbackServer::ETagOf(ReadFileBytes(Served.File("kinetrope.syn")));

  Manager->Catalog.Header.LastSync = 1234;
  ASSERT_TRUE(Manager->StartListDownload(Receiver.Window, true));
  RunJob();
  std::vector<testing_support::ServedRequest> requests = Server.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_TRUE(HasHeader(requests[1], "If-None-Match: " + etag));
  EXPECT_TRUE(Logged("Download success: Kinetrope list 1 of 1 (not modified)"));
  EXPECT_EQ(Manager->Catalog.Header.LastSync, Now);
  EXPECT_EQ(Manager->Tally.Added + Manager->Tally.Updated, 0u);
  EXPECT_EQ(Find(CAT_SKIT, 5)->State, SKIT_INSTALLED) << "the job went on to the pending file";
  EXPECT_EQ(FolderNames(Settings.DownloadPath), Names{"kinetrope.syn.fetched"});

  sync.Add(CAT_SKIT, 6, 1, "Lanterns", {"lanterns.skit"});
  Serve(sync);
  ASSERT_TRUE(Manager->StartListDownload(Receiver.Window, false));
  RunJob();
  requests = Server.Requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_TRUE(HasHeader(requests[3], "If-None-Match: " + etag));
  EXPECT_NE(Find(CAT_SKIT, 6), nullptr);
  TFetchRecord record;
  ASSERT_TRUE(ReadFetchRecord(FetchedRecordPath(SyncPath()), record));
  EXPECT_EQ(record.Validators.ETag, testing_support::LoopbackServer::ETagOf(ReadFileBytes(Served.File("kinetrope.syn"))));
}

// Validators are kept only once the merge went through whole and was saved:
// a list whose new texts the catalogue file refused, or whose save failed,
// leaves none (the older list's go too), so the next synchronisation asks
// for the list whole and merges it.
TEST_F(JobTest, ValidatorsAreKeptOnlyAfterTheMergeAndItsSaveSucceeded) {
  SyncBuilder sync = ServedSync();
  sync.Add(CAT_SKIT, 5, 1, "Kites", {"kites.skit"});
  MergeRangedList(sync);
  ASSERT_EQ(FolderNames(Settings.DownloadPath), Names{"kinetrope.syn.fetched"});

  // The catalogue file, open for reading only, in the catalogue's place
  // while the list is merged: the new skit's texts cannot be written, and
  // then the save of the changed title cannot either.
  const auto mergeUnwritable = [&] {
    ASSERT_TRUE(Manager->StartListDownload(Receiver.Window, false));
    MSG msg;
    ASSERT_TRUE(Receiver.Wait(WM_DOWNLOAD_DONE, msg));
    std::unique_ptr<cPakFile> writable = std::move(Manager->OpsPak);
    Manager->OpsPak = std::make_unique<cPakFile>(Settings.OpsFilePath, true, nullptr, GENERIC_READ);
    try {
      Manager->OnDownloadDone(static_cast<int32_t>(msg.lParam));
    } catch (const std::exception&) {
      // The save's failure goes to the owner window.
    }
    Manager->OpsPak = std::move(writable);
    EXPECT_EQ(FolderNames(Settings.DownloadPath), Names{}) << "neither this list's validators nor the older ones";
  };
  sync.Add(CAT_SKIT, 6, 1, "Lanterns", {"lanterns.skit"});
  Serve(sync);
  mergeUnwritable();
  EXPECT_EQ(Find(CAT_SKIT, 6), nullptr);

  ASSERT_TRUE(Manager->StartListDownload(Receiver.Window, false));
  RunJob();
  EXPECT_EQ(Server.Requests().back().Headers.find("If-None-Match"), std::string::npos);
  EXPECT_NE(Find(CAT_SKIT, 6), nullptr) << "the list was merged after all";
  ASSERT_EQ(FolderNames(Settings.DownloadPath), Names{"kinetrope.syn.fetched"});

  // Merged whole, but not saved.
  sync.Records[0].Revision = 2;
  sync.Texts[sync.Records[0].Title.Id] = "Kites at dusk";
  Serve(sync);
  mergeUnwritable();
}

// A list that is no list keeps no validators (it is asked for whole next
// time); nor does a list from a server that sends none.
TEST_F(JobTest, AListThatCannotBeReadOrHasNoValidatorsIsAskedForWhole) {
  WriteFileBytes(Served.File("kinetrope.syn"), "not a list");
  Builder.Texts[Builder.Block->Header.SyncUrl.Id] = Server.Url("/ranged/kinetrope.syn");
  OpenManager();
  for (int job = 0; job < 2; ++job) {
    ASSERT_TRUE(Manager->StartListDownload(Receiver.Window, false));
    RunJob();
    EXPECT_EQ(FolderNames(Settings.DownloadPath), Names{});
  }
  std::vector<testing_support::ServedRequest> requests = Server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].Headers.find("If-None-Match"), std::string::npos);
  EXPECT_EQ(requests[1].Headers.find("If-Modified-Since"), std::string::npos);
}

// The file a job was cut off from waits in the download folder; when the
// skit is fetched again only the rest comes, and the installed file is whole.
TEST_F(JobTest, AFileCutInOneJobIsFinishedByTheNext) {
  SkitRecord& record = AddServed(1, SKIT_SCHEDULED, "Long", {"long.mov"});
  Builder.Texts[record.Files[0].Url.Id] = Server.Url("/ranged/long.mov");
  const std::string bytes = GeneratedBytes(50000);
  WriteFileBytes(Served.File("long.mov"), bytes);
  Server.CutAt = 20000;
  OpenManager();
  ASSERT_TRUE(Manager->StartFileDownloads(Receiver.Window));
  RunJob();
  EXPECT_EQ(FolderNames(Settings.DownloadPath), (Names{"long.mov", "long.mov.resume"}));
  EXPECT_EQ(FolderNames(Settings.SkitsPath), Names{});

  // Scheduled again (as the download dialog does when the user picks it).
  Manager->Catalog.Records[Manager->FindSkit(CAT_SKIT, 1)].State = SKIT_SCHEDULED;
  ASSERT_TRUE(Manager->StartFileDownloads(Receiver.Window));
  RunJob();
  EXPECT_EQ(Find(CAT_SKIT, 1)->State, SKIT_INSTALLED);
  EXPECT_EQ(ReadFileBytes(SkitFile("long.mov")), bytes);
  EXPECT_EQ(FolderNames(Settings.DownloadPath), Names{});
  EXPECT_EQ(Server.BodyBytesSent.load(), bytes.size());
}
