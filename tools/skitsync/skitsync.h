// skitsync: the console tool for the screensaver's transfers, for support
// and for scripts. `fetch` moves one file exactly as the screensaver does:
// through the download worker and its driver, with the download-log line.
#pragma once

#include <ostream>
#include <string>
#include <vector>

// Exit statuses.
constexpr int SKITSYNC_OK = 0;
constexpr int SKITSYNC_FAILED = 1;     // the transfer failed; its error text goes to err
constexpr int SKITSYNC_BAD_USAGE = 2;  // bad arguments; the usage goes with the complaint

// Runs one command. args is the command line without the program's name.
// Progress and results go to out, complaints to err; never throws, never
// shows a window. Ctrl+C while a transfer runs cancels it.
int RunSkitsync(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The LogPath setting of the screensaver's installation; empty when there is none.
std::string InstallationLogPath();
