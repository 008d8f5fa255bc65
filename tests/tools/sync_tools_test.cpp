// paktool's synchronisation-file commands, and skitsync sync end to end
// against the loopback server: in-process, cancelled, and as the program.
#include <thread>

#include "base/errors.h"
#include "base/files.h"
#include "download/comm.h"
#include "tests/download/download_testing.h"
#include "tests/store/sync_testing.h"
#include "tests/support/http_server.h"
#include "tests/tools/paktool_testing.h"
#include "tools/skitsync/skitsync.h"

using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;

namespace {

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

bool FolderIsEmpty(const std::string& folder) {
  WIN32_FIND_DATAA found;
  HANDLE find = FindFirstFileA(JoinPath(folder, "*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return true;
  bool empty = true;
  do {
    const std::string name = found.cFileName;
    if (name != "." && name != "..") empty = false;
  } while (FindNextFileA(find, &found));
  FindClose(find);
  return empty;
}

const char kDescription[] = R"({
  // as published
  "header": {"version": 3, "newSyncUrl": "http://127.0.0.1/v3/kinetrope.syn", "extra1": 11,
             "specialInterval": 5, "syncIntervalDays": 7},
  "records": [
    {"category": "skit", "id": 4, "revision": 2, "title": "Kites", "state": "available",
     "hotKey": {"keyCode": "F2", "action": "link", "link": "http://127.0.0.1/kites"},
     "files": [{"name": "kites.skit", "url": "http://127.0.0.1/kites.skit"},
               {"name": "kites.bmp", "url": "http://127.0.0.1/kites.bmp"}]},
    {"category": "special", "id": 1, "revision": 5, "updateMask": "0x04", "title": "Lanterns",
     "state": "available", "playsLeft": 10}
  ]
})";

}  // namespace

TEST_F(SyncTest, PaktoolBuildsASynchronisationFileTheMergeReadsAndShowsItBack) {
  const std::string description = Dir.File("sync.json");
  WriteFileBytes(description, kDescription);
  const std::string built = Dir.File("built.syn");
  PaktoolRun run = RunTool({"sync", "build", description, built});
  ASSERT_EQ(run.Status, PAKTOOL_OK) << run.Err;

  {
    cSyncFile sync(built);
    EXPECT_EQ(sync.Header().Version, 3u);
    EXPECT_EQ(Str(sync.Header().NewSyncUrl.Text), "http://127.0.0.1/v3/kinetrope.syn");
    EXPECT_EQ(sync.Header().Extra1, 11u);
    EXPECT_EQ(sync.Header().SkitCount, 2u);
    ASSERT_EQ(sync.RecordIds(), (std::vector<int32_t>{1, 2}));
    cServerRecord kites, lanterns;
    sync.ReadRecord(1, kites);
    sync.ReadRecord(2, lanterns);
    EXPECT_EQ(Str(kites.Record.Files[1].Name.Text), "kites.bmp");
    EXPECT_EQ(Str(kites.Record.HotKey.Link.Text), "http://127.0.0.1/kites");
    EXPECT_EQ(lanterns.Record.Category, CAT_SPECIAL);
    EXPECT_EQ(lanterns.Record.UpdateMask, 4u);
    EXPECT_EQ(lanterns.Record.PlaysLeft, 10);
  }

  run = RunTool({"sync", "show", built, "--json"});
  ASSERT_EQ(run.Status, PAKTOOL_OK) << run.Err;
  WriteFileBytes(Dir.File("shown.json"), run.Out);
  ASSERT_EQ(RunTool({"sync", "build", Dir.File("shown.json"), Dir.File("again.syn")}).Status, PAKTOOL_OK);
  EXPECT_EQ(ReadFileBytes(Dir.File("again.syn")), ReadFileBytes(built)) << "show --json builds the same file";

  run = RunTool({"sync", "show", built});
  EXPECT_TRUE(Contains(run.Out, "SkitCount         2 (2 present)")) << run.Out;
  EXPECT_TRUE(Contains(run.Out, "Record SKIT 2")) << run.Out;

  WriteFileBytes(description, R"({"records": [{"category": "skit", "id": 1, "state": "available", "colour": 1}]})");
  run = RunTool({"sync", "build", description, Dir.File("bad.syn")});
  EXPECT_EQ(run.Status, PAKTOOL_FAILED);
  EXPECT_EQ(run.Err, "paktool: " + description + ": records[0].colour: unknown field\n");
  EXPECT_FALSE(FileExists(Dir.File("bad.syn")));
}

