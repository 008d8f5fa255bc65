// skitsync.exe: a console program; everything it does is in RunSkitsync.
#include <iostream>
#include <string>
#include <vector>

#include "base/library_search.h"
#include "base/text.h"
#include "tools/skitsync/skitsync.h"

int main(int argc, char** argv) {
  UseSystemFolderForLibraries();
  // argv is UTF-8 (the manifest's code page); a system that ignores the
  // manifest would hand over names in another code page, and those would
  // name other files.
  cUtf8Console console;
  if (const std::string problem = CodePageProblem(); !problem.empty()) {
    std::cerr << problem << '\n';
    return 1;
  }
  const std::vector<std::string> args(argv + 1, argv + argc);
  return RunSkitsync(args, std::cout, std::cerr);
}
