// A DLL that someone put beside a program under the name of a system
// library. Loading it is harmless; its marker export tells that it was
// loaded instead of the system's own, and when it is loaded it leaves a file
// beside itself, its own name followed by ".loaded", for a test that cannot
// ask the program what it loaded.
#include <windows.h>

#include <string>

extern "C" __declspec(dllexport) int DrearigramsPlanted() { return 1; }

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(instance, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH - 8) return TRUE;
  const std::string marker = std::string(path, n) + ".loaded";
  HANDLE file = CreateFileA(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return TRUE;
}
