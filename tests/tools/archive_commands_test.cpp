// paktool's archive commands, its argument checking and its exit statuses;
// the last case runs paktool.exe itself.
#include <gtest/gtest.h>
#include <windows.h>

#include <sstream>
#include <string>
#include <vector>

#include "base/errors.h"
#include "base/files.h"
#include "store/pak.h"
#include "tests/support/testing.h"
#include "tests/tools/paktool_testing.h"

using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

constexpr uint32_t kBlob = PakType("BLOB");

// Every byte value, line ends among them: a body must pass unchanged.
std::string AllBytes() {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  return bytes + "\r\n\n\r";
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

BOOL WINAPI RefuseMove(LPCSTR, LPCSTR, DWORD) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

// While alive, compaction on close fails at its last step, so archives keep
// their deleted slots.
class NoCompaction {
 public:
  NoCompaction() : Saved_(cPakFile::MoveStep) { cPakFile::MoveStep = RefuseMove; }
  ~NoCompaction() { cPakFile::MoveStep = Saved_; }

 private:
  cPakFile::MoveFn Saved_;
};

class PaktoolArchive : public ::testing::Test {
 protected:
  std::string Archive() const { return Dir.File("a.pak"); }
  std::string Input(const std::string& name, const std::string& bytes) const {
    WriteFileBytes(Dir.File(name), bytes);
    return Dir.File(name);
  }

  TempDir Dir;
};

TEST_F(PaktoolArchive, CreatePutGetListRoundTrip) {
  const std::string archive = Archive();
  ASSERT_EQ(RunTool({"create", archive, "--transform", "1dA50D000D000D00"}).Status, PAKTOOL_OK);
  const std::string body = AllBytes();
  const std::string source = Input("body.bin", body);
  EXPECT_EQ(RunTool({"put", archive, "BLOB", "7", source}).Status, PAKTOOL_OK);
  EXPECT_EQ(RunTool({"put", archive, "BLOB", "-3", source, "--plain"}).Status, PAKTOOL_OK);
  const PaktoolRun added = RunTool({"put", archive, "0x52545350", "new", Input("s.txt", "text")});
  EXPECT_EQ(added.Status, PAKTOOL_OK);
  EXPECT_EQ(added.Out, "PSTR 1\n");

  // The first body is stored encoded, the --plain one as it is.
  const std::string file = ReadFileBytes(archive);
  EXPECT_NE(file.substr(0, body.size()), body);
  EXPECT_EQ(file.substr(body.size(), body.size()), body);

  const PaktoolRun list = RunTool({"list", archive});
  ASSERT_EQ(list.Status, PAKTOOL_OK) << list.Err;
  const std::string size = std::to_string(body.size());
  const std::vector<std::string> expected = {
      "DataBase 0 DataEnd " + std::to_string(2 * body.size() + 4) +
          " DirectorySize 4816 capacity 200 count 3 transform 1DA50D000D000D00",
      "BLOB 7 0 " + size + " transformed",
      "BLOB -3 " + size + " " + size,
      "PSTR 1 " + std::to_string(2 * body.size()) + " 4 transformed",
  };
  EXPECT_EQ(Lines(list.Out), expected);
  EXPECT_EQ(list.Err, "");

  for (const char* id : {"7", "-3", "0xFFFFFFFD"}) {
    const PaktoolRun got = RunTool({"get", archive, "BLOB", id});
    EXPECT_EQ(got.Status, PAKTOOL_OK) << id;
    EXPECT_EQ(got.Out, body) << id;
  }
  const std::string target = Dir.File("out.bin");
  EXPECT_EQ(RunTool({"get", archive, "BLOB", "7", target}).Status, PAKTOOL_OK);
  EXPECT_EQ(ReadFileBytes(target), body);

  // Written again, longer: the old slot is superseded and compacted away on close.
  EXPECT_EQ(RunTool({"put", archive, "PSTR", "1", Input("longer.txt", "a longer text")}).Status, PAKTOOL_OK);
  EXPECT_EQ(RunTool({"get", archive, "PSTR", "1"}).Out, "a longer text");
  EXPECT_EQ(Lines(RunTool({"list", archive}).Out).size(), 4u);
}

TEST_F(PaktoolArchive, CompactRemovesDeletedSlotsAndReportsFailure) {
  const std::string archive = Archive();
  ASSERT_EQ(RunTool({"create", archive}).Status, PAKTOOL_OK);
  EXPECT_EQ(RunTool({"put", archive, "BLOB", "1", Input("a", "one")}).Status, PAKTOOL_OK);
  EXPECT_EQ(RunTool({"put", archive, "BLOB", "2", Input("b", "two")}).Status, PAKTOOL_OK);
  EXPECT_EQ(RunTool({"compact", archive}).Out, archive + ": nothing to compact\n");
  {
    NoCompaction keep;
    EXPECT_EQ(RunTool({"put", archive, "BLOB", "1", Input("c", "one, longer")}).Status, PAKTOOL_OK);
    EXPECT_EQ(Lines(RunTool({"list", archive}).Out)[1], "BLOB 1 0 3 deleted");

    const PaktoolRun failed = RunTool({"compact", archive});
    EXPECT_EQ(failed.Status, PAKTOOL_FAILED);
    EXPECT_EQ(failed.Err, "paktool: " + archive + ": compaction failed; the archive is as it was\n");
    EXPECT_EQ(RunTool({"get", archive, "BLOB", "2"}).Out, "two");
  }

  // The two live bodies, a directory of 200 slots and the trailer remain.
  const size_t before = ReadFileBytes(archive).size();
  const PaktoolRun done = RunTool({"compact", archive});
  EXPECT_EQ(done.Status, PAKTOOL_OK);
  EXPECT_EQ(done.Out, archive + ": 1 deleted slots removed, " + std::to_string(before) + " -> " +
                          std::to_string(3 + 11 + 16 + 24 * 200 + 144) + " bytes\n");
  // The live bodies back to back in slot order.
  const std::vector<std::string> lines = Lines(RunTool({"list", archive}).Out);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], "BLOB 2 0 3");
  EXPECT_EQ(lines[2], "BLOB 1 3 11");
  EXPECT_EQ(RunTool({"get", archive, "BLOB", "1"}).Out, "one, longer");
}

