// The built screensaver started as the desktop starts it, and the windows
// of its process.
#pragma once

#include <windows.h>

#include <string>

namespace app_testing {

inline constexpr DWORD kWaitLimit = 20000;

// The first top-level window of process pid that wanted() accepts, given the
// window and its class name.
inline HWND FindProcessWindow(DWORD pid, bool (*wanted)(HWND window, const std::string& cls)) {
  struct Search {
    DWORD pid;
    bool (*wanted)(HWND, const std::string&);
    HWND found;
  } search{pid, wanted, nullptr};
  EnumWindows(
      [](HWND window, LPARAM param) CALLBACK -> BOOL {
        auto* s = reinterpret_cast<Search*>(param);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        char cls[64] = {};
        GetClassNameA(window, cls, sizeof cls);
        if (owner != s->pid || !s->wanted(window, cls)) return TRUE;
        s->found = window;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

class SaverProcess {
 public:
  explicit SaverProcess(const std::string& arguments) {
    std::string command = "\"" + std::string(DG_SAVER_EXE) + "\" " + arguments;
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    Started = CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &Info) != 0;
  }
  ~SaverProcess() {
    if (!Started) return;
    if (WaitForSingleObject(Info.hProcess, 0) == WAIT_TIMEOUT) {
      if (HWND form = MainForm()) PostMessageA(form, WM_CLOSE, 0, 0);
      if (WaitForSingleObject(Info.hProcess, kWaitLimit) == WAIT_TIMEOUT) TerminateProcess(Info.hProcess, 1);
    }
    CloseHandle(Info.hThread);
    CloseHandle(Info.hProcess);
  }
  SaverProcess(const SaverProcess&) = delete;
  SaverProcess& operator=(const SaverProcess&) = delete;

  // The visible top-level form of this process, once it has one.
  HWND MainForm() const {
    return FindProcessWindow(Info.dwProcessId, [](HWND window, const std::string& cls) {
      return cls != "TApplication" && (IsWindowVisible(window) || IsIconic(window));
    });
  }

  HWND WaitForForm() const {
    // The form appears when the other process gets there; wait for that event
    // with a bound, checking between short waits on the process handle.
    for (DWORD waited = 0; waited < kWaitLimit; waited += 50) {
      if (HWND form = MainForm()) return form;
      if (WaitForSingleObject(Info.hProcess, 50) != WAIT_TIMEOUT) return nullptr;
    }
    return nullptr;
  }

  bool Exited(DWORD& code, DWORD limit = kWaitLimit) const {
    if (WaitForSingleObject(Info.hProcess, limit) != WAIT_OBJECT_0) return false;
    GetExitCodeProcess(Info.hProcess, &code);
    return true;
  }

  bool Started = false;
  PROCESS_INFORMATION Info{};
};

}  // namespace app_testing
