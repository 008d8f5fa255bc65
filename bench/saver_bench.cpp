// How long the screensaver takes from its start to the player's start, next
// to a program that does nothing but start the same player, and how much CPU
// the screensaver uses while a skit plays. Run by hand under a warm Wine
// server (the numbers are Wine's, on this machine):
//   bench/saver_bench.exe [runs] [seconds-of-play]
// It sets up a scratch installation under the current folder, points the
// installation key of "drearigrams" at it, and removes the key at the end.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "base/files.h"
#include "base/log.h"
#include "store/catalog_block.h"
#include "store/catalogue.h"
#include "store/pak.h"

namespace {

const char kInstallKey[] = "Software\\Brindlecove\\drearigrams";

std::string Folder() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string text = path;
  return text.substr(0, text.find_last_of("\\/"));
}

uint64_t PreciseNow() {
  FILETIME now;
  GetSystemTimePreciseAsFileTime(&now);
  return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

void SetString(HKEY key, const char* name, const std::string& value) {
  RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                 static_cast<DWORD>(value.size() + 1));
}

// A catalogue with one installed skit whose movie file exists.
void WriteCatalogue(const std::string& path, const std::string& skits) {
  CatalogBlock block;
  SkitRecord& record = block.Records[0];
  record.Category = CAT_SKIT;
  record.SkitId = 1;
  record.State = SKIT_INSTALLED;
  record.Selection = SEL_ON;
  record.Title.Id = 1;
  record.FileCount = 1;
  record.FilesDone = 1;
  record.Files[0].Name.Id = 2;
  record.PlaysLeft = -1;
  record.ShowUntil = UINT64_MAX;
  block.Header.Count = 1;
  block.Header.SyncIntervalDays = 365;
  block.Header.LastSync = cDateTime::Now().Value();
  std::vector<uint8_t> bytes(CATALOG_BLOCK_SIZE);
  EncodeCatalogBlock(block, bytes.data());
  DeleteFileA(path.c_str());
  cPakFile pak(path, false, nullptr, GENERIC_READ | GENERIC_WRITE);
  pak.WriteEntry(PAK_TYPE_STRING, 1, 0, true, 0, "Benchmark skit");
  pak.WriteEntry(PAK_TYPE_STRING, 2, 0, true, 0, "bench.skit");
  pak.WriteEntry(CATALOG_BLOCK_TYPE, CATALOG_BLOCK_ID, 0, true, static_cast<uint32_t>(bytes.size()), bytes.data());
  HANDLE movie = CreateFileA(JoinPath(skits, "bench.skit").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  CloseHandle(movie);
}

uint64_t ReadStamp(const std::string& path) {
  unsigned long long value = 0;
  if (FILE* file = std::fopen(path.c_str(), "rb")) {
    if (std::fscanf(file, "%llu", &value) != 1) value = 0;
    std::fclose(file);
  }
  return value;
}

// Starts command, waits until the probe player has written its start stamp,
// returns the delay in milliseconds (or -1), leaving the processes running.
double TimeToPlayer(const std::string& command, const std::string& stamp, PROCESS_INFORMATION& started) {
  DeleteFileA(stamp.c_str());
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  std::string line = command;
  uint64_t before = PreciseNow();
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started))
    return -1;
  for (int waited = 0; waited < 30000; waited += 5) {
    uint64_t at = ReadStamp(stamp);
    if (at != 0) return static_cast<double>(at - before) / 10000.0;
    Sleep(5);
  }
  return -1;
}

void CloseProbes() {
  while (HWND probe = FindWindowA("ProbePlayer", nullptr)) {
    DWORD pid = 0;
    GetWindowThreadProcessId(probe, &pid);
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid);
    PostMessageA(probe, WM_CLOSE, 0, 0);
    if (process == nullptr) break;
    if (WaitForSingleObject(process, 5000) != WAIT_OBJECT_0) TerminateProcess(process, 1);
    CloseHandle(process);
  }
}

