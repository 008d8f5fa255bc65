// Transfers that go on where a cut or cancelled one stopped, against the
// loopback server's validating modes.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/files.h"
#include "base/settings.h"
#include "download/comm.h"
#include "download/resume.h"
#include "tests/download/download_testing.h"
#include "tests/support/http_server.h"
#include "tests/support/testing.h"

using download_testing::kPatience;
using testing_support::GeneratedBytes;
using testing_support::LoopbackServer;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

constexpr size_t kFileSize = 100000;

class ResumeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFileBytes(Served.File("movie.bin"), Bytes);
    Settings.LogPath = Work.File("download.log");
    Worker = std::make_unique<cThread_Comm>();
    Module().HTTP.SetReceiveTimeout(5000);
    Module().HangUpPause = 0;
  }

  TDataModule_Comm& Module() { return *Worker->DataModule(); }

  // One transfer of path into Target; the lParam of its WM_DOWNLOAD_DONE.
  LPARAM Fetch(const std::string& path) {
    Worker->StartDownload(Server.Url(path), Target, "Movie", "1 of 1", Window.Window, WM_DOWNLOAD_DONE, 0);
    MSG msg;
    if (!Window.Wait(WM_DOWNLOAD_DONE, msg)) return -1;
    EXPECT_TRUE(Worker->WaitUntilIdle(kPatience));
    return msg.lParam;
  }

  // A transfer the server cuts at byte `at`.
  LPARAM FetchCutAt(const std::string& path, long long at) {
    Server.CutAt = at;
    return Fetch(path);
  }

  std::string LastLog() {
    std::vector<std::string> log = download_testing::LogTexts(Settings.LogPath);
    return log.empty() ? std::string() : log.back();
  }
  // The request headers the server saw last.
  std::string LastHeaders() { return Server.Requests().back().Headers; }

  std::string Bytes = GeneratedBytes(kFileSize);
  TempDir Served;
  TempDir Work;
  std::string Target = Work.File("movie.bin");
  cSettings Settings;
  LoopbackServer Server{Served.Path()};
  download_testing::Receiver Window;
  std::unique_ptr<cThread_Comm> Worker;
};

bool HasLine(const std::string& headers, const std::string& line) {
  return ("\r\n" + headers + "\r\n").find("\r\n" + line + "\r\n") != std::string::npos;
}

class ResumeModeTest : public ResumeTest, public ::testing::WithParamInterface<const char*> {};

}  // namespace

// Cut at the first byte, in the middle of a read block and one byte before
// the end: each time the file keeps what came, the next request asks for
// the rest, and the last one leaves exactly the server's file. No byte is
// sent twice. With an ETag the If-Range is the ETag; without, the date.
TEST_P(ResumeModeTest, CutAtSeveralPointsAndResumedGivesTheExactFile) {
  const std::string path = std::string("/") + GetParam() + "/movie.bin";
  const std::string validator = std::string(GetParam()) == "lastmod" ? LoopbackServer::LastModifiedOf(Bytes)
                                                                     : LoopbackServer::ETagOf(Bytes);
  uint64_t had = 0;
  for (const long long cut : {1LL, 40000LL, 65537LL, static_cast<long long>(kFileSize - 1)}) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    ASSERT_EQ(FetchCutAt(path, cut), 1);
    if (had == 0) {
      EXPECT_FALSE(HasLine(LastHeaders(), "Range: bytes=0-")) << "the first request asks for the whole file";
    } else {
      EXPECT_TRUE(HasLine(LastHeaders(), "Range: bytes=" + std::to_string(had) + "-"));
      EXPECT_TRUE(HasLine(LastHeaders(), "If-Range: " + validator));
    }
    EXPECT_EQ(Module().GetErrorText(),
              "Connection closed after " + std::to_string(cut) + " of " + std::to_string(kFileSize) + " bytes.");
    EXPECT_EQ(LastLog(), "Download failed: Movie 1 of 1. " + Module().GetErrorText() + " Kept " +
                             std::to_string(cut) + " bytes to resume.");
    EXPECT_EQ(ReadFileBytes(Target), Bytes.substr(0, static_cast<size_t>(cut)));
    TFetchRecord record;
    ASSERT_TRUE(ReadFetchRecord(ResumeRecordPath(Target), record));
    EXPECT_EQ(record.Url, Server.Url(path));
    EXPECT_EQ(record.Bytes, static_cast<uint64_t>(cut));
    had = static_cast<uint64_t>(cut);
  }
  ASSERT_EQ(Fetch(path), 0) << Module().GetErrorText();
  EXPECT_TRUE(HasLine(LastHeaders(), "Range: bytes=" + std::to_string(had) + "-"));
  EXPECT_EQ(ReadFileBytes(Target), Bytes);
  EXPECT_EQ(LastLog(), "Download success: Movie 1 of 1 (resumed at byte " + std::to_string(had) + ")");
  EXPECT_FALSE(FileExists(ResumeRecordPath(Target))) << "a finished file keeps no record";
  EXPECT_EQ(Server.BodyBytesSent.load(), kFileSize);
  EXPECT_EQ(Module().GetBytesReceived(), static_cast<int32_t>(kFileSize)) << "the displays count the whole file";
  EXPECT_EQ(Module().GetBytesTotal(), static_cast<int32_t>(kFileSize));
}

