// Runs the tests' loopback HTTP server for a test program that cannot run it
// itself (see LoopbackServer): loopback_host FOLDER. It answers that
// program's commands on its standard streams and ends with them.
#include <cstdio>
#include <string>

#include "tests/support/http_server.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: loopback_host FOLDER\n");
    return 2;
  }
  try {
    return testing_support::LoopbackServer::RunHost(argv[1]);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "loopback_host: %s\n", error.what());
    return 1;
  }
}
