#include "tools/skitsync/skitsync.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/files.h"
#include "download/comm.h"
#include "tests/download/download_testing.h"
#include "tests/support/http_server.h"
#include "tests/support/testing.h"

using download_testing::LogTexts;
using testing_support::GeneratedBytes;
using testing_support::LoopbackServer;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

class SkitsyncTest : public ::testing::Test {
 protected:
  void SetUp() override { WriteFileBytes(Served.File("skit.bin"), GeneratedBytes(30000)); }

  int Run(const std::vector<std::string>& args) {
    Out.str("");
    Err.str("");
    return RunSkitsync(args, Out, Err);
  }
  int Fetch(const std::string& path, const std::string& file) {
    return Run({"fetch", Server.Url(path), file, "--log", Log});
  }

  TempDir Served;
  TempDir Work;
  LoopbackServer Server{Served.Path()};
  std::string Log = Work.File("download.log");
  std::ostringstream Out;
  std::ostringstream Err;
};

// The Windows path of a program built into the build tree.
std::string ProgramPath(std::string path) {
  if (!path.empty() && path[0] == '/') path = "Z:" + path;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

}  // namespace

TEST_F(SkitsyncTest, FetchSavesTheFileAndLogsTheSuccess) {
  std::string file = Work.File("skit.bin");
  ASSERT_EQ(Fetch("/skit.bin", file), SKITSYNC_OK) << Err.str();
  EXPECT_EQ(ReadFileBytes(file), GeneratedBytes(30000));
  EXPECT_EQ(LogTexts(Log), std::vector<std::string>{"Download success: skit.bin 1 of 1"});
  EXPECT_NE(Out.str().find("skit.bin: 30000 of 30000 bytes (100%)"), std::string::npos) << Out.str();
  EXPECT_EQ(Err.str(), "");
  ASSERT_EQ(Server.RequestCount(), 1u);
  EXPECT_NE(Server.Requests()[0].Headers.find("User-Agent: Drearigrams Screensaver"), std::string::npos)
      << "the same agent as the screensaver";
}

TEST_F(SkitsyncTest, AFailedFetchPrintsItsErrorLeavesNoFileAndExitsOne) {
  const struct {
    const char* Path;
    const char* Error;
  } failures[] = {{"/status/404", "HTTP status 404 Not Found"},
                  {"/cut/skit.bin", "Connection closed after 15000 of 30000 bytes."}};
  for (const auto& failure : failures) {
    SCOPED_TRACE(failure.Path);
    std::string file = Work.File("failed.bin");
    EXPECT_EQ(Fetch(failure.Path, file), SKITSYNC_FAILED);
    EXPECT_EQ(Err.str(), std::string("skitsync: ") + failure.Error + "\n");
    EXPECT_FALSE(FileExists(file));
    EXPECT_EQ(LogTexts(Log).back(), std::string("Download failed: failed.bin 1 of 1. ") + failure.Error);
  }
}

TEST_F(SkitsyncTest, BadArgumentsExitTwoWithTheUsage) {
  const std::vector<std::vector<std::string>> commands = {
      {},
      {"sync"},
      {"fetch", Server.Url("/skit.bin")},
      {"fetch", Server.Url("/skit.bin"), "a.bin", "b.bin"},
      {"fetch", Server.Url("/skit.bin"), "a.bin", "--log"},
      {"fetch", Server.Url("/skit.bin"), "a.bin", "--verbose"},
  };
  for (const auto& args : commands) {
    SCOPED_TRACE(args.size());
    EXPECT_EQ(Run(args), SKITSYNC_BAD_USAGE);
    EXPECT_NE(Err.str().find("usage: skitsync fetch URL FILE [--log FILE]"), std::string::npos) << Err.str();
  }
  EXPECT_EQ(Server.RequestCount(), 0u);
  EXPECT_FALSE(FileExists(Log));
}

// Ctrl+C arrives on a thread the system starts for it, where nothing may be
// thrown. Even when the abort of the transfer cannot start there (no memory
// for its thread), the handler says it dealt with the event, and the fetch
// ends as cancelled at its next piece.
TEST_F(SkitsyncTest, CtrlCCancelsAFetchEvenWhenTheAbortCannotStart) {
  WriteFileBytes(Served.File("long.bin"), GeneratedBytes(200000));
  Server.TrickleInterval = 1;
  BOOL handled = FALSE;
  std::thread interrupt([&] {
    if (!Server.WaitForRequests(1, download_testing::kPatience)) return;
    testing_support::FailingAllocations noMemory;
    handled = SkitsyncConsoleControl(CTRL_C_EVENT);
  });
  const int status = Fetch("/trickle/long.bin", Work.File("long.bin"));
  interrupt.join();
  EXPECT_TRUE(handled);
  EXPECT_EQ(status, SKITSYNC_FAILED);
  EXPECT_EQ(Err.str(), std::string("skitsync: ") + kUserCancelledText + "\n");
  EXPECT_FALSE(SkitsyncConsoleControl(CTRL_C_EVENT)) << "nothing to cancel once the fetch is over";
}

// The program itself, as a script would run it.
TEST_F(SkitsyncTest, TheProgramFetchesAndReportsThroughItsExitStatus) {
  std::string output = Work.File("output.txt");
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE out = CreateFileA(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(out, INVALID_HANDLE_VALUE);

  auto run = [&](const std::string& path, const std::string& file) -> DWORD {
    std::string command = "\"" + ProgramPath(DG_SKITSYNC) + "\" fetch " + Server.Url(path) + " \"" + file +
                          "\" --log \"" + Log + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = out;
    startup.hStdError = out;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &process)) {
      ADD_FAILURE() << "cannot start " << command;
      return 99;
    }
    DWORD status = 99;
    if (WaitForSingleObject(process.hProcess, download_testing::kPatience) == WAIT_OBJECT_0) {
      GetExitCodeProcess(process.hProcess, &status);
    } else {
      TerminateProcess(process.hProcess, 98);
      ADD_FAILURE() << "skitsync did not end";
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return status;
  };
  EXPECT_EQ(run("/skit.bin", Work.File("copy.bin")), 0u);
  EXPECT_EQ(run("/status/404", Work.File("missing.bin")), 1u);
  CloseHandle(out);

  EXPECT_EQ(ReadFileBytes(Work.File("copy.bin")), GeneratedBytes(30000));
  EXPECT_FALSE(FileExists(Work.File("missing.bin")));
  std::string printed = ReadFileBytes(output);
  EXPECT_NE(printed.find("Saved " + Work.File("copy.bin")), std::string::npos) << printed;
  EXPECT_NE(printed.find("skitsync: HTTP status 404 Not Found"), std::string::npos) << printed;
  EXPECT_EQ(LogTexts(Log), (std::vector<std::string>{"Download success: copy.bin 1 of 1",
                                                     "Download failed: missing.bin 1 of 1. HTTP status 404 Not Found"}));
}
