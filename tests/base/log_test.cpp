#include "base/log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "base/files.h"
#include "tests/support/testing.h"

using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

struct LogLine {
  std::string Tag;
  std::string Stamp;  // yyyy-mm-dd_hh:mm:ss.mmm
  std::string Thread;
  std::string Message;
};

// The lines of a log file; every line must end in CR LF (text mode).
std::vector<std::string> FileLines(const std::string& path) {
  std::string bytes = ReadFileBytes(path);
  std::vector<std::string> lines;
  for (size_t start = 0, end; start < bytes.size(); start = end + 2) {
    end = bytes.find("\r\n", start);
    if (end == std::string::npos) {
      ADD_FAILURE() << "unterminated last line: " << bytes.substr(start);
      break;
    }
    lines.push_back(bytes.substr(start, end - start));
  }
  return lines;
}

std::vector<LogLine> ParsedLines(const std::string& path) {
  static const std::regex layout(
      R"(^(\.ERROR\.\. |\.INFO\.\.\. |\.MEMORY\. |\.HANDLE\. |\.TRACE1\. |\.TRACE2\. |\.\.\.\.\.\.\.\. ))"
      R"((\d{4}-\d{2}-\d{2}_\d{2}:\d{2}:\d{2}\.\d{3}) Thread=([1-9A-F][0-9A-F]*) ([^\r\n]*)$)");
  std::vector<LogLine> parsed;
  for (const std::string& text : FileLines(path)) {
    std::smatch match;
    if (std::regex_match(text, match, layout))
      parsed.push_back({match[1], match[2], match[3], match[4]});
    else
      ADD_FAILURE() << "malformed line: " << text;
  }
  return parsed;
}

std::vector<std::string> Messages(const std::string& path) {
  std::vector<std::string> messages;
  for (const LogLine& line : ParsedLines(path)) messages.push_back(line.Message);
  return messages;
}

std::string LocalStamp() {
  SYSTEMTIME t;
  GetLocalTime(&t);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d_%02d:%02d:%02d.%03d", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                t.wSecond, t.wMilliseconds);
  return text;
}

std::string ThreadField() {
  char text[16];
  std::snprintf(text, sizeof text, "%lX", static_cast<unsigned long>(GetCurrentThreadId()));
  return text;
}

// Each case points the log into its own folder and leaves the process-wide
// state as a fresh process has it: only errors enabled, no path.
class Log : public ::testing::Test {
 protected:
  void SetUp() override {
    Path = Dir.File("test.log");
    LogSetPath(Path, true);
  }
  void TearDown() override {
    LogEnable(0xFFFFFFFFu, false);
    LogEnable(LOG_ERROR, true);
    LogSetPath("", true);
    LogSetDefaultFolder("");
  }

  TempDir Dir;
  std::string Path;
};

}  // namespace

TEST_F(Log, LineLayout) {
  LogEnable(LOG_INFO, true);
  std::string before = LocalStamp();
  LogWrite(LOG_INFO, "Done");
  std::string after = LocalStamp();

  std::vector<LogLine> lines = ParsedLines(Path);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].Tag, ".INFO... ");
  // The fixed-width stamp sorts as text; it is the local clock, not UTC.
  EXPECT_LE(before, lines[0].Stamp);
  EXPECT_LE(lines[0].Stamp, after);
  EXPECT_EQ(lines[0].Thread, ThreadField());
  EXPECT_EQ(lines[0].Message, "Done");
}

TEST_F(Log, LevelsAndTags) {
  // Only errors are written until something else is enabled.
  LogWrite(LOG_INFO, "info dropped");
  LogWrite(LOG_ERROR, "error kept");
  // A combined level is written when any of its bits is on, with the dots tag.
  LogWrite(3, "three");
  LogWrite(0, "zero dropped");
  LogEnable(LOG_INFO, true);
  LogWrite(LOG_INFO, "info kept");
  LogEnable(LOG_INFO, false);
  LogWrite(LOG_INFO, "info dropped again");

  LogEnable(0xFFFFFFFFu, true);
  for (uint32_t level : {LOG_MEMORY, LOG_HANDLE, LOG_TRACE1, LOG_TRACE2, 64u}) LogWrite(level, "x");

  std::vector<LogLine> lines = ParsedLines(Path);
  std::vector<std::string> tags, messages;
  for (const LogLine& line : lines) {
    tags.push_back(line.Tag);
    messages.push_back(line.Message);
  }
  EXPECT_EQ(messages, (std::vector<std::string>{"error kept", "three", "info kept", "x", "x", "x", "x", "x"}));
  EXPECT_EQ(tags, (std::vector<std::string>{".ERROR.. ", "........ ", ".INFO... ", ".MEMORY. ", ".HANDLE. ",
                                            ".TRACE1. ", ".TRACE2. ", "........ "}));
}

