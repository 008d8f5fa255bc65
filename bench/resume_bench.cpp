// resume_bench.exe FOLDER [MEGABYTES] [PERCENT]: what resuming saves. A file
// of MEGABYTES (50) is served by the loopback server with validators and
// ranges; the driver's transfer is cut at PERCENT (80) of it, then the next
// transfer either resumes it or, as the reference, fetches it again from
// byte 0. Prints the body bytes the server sent for each, and the times.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>

#include "base/settings.h"
#include "download/comm.h"
#include "tests/support/http_server.h"

namespace {

struct Outcome {
  bool Failed = true;
  unsigned long long Bytes = 0;  // body bytes the server sent for it
  double Seconds = 0;
};

Outcome Transfer(HWND window, testing_support::LoopbackServer& server, const std::string& url,
                 const std::string& file) {
  cThread_Comm worker;
  const unsigned long long before = server.BodyBytesSent.load();
  const auto started = std::chrono::steady_clock::now();
  worker.StartDownload(url, file, "bench", "1 of 1", window, WM_DOWNLOAD_DONE, 0);
  Outcome outcome;
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    if (msg.hwnd == window && msg.message == WM_DOWNLOAD_DONE) {
      outcome.Failed = msg.lParam != 0;
      break;
    }
    DispatchMessageA(&msg);
  }
  worker.WaitUntilIdle(INFINITE);
  outcome.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  outcome.Bytes = server.BodyBytesSent.load() - before;
  return outcome;
}

bool WriteServedFile(const std::string& path, unsigned long long size) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const std::string block = testing_support::GeneratedBytes(1 << 20);
  bool ok = true;
  for (unsigned long long at = 0; ok && at < size; at += block.size()) {
    const DWORD piece = static_cast<DWORD>(size - at < block.size() ? size - at : block.size());
    DWORD written = 0;
    ok = WriteFile(file, block.data(), piece, &written, nullptr) && written == piece;
  }
  CloseHandle(file);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: resume_bench FOLDER [MEGABYTES] [PERCENT]" << std::endl;
    return 2;
  }
  const std::string folder = argv[1];
  const unsigned long long megabytes = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 50;
  const unsigned long long percent = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 80;
  const unsigned long long size = megabytes * 1000000ull;
  const unsigned long long cut = size * percent / 100;
  const std::string served = folder + "\\served";
  const std::string target = folder + "\\movie.bin";
  CreateDirectoryA(served.c_str(), nullptr);
  if (!WriteServedFile(served + "\\movie.bin", size)) {
    std::cerr << "cannot write the served file in " << served << std::endl;
    return 1;
  }

  cSettings settings;
  settings.LogPath = folder + "\\download.log";
  WNDCLASSA wc = {};
  wc.lpfnWndProc = DefWindowProcA;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "ResumeBench";
  RegisterClassA(&wc);
  HWND window = CreateWindowExA(0, wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);

  testing_support::LoopbackServer server(served);
  const std::string url = server.Url("/ranged/movie.bin");

  // Cut, then resumed.
  server.CutAt = static_cast<long long>(cut);
  const Outcome first = Transfer(window, server, url, target);
  const Outcome resumed = Transfer(window, server, url, target);
  DeleteFileA(target.c_str());
  DeleteFileA((target + ".resume").c_str());

  // Cut, then fetched again from byte 0: the partial file and its record go
  // before the second transfer, as without resuming.
  server.CutAt = static_cast<long long>(cut);
  const Outcome firstAgain = Transfer(window, server, url, target);
  DeleteFileA(target.c_str());
  DeleteFileA((target + ".resume").c_str());
  const Outcome again = Transfer(window, server, url, target);
  DeleteFileA(target.c_str());
  DeleteFileA((served + "\\movie.bin").c_str());
  RemoveDirectoryA(served.c_str());
  DestroyWindow(window);

  if (!first.Failed || !firstAgain.Failed || resumed.Failed || again.Failed) {
    std::cerr << "unexpected outcome: the cut transfers must fail and the second ones succeed" << std::endl;
    return 1;
  }
  std::printf("%llu MB file, cut at %llu%% (%llu bytes)\n", megabytes, percent, cut);
  std::printf("  cut transfer        %12llu bytes  %7.3f s\n", first.Bytes, first.Seconds);
  std::printf("  resumed             %12llu bytes  %7.3f s\n", resumed.Bytes, resumed.Seconds);
  std::printf("  fetched again       %12llu bytes  %7.3f s   (reference: no resuming)\n", again.Bytes, again.Seconds);
  std::printf("  after the cut, resuming fetches %.1f%% of what fetching again does\n",
              100.0 * static_cast<double>(resumed.Bytes) / static_cast<double>(again.Bytes));
  std::printf("  whole job: %llu bytes with resuming, %llu without (%.2f)\n", first.Bytes + resumed.Bytes,
              firstAgain.Bytes + again.Bytes,
              static_cast<double>(first.Bytes + resumed.Bytes) / static_cast<double>(firstAgain.Bytes + again.Bytes));
  return 0;
}
