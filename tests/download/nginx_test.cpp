// The driver against a real web server: nginx, started by each test on a
// loopback port (tests/support/nginx_server.h). Where our own loopback
// server makes its validators from a file's bytes and closes every
// connection, nginx makes its ETag from the file's modification time and
// size, keeps connections alive, and answers conditional and range requests
// by its own rules; these tests hold the driver to those.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/files.h"
#include "base/settings.h"
#include "download/comm.h"
#include "download/resume.h"
#include "tests/download/download_testing.h"
#include "tests/support/http_server.h"
#include "tests/support/nginx_server.h"
#include "tests/support/testing.h"

using download_testing::LogTexts;
using testing_support::CuttingProxy;
using testing_support::GeneratedBytes;
using testing_support::NginxServer;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

constexpr DWORD kTimeout = 5000;  // ms; reached only when something is broken

class NginxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Settings.LogPath = Work.File("download.log");
    Worker = std::make_unique<cThread_Comm>();
    Module().HTTP.SetReceiveTimeout(kTimeout);
    Module().HTTP.SetConnectTimeout(kTimeout);
    Module().HangUpPause = 0;
  }

  TDataModule_Comm& Module() { return *Worker->DataModule(); }

  // One transfer; the lParam of its WM_DOWNLOAD_DONE, -1 when none came.
  LPARAM Fetch(const std::string& url, const std::string& target) {
    Worker->StartDownload(url, target, "Skit", "1 of 1", Window.Window, WM_DOWNLOAD_DONE, 0);
    MSG msg;
    return Window.Wait(WM_DOWNLOAD_DONE, msg) ? msg.lParam : -1;
  }

  // Gives the served file another modification time, a second later than it
  // had: nginx's validators come from the time and the size, not the bytes.
  void Touch(const std::string& path, int seconds) {
    HANDLE file = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    FILETIME written;
    GetFileTime(file, nullptr, nullptr, &written);
    ULARGE_INTEGER when;
    when.LowPart = written.dwLowDateTime;
    when.HighPart = written.dwHighDateTime;
    when.QuadPart += static_cast<uint64_t>(seconds) * 10000000;
    written.dwLowDateTime = when.LowPart;
    written.dwHighDateTime = when.HighPart;
    SetFileTime(file, nullptr, nullptr, &written);
    CloseHandle(file);
  }

  TempDir Served;
  TempDir Work;
  cSettings Settings;
  NginxServer Nginx{Served.Path()};
  download_testing::Receiver Window;
  std::unique_ptr<cThread_Comm> Worker;
};

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

// A transfer cut in the middle keeps its beginning with nginx's own
// validator; the next one asks for the rest with Range and If-Range, nginx
// answers 206, and the file is exactly the served one. Where nginx gives no
// ETag, its Last-Modified date is the validator.
TEST_F(NginxTest, ACutTransferIsResumedWithRangeAndIfRangeAndGivesTheExactFile) {
  const std::string bytes = GeneratedBytes(300000);
  WriteFileBytes(Served.File("long.bin"), bytes);
  for (const std::string prefix : {"", "/noetag"}) {
    SCOPED_TRACE(prefix.empty() ? "ETag" : "Last-Modified only");
    CuttingProxy proxy(Nginx.Port());
    const std::string url = proxy.Url(prefix + "/long.bin");
    const std::string target = Work.File("long" + std::to_string(prefix.size()) + ".bin");
    const size_t before = Nginx.AccessLog().size();

    proxy.CutAfter = 100000;
    ASSERT_EQ(Fetch(url, target), 1);
    EXPECT_EQ(Module().GetFailure(), tfTransient);
    TFetchRecord record;
    ASSERT_TRUE(ReadFetchRecord(ResumeRecordPath(target), record)) << "the beginning is kept";
    ASSERT_GT(record.Bytes, 0u);
    ASSERT_LT(record.Bytes, bytes.size());
    EXPECT_EQ(ReadFileBytes(target), bytes.substr(0, record.Bytes));
    EXPECT_EQ(record.Validators.ETag.empty(), !prefix.empty());
    EXPECT_FALSE(record.Validators.LastModified.empty());

    ASSERT_EQ(Fetch(url, target), 0) << Module().GetErrorText();
    EXPECT_EQ(ReadFileBytes(target), bytes);
    EXPECT_FALSE(FileExists(ResumeRecordPath(target)));
    EXPECT_EQ(LogTexts(Settings.LogPath).back(),
              "Download success: Skit 1 of 1 (resumed at byte " + std::to_string(record.Bytes) + ")");
    const std::vector<std::string> log = Nginx.AccessLog(before + 2);
    ASSERT_EQ(log.size(), before + 2);
    const std::string& resumed = log.back();
    EXPECT_EQ(resumed.rfind("206 " + prefix + "/long.bin ", 0), 0u) << resumed;
    EXPECT_TRUE(Contains(resumed, "range=\"bytes=" + std::to_string(record.Bytes) + "-\"")) << resumed;
    EXPECT_TRUE(Contains(resumed, "if_range=\"" + IfRangeValue(record.Validators) + "\"")) << resumed;
    EXPECT_TRUE(Contains(resumed, "sent=" + std::to_string(bytes.size() - record.Bytes))) << resumed;
  }
}