TEST_F(Log, FormatterDirectives) {
  LogWrite(LOG_ERROR, "100%%");
  LogWrite(LOG_ERROR, "a%qb");
  LogWrite(LOG_ERROR, "%q%d", 7);  // "%q" takes no argument
  LogWrite(LOG_ERROR, "%x %X %p %h", 255, 255, 255, 255);
  LogWrite(LOG_ERROR, "%d|%d", -5, 2147483647);
  LogWrite(LOG_ERROR, "%x", 0xDEADBEEFu);
  LogWrite(LOG_ERROR, "[%s][%s]", "text with %d inside", "");
  LogWrite(LOG_ERROR, "%f", 1.5);
  LogWrite(LOG_ERROR, "%5d|%d", 9);  // no widths: "%5" is dropped, "d" copied
  LogWrite(LOG_ERROR, "%s=%d (%x) %p%%", "count", 12, 12, 12);
  LogWrite(LOG_ERROR, "50%");  // a lone "%" at the very end
  LogWrite(LOG_ERROR, "%");
  LogWrite(LOG_ERROR, "");

  EXPECT_EQ(Messages(Path),
            (std::vector<std::string>{"100%", "ab", "7", "0xff 0xFF :000000FF :000000FF", "-5|2147483647", "0xdeadbeef",
                                      "[text with %d inside][]", "1.500000", "d|9", "count=12 (0xc) :0000000C%", "50",
                                      "", ""}));
}

TEST_F(Log, OverlongLineAndPathAreCut) {
  std::string huge(5000, 'm');
  LogWrite(LOG_ERROR, "%s", huge.c_str());
  std::vector<std::string> lines = FileLines(Path);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].size(), 2047u);
  EXPECT_EQ(lines[0].back(), 'm');

  std::string longPath = Dir.Path() + "\\" + std::string(1000, 'p') + ".log";
  LogSetPath(longPath, true);
  EXPECT_EQ(LogCurrentPath(), longPath.substr(0, 255));
  EXPECT_NO_THROW(LogWrite(LOG_ERROR, "lost"));
}

TEST_F(Log, AppendsDeletesOnRequestAndNeverHoldsTheFile) {
  WriteFileBytes(Path, "earlier\r\n");
  LogWrite(LOG_ERROR, "one");
  std::vector<std::string> lines = FileLines(Path);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "earlier");

  // Between lines another program may move the file away.
  ASSERT_TRUE(MoveFileA(Path.c_str(), Dir.File("moved.log").c_str()));
  LogWrite(LOG_ERROR, "two");
  EXPECT_EQ(Messages(Path), (std::vector<std::string>{"two"}));

  // Not keeping deletes at once, before any line; a missing file is no error.
  EXPECT_TRUE(LogSetPath(Path, false));
  EXPECT_EQ(GetFileAttributesA(Path.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(LogCurrentPath(), Path);
  EXPECT_TRUE(LogSetPath(Dir.File("never.log"), false));

  // A file that cannot be opened loses the line quietly.
  LogSetPath(Dir.File("no-folder\\x.log"), true);
  EXPECT_NO_THROW(LogWrite(LOG_ERROR, "lost"));
}

TEST_F(Log, DefaultFileIsTheProgramNameWithLog) {
  char module[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, module, MAX_PATH);
  std::string program(module, n);
  ASSERT_EQ(program.substr(program.size() - 4), ".exe");
  const std::string expected = program.substr(0, program.size() - 4) + ".log";
  EXPECT_EQ(LogDefaultPath(), expected);

  // The first line written with no path set starts the default file afresh.
  WriteFileBytes(expected, "from an earlier run\r\n");
  LogSetPath("", true);
  LogWrite(LOG_ERROR, "first");
  LogWrite(LOG_ERROR, "second");
  EXPECT_EQ(LogCurrentPath(), expected);
  EXPECT_EQ(Messages(expected), (std::vector<std::string>{"first", "second"}));

  // An empty download log setting means no download log: the lines go
  // nowhere and the program's own log keeps its contents.
  LogDownloadLine("", LOG_INFO, "download one");
  LogDownloadLine("", LOG_INFO, "download two");
  EXPECT_EQ(Messages(expected), (std::vector<std::string>{"first", "second"}));
  DeleteFileA(expected.c_str());
}

TEST_F(Log, TheDefaultFileCanLiveInAFolderOfItsOwn) {
  const std::string beside = LogDefaultPath();
  DeleteFileA(beside.c_str());
  std::string name;
  SplitPath(beside, nullptr, &name);
  LogSetDefaultFolder(Dir.Path());
  EXPECT_EQ(LogDefaultPath(), Dir.File(name));
  LogSetPath("", true);
  LogWrite(LOG_ERROR, "in the data folder");
  EXPECT_EQ(Messages(Dir.File(name)), (std::vector<std::string>{"in the data folder"}));
  // A download line points the log back at the file in that folder.
  LogDownloadLine(Dir.File("download.log"), LOG_INFO, "fetched");
  EXPECT_EQ(LogCurrentPath(), Dir.File(name));
  LogSetDefaultFolder("");
  EXPECT_EQ(LogDefaultPath(), beside);
  EXPECT_EQ(GetFileAttributesA(beside.c_str()), INVALID_FILE_ATTRIBUTES) << "nothing was written beside the program";
}

TEST_F(Log, DownloadLineGoesToItsFileAndPointsBack) {
  const std::string download = Dir.File("download.log");
  LogDownloadLine(download, LOG_INFO, "fetched a.pak");
  LogDownloadLine(download, LOG_INFO, "");
  EXPECT_EQ(LogCurrentPath(), LogDefaultPath());

  std::vector<LogLine> lines = ParsedLines(download);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].Tag, ".INFO... ");
  EXPECT_EQ(lines[0].Message, "fetched a.pak");
  EXPECT_EQ(lines[1].Message, "");
  // The text is written as it is, not read as a format, and one call is one
  // line whatever the text holds.
  LogDownloadLine(download, LOG_ERROR, "100% done %d");
  EXPECT_EQ(ParsedLines(download).back().Message, "100% done %d");
  LogDownloadLine(download, LOG_ERROR, "a\r\n.ERROR.. forged\tline");
  lines = ParsedLines(download);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines.back().Message, "a\\x0D\\x0A.ERROR.. forged\\x09line");
  DeleteFileA(LogDefaultPath().c_str());
}

