#include "download/comm.h"

#include <gtest/gtest.h>

#include <raserror.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/errors.h"
#include "base/files.h"
#include "base/log.h"
#include "forms/application.h"
#include "base/settings.h"
#include "tests/download/download_testing.h"
#include "tests/support/http_server.h"
#include "tests/support/testing.h"

using download_testing::kPatience;
using download_testing::LogTags;
using download_testing::LogTexts;
using testing_support::GeneratedBytes;
using testing_support::LoopbackServer;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

constexpr DWORD kReceiveTimeout = 2000;  // ms; a stalled read fails after this

// Served files, a log, a window and a worker whose reads give up quickly.
class DownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFileBytes(Served.File("a.bin"), GeneratedBytes(20000));
    WriteFileBytes(Served.File("small.bin"), GeneratedBytes(200));
    Settings.LogPath = Work.File("download.log");
    Server.TrickleInterval = 10;
    Worker = std::make_unique<cThread_Comm>();
    Module().HTTP.SetReceiveTimeout(kReceiveTimeout);
    Module().HTTP.SetConnectTimeout(kReceiveTimeout);
    Module().HangUpPause = 0;
  }

  TDataModule_Comm& Module() { return *Worker->DataModule(); }

  void Start(const std::string& url, const std::string& target, const std::string& name = "Skit One",
             const std::string& position = "1 of 2") {
    Worker->StartDownload(url, target, name, position, Window.Window, WM_DOWNLOAD_DONE, 7);
  }

  // The lParam of the transfer's WM_DOWNLOAD_DONE; -1 when none arrived.
  LPARAM WaitDone() {
    MSG msg;
    if (!Window.Wait(WM_DOWNLOAD_DONE, msg)) return -1;
    EXPECT_EQ(msg.wParam, 7u);
    return msg.lParam;
  }

  LPARAM Transfer(const std::string& path, const std::string& target, const std::string& name = "Skit One",
                  const std::string& position = "1 of 2") {
    Start(Server.Url(path), target, name, position);
    return WaitDone();
  }

  std::vector<std::string> Log() { return LogTexts(Settings.LogPath); }

  TempDir Served;
  TempDir Work;
  cSettings Settings;
  LoopbackServer Server{Served.Path()};
  download_testing::Receiver Window;
  std::unique_ptr<cThread_Comm> Worker;
};

struct ServerMode {
  const char* Name;
  const char* Path;
  const char* Body;   // the served file a success leaves; null for a failure
  const char* Error;  // the exact error text; null when only the failure is certain
};

void PrintTo(const ServerMode& mode, std::ostream* out) { *out << mode.Name; }

class DownloadServerModeTest : public DownloadTest, public ::testing::WithParamInterface<ServerMode> {};

uint16_t ClosedPort() {
  LoopbackServer gone;
  gone.Stop();
  return gone.Port();
}

}  // namespace

// Every way a server can answer ends as exactly one log line, a file that is
// whole or gone, and one WM_DOWNLOAD_DONE at the window.
TEST_P(DownloadServerModeTest, EndsWithOneLogLineAndAWholeFileOrNone) {
  const ServerMode& mode = GetParam();
  if (std::string(mode.Path).rfind("/stall/", 0) == 0) Module().HTTP.SetReceiveTimeout(1000);
  std::string target = Work.File("target.bin");
  WriteFileBytes(target, "an older file at the target path");

  LPARAM result = Transfer(mode.Path, target);
  std::vector<std::string> log = Log();
  ASSERT_EQ(log.size(), 1u);
  if (mode.Body != nullptr) {
    EXPECT_EQ(result, 0);
    EXPECT_EQ(ReadFileBytes(target), ReadFileBytes(Served.File(mode.Body)));
    EXPECT_EQ(log[0], "Download success: Skit One 1 of 2");
    EXPECT_EQ(LogTags(Settings.LogPath)[0], ".INFO... ");
    EXPECT_EQ(Module().GetErrorText(), "");
    EXPECT_EQ(Worker->GetError(), 0);
  } else {
    EXPECT_EQ(result, 1);
    EXPECT_FALSE(FileExists(target)) << "a failed transfer leaves no file";
    std::string error = Module().GetErrorText();
    EXPECT_FALSE(error.empty());
    if (mode.Error != nullptr) {
      EXPECT_EQ(error, mode.Error);
    }
    EXPECT_EQ(log[0], "Download failed: Skit One 1 of 2. " + error);
    EXPECT_EQ(LogTags(Settings.LogPath)[0], ".ERROR.. ");
    EXPECT_EQ(Worker->GetError(), 1);
  }
  EXPECT_TRUE(Worker->WaitUntilIdle(kPatience));
  EXPECT_FALSE(Window.Pending(WM_DOWNLOAD_DONE)) << "one message per transfer";
  EXPECT_EQ(LogCurrentPath(), LogDefaultPath()) << "the log points at the program's own file again";
}

