#include "saver/skit_player.h"

#include <gtest/gtest.h>

#include "base/files.h"
#include "tests/saver/saver_testing.h"
#include "tests/support/testing.h"

using saver_testing::InstallPlayer;
using saver_testing::KillPlayers;
using saver_testing::PlayerRecord;
using saver_testing::PlayerRunning;

TEST(SkitPlayerText, ValuesArePercentEncodedOnce) {
  EXPECT_EQ(cSkitPlayer::EncodeValue("%20"), "%2520");
  EXPECT_EQ(cSkitPlayer::EncodeValue("a b+c"), "a%20b%2Bc");
  EXPECT_EQ(cSkitPlayer::EncodeValue("x=1&y"), "x%3D1%26y");
  EXPECT_EQ(cSkitPlayer::EncodeValue("C:\\My Skits\\A&B"), "C:\\My%20Skits\\A%26B");
  EXPECT_EQ(cSkitPlayer::EncodeValue("\xE9/?#:"), "\xE9/?#:");
}

TEST(SkitPlayerText, ArgumentFileSitsBesideThePlayer) {
  EXPECT_EQ(cSkitPlayer::ArgFilePathFor("C:\\Tools\\play.exe"), "C:\\Tools\\play.arg");
  EXPECT_EQ(cSkitPlayer::ArgFilePathFor("C:\\Tools.old\\play"), "C:\\Tools.arg");
  EXPECT_EQ(cSkitPlayer::ArgFilePathFor(".player"), ".player.arg");
  EXPECT_EQ(cSkitPlayer::ArgFilePathFor("C:\\Tools\\play"), "C:\\Tools\\play.arg");
}

TEST(SkitPlayerText, AnEmptyNameOrValueDropsEveryPair) {
  cSkitPlayer player("C:\\s\\a.swf", "C:\\p\\player.exe");
  player.AddVariable("A", "1");
  player.AddVariable("B", "%d", 42);
  player.AddVariable("C", "%02d", 7);
  EXPECT_EQ(player.Variables, "A=1&B=42&C=07");
  player.AddVariable("D", "");
  EXPECT_EQ(player.Variables, "");
  player.AddVariable("E", "x");
  player.AddVariable("", "y");
  EXPECT_EQ(player.Variables, "");
}

class SkitPlayerProcess : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const std::string& path : Players) KillPlayers(path);
  }
  std::string Player(const std::string& name) {
    Players.push_back(InstallPlayer(Dir.Path(), name));
    return Players.back();
  }

  testing_support::TempDir Dir;
  std::vector<std::string> Players;
};

TEST_F(SkitPlayerProcess, PlayWritesTheArgumentFileAndFindsTheWindow) {
  const std::string path = Player("player.exe");
  {
    cSkitPlayer player("C:\\My Skits\\A&B", path);
    player.AddVariable("SS_RunCount", "%d", 0);
    ASSERT_TRUE(player.Play(nullptr)) << player.GetErrorText();
    EXPECT_NE(player.PlayerWindow, nullptr);
    EXPECT_FALSE(player.IsFinished(0));
    EXPECT_EQ(testing_support::ReadFileBytes(Dir.File("player.arg")), "SS_RunCount=0&SS_Swf=C:\\My%20Skits\\A%26B");
    EXPECT_TRUE(player.Stop(5000));
  }
  EXPECT_FALSE(FileExists(Dir.File("player.arg")));
  ASSERT_EQ(PlayerRecord(path).size(), 1u);
  EXPECT_EQ(PlayerRecord(path)[0], "ARGS SS_RunCount=0&SS_Swf=C:\\My%20Skits\\A%26B");
}

namespace {

// What the player object asked of CreateProcess, seen through its seam.
struct StartRequest {
  std::string CommandLine;
  BOOL InheritHandles = TRUE;
  DWORD Flags = 0;
};
StartRequest LastStart;

BOOL RecordStart(const char* application, char* commandLine, BOOL inherit, DWORD flags, const char* folder,
                 STARTUPINFOA* startup, PROCESS_INFORMATION* started) {
  LastStart = {commandLine != nullptr ? commandLine : "(none)", inherit, flags};
  return cSkitPlayer::CreatePlayerProcess(application, commandLine, inherit, flags, folder, startup, started);
}

constexpr DWORD kPriorityClasses = IDLE_PRIORITY_CLASS | BELOW_NORMAL_PRIORITY_CLASS | NORMAL_PRIORITY_CLASS |
                                   ABOVE_NORMAL_PRIORITY_CLASS | HIGH_PRIORITY_CLASS | REALTIME_PRIORITY_CLASS;

}  // namespace

