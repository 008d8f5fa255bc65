// skitsync.exe: a console program; everything it does is in RunSkitsync.
#include <iostream>
#include <string>
#include <vector>

#include "tools/skitsync/skitsync.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  return RunSkitsync(args, std::cout, std::cerr);
}