INSTANTIATE_TEST_SUITE_P(
    Modes, DownloadServerModeTest,
    ::testing::Values(ServerMode{"Plain", "/a.bin", "a.bin", nullptr},
                      ServerMode{"NoContentLength", "/nolength/a.bin", "a.bin", nullptr},
                      ServerMode{"Redirect", "/redirect/a.bin", "a.bin", nullptr},
                      ServerMode{"Trickle", "/trickle/small.bin", "small.bin", nullptr},
                      ServerMode{"NotFound", "/status/404", nullptr, "HTTP status 404 Not Found"},
                      ServerMode{"ServerError", "/status/500", nullptr, "HTTP status 500 Internal Server Error"},
                      ServerMode{"CutShort", "/cut/a.bin", nullptr, "Connection closed after 10000 of 20000 bytes."},
                      ServerMode{"LengthBeyondBody", "/overlong/a.bin", nullptr,
                                 "Connection closed after 20000 of 21000 bytes."},
                      ServerMode{"Reset", "/reset/a.bin", nullptr, nullptr},
                      ServerMode{"Stall", "/stall/a.bin", nullptr, nullptr}),
    [](const ::testing::TestParamInfo<ServerMode>& info) { return std::string(info.param.Name); });

// The figures a transfer reports are 64-bit all the way to the displays.
TEST_F(DownloadTest, TheCountersCarryFiguresPastFourGigabytes) {
  THTTPProgressInfo info;
  info.BytesTransferred = (int64_t{3} << 30) + 7;
  info.TotalBytes = (int64_t{5} << 30) + 9;
  // Outside a transfer the default limit holds, and 3 GiB passes it.
  EXPECT_THROW(Module().HTTPTransferProgress(&Module().HTTP, info), ETransferRefused);
  EXPECT_EQ(Module().GetBytesReceived(), (int64_t{3} << 30) + 7);
  EXPECT_EQ(Module().GetBytesTotal(), (int64_t{5} << 30) + 9);
}

// A Content-Length past 2 GiB is a length like any other: a body that ends
// before it is cut short, not whole. One past what the file may have is not
// read at all.
TEST_F(DownloadTest, AContentLengthPastTwoGigabytesIsHeldToTheBody) {
  const std::string target = Work.File("claimed.bin");
  Module().SetNextSizeLimit(UINT64_MAX);
  EXPECT_EQ(Transfer("/claims/3221225472/a.bin", target), 1);
  EXPECT_EQ(Module().GetErrorText(), "Connection closed after 20000 of 3221225472 bytes.");
  EXPECT_FALSE(FileExists(target));

  EXPECT_EQ(Transfer("/claims/5368709120/a.bin", target), 1);
  EXPECT_EQ(Module().GetErrorText(), "The server announced 5368709120 bytes for a file that may have 1073741824.");
  EXPECT_EQ(Module().GetFailure(), tfRefused);
  EXPECT_FALSE(FileExists(target));
}

