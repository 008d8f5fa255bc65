// How long the screensaver takes from its start to the player's start, next
// to a program that does nothing but start the same player; the black gap
// between two skits (one movie's window gone to the next one's window on the
// screen), next to the time the player alone takes from its start to its
// window; and how much CPU the screensaver uses while a skit plays. Run by
// hand under a warm Wine server (the numbers are Wine's, on this machine):
//   bench/saver_bench.exe [runs] [seconds-of-play] [all|start|gap|standby|cpu]
// "standby" measures the gap with the reference player, which waits hidden
// for its turn: from the last frame of one skit to the first frame of the
// next, as the player stamps them, beside the player's own start to its
// first frame.
// It sets up a scratch installation under the current folder, points the
// installation key of "drearigrams" at it, and removes the key at the end.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
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
  // A scene of two seconds for the reference player; the probe player does
  // not read it.
  if (FILE* movie = std::fopen(JoinPath(skits, "bench.skit").c_str(), "wb")) {
    std::fputs("skit 1\nlength 2\nbackground #203040 #405060\nrect 50 50 20 20 #F0C040\n", movie);
    std::fclose(movie);
  }
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

// One line of the probe player's ".events" file.
struct PlayerEvent {
  std::string What;
  unsigned long Pid;
  uint64_t At;
};

std::vector<PlayerEvent> ReadEvents(const std::string& path) {
  std::vector<PlayerEvent> events;
  if (FILE* file = std::fopen(path.c_str(), "rb")) {
    char what[16];
    unsigned long pid;
    unsigned long long at;
    while (std::fscanf(file, "%15s %lu %llu", what, &pid, &at) == 3) events.push_back({what, pid, at});
    std::fclose(file);
  }
  return events;
}

size_t CountEvents(const std::vector<PlayerEvent>& events, const char* what) {
  return static_cast<size_t>(
      std::count_if(events.begin(), events.end(), [&](const PlayerEvent& e) { return e.What == what; }));
}

// The player alone: from CreateProcess to its window on the screen, and in
// toStart from CreateProcess to the player's first instruction.
std::vector<double> PlayerOwnStart(const std::string& player, const std::string& events, int runs,
                                   std::vector<double>& toStart) {
  std::vector<double> times;
  const std::string folder = player.substr(0, player.find_last_of("\\/"));
  for (int run = 0; run < runs; ++run) {
    DeleteFileA(events.c_str());
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    const uint64_t before = PreciseNow();
    if (!CreateProcessA(player.c_str(), nullptr, nullptr, nullptr, TRUE, 0, nullptr, folder.c_str(), &startup, &info))
      continue;
    for (int waited = 0; waited < 30000; waited += 2) {
      std::vector<PlayerEvent> seen = ReadEvents(events);
      auto window = std::find_if(seen.begin(), seen.end(), [](const PlayerEvent& e) { return e.What == "WINDOW"; });
      auto start = std::find_if(seen.begin(), seen.end(), [](const PlayerEvent& e) { return e.What == "START"; });
      if (window != seen.end() && start != seen.end()) {
        times.push_back(static_cast<double>(window->At - before) / 10000.0);
        toStart.push_back(static_cast<double>(start->At - before) / 10000.0);
        break;
      }
      Sleep(2);
    }
    CloseProbes();
    WaitForSingleObject(info.hProcess, 10000);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
  }
  return times;
}

