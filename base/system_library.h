// System DLLs that the program loads by name at run time (the password
// modules, the dial-up library) come from the system folder only. A DLL of
// that name in the program's folder or the current folder, where another
// user may have put it, is never loaded.
#pragma once

#include <windows.h>

#include <string>

// The file `name` in the system folder (GetSystemDirectoryA); empty when the
// folder cannot be named or `name` is not a plain file name.
std::string SystemLibraryPath(const std::string& name);

// Loads `name` from the system folder: LoadLibraryExA with
// LOAD_LIBRARY_SEARCH_SYSTEM32, or, on a system that does not know the flag,
// LoadSystemLibraryByPath. Null (with the loader's last error) when the
// system folder has no such DLL.
HMODULE LoadSystemLibrary(const std::string& name);

// The fallback: loads the full path SystemLibraryPath(name), its own
// dependencies looked up from the system folder first.
HMODULE LoadSystemLibraryByPath(const std::string& name);
