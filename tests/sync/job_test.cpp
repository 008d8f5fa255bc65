// Whole download jobs against the loopback server: the catalogue starts each
// transfer on the real worker, and the test plays the owner window, handing
// every WM_DOWNLOAD_DONE to OnDownloadDone.
#include <algorithm>
#include <functional>

#include "base/files.h"
#include "download/comm.h"
#include "store/server_data.h"
#include "tests/download/download_testing.h"
#include "tests/support/http_server.h"
#include "tests/sync/sync_testing.h"

using testing_support::GeneratedBytes;
using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;

namespace {

// The names in a folder, without "." and "..".
std::vector<std::string> Entries(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  HANDLE find = FindFirstFileA(JoinPath(folder, "*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    const std::string name = found.cFileName;
    if (name != "." && name != "..") names.push_back(name);
  } while (FindNextFileA(find, &found));
  FindClose(find);
  std::sort(names.begin(), names.end());
  return names;
}

using Names = std::vector<std::string>;

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

  // Hands each completion to the catalogue until the job is over, calling
  // between after each one; then the message posted when no file was left,
  // which must change nothing.
  void RunJob(const std::function<void(int)>& between = {}) {
    for (int step = 1; Manager->Phase != JOB_IDLE; ++step) {
      MSG msg;
      ASSERT_TRUE(Receiver.Wait(WM_DOWNLOAD_DONE, msg)) << "no end of transfer";
      Manager->OnDownloadDone(static_cast<int32_t>(msg.lParam));
      if (between) between(step);
    }
    EXPECT_EQ(Manager->Transfer, nullptr);
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
  EXPECT_EQ(Entries(Settings.DownloadPath), Names{}) << "the downloaded copies and the list are gone";
  EXPECT_EQ(Manager->Catalog.Header.LastSync, Now);
  EXPECT_TRUE(Manager->Changed);
  EXPECT_EQ(Manager->JobDone, 3u);
  EXPECT_EQ(Manager->JobTotal, 3u);
  EXPECT_EQ(Manager->Tally.Added, 1u);
  EXPECT_EQ(Manager->Tally.Installed, 3u);
  Manager.reset();
  EXPECT_EQ(ReadBlock(Settings.OpsFilePath)->Records[0].State, SKIT_INSTALLED);
}

TEST_F(JobTest, AFailedFileMarksItsSkitFailedAndEndsTheJob) {
  Settings.SyncMethod = 0;
  SyncBuilder sync = ServedSync();
  SkitRecord& broken = sync.Add(CAT_SKIT, 1, 1, "Broken", {"b0.mov", "b1.bmp", "b2.bmp"});
  sync.Texts[broken.Files[1].Url.Id] = Server.Url("/status/404");
  sync.Add(CAT_SKIT, 2, 1, "Waiting", {"w.mov"});
  Serve(sync);
  OpenManager();
  Manager->StartListDownload(Receiver.Window, true);
  RunJob();

  EXPECT_EQ(Find(CAT_SKIT, 1)->State, SKIT_FAILED);
  EXPECT_EQ(Find(CAT_SKIT, 1)->FilesDone, 1u);
  EXPECT_EQ(Find(CAT_SKIT, 2)->State, SKIT_SCHEDULED) << "the other skits wait for the next job";
  EXPECT_EQ(Entries(Settings.SkitsPath), Names{"b0.mov"});
  EXPECT_EQ(Entries(Settings.DownloadPath), Names{});
  EXPECT_EQ(Server.RequestCount(), 3u);
  EXPECT_EQ(Manager->Tally.Failed, 1u);
}

// A folder of the same name stands where the file belongs: the copy fails,
// the skit stays as it was, and the next transfer fetches the file again.
TEST_F(JobTest, AFileThatCannotBeInstalledIsFetchedAgain) {
  AddServed(1, SKIT_SCHEDULED, "Stubborn", {"stubborn.mov"});
  ASSERT_TRUE(CreateDirectoryA(SkitFile("stubborn.mov").c_str(), nullptr));
  OpenManager();
  ASSERT_TRUE(Manager->StartFileDownloads(Receiver.Window));
  RunJob([this](int step) {
    if (step != 1) return;
    EXPECT_EQ(Find(CAT_SKIT, 1)->State, SKIT_SCHEDULED);
    EXPECT_EQ(Find(CAT_SKIT, 1)->FilesDone, 0u);
    EXPECT_EQ(Manager->Phase, JOB_SKIT_FILES);
    RemoveDirectoryA(SkitFile("stubborn.mov").c_str());
  });
  EXPECT_EQ(Server.RequestCount(), 2u);
  EXPECT_EQ(Find(CAT_SKIT, 1)->State, SKIT_INSTALLED);
  EXPECT_EQ(ReadFileBytes(SkitFile("stubborn.mov")), "bytes of stubborn.mov");
}

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
  Manager->Transfer->Stop();
  RunJob();
  EXPECT_EQ(Find(CAT_SKIT, 1)->State, SKIT_FAILED);
  EXPECT_EQ(Entries(Settings.DownloadPath), Names{});
  EXPECT_EQ(Entries(Settings.SkitsPath), Names{});
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
  EXPECT_EQ(Entries(Dir.Path()), (Names{"download", "download.log", "ops.pak", "skits"}));
  EXPECT_EQ(Entries(Settings.SkitsPath), Names{"good.mov"});
  EXPECT_EQ(Entries(Settings.DownloadPath), Names{});
  EXPECT_FALSE(FileExists("C:\\dg-evil.mov"));
  EXPECT_EQ(Server.RequestCount(), 2u);
  EXPECT_EQ(Manager->Tally.Rejected, names.size() + 1);
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
  Serve(sync);
  Builder.Texts[Builder.Block->Header.SyncUrl.Id] = Server.Url("/ranged/kinetrope.syn");
  OpenManager();
  ASSERT_TRUE(Manager->StartListDownload(Receiver.Window, false));
  RunJob();
  ASSERT_EQ(Find(CAT_SKIT, 5)->State, SKIT_SCHEDULED);
  EXPECT_EQ(Entries(Settings.DownloadPath), Names{"kinetrope.syn.fetched"});
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
  EXPECT_EQ(Entries(Settings.DownloadPath), Names{"kinetrope.syn.fetched"});

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

// A list that is no list keeps no validators (it is asked for whole next
// time); nor does a list from a server that sends none.
TEST_F(JobTest, AListThatCannotBeReadOrHasNoValidatorsIsAskedForWhole) {
  WriteFileBytes(Served.File("kinetrope.syn"), "not a list");
  Builder.Texts[Builder.Block->Header.SyncUrl.Id] = Server.Url("/ranged/kinetrope.syn");
  OpenManager();
  for (int job = 0; job < 2; ++job) {
    ASSERT_TRUE(Manager->StartListDownload(Receiver.Window, false));
    RunJob();
    EXPECT_EQ(Entries(Settings.DownloadPath), Names{});
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
  EXPECT_EQ(Entries(Settings.DownloadPath), (Names{"long.mov", "long.mov.resume"}));
  EXPECT_EQ(Entries(Settings.SkitsPath), Names{});

  // Scheduled again (as the download dialog does when the user picks it).
  Manager->Catalog.Records[Manager->FindSkit(CAT_SKIT, 1)].State = SKIT_SCHEDULED;
  ASSERT_TRUE(Manager->StartFileDownloads(Receiver.Window));
  RunJob();
  EXPECT_EQ(Find(CAT_SKIT, 1)->State, SKIT_INSTALLED);
  EXPECT_EQ(ReadFileBytes(SkitFile("long.mov")), bytes);
  EXPECT_EQ(Entries(Settings.DownloadPath), Names{});
  EXPECT_EQ(Server.BodyBytesSent.load(), bytes.size());
}