// Runs the saver on a player that ends after lifeMs, until runs + 1 movies
// have shown their windows; returns each gap from one movie's window gone to
// the next one's window shown, and, in exitToStart, from the window gone to
// the next player's start.
std::vector<double> SaverGaps(const std::string& saver, const std::string& events, int runs, unsigned lifeMs,
                              std::vector<double>& exitToStart) {
  DeleteFileA(events.c_str());
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  std::string line = "\"" + saver + "\" /s";
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) return {};
  const DWORD limit = static_cast<DWORD>(runs + 1) * (lifeMs + 10000);
  const DWORD begin = GetTickCount();
  while (CountEvents(ReadEvents(events), "WINDOW") < static_cast<size_t>(runs + 1) && GetTickCount() - begin < limit)
    Sleep(50);
  EndProcess(info);
  CloseProbes();
  // Each player in the order they started: when its window went, when the
  // next one started and showed its window.
  std::vector<unsigned long> order;
  std::map<unsigned long, std::map<std::string, uint64_t>> times;
  for (const PlayerEvent& e : ReadEvents(events)) {
    if (e.What == "START") order.push_back(e.Pid);
    times[e.Pid][e.What] = e.At;
  }
  std::vector<double> gaps;
  for (size_t i = 0; i + 1 < order.size(); ++i) {
    auto& now = times[order[i]];
    auto& next = times[order[i + 1]];
    if (!now.count("GONE") || !next.count("WINDOW") || !next.count("START")) continue;
    gaps.push_back(static_cast<double>(next["WINDOW"] - now["GONE"]) / 10000.0);
    exitToStart.push_back(static_cast<double>(next["START"] - now["GONE"]) / 10000.0);
  }
  return gaps;
}

// The reference player's frame stamps ("FIRST pid time", "LAST pid time").
std::map<unsigned long, std::map<std::string, uint64_t>> ReadStamps(const std::string& path, std::vector<unsigned long>& order) {
  std::map<unsigned long, std::map<std::string, uint64_t>> stamps;
  order.clear();
  for (const PlayerEvent& e : ReadEvents(path)) {
    if (e.What == "FIRST") order.push_back(e.Pid);
    stamps[e.Pid][e.What] = e.At;
  }
  return stamps;
}

// The reference player alone, as the saver starts it (in its folder, the
// argument file beside it): from CreateProcess to its first frame.
std::vector<double> ReferenceOwnStart(const std::string& player, const std::string& skit, const std::string& stamps,
                                      int runs) {
  std::vector<double> times;
  const std::string folder = player.substr(0, player.find_last_of("\\/"));
  const std::string arguments = player.substr(0, player.rfind('.')) + ".arg";
  for (int run = 0; run < runs; ++run) {
    if (FILE* file = std::fopen(arguments.c_str(), "wb")) {
      std::fprintf(file, "SS_Swf=%s", skit.c_str());
      std::fclose(file);
    }
    DeleteFileA(stamps.c_str());
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    std::string line = "\"" + player + "\"";
    const uint64_t before = PreciseNow();
    if (!CreateProcessA(player.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &startup,
                        &info))
      continue;
    std::vector<unsigned long> order;
    for (int waited = 0; waited < 30000 && order.empty(); waited += 2) {
      auto seen = ReadStamps(stamps, order);
      if (!order.empty()) times.push_back(static_cast<double>(seen[order[0]]["FIRST"] - before) / 10000.0);
      else Sleep(2);
    }
    WaitForSingleObject(info.hProcess, 10000);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
  }
  return times;
}