TEST_F(PaktoolArchive, BadArgumentsGiveStatusTwoAndTheUsage) {
  const std::string archive = Archive();
  const std::string file = Input("f", "x");
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"frobnicate", archive},
      {"list"},
      {"list", archive, archive},
      {"list", archive, "--json"},
      {"get", archive, "BLOBS", "1"},
      {"get", archive, "BLOB", "one"},
      {"get", archive, "BLOB", "2147483648"},
      {"get", archive, "BLOB", "new"},
      {"create", archive, "--transform"},
      {"create", archive, "--transform", "0D0D0D0D"},
      {"create", archive, "--transform", "0D0D0D0D0D0D0DXY"},
      {"put", archive, "BLOB", "1"},
      {"put", archive, "BLOB", "1", file, "--plain", "--plain"},
      {"catalog"},
      {"catalog", "list", archive},
      {"catalog", "show"},
      {"catalog", "build", file},
  };
  for (const auto& args : cases) {
    std::string line;
    for (const std::string& arg : args) line += arg + " ";
    const PaktoolRun run = RunTool(args);
    EXPECT_EQ(run.Status, PAKTOOL_BAD_USAGE) << line;
    EXPECT_EQ(run.Out, "") << line;
    EXPECT_EQ(run.Err.rfind("paktool: ", 0), 0u) << line;
    EXPECT_NE(run.Err.find("\nusage: paktool list ARCHIVE\n"), std::string::npos) << line;
  }
  // Nothing was created on the way.
  EXPECT_FALSE(FileExists(archive));
  EXPECT_EQ(RunTool({"--help"}).Status, PAKTOOL_OK);
}

TEST_F(PaktoolArchive, FileAndFormatErrorsGiveStatusOneNamingTheFile) {
  const std::string archive = Archive();
  const std::string missing = Dir.File("missing.pak");
  const std::string corrupt = Input("corrupt.pak", std::string(300, 'x'));
  const std::string source = Input("body", "body");
  ASSERT_EQ(RunTool({"create", archive}).Status, PAKTOOL_OK);

  struct Case {
    std::vector<std::string> Args;
    std::string Names;
  };
  const std::vector<Case> cases = {
      {{"list", missing}, missing},
      {{"list", corrupt}, ErrorText(ERR_FILE_CORRUPT) + " " + corrupt},
      {{"get", corrupt, "BLOB", "1"}, ErrorText(ERR_FILE_CORRUPT) + " " + corrupt},
      {{"compact", corrupt}, ErrorText(ERR_FILE_CORRUPT) + " " + corrupt},
      {{"catalog", "show", corrupt}, ErrorText(ERR_FILE_CORRUPT) + " " + corrupt},
      {{"get", archive, "BLOB", "1"}, archive + ": no entry BLOB 1"},
      {{"put", archive, "BLOB", "1", Dir.File("nothing")}, Dir.File("nothing")},
      {{"put", archive, "BLOB", "1", Input("empty", "")}, Dir.File("empty") + ": empty"},
      {{"put", corrupt, "BLOB", "1", source}, ErrorText(ERR_FILE_CORRUPT) + " " + corrupt},
      {{"create", corrupt}, corrupt + ": already exists"},
      {{"catalog", "show", archive}, ErrorText(ERR_FILE_CORRUPT) + " " + archive + " (no \"SkOp\" 0 entry)"},
      {{"catalog", "build", Dir.File("none.json"), Dir.File("ops.pak")}, Dir.File("none.json")},
  };
  for (const Case& c : cases) {
    const PaktoolRun run = RunTool(c.Args);
    EXPECT_EQ(run.Status, PAKTOOL_FAILED) << c.Names;
    EXPECT_EQ(run.Out, "") << c.Names;
    EXPECT_NE(run.Err.find(c.Names), std::string::npos) << run.Err;
    EXPECT_EQ(run.Err.find("usage:"), std::string::npos) << run.Err;
  }
  // Failed commands leave the files as they were.
  EXPECT_EQ(ReadFileBytes(corrupt), std::string(300, 'x'));
  EXPECT_EQ(ReadFileBytes(archive).size(), 160u);
}