// A transfer cancelled just after its last byte keeps a partial file that is
// the whole file. Asked for the rest, nginx answers 416 with an error page:
// the file is done as it is, its skit is not refused, and nothing of the
// page joins the file.
TEST_F(NginxTest, AResumeAskingPastTheEndFindsThePartialFileWhole) {
  const std::string bytes = GeneratedBytes(120000);
  WriteFileBytes(Served.File("whole.bin"), bytes);
  CuttingProxy proxy(Nginx.Port());
  const std::string url = proxy.Url("/whole.bin");
  const std::string target = Work.File("whole.bin");
  proxy.CutAfter = 60000;
  ASSERT_EQ(Fetch(url, target), 1);
  TFetchRecord record;
  ASSERT_TRUE(ReadFetchRecord(ResumeRecordPath(target), record));
  WriteFileBytes(target, bytes);
  record.Bytes = bytes.size();
  WriteFetchRecord(ResumeRecordPath(target), record);

  ASSERT_EQ(Fetch(url, target), 0) << Module().GetErrorText();
  EXPECT_EQ(ReadFileBytes(target), bytes);
  EXPECT_FALSE(FileExists(ResumeRecordPath(target)));
  EXPECT_EQ(Module().GetBytesReceived(), static_cast<int32_t>(bytes.size()));
  const std::string last = Nginx.AccessLog(2).back();
  EXPECT_EQ(last.rfind("416 /whole.bin ", 0), 0u) << last;

  // A partial file longer than the server's file, under a validator that
  // still matches, is no beginning of it: dropped, and the transfer may be
  // tried again (it is not the server refusing the file).
  WriteFileBytes(target, bytes + "more");
  record.Bytes = bytes.size() + 4;
  WriteFetchRecord(ResumeRecordPath(target), record);
  ASSERT_EQ(Fetch(url, target), 1);
  EXPECT_EQ(Module().GetFailure(), tfTransient) << Module().GetErrorText();
  EXPECT_FALSE(FileExists(target));
  EXPECT_FALSE(FileExists(ResumeRecordPath(target)));
  ASSERT_EQ(Fetch(url, target), 0) << Module().GetErrorText();
  EXPECT_EQ(ReadFileBytes(target), bytes);
}

// nginx answers an If-Range that no longer names the file with the whole
// new file (200): the transfer starts over and keeps nothing of the old one.
TEST_F(NginxTest, AFileChangedBetweenTheCutAndTheResumeStartsOver) {
  WriteFileBytes(Served.File("changing.bin"), GeneratedBytes(200000));
  CuttingProxy proxy(Nginx.Port());
  const std::string url = proxy.Url("/changing.bin");
  const std::string target = Work.File("changing.bin");
  proxy.CutAfter = 50000;
  ASSERT_EQ(Fetch(url, target), 1);
  TFetchRecord record;
  ASSERT_TRUE(ReadFetchRecord(ResumeRecordPath(target), record));

  std::string changed = GeneratedBytes(250000);
  for (size_t i = 0; i < changed.size(); i += 1000) changed[i] = 'x';
  WriteFileBytes(Served.File("changing.bin"), changed);
  Touch(Served.File("changing.bin"), 5);

  ASSERT_EQ(Fetch(url, target), 0) << Module().GetErrorText();
  EXPECT_EQ(ReadFileBytes(target), changed);
  EXPECT_EQ(LogTexts(Settings.LogPath).back(), "Download success: Skit 1 of 1");
  const std::string last = Nginx.AccessLog(2).back();
  EXPECT_EQ(last.rfind("200 /changing.bin ", 0), 0u) << last;
  EXPECT_TRUE(Contains(last, "if_range=\"" + record.Validators.ETag + "\"")) << last;
}

