#include "tests/saver/saver_testing.h"

#include <tlhelp32.h>

#include <fstream>

#include "forms/form.h"
#include "tests/support/testing.h"

namespace saver_testing {

std::string InstallPlayer(const std::string& folder, const std::string& name) {
  std::string target = folder + "\\" + name;
  CopyFileA(DG_FAKE_PLAYER, target.c_str(), FALSE);
  return target;
}

std::vector<std::string> PlayerRecord(const std::string& playerPath) {
  std::string record = playerPath.substr(0, playerPath.rfind('.')) + ".record";
  std::vector<std::string> lines;
  std::ifstream in(record, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

bool PumpUntil(const std::function<bool()>& done, DWORD limit) {
  const DWORD start = GetTickCount();
  while (!done()) {
    DWORD elapsed = GetTickCount() - start;
    if (elapsed >= limit) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, limit - elapsed < 50 ? limit - elapsed : 50, QS_ALLINPUT);
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) continue;
      if (!forms::TForm::PreTranslate(msg)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
      }
    }
  }
  return true;
}

namespace {

template <typename Visit>
void ForEachProcessOf(const std::string& playerPath, Visit visit) {
  std::string name = playerPath.substr(playerPath.find_last_of("\\/") + 1);
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return;
  PROCESSENTRY32 entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
    if (lstrcmpiA(entry.szExeFile, name.c_str()) == 0) visit(entry.th32ProcessID);
  }
  CloseHandle(snapshot);
}

}  // namespace

void KillPlayers(const std::string& playerPath) {
  ForEachProcessOf(playerPath, [](DWORD pid) {
    if (HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid)) {
      TerminateProcess(process, 9);
      WaitForSingleObject(process, 5000);
      CloseHandle(process);
    }
  });
}

bool PlayerRunning(const std::string& playerPath) {
  bool running = false;
  ForEachProcessOf(playerPath, [&running](DWORD) { running = true; });
  return running;
}

}  // namespace saver_testing
