// Prints how many monitors Wine reports on the display it runs on, for the
// run script: a desk of two monitors is ready for the screen tests only
// once Wine itself sees both (Wine reads the X server's monitors when its
// desktop process starts, and a program started before that finishes can
// still find the display of the last session).
#include <windows.h>

#include <cstdio>

int main() {
  std::printf("%d\n", GetSystemMetrics(SM_CMONITORS));
  return 0;
}