// paktool.exe, run as a process: exit statuses, results on standard output
// byte for byte, complaints on standard error only. It runs detached: a
// console of its own would come with a console host process that holds the
// redirected files open after paktool has ended.
class PaktoolProcess : public PaktoolArchive {
 protected:
  PaktoolRun Run(const std::string& arguments) {
    const std::string exe = Dir.File("paktool.exe");
    if (!FileExists(exe)) {
      EXPECT_TRUE(CopyFileA(DG_PAKTOOL_EXE, exe.c_str(), FALSE));
    }
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const std::string outPath = Dir.File("stdout.txt"), errPath = Dir.File("stderr.txt");
    HANDLE out = CreateFileA(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    HANDLE err = CreateFileA(errPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    HANDLE in =
        CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process{};
    std::string commandLine = "\"" + exe + "\" " + arguments;
    PaktoolRun run;
    EXPECT_NE(out, INVALID_HANDLE_VALUE);
    EXPECT_NE(err, INVALID_HANDLE_VALUE);
    if (CreateProcessA(exe.c_str(), commandLine.data(), nullptr, nullptr, TRUE, DETACHED_PROCESS, nullptr, nullptr,
                       &startup, &process)) {
      if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0) {
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        run.Status = static_cast<int>(code);
      } else {
        TerminateProcess(process.hProcess, 99);
        ADD_FAILURE() << "paktool did not end: " << arguments;
      }
      CloseHandle(process.hThread);
      CloseHandle(process.hProcess);
    } else {
      ADD_FAILURE() << "cannot start " << exe << ": " << LastErrorText();
    }
    CloseHandle(in);
    CloseHandle(out);
    CloseHandle(err);
    run.Out = ReadFileBytes(outPath);
    run.Err = ReadFileBytes(errPath);
    return run;
  }
};

TEST_F(PaktoolProcess, ExitStatusesAndStreams) {
  const std::string archive = Archive();
  const std::string body = AllBytes();
  ASSERT_EQ(RunTool({"create", archive}).Status, PAKTOOL_OK);
  ASSERT_EQ(RunTool({"put", archive, "BLOB", "1", Input("body", body)}).Status, PAKTOOL_OK);

  const PaktoolRun list = Run("list \"" + archive + "\"");
  EXPECT_EQ(list.Status, PAKTOOL_OK);
  EXPECT_EQ(list.Out.rfind("DataBase 0 DataEnd " + std::to_string(body.size()), 0), 0u) << list.Out;
  EXPECT_EQ(list.Err, "");

  const PaktoolRun get = Run("get \"" + archive + "\" BLOB 1");
  EXPECT_EQ(get.Status, PAKTOOL_OK);
  EXPECT_EQ(get.Out, body);

  const PaktoolRun usage = Run("list");
  EXPECT_EQ(usage.Status, PAKTOOL_BAD_USAGE);
  EXPECT_EQ(usage.Out, "");
  EXPECT_NE(usage.Err.find("usage: paktool"), std::string::npos);

  const std::string corrupt = Input("corrupt.pak", std::string(200, '\0'));
  const PaktoolRun failed = Run("list \"" + corrupt + "\"");
  EXPECT_EQ(failed.Status, PAKTOOL_FAILED);
  EXPECT_EQ(failed.Out, "");
  EXPECT_NE(failed.Err.find(corrupt), std::string::npos) << failed.Err;
}

}  // namespace