// A damaged file is shown as far as it goes: a text the archive lacks shows
// as none, a record too short to read is named, the others are shown.
TEST_F(SyncTest, PaktoolShowsADamagedSynchronisationFile) {
  SyncBuilder sync;
  sync.Add(CAT_SKIT, 1, 1, "Lost", {"lost.mov"}).Info.Id = 99;
  sync.Header.SkitCount = 3;
  sync.SkitCountGiven = true;
  sync.Write(SyncPath());
  {
    cPakFile pak(SyncPath());
    const uint8_t shortRecord[10] = {};
    pak.WriteEntry(SYNC_RECORD_TYPE, 3, 0, true, sizeof shortRecord, shortRecord);
  }
  const PaktoolRun run = RunTool({"sync", "show", SyncPath()});
  ASSERT_EQ(run.Status, PAKTOOL_OK) << run.Err;
  EXPECT_TRUE(Contains(run.Out, "SkitCount         3 (2 present)")) << run.Out;
  EXPECT_TRUE(Contains(run.Out, "too short: 10 bytes, not 220")) << run.Out;
  EXPECT_TRUE(Contains(run.Out, "Title             \"Lost\"")) << run.Out;
  EXPECT_EQ(RunTool({"sync", "show", Dir.File("none.syn")}).Status, PAKTOOL_FAILED);
}

// skitsync sync ---------------------------------------------------------------

namespace {

class SkitsyncSync : public SyncTest {
 protected:
  SkitsyncSync() {
    SkitsyncProgramName = kProgram;
    Builder.Texts[Builder.Block->Header.SyncUrl.Id] = Server.Url("/kinetrope.syn");
    SkitRecord& waiting = Builder.Add(CAT_SKIT, 1, SKIT_SCHEDULED, SEL_AUTO, "Waiting", {"w.mov", "w.bmp"});
    for (uint32_t f = 0; f < 2; ++f) Builder.Texts[waiting.Files[f].Url.Id] = Server.Url(f == 0 ? "/w.mov" : "/w.bmp");
    SyncBuilder sync;
    sync.UrlBase = Server.Url("/");
    sync.Add(CAT_SKIT, 2, 1, "New", {"n.mov"});
    sync.Write(Served.File("kinetrope.syn"));
    for (const char* name : {"w.mov", "w.bmp", "n.mov"}) WriteFileBytes(Served.File(name), name);
    Builder.Write(Settings.OpsFilePath);
    SetSyncMethod(2);
  }
  ~SkitsyncSync() override { SkitsyncProgramName = "drearigrams"; }
  void SetUp() override { DG_SKIP_WHERE_EMULATED("each case runs a whole download job, a worker beside the caller"); }

  void SetSyncMethod(DWORD method) { UserKey.SetDword("SyncMethod", method); }
  std::vector<std::string> Arguments(bool automatic) const {
    std::vector<std::string> args = {"sync",    "--catalog", Settings.OpsFilePath, "--skits", Settings.SkitsPath,
                                     "--download", Settings.DownloadPath, "--log", Settings.LogPath};
    if (automatic) args.push_back("--automatic");
    return args;
  }
  int Run(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    const int status = RunSkitsync(args, out, err);
    Out = out.str();
    Err = err.str();
    return status;
  }
  uint8_t StateOf(int32_t skitId) const {
    const auto block = ReadBlock(Settings.OpsFilePath);
    for (uint32_t i = 0; i < block->Header.Count; ++i) {
      if (block->Records[i].SkitId == skitId) return block->Records[i].State;
    }
    return 255;
  }

  static constexpr const char* kProgram = "test_skitsync_sync";
  testing_support::ScopedRegistryKey UserKey{HKEY_CURRENT_USER, SettingsKeyFor(kProgram)};
  testing_support::TempDir Served;
  testing_support::LoopbackServer Server{Served.Path()};
  std::string Out;
  std::string Err;
};

}  // namespace

