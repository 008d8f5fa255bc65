// A second reference for the saver's start-up: the least a windowed program
// does before it starts the player (load the window system, show one
// full-screen window), so the cost of Wine's GUI start is seen apart.
#include <windows.h>

#include <string>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR arguments, int) {
  std::string player = arguments;
  if (!player.empty() && player.front() == '"') player = player.substr(1, player.find('"', 1) - 1);
  WNDCLASSA wc = {};
  wc.lpfnWndProc = DefWindowProcA;
  wc.hInstance = instance;
  wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
  wc.lpszClassName = "LaunchGui";
  RegisterClassA(&wc);
  HWND window = CreateWindowExA(WS_EX_TOPMOST, "LaunchGui", "", WS_POPUP | WS_VISIBLE, 0, 0,
                                GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN), nullptr, nullptr,
                                instance, nullptr);
  UpdateWindow(window);
  std::string folder = player.substr(0, player.find_last_of("\\/"));
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessA(player.c_str(), nullptr, nullptr, nullptr, TRUE, 0, nullptr, folder.c_str(), &startup, &info))
    return 1;
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  DestroyWindow(window);
  return 0;
}
