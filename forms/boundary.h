// Windows calls back into the program from its own frames: window, dialog
// and subclass procedures, timers, window enumerations, console handlers,
// WinINet's status callback, thread entries. No exception may unwind through
// those frames. The 32-bit edition's exceptions (DWARF-2 unwinding) cannot
// pass a frame of Windows' at all, so one that tried would end the program
// on the spot; the system's frames are not written to be unwound on 64-bit
// Windows either. Every such callback catches everything and turns it into
// a result, a report to its form, or a log line, before it returns.
#pragma once

#include <windows.h>

#include <exception>
#include <functional>

namespace forms {

// Calls visit for each top-level window (of one thread) in the system's
// order until it returns false. An exception from visit stops the walk and
// is thrown again here, once EnumWindows (EnumThreadWindows) has returned.
void ForEachTopLevelWindow(const std::function<bool(HWND)>& visit);
void ForEachThreadWindow(DWORD threadId, const std::function<bool(HWND)>& visit);

// What an exception that is not a std::exception reports; it needs no memory.
class UnknownException : public std::exception {
 public:
  const char* what() const noexcept override { return "Unknown exception."; }
};

// The text of the exception being handled (call it inside a catch block):
// its what(), or UnknownException's text for anything else. Never throws.
const char* CurrentExceptionText() noexcept;

}  // namespace forms
