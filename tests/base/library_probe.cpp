// Loads one library the way it is told and prints what it got, so that a
// test can run it from a folder holding a planted DLL:
//   library_probe NAME system|bypath|plain
// prints "none" or the loaded module's full path, then " planted" when it is
// the planted DLL.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "base/system_library.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  HMODULE module = nullptr;
  if (std::strcmp(argv[2], "system") == 0)
    module = LoadSystemLibrary(argv[1]);
  else if (std::strcmp(argv[2], "bypath") == 0)
    module = LoadSystemLibraryByPath(argv[1]);
  else if (std::strcmp(argv[2], "plain") == 0)
    module = LoadLibraryA(argv[1]);
  else
    return 2;
  if (module == nullptr) {
    std::printf("none\n");
    return 0;
  }
  char path[MAX_PATH] = {};
  GetModuleFileNameA(module, path, MAX_PATH);
  bool planted = GetProcAddress(module, "DrearigramsPlanted") != nullptr;
  std::printf("%s%s\n", path, planted ? " planted" : "");
  return 0;
}
