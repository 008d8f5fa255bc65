// Fixtures of the download tests: a window that receives the worker's
// messages, the download log's lines, and a served folder of files.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace download_testing {

constexpr DWORD kPatience = 30000;  // ms; only reached when something is broken

// A hidden top-level window on the test thread.
class Receiver {
 public:
  Receiver();
  ~Receiver();
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

  // Pumps the thread's queue until a message of that number arrives for the
  // window; false after timeout ms.
  bool Wait(UINT message, MSG& msg, DWORD timeout = kPatience);
  // A message of that number already in the queue.
  bool Pending(UINT message);

  HWND Window = nullptr;
};

// The texts of the log's lines: what follows the level tag, time stamp and
// thread of each line.
std::vector<std::string> LogTexts(const std::string& path);
// The level tag that starts a line (".INFO... ", ".ERROR.. ").
std::vector<std::string> LogTags(const std::string& path);

}  // namespace download_testing