TEST_F(Log, TwoThreadsWritingAtOnceKeepEveryLineWholeAndInItsFile) {
  DG_SKIP_WHERE_EMULATED("this case is two threads writing at once");
  const std::string download = Dir.File("download.log");
  const std::string own = LogDefaultPath();
  LogSetDefaultPath(false);
  const int kLines = 300;
  const std::string padding(400, '=');

  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::string downloadThread, ownThread;
  std::thread downloader([&] {
    downloadThread = ThreadField();
    WaitForSingleObject(go, INFINITE);
    for (int i = 0; i < kLines; ++i) LogDownloadLine(download, LOG_INFO, "download " + std::to_string(i) + padding);
  });
  std::thread writer([&] {
    ownThread = ThreadField();
    WaitForSingleObject(go, INFINITE);
    for (int i = 0; i < kLines; ++i) LogWrite(LOG_ERROR, "own %d%s", i, padding.c_str());
  });
  SetEvent(go);
  downloader.join();
  writer.join();
  CloseHandle(go);

  auto expectWhole = [&](const std::string& file, const char* head, const char* tag, const std::string& thread) {
    std::vector<LogLine> lines = ParsedLines(file);
    ASSERT_EQ(lines.size(), static_cast<size_t>(kLines)) << file;
    for (int i = 0; i < kLines; ++i) {
      EXPECT_EQ(lines[i].Message, head + std::to_string(i) + padding);
      EXPECT_EQ(lines[i].Tag, tag);
      EXPECT_EQ(lines[i].Thread, thread);
    }
  };
  expectWhole(download, "download ", ".INFO... ", downloadThread);
  expectWhole(own, "own ", ".ERROR.. ", ownThread);
  DeleteFileA(own.c_str());
}

TEST(cDateTime, DefaultNowAndOrder) {
  cDateTime zero;
  EXPECT_EQ(zero.Time.dwLowDateTime | zero.Time.dwHighDateTime, 0u);

  auto localNow = [] {
    SYSTEMTIME t;
    GetLocalTime(&t);
    FILETIME f;
    SystemTimeToFileTime(&t, &f);
    return (static_cast<uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime;
  };
  uint64_t before = localNow();
  cDateTime first = cDateTime::Now();
  cDateTime second = cDateTime::Now();
  uint64_t after = localNow();
  EXPECT_LE(before, first.Value());
  EXPECT_LE(first.Value(), second.Value());
  EXPECT_LE(second.Value(), after);

  // Order is by the whole 64-bit value, high word first.
  cDateTime low(0x00000001FFFFFFFFull), high(0x0000000200000000ull);
  EXPECT_TRUE(low < high);
  EXPECT_FALSE(high < low);
  EXPECT_EQ(high.Time.dwHighDateTime, 2u);
}
