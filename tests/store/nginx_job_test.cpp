// Whole download jobs against nginx (tests/support/nginx_server.h): the
// maker's content is static files, and any web server must do.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/files.h"
#include "download/comm.h"
#include "download/resume.h"
#include "tests/download/download_testing.h"
#include "tests/store/sync_testing.h"
#include "tests/support/http_server.h"
#include "tests/support/nginx_server.h"

using testing_support::CuttingProxy;
using testing_support::GeneratedBytes;
using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;

namespace {

using Names = std::vector<std::string>;

class NginxJobTest : public SyncTest {
 protected:
  NginxJobTest() { Builder.Texts[Builder.Block->Header.SyncUrl.Id] = Nginx.Url("/kinetrope.syn"); }

  void RunJob() {
    while (Manager->Job().State() != JobState::Idle) {
      MSG msg;
      ASSERT_TRUE(Receiver.Wait(WM_DOWNLOAD_DONE, msg)) << "no end of transfer";
      Manager->OnDownloadDone(static_cast<int32_t>(msg.lParam));
    }
    MSG msg;
    while (PeekMessageA(&msg, Receiver.Window, WM_DOWNLOAD_DONE, WM_DOWNLOAD_DONE, PM_REMOVE)) {
      Manager->OnDownloadDone(static_cast<int32_t>(msg.lParam));
    }
  }

  testing_support::TempDir Served;
  testing_support::NginxServer Nginx{Served.Path()};
  download_testing::Receiver Receiver;
};

}  // namespace

// The list and every file of its new skits come from nginx and are
// installed byte for byte. Asked again, nginx answers the list's
// If-None-Match with 304, which counts as a synchronisation with nothing new.
TEST_F(NginxJobTest, AWholeListAndItsSkitFilesComeFromNginxAndTheListIsThen304) {
  Settings.SyncMethod = 0;
  SyncBuilder sync;
  sync.UrlBase = Nginx.Url("/");
  sync.Add(CAT_SKIT, 5, 1, "Kites", {"kites.skit", "kites.txt"});
  sync.Add(CAT_SKIT, 6, 1, "Lanterns", {"lanterns.skit"});
  sync.Write(Served.File("kinetrope.syn"));
  const std::string kites = GeneratedBytes(300000);
  WriteFileBytes(Served.File("kites.skit"), kites);
  WriteFileBytes(Served.File("kites.txt"), "About kites.\r\n");
  WriteFileBytes(Served.File("lanterns.skit"), GeneratedBytes(70000));
  OpenManager();
  ASSERT_TRUE(Manager->StartListDownload(Receiver.Window, true));
  RunJob();

  EXPECT_EQ(Find(CAT_SKIT, 5)->State, SKIT_INSTALLED);
  EXPECT_EQ(Find(CAT_SKIT, 6)->State, SKIT_INSTALLED);
  EXPECT_EQ(ReadFileBytes(SkitFile("kites.skit")), kites);
  EXPECT_EQ(ReadFileBytes(SkitFile("kites.txt")), "About kites.\r\n");
  EXPECT_EQ(ReadFileBytes(SkitFile("lanterns.skit")), GeneratedBytes(70000));
  EXPECT_EQ(FolderNames(Settings.DownloadPath), Names{"kinetrope.syn.fetched"});
  EXPECT_EQ(Manager->Catalog.Header.LastSync, Now);
  TFetchRecord fetched;
  ASSERT_TRUE(ReadFetchRecord(FetchedRecordPath(SyncPath()), fetched));
  ASSERT_FALSE(fetched.Validators.ETag.empty()) << "nginx's ETag is kept for the next time";

  Manager->Catalog.Header.LastSync = 1234;
  ASSERT_TRUE(Manager->StartListDownload(Receiver.Window, true));
  RunJob();
  EXPECT_TRUE(Logged("Download success: Kinetrope list 1 of 1 (not modified)"));
  EXPECT_EQ(Manager->Catalog.Header.LastSync, Now);
  const std::vector<std::string> log = Nginx.AccessLog(5);
  ASSERT_EQ(log.size(), 5u);
  EXPECT_EQ(log[4].rfind("304 /kinetrope.syn ", 0), 0u) << log[4];
  EXPECT_NE(log[4].find("if_none_match=\"" + fetched.Validators.ETag + "\""), std::string::npos) << log[4];
}

// A skit file cut off in one job is finished by the next from nginx: only
// the rest comes, and the installed file is whole.
TEST_F(NginxJobTest, AFileCutInOneJobIsFinishedByTheNextFromNginx) {
  const std::string bytes = GeneratedBytes(400000);
  WriteFileBytes(Served.File("long.mov"), bytes);
  CuttingProxy proxy(Nginx.Port());
  SkitRecord& record = Builder.Add(CAT_SKIT, 1, SKIT_SCHEDULED, SEL_AUTO, "Long", {"long.mov"});
  Builder.Texts[record.Files[0].Url.Id] = proxy.Url("/long.mov");
  OpenManager();
  proxy.CutAfter = 150000;
  ASSERT_TRUE(Manager->StartFileDownloads(Receiver.Window));
  RunJob();
  EXPECT_EQ(Find(CAT_SKIT, 1)->State, SKIT_SCHEDULED) << "a cut is no refusal";
  EXPECT_EQ(FolderNames(Settings.DownloadPath), (Names{"long.mov", "long.mov.resume"}));

  ASSERT_TRUE(Manager->StartFileDownloads(Receiver.Window));
  RunJob();
  EXPECT_EQ(Find(CAT_SKIT, 1)->State, SKIT_INSTALLED);
  EXPECT_EQ(ReadFileBytes(SkitFile("long.mov")), bytes);
  EXPECT_EQ(FolderNames(Settings.DownloadPath), Names{});
  const std::vector<std::string> log = Nginx.AccessLog(2);
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[1].rfind("206 /long.mov ", 0), 0u) << log[1];
}
