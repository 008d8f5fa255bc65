// The player the saver benchmark starts: it writes the moment it began
// (precise system time, 100 ns units) beside itself, then shows a window
// until WM_CLOSE, like a real player that is playing.
// When a file named like it with ".life" lies beside it, holding a number of
// milliseconds, it closes its window by itself after that long, like a movie
// that has ended, and it appends to the file named like it with ".events"
// one line per moment: "START pid time" as it begins, "WINDOW pid time" once
// its window is on the screen, "GONE pid time" once the window is gone.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::string Base() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string text = path;
  return text.substr(0, text.rfind('.'));
}

unsigned long long Now() {
  FILETIME now;
  GetSystemTimePreciseAsFileTime(&now);
  return (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

bool Logging = false;

void Event(const char* what, unsigned long long at) {
  if (!Logging) return;
  if (FILE* file = std::fopen((Base() + ".events").c_str(), "ab")) {
    std::fprintf(file, "%s %lu %llu\n", what, GetCurrentProcessId(), at);
    std::fclose(file);
  }
}

LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_TIMER: DestroyWindow(window); return 0;
    case WM_DESTROY: PostQuitMessage(0); return 0;
    default: return DefWindowProcA(window, message, wParam, lParam);
  }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  const unsigned long long started = Now();
  const std::string base = Base();
  unsigned life = 0;
  if (FILE* file = std::fopen((base + ".life").c_str(), "rb")) {
    Logging = std::fscanf(file, "%u", &life) == 1;
    std::fclose(file);
  }
  Event("START", started);
  if (FILE* file = std::fopen((base + ".started").c_str(), "wb")) {
    std::fprintf(file, "%llu\n", started);
    std::fclose(file);
  }
  WNDCLASSA wc = {};
  wc.lpfnWndProc = Proc;
  wc.hInstance = instance;
  wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
  wc.lpszClassName = "ProbePlayer";
  RegisterClassA(&wc);
  HWND window = CreateWindowExA(0, "ProbePlayer", "probe", WS_POPUP | WS_VISIBLE, 0, 0, 320, 200, nullptr, nullptr,
                                instance, nullptr);
  UpdateWindow(window);
  Event("WINDOW", Now());
  if (Logging) SetTimer(window, 1, life, nullptr);
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
  Event("GONE", Now());
  return 0;
}
