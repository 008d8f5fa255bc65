#include "tests/download/download_testing.h"

#include <sstream>

#include "tests/support/testing.h"

namespace download_testing {

Receiver::Receiver() {
  WNDCLASSA wc = {};
  wc.lpfnWndProc = DefWindowProcA;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "DrearigramsDownloadTestReceiver";
  RegisterClassA(&wc);
  Window = CreateWindowExA(0, wc.lpszClassName, "download test", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                           wc.hInstance, nullptr);
}

Receiver::~Receiver() {
  if (Window != nullptr) DestroyWindow(Window);
}

bool Receiver::Wait(UINT message, MSG& msg, DWORD timeout) {
  DWORD start = GetTickCount();
  for (;;) {
    if (PeekMessageA(&msg, Window, message, message, PM_REMOVE)) return true;
    // Anything else for this thread is handled as a message loop would.
    MSG other;
    while (PeekMessageA(&other, nullptr, 0, 0, PM_REMOVE)) {
      if (other.hwnd == Window && other.message == message) {
        msg = other;
        return true;
      }
      TranslateMessage(&other);
      DispatchMessageA(&other);
    }
    DWORD spent = GetTickCount() - start;
    if (spent >= timeout) return false;
    MsgWaitForMultipleObjectsEx(0, nullptr, timeout - spent, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
}

bool Receiver::Pending(UINT message) {
  MSG msg;
  return PeekMessageA(&msg, Window, message, message, PM_REMOVE) != FALSE;
}

namespace {

std::vector<std::string> Lines(const std::string& path) {
  std::vector<std::string> lines;
  std::istringstream in(testing_support::ReadFileBytes(path));
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

}  // namespace

std::vector<std::string> LogTexts(const std::string& path) {
  std::vector<std::string> texts;
  for (const std::string& line : Lines(path)) {
    size_t thread = line.find(" Thread=");
    size_t text = thread == std::string::npos ? std::string::npos : line.find(' ', thread + 1);
    texts.push_back(text == std::string::npos ? line : line.substr(text + 1));
  }
  return texts;
}

std::vector<std::string> LogTags(const std::string& path) {
  std::vector<std::string> tags;
  for (const std::string& line : Lines(path)) tags.push_back(line.substr(0, 9));
  return tags;
}

}  // namespace download_testing
