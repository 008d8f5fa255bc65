// skitsync: the console tool for the screensaver's transfers, for support
// and for scripts. `fetch` moves one file exactly as the screensaver does:
// through the download worker and its driver, with the download-log line.
// `sync` runs one whole synchronisation job on the installed catalogue
// through the same catalogue code and messages the screensaver uses.
#pragma once

#include <windows.h>

#include <ostream>
#include <string>
#include <vector>

// Exit statuses.
constexpr int SKITSYNC_OK = 0;
constexpr int SKITSYNC_FAILED = 1;     // a transfer failed (or the catalogue could not be opened); why goes to err
constexpr int SKITSYNC_BAD_USAGE = 2;  // bad arguments; the usage goes with the complaint

// Runs one command. args is the command line without the program's name.
// Progress and results go to out, complaints to err; never throws, never
// shows a window. Ctrl+C while a transfer runs cancels it.
int RunSkitsync(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The LogPath setting of the screensaver's installation; empty when there is none.
std::string InstallationLogPath();

// The program whose settings key (HKLM and HKCU "Software\Brindlecove\" +
// name) skitsync reads: the screensaver's, unless a test points it elsewhere.
extern std::string SkitsyncProgramName;

// The console control handler: Ctrl+C or Ctrl+Break cancels the running
// fetch or synchronisation job. Tests call it as the system would.
BOOL WINAPI SkitsyncConsoleControl(DWORD event);