// A body that passes the size its file may have is stopped there, however
// the server frames it, and nothing of it is kept, not even to resume.
TEST_F(DownloadTest, ABodyPastItsSizeLimitIsStoppedAndNothingIsKept) {
  struct Case {
    const char* Path;
    uint64_t Limit;
    const char* Error;  // null: the transfer succeeds
  } cases[] = {
      {"/a.bin", 19999, "The server announced 20000 bytes for a file that may have 19999."},
      {"/ranged/a.bin", 19999, "The server announced 20000 bytes for a file that may have 19999."},
      {"/nolength/a.bin", 10000, "The server sent more than the 10000 bytes this file may have."},
      {"/unbounded/small.bin", 200, "The server sent more than the 200 bytes this file may have."},
      {"/endless", 1 << 20, "The server sent more than the 1048576 bytes this file may have."},
      {"/nolength/a.bin", 20000, nullptr},
  };
  const std::string target = Work.File("limited.bin");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Path);
    Module().SetNextSizeLimit(c.Limit);
    const LPARAM result = Transfer(c.Path, target);
    if (c.Error == nullptr) {
      EXPECT_EQ(result, 0);
      EXPECT_EQ(ReadFileBytes(target), ReadFileBytes(Served.File("a.bin")));
      continue;
    }
    EXPECT_EQ(result, 1);
    EXPECT_EQ(Module().GetErrorText(), c.Error);
    EXPECT_EQ(Module().GetFailure(), tfRefused) << "the server's last word on the file";
    EXPECT_FALSE(FileExists(target));
    EXPECT_FALSE(FileExists(ResumeRecordPath(target)));
  }
  // The limit was the next transfer's only.
  EXPECT_EQ(Transfer("/nolength/a.bin", target), 0);
}

TEST_F(DownloadTest, AnUnreachableServerOrAnUncreatableFileFails) {
  std::string target = Work.File("target.bin");
  Start("http://127.0.0.1:" + std::to_string(ClosedPort()) + "/a.bin", target);
  EXPECT_EQ(WaitDone(), 1);
  EXPECT_EQ(Module().GetErrorText(), "Unable to send request to 127.0.0.1 (No error description available)");
  EXPECT_FALSE(FileExists(target));

  std::string nowhere = Work.File("no such folder\\target.bin");
  EXPECT_EQ(Transfer("/a.bin", nowhere, "Skit Two", "2 of 2"), 1);
  std::string error = ErrorText(ERROR_PATH_NOT_FOUND) + " " + nowhere;
  EXPECT_EQ(Module().GetErrorText(), error);
  std::vector<std::string> log = Log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[1], "Download failed: Skit Two 2 of 2. " + error);
  EXPECT_EQ(Server.RequestCount(), 0u) << "nothing is fetched without a file to put it in";
}

TEST_F(DownloadTest, TheDisplaysSeeTheItemItsFiguresAndTheDriverSeesTheWorker) {
  EXPECT_EQ(DataModule_Comm, &Module());
  EXPECT_EQ(Module().GetStatusText(), "Connecting to host...");
  EXPECT_EQ(Module().GetItemName(), "");
  EXPECT_EQ(Module().GetBytesReceived(), 0);

  ASSERT_EQ(Transfer("/a.bin", Work.File("a.bin"), "Kinetrope list", "1 of 1"), 0);
  EXPECT_EQ(Module().GetItemName(), "Kinetrope list");
  EXPECT_EQ(Module().GetItemPosition(), "1 of 1");
  EXPECT_EQ(Module().GetStatusText(), "Kinetrope list") << "the item whose request went out";
  EXPECT_EQ(Module().GetBytesReceived(), 20000);
  EXPECT_EQ(Module().GetBytesTotal(), 20000);

  // The catalogue's own failure code puts its text where the displays look.
  Worker->SetError(ERR_BAD_FORMAT);
  EXPECT_EQ(Module().GetErrorText(), ErrorText(ERR_BAD_FORMAT));

  Worker.reset();
  EXPECT_EQ(DataModule_Comm, nullptr);
}

TEST_F(DownloadTest, CancelDuringAStallReturnsPromptlyAndEveryLaterTransferIsCancelledToo) {
  std::string target = Work.File("stalled.bin");
  Start(Server.Url("/stall/a.bin"), target);
  ASSERT_TRUE(Server.WaitForRequests(1, kPatience));

  auto started = std::chrono::steady_clock::now();
  Worker->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
  EXPECT_TRUE(Module().IsCancelled());
  EXPECT_TRUE(Worker->IsStopRequested());

  EXPECT_EQ(WaitDone(), 1);
  EXPECT_FALSE(FileExists(target));
  EXPECT_EQ(Module().GetErrorText(), "User cancelled the operation.");
  std::vector<std::string> log = Log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0], "Download failed: Skit One 1 of 2. User cancelled the operation.");

  // The module stays cancelled: the next transfer fetches nothing.
  EXPECT_EQ(Transfer("/a.bin", Work.File("next.bin"), "Skit Two", "2 of 2"), 1);
  EXPECT_FALSE(FileExists(Work.File("next.bin")));
  log = Log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[1], "Download failed: Skit Two 2 of 2. User cancelled the operation.");
  EXPECT_EQ(Server.RequestCount(), 1u);
}