INSTANTIATE_TEST_SUITE_P(Validators, ResumeModeTest, ::testing::Values("ranged", "lastmod"));

TEST_F(ResumeTest, AChangedFileStartsOverAndAServerWithoutRangesSendsItWhole) {
  ASSERT_EQ(FetchCutAt("/ranged/movie.bin", 30000), 1);
  const std::string changed = GeneratedBytes(kFileSize + 5).substr(5);
  WriteFileBytes(Served.File("movie.bin"), changed);
  ASSERT_EQ(Fetch("/ranged/movie.bin"), 0) << Module().GetErrorText();
  EXPECT_TRUE(HasLine(LastHeaders(), "Range: bytes=30000-")) << "asked for the rest of the old file";
  EXPECT_EQ(ReadFileBytes(Target), changed) << "got the new one whole";
  EXPECT_EQ(LastLog(), "Download success: Movie 1 of 1");

  // A cut file is kept for a server that names its file, even one without
  // ranges; its 200 to the next request starts the file over.
  ASSERT_EQ(FetchCutAt("/noranges/movie.bin", 50000), 1);
  EXPECT_EQ(ReadFileBytes(Target).size(), 50000u);
  ASSERT_EQ(Fetch("/noranges/movie.bin"), 0) << Module().GetErrorText();
  EXPECT_EQ(ReadFileBytes(Target), changed);
  EXPECT_FALSE(FileExists(ResumeRecordPath(Target)));
}

// A server that names no validator gets nothing to resume: its cut
// transfer fails and leaves no file, as it always did.
TEST_F(ResumeTest, WithoutAValidatorOrForAnotherAddressNothingIsResumed) {
  WriteFileBytes(Served.File("other.bin"), GeneratedBytes(300));
  ASSERT_EQ(Fetch("/cut/movie.bin"), 1);
  EXPECT_FALSE(FileExists(Target));
  EXPECT_FALSE(FileExists(ResumeRecordPath(Target)));

  ASSERT_EQ(FetchCutAt("/ranged/movie.bin", 20000), 1);
  ASSERT_EQ(Fetch("/ranged/other.bin"), 0);
  EXPECT_FALSE(HasLine(LastHeaders(), "Range: bytes=20000-")) << "the record is for another address";
  EXPECT_EQ(ReadFileBytes(Target), GeneratedBytes(300));
}

TEST_F(ResumeTest, AWrongContentRangeFailsAndRemovesThePartialFile) {
  ASSERT_EQ(FetchCutAt("/badrange/movie.bin", 10000), 1);
  ASSERT_EQ(Fetch("/badrange/movie.bin"), 1);
  EXPECT_EQ(Module().GetErrorText(), "Wrong Content-Range \"bytes 10001-99999/100000\" for a file of 10000 bytes.");
  EXPECT_FALSE(FileExists(Target));
  EXPECT_FALSE(FileExists(ResumeRecordPath(Target)));
  EXPECT_EQ(LastLog(), "Download failed: Movie 1 of 1. " + Module().GetErrorText());

  // The next one starts over, and a whole answer is taken as it is.
  ASSERT_EQ(Fetch("/badrange/movie.bin"), 0);
  EXPECT_FALSE(HasLine(LastHeaders(), "Range: bytes=10000-"));
  EXPECT_EQ(ReadFileBytes(Target), Bytes);
}

// An error page to a resuming request goes nowhere near the partial file;
// a record that does not fit its file is not believed.
TEST_F(ResumeTest, AnErrorPageOrABrokenRecordNeverJoinsThePartialFile) {
  ASSERT_EQ(FetchCutAt("/ranged/movie.bin", 10000), 1);
  DeleteFileA(Served.File("movie.bin").c_str());
  ASSERT_EQ(Fetch("/ranged/movie.bin"), 1);
  EXPECT_EQ(Module().GetErrorText(), "HTTP status 404 Not Found");
  EXPECT_FALSE(FileExists(Target));

  WriteFileBytes(Served.File("movie.bin"), Bytes);
  ASSERT_EQ(FetchCutAt("/ranged/movie.bin", 10000), 1);
  TFetchRecord record;
  ASSERT_TRUE(ReadFetchRecord(ResumeRecordPath(Target), record));
  record.Bytes = 20000;  // more than the file holds
  WriteFetchRecord(ResumeRecordPath(Target), record);
  ASSERT_EQ(Fetch("/ranged/movie.bin"), 0);
  EXPECT_FALSE(HasLine(LastHeaders(), "Range: bytes=20000-"));
  EXPECT_EQ(ReadFileBytes(Target), Bytes);

  // A count past what a file position can hold is no count: the file is
  // fetched whole, and no range is asked for while it starts over.
  ASSERT_EQ(FetchCutAt("/ranged/movie.bin", 10000), 1);
  ASSERT_TRUE(ReadFetchRecord(ResumeRecordPath(Target), record));
  record.Bytes = 9223372036854775808ull;
  WriteFetchRecord(ResumeRecordPath(Target), record);
  ASSERT_EQ(Fetch("/ranged/movie.bin"), 0) << Module().GetErrorText();
  EXPECT_EQ(LastHeaders().find("Range:"), std::string::npos) << LastHeaders();
  EXPECT_EQ(ReadFileBytes(Target), Bytes);
}

