#include "base/system_library.h"

#include "base/files.h"

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

namespace {

// A name the loader could take for a path, or one that names no file.
bool IsPlainFileName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (char c : name)
    if (IsPathSeparator(c)) return false;
  return true;
}

}  // namespace

std::string SystemLibraryPath(const std::string& name) {
  if (!IsPlainFileName(name)) return {};
  char folder[MAX_PATH] = {};
  UINT n = GetSystemDirectoryA(folder, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return {};
  return JoinPath(std::string(folder, n), name);
}

HMODULE LoadSystemLibrary(const std::string& name) {
  if (!IsPlainFileName(name)) {
    SetLastError(ERROR_INVALID_NAME);
    return nullptr;
  }
  HMODULE module = LoadLibraryExA(name.c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  // Systems from before the flag (Windows 7 without its loader update, and
  // older) refuse it as an invalid parameter.
  if (module != nullptr || GetLastError() != ERROR_INVALID_PARAMETER) return module;
  return LoadSystemLibraryByPath(name);
}

HMODULE LoadSystemLibraryByPath(const std::string& name) {
  std::string path = SystemLibraryPath(name);
  if (path.empty()) {
    SetLastError(ERROR_INVALID_NAME);
    return nullptr;
  }
  // With a full path the DLL itself cannot come from elsewhere; the altered
  // search order looks for its dependencies in its own folder, then the
  // system's, and not in the program's folder.
  return LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}