// Without --automatic and with automatic download off only the list comes;
// with --automatic the files of the scheduled skits follow; with automatic
// download on, the new skit is scheduled and fetched as well.
TEST_F(SkitsyncSync, FetchesTheListAndTheFilesOnlyWhenAutomatic) {
  ASSERT_EQ(Run(Arguments(false)), SKITSYNC_OK) << Err;
  EXPECT_EQ(Server.RequestCount(), 1u);
  EXPECT_TRUE(Contains(Out, "Merged the list: 1 added, 0 updated, 0 rejected\n")) << Out;
  EXPECT_TRUE(Contains(Out, "Summary: 1 added, 0 updated, 1 scheduled, 0 installed (0 files), 0 failed\n")) << Out;
  EXPECT_EQ(StateOf(1), SKIT_SCHEDULED);
  EXPECT_EQ(StateOf(2), SKIT_AVAILABLE);

  ASSERT_EQ(Run(Arguments(true)), SKITSYNC_OK) << Err;
  EXPECT_EQ(Server.RequestCount(), 4u);
  EXPECT_TRUE(Contains(Out, "Fetching Waiting 1 of 2\nInstalled Waiting 1 of 2\nFetching Waiting 2 of 2\n"
                            "Installed Waiting 2 of 2\n"))
      << Out;
  EXPECT_TRUE(Contains(Out, "Summary: 0 added, 0 updated, 1 scheduled, 1 installed (2 files), 0 failed\n")) << Out;
  EXPECT_EQ(StateOf(1), SKIT_INSTALLED);
  EXPECT_EQ(ReadFileBytes(SkitFile("w.bmp")), "w.bmp");

  SetSyncMethod(0);
  ASSERT_EQ(Run(Arguments(false)), SKITSYNC_OK) << Err;
  EXPECT_EQ(StateOf(2), SKIT_INSTALLED);
  EXPECT_EQ(Err, "");
}

TEST_F(SkitsyncSync, CtrlCCancelsTheJobAndExitsOne) {
  // A list that keeps coming: a cancel ends it at its next piece. (A stalled
  // read may not end before its time-out under Wine, whose WinINet does not
  // always give up a blocked read when its handle is closed.)
  Builder.Texts[Builder.Block->Header.SyncUrl.Id] = Server.Url("/trickle/long.syn");
  WriteFileBytes(Served.File("long.syn"), testing_support::GeneratedBytes(200000));
  Server.TrickleInterval = 1;
  Builder.Block->Header.LastSync = 1234;
  Builder.Write(Settings.OpsFilePath);
  std::thread interrupt([this] {
    if (Server.WaitForRequests(1, download_testing::kPatience)) SkitsyncConsoleControl(CTRL_C_EVENT);
  });
  const int status = Run(Arguments(true));
  interrupt.join();
  EXPECT_EQ(status, SKITSYNC_FAILED);
  EXPECT_TRUE(Contains(Out, "Cancelling\n")) << Out;
  EXPECT_EQ(Err, std::string("skitsync: the skit list was not fetched: ") + kUserCancelledText + "\n");
  EXPECT_TRUE(Contains(Out, "Summary: 0 added, 0 updated, 0 scheduled, 0 installed (0 files), 0 failed\n")) << Out;
  EXPECT_EQ(Server.RequestCount(), 1u) << "no file after a cancelled list";
  EXPECT_EQ(ReadBlock(Settings.OpsFilePath)->Header.LastSync, 1234u);
  EXPECT_TRUE(FolderIsEmpty(Settings.DownloadPath));
  EXPECT_FALSE(SkitsyncConsoleControl(CTRL_C_EVENT)) << "nothing to cancel once the job is over";
}