// Asked again with the validators of the last answer, nginx says 304 and
// sends nothing: a success that leaves no file. Once the file changed, the
// same question brings the new file.
TEST_F(NginxTest, AFileAskedAgainWithIfNoneMatchIsAnswered304UntilItChanges) {
  WriteFileBytes(Served.File("kinetrope.syn"), GeneratedBytes(5000));
  const std::string target = Work.File("kinetrope.syn");
  ASSERT_EQ(Fetch(Nginx.Url("/kinetrope.syn"), target), 0);
  const TValidators validators = Module().GetResponseValidators();
  ASSERT_FALSE(validators.ETag.empty());
  ASSERT_FALSE(validators.LastModified.empty());

  Module().SetNextConditions(validators);
  ASSERT_EQ(Fetch(Nginx.Url("/kinetrope.syn"), target), 0) << Module().GetErrorText();
  EXPECT_TRUE(Module().WasNotModified());
  EXPECT_FALSE(FileExists(target));
  const std::string answered = Nginx.AccessLog(2).back();
  EXPECT_EQ(answered.rfind("304 /kinetrope.syn ", 0), 0u) << answered;
  EXPECT_TRUE(Contains(answered, "if_none_match=\"" + validators.ETag + "\"")) << answered;

  WriteFileBytes(Served.File("kinetrope.syn"), GeneratedBytes(6000));
  Touch(Served.File("kinetrope.syn"), 5);
  Module().SetNextConditions(validators);
  ASSERT_EQ(Fetch(Nginx.Url("/kinetrope.syn"), target), 0);
  EXPECT_FALSE(Module().WasNotModified());
  EXPECT_EQ(ReadFileBytes(target), GeneratedBytes(6000));
}

// A chunked body (no length, no validators) is stored whole; a body nginx
// sends gzip-encoded without being asked is refused with a text that says
// why, and nothing of it stays on disk: stored as it came, it would be a
// file that is not the skit.
TEST_F(NginxTest, AChunkedBodyIsStoredAndAGzipEncodedOneIsRefusedClearly) {
  const std::string bytes = GeneratedBytes(100000);
  WriteFileBytes(Served.File("skit.bin"), bytes);
  WriteFileBytes(Served.File("skit.bin.gz"), testing_support::GzipStored(bytes));

  const std::string chunked = Work.File("chunked.bin");
  ASSERT_EQ(Fetch(Nginx.Url("/chunked/skit.bin"), chunked), 0) << Module().GetErrorText();
  EXPECT_EQ(ReadFileBytes(chunked), bytes);
  EXPECT_EQ(Module().GetBytesTotal(), 0) << "no length was given";
  EXPECT_EQ(Module().GetBytesReceived(), static_cast<int32_t>(bytes.size()));

  const std::string gzipped = Work.File("gzipped.bin");
  ASSERT_EQ(Fetch(Nginx.Url("/gzip/skit.bin"), gzipped), 1);
  EXPECT_EQ(Module().GetErrorText(), "The server sent the file encoded as \"gzip\", not as the file itself.");
  EXPECT_EQ(Module().GetFailure(), tfRefused);
  EXPECT_FALSE(FileExists(gzipped));
  EXPECT_FALSE(FileExists(ResumeRecordPath(gzipped)));
}

// nginx at a limited rate: the progress figures move while the body comes,
// and a cancel ends the transfer at once, keeping its beginning; the next
// transfer brings only the rest.
TEST_F(NginxTest, ACancelledSlowTransferKeepsItsBeginningForTheNext) {
  const std::string bytes = GeneratedBytes(300000);
  WriteFileBytes(Served.File("slow.bin"), bytes);
  const std::string target = Work.File("slow.bin");
  Worker->StartDownload(Nginx.Url("/slow/slow.bin"), target, "Skit", "1 of 1", Window.Window, WM_DOWNLOAD_DONE, 0);
  // Wait for the first bytes, whatever the machine's pace.
  MSG msg;
  for (int i = 0; i < 250 && Module().GetBytesReceived() == 0; ++i) {
    ASSERT_FALSE(Window.Wait(WM_DOWNLOAD_DONE, msg, 20)) << "finished too soon: " << Module().GetErrorText();
  }
  ASSERT_GT(Module().GetBytesReceived(), 0);
  EXPECT_EQ(Module().GetBytesTotal(), static_cast<int32_t>(bytes.size()));
  Worker->Stop();
  ASSERT_TRUE(Window.Wait(WM_DOWNLOAD_DONE, msg));
  EXPECT_EQ(msg.lParam, 1);
  EXPECT_EQ(Module().GetFailure(), tfCancelled);
  TFetchRecord record;
  ASSERT_TRUE(ReadFetchRecord(ResumeRecordPath(target), record));
  EXPECT_EQ(ReadFileBytes(target), bytes.substr(0, record.Bytes));

  Worker = std::make_unique<cThread_Comm>();  // a cancelled worker stays cancelled
  ASSERT_EQ(Fetch(Nginx.Url("/slow/slow.bin"), target), 0) << Module().GetErrorText();
  EXPECT_EQ(ReadFileBytes(target), bytes);
}
