// download_bench.exe FOLDER [MEGABYTES]: the download driver's throughput
// and memory against the loopback server, driven line by line from
// standard input so that bench/download_bench.sh can time curl against the
// same server in the same run.
//
//   prints   URL <address of the generated body>
//   reads    "run"   -> one transfer through cThread_Comm, prints "driver SECONDS"
//            "quit"  -> prints the peak working set, ends the server
#include <windows.h>
#include <psapi.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>

#include "base/settings.h"
#include "download/comm.h"
#include "forms/application.h"
#include "tests/support/http_server.h"

namespace {

size_t PeakWorkingSet() {
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof counters;
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
  return counters.PeakWorkingSetSize;
}

// One transfer as the screensaver makes it; seconds from start to WM_DOWNLOAD_DONE, or -1.
double Transfer(HWND window, const std::string& url, const std::string& file) {
  cThread_Comm worker;
  auto started = std::chrono::steady_clock::now();
  worker.StartDownload(url, file, "bench", "1 of 1", window, WM_DOWNLOAD_DONE, 0);
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    if (msg.hwnd == window && msg.message == WM_DOWNLOAD_DONE) {
      double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
      if (msg.lParam != 0) {
        std::cerr << "transfer failed: " << worker.DataModule()->GetErrorText() << std::endl;
        return -1;
      }
      return seconds;
    }
    DispatchMessageA(&msg);
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: download_bench FOLDER [MEGABYTES]" << std::endl;
    return 2;
  }
  std::string folder = argv[1];
  long long megabytes = argc > 2 ? std::atoll(argv[2]) : 200;
  std::string file = folder + "\\driver.bin";

  cSettings settings;
  settings.LogPath = folder + "\\download.log";
  forms::Application.SetTitle("Drearigrams Screensaver");
  WNDCLASSA wc = {};
  wc.lpfnWndProc = DefWindowProcA;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "DownloadBench";
  RegisterClassA(&wc);
  HWND window = CreateWindowExA(0, wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);

  testing_support::LoopbackServer server;
  std::string large = server.Url("/gen/" + std::to_string(megabytes * 1000000));
  std::string small = server.Url("/gen/10000000");

  // The memory a small transfer needs, for comparison with the large ones.
  if (Transfer(window, small, file) < 0) return 1;
  size_t afterSmall = PeakWorkingSet();
  DeleteFileA(file.c_str());

  std::cout << "URL " << large << std::endl;
  std::string command;
  while (std::getline(std::cin, command)) {
    if (!command.empty() && command.back() == '\r') command.pop_back();
    if (command == "run") {
      double seconds = Transfer(window, large, file);
      DeleteFileA(file.c_str());
      std::cout << "driver " << seconds << std::endl;
    } else if (command == "quit") {
      break;
    }
  }
  std::cout << "memory " << afterSmall / 1024 << " " << PeakWorkingSet() / 1024 << std::endl;
  DestroyWindow(window);
  return 0;
}
