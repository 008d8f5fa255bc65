// download_bench.exe FOLDER [MEGABYTES [BLOCK]]: the download driver's throughput
// and memory, driven line by line from standard input so that
// bench/download_bench.sh can time curl against the same servers in the
// same run. The body is served twice: by nginx, a real web server as the
// maker's would be, where it is installed, and by the tests' loopback
// server, which is a Windows program like the driver and so shares Wine
// with it.
//
//   prints   URL <address of the body on the loopback server>
//            NGINX <address of the same body on nginx> (or "NGINX -")
//   reads    "run URL"     -> one transfer through cThread_Comm, prints
//                             "driver SECONDS LONGEST-PROGRESS-PAUSE-MS"
//            "cancel URL"  -> a transfer cancelled after 300 ms, prints
//                             "cancel SECONDS"
//            "memory"      -> prints "memory KB", the peak working set so far
//            "quit"        -> prints the peak working set after the small
//                             transfer and now, ends the servers
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

#include "base/settings.h"
#include "download/comm.h"
#include "tests/support/http_server.h"
#include "tests/support/nginx_server.h"

namespace {

size_t PeakWorkingSet() {
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof counters;
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
  return counters.PeakWorkingSetSize;
}

struct TransferFigures {
  double Seconds = -1;      // from start to WM_DOWNLOAD_DONE; -1 when it failed
  double LongestGapMs = 0;  // the longest wait between two moves of the byte counter
};

// One transfer as the screensaver makes it, with the byte counter watched
// the way a progress dialog would, only far more often. With cancelAfterMs
// set, the transfer is cancelled that long after it started, and Seconds is
// the time from the cancel to WM_DOWNLOAD_DONE.
int32_t BlockSize = 0;  // the driver's own unless given

TransferFigures Transfer(HWND window, const std::string& url, const std::string& file, int cancelAfterMs = -1) {
  using Clock = std::chrono::steady_clock;
  TransferFigures figures;
  cThread_Comm worker;
  const auto started = Clock::now();
  auto moved = started;
  auto cancelled = started;
  bool cancelling = false;
  int32_t last = 0;
  if (BlockSize > 0) worker.DataModule()->HTTP.SetBlockSize(BlockSize);
  worker.StartDownload(url, file, "bench", "1 of 1", window, WM_DOWNLOAD_DONE, 0);
  for (;;) {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.hwnd == window && msg.message == WM_DOWNLOAD_DONE) {
        const auto now = Clock::now();
        if (cancelling) {
          figures.Seconds = std::chrono::duration<double>(now - cancelled).count();
        } else if (msg.lParam != 0) {
          std::cerr << "transfer failed: " << worker.DataModule()->GetErrorText() << std::endl;
        } else {
          figures.Seconds = std::chrono::duration<double>(now - started).count();
        }
        return figures;
      }
      DispatchMessageA(&msg);
    }
    const auto now = Clock::now();
    const int32_t received = worker.DataModule()->GetBytesReceived();
    if (received != last) {
      if (last != 0) {
        figures.LongestGapMs =
            std::max(figures.LongestGapMs, std::chrono::duration<double, std::milli>(now - moved).count());
      }
      last = received;
      moved = now;
    }
    if (cancelAfterMs >= 0 && !cancelling && now - started >= std::chrono::milliseconds(cancelAfterMs)) {
      cancelling = true;
      cancelled = Clock::now();
      worker.Stop();
    }
    MsgWaitForMultipleObjectsEx(0, nullptr, 2, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
}

// The loopback server's body written to a file for nginx to serve: the same
// bytes on both servers.
bool WriteGeneratedFile(const std::string& path, unsigned long long total) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const std::string block = testing_support::GeneratedBytes(251 * 256 * 16);  // whole periods of the pattern
  bool ok = true;
  for (unsigned long long written = 0; ok && written < total;) {
    const DWORD piece = static_cast<DWORD>(std::min<unsigned long long>(block.size(), total - written));
    DWORD done = 0;
    ok = WriteFile(file, block.data(), piece, &done, nullptr) && done == piece;
    written += piece;
  }
  CloseHandle(file);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: download_bench FOLDER [MEGABYTES [BLOCK]]" << std::endl;
    return 2;
  }
  std::string folder = argv[1];
  long long megabytes = argc > 2 ? std::atoll(argv[2]) : 200;
  BlockSize = argc > 3 ? std::atoi(argv[3]) : 0;
  std::string file = folder + "\\driver.bin";

  cSettings settings;
  settings.LogPath = folder + "\\download.log";
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
  if (Transfer(window, small, file).Seconds < 0) return 1;
  size_t afterSmall = PeakWorkingSet();
  DeleteFileA(file.c_str());

  // nginx serves the same body from a file of its own.
  std::unique_ptr<testing_support::NginxServer> nginx;
  const std::string www = folder + "\\www";
  if (!testing_support::NginxServer::ProgramPath().empty()) {
    CreateDirectoryA(www.c_str(), nullptr);
    if (!WriteGeneratedFile(www + "\\body.bin", static_cast<unsigned long long>(megabytes) * 1000000)) {
      std::cerr << "cannot write " << www << "\\body.bin" << std::endl;
      return 1;
    }
    try {
      nginx = std::make_unique<testing_support::NginxServer>(www);
    } catch (const std::exception& error) {
      std::cerr << "nginx did not start: " << error.what() << std::endl;
    }
  }
  std::cout << "URL " << large << std::endl;
  std::cout << "NGINX " << (nginx ? nginx->Url("/body.bin") : std::string("-")) << std::endl;
  std::string command;
  while (std::getline(std::cin, command)) {
    if (!command.empty() && command.back() == '\r') command.pop_back();
    const size_t space = command.find(' ');
    const std::string url = space == std::string::npos ? large : command.substr(space + 1);
    command = command.substr(0, space);
    if (command == "run") {
      const TransferFigures figures = Transfer(window, url, file);
      DeleteFileA(file.c_str());
      std::cout << "driver " << figures.Seconds << " " << figures.LongestGapMs << std::endl;
    } else if (command == "cancel") {
      const TransferFigures figures = Transfer(window, url, file, 300);
      DeleteFileA(file.c_str());
      DeleteFileA((file + ".resume").c_str());
      std::cout << "cancel " << figures.Seconds << std::endl;
    } else if (command == "memory") {
      std::cout << "memory " << PeakWorkingSet() / 1024 << std::endl;
    } else if (command == "quit") {
      break;
    }
  }
  std::cout << "memory " << afterSmall / 1024 << " " << PeakWorkingSet() / 1024 << std::endl;
  if (nginx) {
    nginx->Stop();
    DeleteFileA((www + "\\body.bin").c_str());
  }
  DestroyWindow(window);
  return 0;
}
