// The player the saver benchmark starts: it writes the moment it began
// (precise system time, 100 ns units) beside itself, then shows a window
// until WM_CLOSE, like a real player that is playing.
#include <windows.h>

#include <cstdio>
#include <string>

static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  FILETIME started;
  GetSystemTimePreciseAsFileTime(&started);
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string stamp = std::string(path).substr(0, std::string(path).rfind('.')) + ".started";
  if (FILE* file = std::fopen(stamp.c_str(), "wb")) {
    unsigned long long value = (static_cast<unsigned long long>(started.dwHighDateTime) << 32) | started.dwLowDateTime;
    std::fprintf(file, "%llu\n", value);
    std::fclose(file);
  }
  WNDCLASSA wc = {};
  wc.lpfnWndProc = Proc;
  wc.hInstance = instance;
  wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
  wc.lpszClassName = "ProbePlayer";
  RegisterClassA(&wc);
  CreateWindowExA(0, "ProbePlayer", "probe", WS_POPUP | WS_VISIBLE, 0, 0, 320, 200, nullptr, nullptr, instance, nullptr);
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
  return 0;
}