// A player in a folder with a blank, as in C:\Users\Ada Lovelace: it gets
// its own path, quoted, as its one argument. Wine quotes a missing command
// line itself, so what the saver asks for is checked through the seam too.
// Windows starts a screensaver at idle priority and a child made without a
// priority class inherits it; Wine 8 runs every process at normal priority
// whatever it is asked, so only the creation flags can show the class.
TEST_F(SkitPlayerProcess, ThePlayerGetsItsQuotedPathAndNormalPriority) {
  ASSERT_TRUE(CreateDirectoryA(Dir.File("player folder").c_str(), nullptr));
  Players.push_back(InstallPlayer(Dir.File("player folder"), "player.exe"));
  const std::string path = Players.back();
  struct Restore {
    ~Restore() { cSkitPlayer::StartProcess = &cSkitPlayer::CreatePlayerProcess; }
  } restore;
  cSkitPlayer::StartProcess = &RecordStart;
  cSkitPlayer player("skit.swf", path);
  ASSERT_TRUE(player.Play(nullptr)) << player.GetErrorText();
  EXPECT_EQ(testing_support::ReadFileBytes(Dir.File("player folder\\player.cmdline")), "\"" + path + "\"");
  EXPECT_EQ(LastStart.CommandLine, "\"" + path + "\"");
  EXPECT_EQ(LastStart.Flags & kPriorityClasses, static_cast<DWORD>(NORMAL_PRIORITY_CLASS));
  // Nothing of ours reaches the player, and its job holds it.
  EXPECT_FALSE(LastStart.InheritHandles);
  EXPECT_TRUE(player.InJob());
  EXPECT_TRUE(player.Stop(5000));
}

// The player's job ends it with the object that holds it, whatever ends
// that: a movie the user kept is let go of its job and plays on.
TEST_F(SkitPlayerProcess, LettingGoEndsTheMovieUnlessItIsKept) {
  const std::string path = Player("player.exe");
  for (bool keep : {false, true}) {
    SCOPED_TRACE(keep ? "kept" : "not kept");
    HANDLE process = nullptr;
    {
      cSkitPlayer player("skit.swf", path);
      ASSERT_TRUE(player.Play(nullptr));
      DuplicateHandle(GetCurrentProcess(), player.ProcessInfo.hProcess, GetCurrentProcess(), &process, SYNCHRONIZE,
                      FALSE, 0);
      if (keep) player.KeepRunning();
    }
    ASSERT_NE(process, nullptr);
    EXPECT_EQ(WaitForSingleObject(process, keep ? 0 : 5000),
              static_cast<DWORD>(keep ? WAIT_TIMEOUT : WAIT_OBJECT_0));
    EXPECT_FALSE(FileExists(Dir.File("player.arg")));
    CloseHandle(process);
  }
}

TEST_F(SkitPlayerProcess, FailuresAreReportedNotThrown) {
  {
    cSkitPlayer missing("skit.swf", Dir.File("absent.exe"));
    EXPECT_FALSE(missing.Play(nullptr));
    EXPECT_EQ(missing.GetError(), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(missing.IsFinished(0));
  }
  {
    // A program with no window of its main thread: the window is named as
    // the cause, and the program, which nobody could close, is ended.
    const std::string path = Player("nowindow.exe");
    cSkitPlayer windowless("skit.swf", path);
    EXPECT_FALSE(windowless.Play(nullptr));
    EXPECT_EQ(windowless.GetError(), ERR_CREATE_WINDOW);
    EXPECT_EQ(windowless.PlayerWindow, nullptr);
    EXPECT_TRUE(windowless.IsFinished(0));
    EXPECT_FALSE(PlayerRunning(path));
  }
  {
    // An argument file that cannot be written: the file's failure, and no start.
    const std::string path = Player("player.exe");
    DeleteFileA(Dir.File("player.arg").c_str());
    ASSERT_TRUE(CreateDirectoryA(Dir.File("player.arg").c_str(), nullptr));
    cSkitPlayer blocked("skit.swf", path);
    EXPECT_FALSE(blocked.Play(nullptr));
    EXPECT_EQ(blocked.GetError(), ERR_FILE_CREATE);
    EXPECT_FALSE(PlayerRunning(path));
    RemoveDirectoryA(Dir.File("player.arg").c_str());
  }
  {
    // An empty skit path clears the pairs: no argument file at all, and a
    // stale one from an earlier skit is gone.
    testing_support::WriteFileBytes(Dir.File("player.arg"), "stale");
    cSkitPlayer empty("", Player("player.exe"));
    empty.AddVariable("A", "1");
    EXPECT_TRUE(empty.Play(nullptr));
    EXPECT_FALSE(FileExists(Dir.File("player.arg")));
    empty.Stop(5000);
  }
}

// A player that ignores WM_CLOSE is asked, then ended.
TEST_F(SkitPlayerProcess, AStubbornPlayerIsEndedAfterItsTime) {
  const std::string path = Player("stubborn.exe");
  cSkitPlayer player("skit.swf", path);
  ASSERT_TRUE(player.Play(nullptr));
  EXPECT_FALSE(player.Stop(200));
  EXPECT_TRUE(PlayerRunning(path));
  player.Close(200);
  EXPECT_TRUE(player.IsFinished(5000));
}