TEST_F(DownloadTest, CancelDuringAnEndlessBodyEndsTheTransfer) {
  Start(Server.Url("/endless"), Work.File("endless.bin"));
  ASSERT_TRUE(Server.WaitForRequests(1, kPatience));
  Worker->Stop();
  EXPECT_EQ(WaitDone(), 1);
  EXPECT_EQ(Module().GetErrorText(), "User cancelled the operation.");
  EXPECT_FALSE(FileExists(Work.File("endless.bin")));
}

TEST_F(DownloadTest, StartDownloadWhileATransferRunsStartsAndPostsNothing) {
  Start(Server.Url("/stall/a.bin"), Work.File("first.bin"), "First", "1 of 2");
  ASSERT_TRUE(Server.WaitForRequests(1, kPatience));
  Start(Server.Url("/a.bin"), Work.File("second.bin"), "Second", "2 of 2");
  EXPECT_EQ(Module().GetItemName(), "First");

  Worker->Stop();
  EXPECT_EQ(WaitDone(), 1);
  ASSERT_TRUE(Worker->WaitUntilIdle(kPatience));
  EXPECT_FALSE(Window.Pending(WM_DOWNLOAD_DONE)) << "the refused start posted something";
  EXPECT_EQ(Server.RequestCount(), 1u);
  EXPECT_FALSE(FileExists(Work.File("second.bin")));
  std::vector<std::string> log = Log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].rfind("Download failed: First 1 of 2. ", 0), 0u);
}

TEST_F(DownloadTest, TheWorkerIsNotDestroyedUnderARunningTransfer) {
  Start(Server.Url("/stall/a.bin"), Work.File("stalled.bin"));
  ASSERT_TRUE(Server.WaitForRequests(1, kPatience));
  Worker.reset();  // cancels and waits for the thread before the module goes
  EXPECT_EQ(DataModule_Comm, nullptr);
  EXPECT_FALSE(FileExists(Work.File("stalled.bin")));
  std::vector<std::string> log = Log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0], "Download failed: Skit One 1 of 2. User cancelled the operation.");
}

// ---------------------------------------------------------------------------
// Dial-up connections, with stand-ins for the Remote Access Service.

namespace {

struct FakeDialUp {
  static std::vector<HRASCONN> Connections;  // what an enumeration finds now
  static std::vector<HRASCONN> HungUp;
  static std::map<HRASCONN, std::string> DeviceTypes;  // "modem" unless given

  static DWORD WINAPI Enum(LPRASCONNA records, LPDWORD size, LPDWORD count) {
    DWORD needed = static_cast<DWORD>(Connections.size() * sizeof(RASCONNA));
    *count = static_cast<DWORD>(Connections.size());
    if (records == nullptr || *size < needed) {
      *size = needed;
      return needed == 0 ? 0 : ERROR_BUFFER_TOO_SMALL;
    }
    if (records[0].dwSize != sizeof(RASCONNA)) return ERROR_INVALID_SIZE;
    for (size_t i = 0; i < Connections.size(); ++i) {
      records[i] = tagRASCONNA{};
      records[i].dwSize = sizeof(RASCONNA);
      records[i].hrasconn = Connections[i];
      const auto type = DeviceTypes.find(Connections[i]);
      lstrcpynA(records[i].szDeviceType, type != DeviceTypes.end() ? type->second.c_str() : "modem",
                sizeof records[i].szDeviceType);
    }
    return 0;
  }
  static DWORD WINAPI HangUp(HRASCONN connection) {
    HungUp.push_back(connection);
    return 0;
  }
  static TDialUpApi Api() {
    TDialUpApi api;
    api.EnumConnections = &Enum;
    api.HangUp = &HangUp;
    return api;
  }
};

std::vector<HRASCONN> FakeDialUp::Connections;
std::vector<HRASCONN> FakeDialUp::HungUp;
std::map<HRASCONN, std::string> FakeDialUp::DeviceTypes;

HRASCONN Line(uintptr_t n) { return reinterpret_cast<HRASCONN>(n); }

// Creates a module while `before` are up, then ends it while `after` are.
std::vector<HRASCONN> HangUpsBetween(const std::vector<HRASCONN>& before, const std::vector<HRASCONN>& after,
                                     bool ask) {
  FakeDialUp::Connections = before;
  FakeDialUp::HungUp.clear();
  TDialUpApi api = FakeDialUp::Api();
  {
    TDataModule_Comm module(&api);
    module.HangUpPause = 0;
    module.SetAskBeforeHangUp(ask);
    EXPECT_EQ(module.GetStartConnections().size(), before.size());
    FakeDialUp::Connections = after;
  }
  return FakeDialUp::HungUp;
}

}  // namespace

