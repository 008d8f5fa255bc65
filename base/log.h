// The process-wide text log: one time-stamped, level-tagged line per call,
// appended to a file that is opened and closed for every line. Both the user
// interface thread and the download worker write to it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

constexpr uint32_t LOG_ERROR = 1;
constexpr uint32_t LOG_INFO = 2;
constexpr uint32_t LOG_MEMORY = 4;
constexpr uint32_t LOG_HANDLE = 8;
constexpr uint32_t LOG_TRACE1 = 16;
constexpr uint32_t LOG_TRACE2 = 32;

void LogInit();
void LogEnable(uint32_t levels, bool on);
// keepExisting false deletes the file at once; returns whether that worked.
bool LogSetPath(const std::string& path, bool keepExisting);
bool LogSetDefaultPath(bool keepExisting);
// The program's own log is named after the program (drearigrams.log) and
// kept in `folder`, or beside the program while no folder is set (empty).
void LogSetDefaultFolder(const std::string& folder);
std::string LogDefaultPath();
std::string LogCurrentPath();
// Directives: %% %d %x %X %h %p %s %f; anything else after % is dropped.
void LogWrite(uint32_t level, const char* format, ...);
void LogAppendLine(const char* text);
// One download-log line as a single unit: point the log at path, enable
// level, write text, point it back at the default file. No line of another
// thread can land in between.
void LogDownloadLine(const std::string& path, uint32_t level, const std::string& text);

// A local time as a FILETIME (100 ns intervals since 1601), compared as an
// unsigned 64-bit number.
class cDateTime {
 public:
  cDateTime() = default;
  explicit cDateTime(uint64_t value) { SetValue(value); }
  static cDateTime Now();

  uint64_t Value() const { return (static_cast<uint64_t>(Time.dwHighDateTime) << 32) | Time.dwLowDateTime; }
  void SetValue(uint64_t value) {
    Time.dwLowDateTime = static_cast<DWORD>(value);
    Time.dwHighDateTime = static_cast<DWORD>(value >> 32);
  }
  friend bool operator==(const cDateTime& a, const cDateTime& b) { return a.Value() == b.Value(); }
  friend bool operator<(const cDateTime& a, const cDateTime& b) { return a.Value() < b.Value(); }

  FILETIME Time{};
};