TEST_F(SkitsyncSync, BadArgumentsAndMissingSettingsExitTwo) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{"sync", "--bogus"},
                                               std::vector<std::string>{"sync", "extra"},
                                               std::vector<std::string>{"sync", "--catalog"},
                                               std::vector<std::string>{"sync"}}) {
    EXPECT_EQ(Run(args), SKITSYNC_BAD_USAGE) << args.back();
    EXPECT_TRUE(Contains(Err, "usage: skitsync fetch URL FILE [--log FILE]")) << Err;
  }
  EXPECT_TRUE(Contains(Err, "the installation has no OpsFilePath setting")) << Err;
  EXPECT_EQ(Server.RequestCount(), 0u);
}

// An installation keeps each user's data in that user's own folder: the
// values name it below %LOCALAPPDATA%, and a user who never started the
// screensaver gets the catalogue from the setup's seed first.
TEST_F(SkitsyncSync, TheInstallationsValuesNameTheUsersOwnCatalogueMadeFromTheSeed) {
  testing_support::ScopedRegistryKey machine(HKEY_LOCAL_MACHINE, SettingsKeyFor(kProgram));
  testing_support::ScopedEnvironment local("LOCALAPPDATA", Dir.File("Local").c_str());
  CreateDirectoryA(Dir.File("Local").c_str(), nullptr);
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, SettingsKeyFor(kProgram).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  for (const auto& [name, value] : {std::pair<const char*, std::string>{"OpsFilePath", "\\ops.pak"},
                                    {"SkitsPath", "\\skits"},
                                    {"DownloadPath", "\\download"},
                                    {"LogPath", "\\download.log"}}) {
    const std::string text = "%LOCALAPPDATA%\\Drearigrams" + value;
    RegSetValueExA(key, name, 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>(text.size() + 1));
  }
  const std::string seed = Dir.File("seed");
  CreateDirectoryA(seed.c_str(), nullptr);
  RegSetValueExA(key, "SeedPath", 0, REG_SZ, reinterpret_cast<const BYTE*>(seed.c_str()),
                 static_cast<DWORD>(seed.size() + 1));
  RegCloseKey(key);
  ASSERT_TRUE(MoveFileA(Settings.OpsFilePath.c_str(), (seed + "\\ops.pak").c_str()));

  ASSERT_EQ(Run({"sync", "--automatic"}), SKITSYNC_OK) << Err;
  const std::string user = Dir.File("Local\\Drearigrams");
  EXPECT_TRUE(Contains(Out, "Catalogue " + user + "\\ops.pak\n")) << Out;
  EXPECT_TRUE(Contains(Out, "1 installed (2 files), 0 failed")) << Out;
  EXPECT_EQ(ReadFileBytes(user + "\\skits\\w.bmp"), "w.bmp");
  Settings.OpsFilePath = user + "\\ops.pak";
  EXPECT_EQ(StateOf(1), SKIT_INSTALLED);
}

// The program itself, as a script runs it: its streams and exit status.
TEST_F(SkitsyncSync, TheProgramRunsAWholeJob) {
  // The program reads the installation's own key: the user's choice there is
  // not to download automatically, so only --automatic fetches files.
  testing_support::ScopedRegistryKey installedUser(HKEY_CURRENT_USER, SettingsKeyFor("drearigrams"));
  installedUser.SetDword("SyncMethod", 2);
  const std::string output = Dir.File("output.txt");
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE file = CreateFileA(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  std::string command = "\"" + std::string(DG_SKITSYNC) + "\"";
  for (const std::string& arg : Arguments(true)) command += " \"" + arg + "\"";
  for (char& c : command) c = c == '/' ? '\\' : c;
  if (command.size() > 1 && command[1] == '\\') command.insert(1, "Z:");
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = startup.hStdError = file;
  PROCESS_INFORMATION process = {};
  ASSERT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                             &startup, &process))
      << command;
  DWORD status = 99;
  if (WaitForSingleObject(process.hProcess, download_testing::kPatience) == WAIT_OBJECT_0) {
    GetExitCodeProcess(process.hProcess, &status);
  } else {
    TerminateProcess(process.hProcess, 98);
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  CloseHandle(file);
  EXPECT_EQ(status, 0u);
  EXPECT_TRUE(Contains(ReadFileBytes(output), "1 installed (2 files), 0 failed")) << ReadFileBytes(output);
  EXPECT_EQ(StateOf(1), SKIT_INSTALLED);
}