// The saver with the reference player until runs + 1 skits have shown a
// frame: each gap from one skit's last frame to the next one's first.
std::vector<double> ReferenceGaps(const std::string& saver, const std::string& stamps, int runs) {
  DeleteFileA(stamps.c_str());
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  std::string line = "\"" + saver + "\" /s";
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) return {};
  std::vector<unsigned long> order;
  const DWORD begin = GetTickCount();
  while (GetTickCount() - begin < static_cast<DWORD>(runs + 1) * 12000) {
    ReadStamps(stamps, order);
    if (order.size() >= static_cast<size_t>(runs + 1)) break;
    Sleep(50);
  }
  EndProcess(info);
  auto seen = ReadStamps(stamps, order);
  std::vector<double> gaps;
  for (size_t i = 0; i + 1 < order.size(); ++i) {
    auto& now = seen[order[i]];
    auto& next = seen[order[i + 1]];
    if (now.count("LAST") && next.count("FIRST"))
      gaps.push_back((static_cast<double>(next["FIRST"]) - static_cast<double>(now["LAST"])) / 10000.0);
  }
  return gaps;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 7;
  const int playSeconds = argc > 2 ? std::max(1, atoi(argv[2])) : 20;
  const std::string what = argc > 3 ? argv[3] : "all";
  const bool startPart = what == "all" || what == "start";
  const bool gapPart = what == "all" || what == "gap";
  const bool cpuPart = what == "all" || what == "cpu";
  const bool standbyPart = what == "all" || what == "standby";
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
  for (int run = 0; startPart && run < runs; ++run) {
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
  if (startPart) {
    const double saverMedian = Median(saverTimes), referenceMedian = Median(referenceTimes);
    std::printf("\nstart to player process  (median of %d)\n", runs);
    std::printf("  drearigrams.scr /s   %8.1f ms\n", saverMedian);
    std::printf("  start-only program   %8.1f ms\n", referenceMedian);
    std::printf("  ratio                %8.2f   (aim: at most 1.5)\n", saverMedian / referenceMedian);
    std::printf("  windowed start-only  %8.1f ms   (ratio %.2f)\n", Median(guiTimes), saverMedian / Median(guiTimes));
  }

  if (gapPart) {
    // The black gap between skits: the player ends by itself after 2 s.
    const unsigned lifeMs = 2000;
    const std::string life = player.substr(0, player.rfind('.')) + ".life";
    const std::string events = player.substr(0, player.rfind('.')) + ".events";
    if (FILE* file = std::fopen(life.c_str(), "wb")) {
      std::fprintf(file, "%u\n", lifeMs);
      std::fclose(file);
    }
    std::vector<double> ownToStart;
    const std::vector<double> own = PlayerOwnStart(player, events, runs, ownToStart);
    std::vector<double> exitToStart;
    const std::vector<double> gaps = SaverGaps(saver, events, runs, lifeMs, exitToStart);
    DeleteFileA(life.c_str());
    DeleteFileA(events.c_str());
    for (size_t i = 0; i < gaps.size(); ++i)
      std::printf("gap %zu: %.1f ms (window gone to next player's start %.1f ms)\n", i + 1, gaps[i], exitToStart[i]);
    const double gap = Median(gaps), start = Median(own);
    std::printf("\nblack gap between skits  (median of %zu; the player lives %u ms)\n", gaps.size(), lifeMs);
    std::printf("  window gone to next window       %8.1f ms   (aim: under 300)\n", gap);
    std::printf("    of which gone to next start    %8.1f ms\n", Median(exitToStart));
    std::printf("  player alone, start to window    %8.1f ms   (median of %zu)\n", start, own.size());
    std::printf("    of which to its first step     %8.1f ms\n", Median(ownToStart));
    std::printf("  ratio                            %8.2f   (aim: at most 1.2)\n", gap / start);
  }

  if (standbyPart) {
    const std::string reference = JoinPath(scratch, "skitplay.exe");
    CopyFileA(JoinPath(bin, "skitplay.exe").c_str(), reference.c_str(), FALSE);
    const std::string stamps = JoinPath(scratch, "frames.txt");
    SetEnvironmentVariableA("DG_FRAME_STAMPS", stamps.c_str());
    const std::vector<double> own = ReferenceOwnStart(reference, JoinPath(skits, "bench.skit"), stamps, runs);
    HKEY machine;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, kInstallKey, 0, KEY_SET_VALUE, &machine);
    SetString(machine, "Player", reference);
    const std::vector<double> gaps = ReferenceGaps(saver, stamps, runs);
    SetString(machine, "Player", player);
    RegCloseKey(machine);
    SetEnvironmentVariableA("DG_FRAME_STAMPS", nullptr);
    for (size_t i = 0; i < gaps.size(); ++i) std::printf("reference gap %zu: %.1f ms\n", i + 1, gaps[i]);
    std::printf("\nblack gap with the reference player, waiting in standby  (median of %zu)\n", gaps.size());
    std::printf("  last frame to next first frame   %8.1f ms   (aim: at most 66, two frames)\n", Median(gaps));
    std::printf("  player alone, start to 1st frame %8.1f ms   (median of %zu)\n", Median(own), own.size());
  }

  // CPU while a skit plays.
  PROCESS_INFORMATION screensaver = {};
  if (cpuPart && TimeToPlayer("\"" + saver + "\" /s", stamp, screensaver) >= 0) {
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