TEST(DataModuleDialUp, OnlyConnectionsOpenedDuringTheDownloadsAreHungUp) {
  testing_support::MessageBoxCatcher boxes(IDYES);
  EXPECT_EQ(HangUpsBetween({Line(11)}, {Line(11), Line(12), Line(13)}, false),
            (std::vector<HRASCONN>{Line(12), Line(13)}));
  EXPECT_TRUE(boxes.Boxes.empty()) << "unattended: nobody is asked";

  EXPECT_TRUE(HangUpsBetween({Line(11)}, {Line(11)}, true).empty());
  EXPECT_TRUE(boxes.Boxes.empty());
}

// Only lines that dial are hung up: a VPN (or a network of any other kind)
// that came up during the downloads is not the job's to end.
TEST(DataModuleDialUp, OnlyNewConnectionsOfDialUpDevicesAreHungUp) {
  testing_support::MessageBoxCatcher boxes(IDYES);
  FakeDialUp::DeviceTypes = {{Line(12), "vpn"}, {Line(13), "isdn"}, {Line(14), "PPPoE"}, {Line(15), "VPN"},
                             {Line(16), "SERIAL"}, {Line(17), "Modem"}, {Line(18), ""}};
  EXPECT_EQ(HangUpsBetween({Line(11)}, {Line(11), Line(12), Line(13), Line(14), Line(15), Line(16), Line(17), Line(18)},
                           true),
            (std::vector<HRASCONN>{Line(13), Line(14), Line(17)}));
  EXPECT_EQ(boxes.Boxes.size(), 3u) << "nobody is asked about a connection that stays";
  FakeDialUp::DeviceTypes.clear();
}

TEST(DataModuleDialUp, WhenAskedEachNewConnectionIsHungUpOnlyOnYes) {
  forms::Application.SetTitle("Drearigrams Screensaver");
  {
    testing_support::MessageBoxCatcher boxes(IDNO);
    EXPECT_TRUE(HangUpsBetween({}, {Line(21), Line(22)}, true).empty());
    ASSERT_EQ(boxes.Boxes.size(), 2u);
    EXPECT_EQ(boxes.Boxes[0].Text, "Would you like to disconnect from the Internet now?");
    EXPECT_EQ(boxes.Boxes[0].Caption, "Drearigrams Screensaver");
  }
  {
    testing_support::MessageBoxCatcher boxes(IDYES);
    EXPECT_EQ(HangUpsBetween({}, {Line(21), Line(22)}, true), (std::vector<HRASCONN>{Line(21), Line(22)}));
    EXPECT_EQ(boxes.Boxes.size(), 2u);
  }
}

TEST(DataModuleDialUp, TheSystemsDialUpLibraryReportingNothingAsksNothing) {
  testing_support::MessageBoxCatcher boxes(IDYES);
  {
    TDataModule_Comm module;
    module.SetAskBeforeHangUp(true);
    module.HangUpPause = 0;
    // Wine's system folder holds rasapi32.dll.
    EXPECT_TRUE(module.IsRasAvailable());
    EXPECT_TRUE(module.GetStartConnections().empty());
  }
  EXPECT_TRUE(boxes.Boxes.empty());
}