// The server holds the connection after the first 40000 bytes until the
// user cancels: what came is kept, and the next transfer of a fresh worker
// (the next job) fetches only the rest.
TEST_F(ResumeTest, ACancelledTransferKeepsWhatCameAndTheNextJobFetchesTheRest) {
  Server.HoldAfterCut = true;
  Server.CutAt = 40000;
  Worker->StartDownload(Server.Url("/ranged/movie.bin"), Target, "Movie", "1 of 1", Window.Window, WM_DOWNLOAD_DONE,
                        0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPatience);
  while (Module().GetBytesReceived() < 40000 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  ASSERT_EQ(Module().GetBytesReceived(), 40000);
  Worker->Stop();
  MSG msg;
  ASSERT_TRUE(Window.Wait(WM_DOWNLOAD_DONE, msg));
  EXPECT_EQ(msg.lParam, 1);
  EXPECT_EQ(Module().GetErrorText(), kUserCancelledText);
  EXPECT_EQ(LastLog(), std::string("Download failed: Movie 1 of 1. ") + kUserCancelledText +
                           " Kept 40000 bytes to resume.");

  Worker = std::make_unique<cThread_Comm>();
  ASSERT_EQ(Fetch("/ranged/movie.bin"), 0) << Module().GetErrorText();
  EXPECT_EQ(ReadFileBytes(Target), Bytes);
  EXPECT_EQ(Server.BodyBytesSent.load(), kFileSize);
}

TEST(FetchRecord, ReadsWhatItWroteAndRefusesAnythingElse) {
  TempDir work;
  const std::string path = work.File("movie.bin.resume");
  TFetchRecord record;
  record.Url = "http://127.0.0.1:8642/skits/movie.bin";
  record.Validators.ETag = "\"abc-1\"";
  record.Bytes = 5000000000ull;  // past 32 bits
  WriteFetchRecord(path, record);
  TFetchRecord read;
  ASSERT_TRUE(ReadFetchRecord(path, read));
  EXPECT_EQ(read.Url, record.Url);
  EXPECT_EQ(read.Validators.ETag, record.Validators.ETag);
  EXPECT_EQ(read.Validators.LastModified, "");
  EXPECT_EQ(read.Bytes, record.Bytes);
  EXPECT_FALSE(FileExists(path + ".tmp"));

  const std::string good = ReadFileBytes(path);
  for (const std::string& bad : {std::string(), good.substr(0, good.size() - 2), "DGFETCH 2" + good.substr(9),
                                 good + "more\r\n", good.substr(0, good.find("bytes ")) + "bytes 12x\r\n",
                                 good.substr(0, good.find("bytes ")) + "bytes \r\n",
                                 std::string("DGFETCH 1\r\nurl x\r\netag \r\nmodified \r\nbytes 1\r\n"),
                                 std::string("DGFETCH 1\r\nurl \r\netag \"a\"\r\nmodified \r\nbytes 1\r\n"),
                                 std::string("DGFETCH 1\r\nurl x\r\netag \"a\tb\"\r\nmodified \r\nbytes 1\r\n"),
                                 good + std::string(5000, 'x')}) {
    WriteFileBytes(path, bad);
    EXPECT_FALSE(ReadFetchRecord(path, read)) << bad;
  }
  // The largest count a file position holds, and one past it.
  const std::string head = good.substr(0, good.find("bytes "));
  WriteFileBytes(path, head + "bytes 9223372036854775807\r\n");
  EXPECT_TRUE(ReadFetchRecord(path, read));
  EXPECT_EQ(read.Bytes, 9223372036854775807ull);
  WriteFileBytes(path, head + "bytes 9223372036854775808\r\n");
  EXPECT_FALSE(ReadFetchRecord(path, read));
  record.Validators.ETag = "\"a\r\nbytes 9\"";
  EXPECT_THROW(WriteFetchRecord(path, record), std::runtime_error);

  // Weak ETags cannot join two halves of a file.
  EXPECT_EQ(IfRangeValue({"W/\"x\"", "Mon, 14 Nov 1994 07:10:09 GMT"}), "Mon, 14 Nov 1994 07:10:09 GMT");
  EXPECT_EQ(IfRangeValue({"W/\"x\"", ""}), "");
  uint64_t first, last, total;
  EXPECT_TRUE(ParseContentRange("bytes 10-99/100", first, last, total));
  EXPECT_EQ(first + last + total, 209u);
  for (const char* bad : {"bytes 10-99/*", "bytes 10-100/100", "bytes 20-10/100", "bytes=10-99/100", "bytes 10-99/100 ",
                          "bytes -99/100", ""}) {
    EXPECT_FALSE(ParseContentRange(bad, first, last, total)) << bad;
  }
}
