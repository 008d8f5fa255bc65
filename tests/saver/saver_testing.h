// Helpers for the saver tests: the fake movie player copied into a scratch
// folder under the name that chooses its behaviour, its record of starts and
// keys, and a message pump that waits for a condition with a bound.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace saver_testing {

// Copies the fake player to folder\name; returns the full path.
std::string InstallPlayer(const std::string& folder, const std::string& name);
// The lines the player at path has recorded so far.
std::vector<std::string> PlayerRecord(const std::string& playerPath);
// Dispatches this thread's messages until done() holds or limit ms passed.
bool PumpUntil(const std::function<bool()>& done, DWORD limit = 15000);
// Ends every process started from the program at path that is still running.
void KillPlayers(const std::string& playerPath);
// Whether a process of this program is running.
bool PlayerRunning(const std::string& playerPath);

}  // namespace saver_testing