void EndProcess(PROCESS_INFORMATION& info) {
  if (info.hProcess == nullptr) return;
  if (WaitForSingleObject(info.hProcess, 0) == WAIT_TIMEOUT) {
    // The saver closes on a key (and stops its player); the reference has
    // long ended by itself.
    struct Search {
      DWORD pid;
      HWND form;
    } search{info.dwProcessId, nullptr};
    EnumWindows(
        [](HWND window, LPARAM param) CALLBACK -> BOOL {
          auto* s = reinterpret_cast<Search*>(param);
          DWORD pid = 0;
          GetWindowThreadProcessId(window, &pid);
          char cls[64];
          GetClassNameA(window, cls, sizeof cls);
          if (pid != s->pid || lstrcmpA(cls, "TFormWindow") != 0) return TRUE;
          s->form = window;
          return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    if (search.form != nullptr) PostMessageA(search.form, WM_KEYDOWN, 'Q', 0);
    if (WaitForSingleObject(info.hProcess, 10000) != WAIT_OBJECT_0) TerminateProcess(info.hProcess, 1);
  }
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  info = {};
}

double Median(std::vector<double> values) {
  if (values.empty()) return -1;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 7;
  const int playSeconds = argc > 2 ? std::max(1, atoi(argv[2])) : 20;
  const std::string bin = Folder();
  char cwd[MAX_PATH];
  GetCurrentDirectoryA(MAX_PATH, cwd);
  const std::string scratch = JoinPath(cwd, "saver-bench");
  const std::string skits = JoinPath(scratch, "skits");
  CreateDirectoryA(scratch.c_str(), nullptr);
  CreateDirectoryA(skits.c_str(), nullptr);
  const std::string player = JoinPath(scratch, "probe_player.exe");
  CopyFileA(JoinPath(bin, "probe_player.exe").c_str(), player.c_str(), FALSE);
  const std::string saver = JoinPath(scratch, "drearigrams.scr");
  CopyFileA(JoinPath(bin, "drearigrams.scr").c_str(), saver.c_str(), FALSE);
  const std::string stamp = JoinPath(scratch, "probe_player.started");
  WriteCatalogue(JoinPath(scratch, "catalogue.pak"), skits);

  HKEY key;
  RegCreateKeyExA(HKEY_LOCAL_MACHINE, kInstallKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  SetString(key, "Player", player);
  SetString(key, "SkitsPath", skits);
  SetString(key, "OpsFilePath", JoinPath(scratch, "catalogue.pak"));
  SetString(key, "DownloadPath", scratch);
  SetString(key, "LogPath", JoinPath(scratch, "download.log"));
  RegCloseKey(key);
  HKEY user;
  RegCreateKeyExA(HKEY_CURRENT_USER, kInstallKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &user, nullptr);
  DWORD two = 2;  // no automatic download during the measurement
  RegSetValueExA(user, "SyncMethod", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&two), sizeof two);
  RegCloseKey(user);

  std::vector<double> saverTimes, referenceTimes, guiTimes;
  for (int run = 0; run < runs; ++run) {
    PROCESS_INFORMATION reference = {}, screensaver = {};
    double r = TimeToPlayer("\"" + JoinPath(bin, "launch_only.exe") + "\" \"" + player + "\"", stamp, reference);
    CloseProbes();
    EndProcess(reference);
    PROCESS_INFORMATION gui = {};
    double g = TimeToPlayer("\"" + JoinPath(bin, "launch_gui.exe") + "\" \"" + player + "\"", stamp, gui);
    CloseProbes();
    EndProcess(gui);
    if (g >= 0) guiTimes.push_back(g);
    double s = TimeToPlayer("\"" + saver + "\" /s", stamp, screensaver);
    EndProcess(screensaver);
    CloseProbes();
    if (r >= 0) referenceTimes.push_back(r);
    if (s >= 0) saverTimes.push_back(s);
    std::printf("run %d: saver %.1f ms, start-only %.1f ms, windowed start-only %.1f ms\n", run + 1, s, r, g);
  }
  const double saverMedian = Median(saverTimes), referenceMedian = Median(referenceTimes);
  std::printf("\nstart to player process  (median of %d)\n", runs);
  std::printf("  drearigrams.scr /s   %8.1f ms\n", saverMedian);
  std::printf("  start-only program   %8.1f ms\n", referenceMedian);
  std::printf("  ratio                %8.2f   (aim: at most 1.5)\n", saverMedian / referenceMedian);
  std::printf("  windowed start-only  %8.1f ms   (ratio %.2f)\n", Median(guiTimes), saverMedian / Median(guiTimes));

  // CPU while a skit plays: the saver polls the player once a second.
  PROCESS_INFORMATION screensaver = {};
  if (TimeToPlayer("\"" + saver + "\" /s", stamp, screensaver) >= 0) {
    // Wine does not report another process's CPU times; the wrapper script
    // reads them from the host between these two lines.
    Sleep(1000);
    std::printf("PLAYING-START\n");
    Sleep(static_cast<DWORD>(playSeconds) * 1000);
    std::printf("PLAYING-END %d\n", playSeconds);
    PROCESS_MEMORY_COUNTERS memory = {};
    GetProcessMemoryInfo(screensaver.hProcess, &memory, sizeof memory);
    std::printf("  saver peak working set %8.1f MB\n", memory.PeakWorkingSetSize / 1048576.0);
  }
  EndProcess(screensaver);
  CloseProbes();
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, kInstallKey);
  RegDeleteTreeA(HKEY_CURRENT_USER, kInstallKey);
  return 0;
}
