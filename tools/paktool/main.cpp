// paktool.exe: a console program; everything it does is in RunPaktool.
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "base/library_search.h"
#include "base/text.h"
#include "tools/paktool/paktool.h"

int main(int argc, char** argv) {
  UseSystemFolderForLibraries();
  // `get` without OUTFILE writes an entry's body byte for byte.
  _setmode(_fileno(stdout), _O_BINARY);
  // argv is UTF-8 (the manifest's code page); a system that ignores the
  // manifest would hand over names in another code page, and those would
  // name other files.
  cUtf8Console console;
  if (const std::string problem = CodePageProblem(); !problem.empty()) {
    std::cerr << problem << '\n';
    return 1;
  }
  const std::vector<std::string> args(argv + 1, argv + argc);
  return RunPaktool(args, std::cout, std::cerr);
}
