// A stand-in movie player for the saver tests. What it does depends on the
// name it was copied to:
//   player*.exe    a window of its main thread; closes on WM_CLOSE
//   nowindow*.exe  never makes a window, ends after a while
//   crash*.exe     makes its window, then dies at once
//   stubborn*.exe  makes its window and ignores WM_CLOSE
//   linger*.exe    as player*.exe, but its process stays half a minute
//                  after its window has gone
//   hung*.exe      makes its window, answers for a moment, then its main
//                  thread stops taking messages for good ("HUNG" recorded)
// Each start appends "ARGS <argument file text>" to the file named like the
// program with ".record", and each key it receives "KEY <code>". The command
// line it was given (GetCommandLineA) goes into the file named like the
// program with ".cmdline", replacing what an earlier start wrote there.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::string ModulePath() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  return path;
}

std::string WithExtension(const std::string& path, const char* extension) {
  size_t dot = path.rfind('.');
  return (dot == std::string::npos ? path : path.substr(0, dot)) + extension;
}

std::string ReadAll(const std::string& path) {
  std::string text;
  if (FILE* file = std::fopen(path.c_str(), "rb")) {
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
    std::fclose(file);
  }
  return text;
}

void Record(const std::string& line) {
  if (FILE* file = std::fopen(WithExtension(ModulePath(), ".record").c_str(), "ab")) {
    std::fprintf(file, "%s\n", line.c_str());
    std::fclose(file);
  }
}

bool Stubborn = false;

LRESULT CALLBACK PlayerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_KEYDOWN:
      try {
        Record("KEY " + std::to_string(static_cast<unsigned>(wParam)));
      } catch (...) {
        // The record misses the key, which the test that pressed it sees.
      }
      return 0;
    case WM_CLOSE:
      if (Stubborn) return 0;
      DestroyWindow(window);
      return 0;
    case WM_DESTROY: PostQuitMessage(0); return 0;
    default: return DefWindowProcA(window, message, wParam, lParam);
  }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  const std::string path = ModulePath();
  std::string name = path.substr(path.find_last_of("\\/") + 1);
  for (char& c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  Record("ARGS " + ReadAll(WithExtension(path, ".arg")));
  if (FILE* file = std::fopen(WithExtension(path, ".cmdline").c_str(), "wb")) {
    std::fputs(GetCommandLineA(), file);
    std::fclose(file);
  }

  if (name.rfind("nowindow", 0) == 0) {
    // Idle in a message loop, as a real program would, but with no window;
    // gone again after a few seconds.
    SetTimer(nullptr, 0, 5000, nullptr);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
      if (msg.message == WM_TIMER) break;
    }
    return 0;
  }
  Stubborn = name.rfind("stubborn", 0) == 0;

  WNDCLASSA wc = {};
  wc.lpfnWndProc = PlayerProc;
  wc.hInstance = instance;
  wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(DKGRAY_BRUSH));
  wc.lpszClassName = "FakeSkitPlayer";
  RegisterClassA(&wc);
  HWND window = CreateWindowExA(0, "FakeSkitPlayer", "fake player", WS_POPUP | WS_VISIBLE, 100, 100, 200, 150,
                                nullptr, nullptr, instance, nullptr);
  if (name.rfind("crash", 0) == 0) {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    TerminateProcess(GetCurrentProcess(), 3);
  }
  if (name.rfind("hung", 0) == 0) {
    // Long enough to be found and placed in front, then deaf.
    const DWORD until = GetTickCount() + 1000;
    MSG msg;
    while (static_cast<LONG>(until - GetTickCount()) > 0) {
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
      while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    }
    Record("HUNG");
    Sleep(INFINITE);
  }
  (void)window;
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  if (name.rfind("linger", 0) == 0) Sleep(30000);
  return 0;
}
