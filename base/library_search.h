// Where a program's libraries come from: the system folder only. Called first
// thing in every program's entry point. From then on a library loaded by
// name, and every library such a library needs, is looked for in the system
// folder and nowhere else: not in the program's own folder, which an earlier
// installation may have let users write, nor in the current folder. The
// system libraries Windows does not keep as known DLLs (wininet, version,
// bcrypt, gdiplus) are imported late for this reason (cmake/delay_load.cmake):
// imported the ordinary way, the loader would resolve them from the
// program's folder before the program ran a single line. Header only, so
// that the small programs that link nothing of base use it too.
#pragma once

#include <windows.h>

inline void UseSystemFolderForLibraries() {
  // Windows 8 and later, and Windows 7 with its loader update; without the
  // call, the current folder at least leaves the search.
  using SetDefaultDllDirectoriesProc = BOOL(WINAPI*)(DWORD);
  auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesProc>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories")));
  constexpr DWORD kSearchSystem32 = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32
  if (setDefault == nullptr || !setDefault(kSearchSystem32)) SetDllDirectoryA("");
}
