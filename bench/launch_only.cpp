// The reference for the saver's start-up: a program that does nothing but
// start the player, in its own folder, the way the saver does.
#include <windows.h>

#include <string>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  std::string player = argv[1];
  std::string folder = player.substr(0, player.find_last_of("\\/"));
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessA(player.c_str(), nullptr, nullptr, nullptr, TRUE, 0, nullptr, folder.c_str(), &startup, &info))
    return 1;
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return 0;
}
