// paktool.exe: a console program; everything it does is in RunPaktool.
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "tools/paktool/paktool.h"

int main(int argc, char** argv) {
  // `get` without OUTFILE writes an entry's body byte for byte.
  _setmode(_fileno(stdout), _O_BINARY);
  const std::vector<std::string> args(argv + 1, argv + argc);
  return RunPaktool(args, std::cout, std::cerr);
}
