// Every line is built in storage of its own call and appended under one
// re-entrant lock, so lines from the user-interface thread and the download
// worker never interleave; the download-log unit (point at the log, enable,
// write, point back) holds the same lock throughout.
#include "base/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "base/files.h"

namespace {

constexpr size_t kLineSize = 2048;
constexpr size_t kPathSize = 256;

struct LogState {
  std::once_flag Once;
  std::recursive_mutex Lock;
  uint32_t EnabledLevels = 0;
  char Path[kPathSize] = {};
  std::string DefaultFolder;  // empty: beside the program
};

LogState& State() {
  static LogState state;
  return state;
}

const char* LevelTag(uint32_t level) {
  switch (level) {
    case LOG_ERROR: return ".ERROR.. ";
    case LOG_INFO: return ".INFO... ";
    case LOG_MEMORY: return ".MEMORY. ";
    case LOG_HANDLE: return ".HANDLE. ";
    case LOG_TRACE1: return ".TRACE1. ";
    case LOG_TRACE2: return ".TRACE2. ";
    default: return "........ ";
  }
}

// Appends to a fixed buffer, cutting at its end.
class LineBuilder {
 public:
  LineBuilder(char* buffer, size_t size) : Buffer_(buffer), Size_(size) { Buffer_[0] = '\0'; }
  void Add(const char* text) {
    while (*text != '\0' && Length_ + 1 < Size_) Buffer_[Length_++] = *text++;
    Buffer_[Length_] = '\0';
  }
  void Add(char c) {
    char text[2] = {c, '\0'};
    Add(text);
  }
  template <typename... Args>
  void Format(const char* format, Args... args) {
    char piece[64];
    std::snprintf(piece, sizeof piece, format, args...);
    Add(piece);
  }

 private:
  char* Buffer_;
  size_t Size_;
  size_t Length_ = 0;
};

void FormatMessageText(LineBuilder& line, const char* format, va_list args) {
  for (const char* p = format; *p != '\0'; ++p) {
    if (*p != '%') {
      line.Add(*p);
      continue;
    }
    char directive = *++p;
    if (directive == '\0') break;  // a lone "%" ends the format; nothing is read past it
    switch (directive) {
      case '%': line.Add('%'); break;
      case 'd': line.Format("%d", va_arg(args, int)); break;
      case 'x': line.Format("0x%x", va_arg(args, unsigned)); break;
      case 'X': line.Format("0x%X", va_arg(args, unsigned)); break;
      case 'h':
      case 'p': line.Format(":%08X", va_arg(args, unsigned)); break;
      case 's': {
        const char* text = va_arg(args, const char*);
        line.Add(text != nullptr ? text : "");
        break;
      }
      case 'f': line.Format("%f", va_arg(args, double)); break;
      default: break;  // unknown directive: both characters dropped, no argument taken
    }
  }
}

void SetPathLocked(const std::string& path) {
  LogState& state = State();
  size_t n = path.size() < kPathSize - 1 ? path.size() : kPathSize - 1;
  std::memcpy(state.Path, path.data(), n);
  state.Path[n] = '\0';
}

}  // namespace

void LogInit() {
  LogState& state = State();
  std::call_once(state.Once, [&state] { state.EnabledLevels = LOG_ERROR; });
}

void LogEnable(uint32_t levels, bool on) {
  LogInit();
  std::lock_guard<std::recursive_mutex> hold(State().Lock);
  if (on)
    State().EnabledLevels |= levels;
  else
    State().EnabledLevels &= ~levels;
}

bool LogSetPath(const std::string& path, bool keepExisting) {
  LogInit();
  std::lock_guard<std::recursive_mutex> hold(State().Lock);
  SetPathLocked(path);
  if (keepExisting) return true;
  if (DeleteFileA(State().Path)) return true;
  return GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND;
}

void LogSetDefaultFolder(const std::string& folder) {
  LogInit();
  std::lock_guard<std::recursive_mutex> hold(State().Lock);
  State().DefaultFolder = folder;
}

std::string LogDefaultPath() {
  // The log never throws: a program path that cannot be represented (the
  // program refuses to start with one) leaves it without a file.
  std::string module;
  try {
    module = ModuleFileName();
  } catch (const std::exception&) {
    return {};
  }
  std::string beside = ReplaceExtension(module, ".log");
  LogInit();
  std::lock_guard<std::recursive_mutex> hold(State().Lock);
  if (State().DefaultFolder.empty()) return beside;
  std::string name;
  SplitPath(beside, nullptr, &name);
  return JoinPath(State().DefaultFolder, name);
}

bool LogSetDefaultPath(bool keepExisting) { return LogSetPath(LogDefaultPath(), keepExisting); }

std::string LogCurrentPath() {
  LogInit();
  std::lock_guard<std::recursive_mutex> hold(State().Lock);
  return State().Path;
}

void LogAppendLine(const char* text) {
  LogInit();
  std::lock_guard<std::recursive_mutex> hold(State().Lock);
  FILE* file = std::fopen(State().Path, "a+t");
  if (file == nullptr) return;
  std::fputs(text, file);
  std::fputc('\n', file);
  std::fclose(file);
}

static void LogWriteV(uint32_t level, const char* format, va_list args) {
  LogInit();
  LogState& state = State();
  std::lock_guard<std::recursive_mutex> hold(state.Lock);
  if ((level & state.EnabledLevels) == 0) return;
  if (state.Path[0] == '\0') LogSetDefaultPath(false);

  char buffer[kLineSize];
  LineBuilder line(buffer, sizeof buffer);
  SYSTEMTIME now;
  GetLocalTime(&now);
  line.Add(LevelTag(level));
  line.Format("%d-%02d-%02d_%02d:%02d:%02d.%03d ", now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute,
              now.wSecond, now.wMilliseconds);
  line.Format("Thread=%lX ", static_cast<unsigned long>(GetCurrentThreadId()));
  FormatMessageText(line, format != nullptr ? format : "", args);
  LogAppendLine(buffer);
}

void LogWrite(uint32_t level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  try {
    LogWriteV(level, format, args);
  } catch (...) {
    // Logging never fails its caller.
  }
  va_end(args);
}

// No path means no download log: pointing the log at an empty path would
// make the line start the program's own log afresh. A control character in
// the text (a server's title may hold a line break) is written as \xNN, so
// one call is always one line.
void LogDownloadLine(const std::string& path, uint32_t level, const std::string& text) {
  if (path.empty()) return;
  LogInit();
  try {
    std::string line;
    line.reserve(text.size());
    for (const char c : text) {
      const unsigned char u = static_cast<unsigned char>(c);
      if (u < 0x20 || u == 0x7F) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\x%02X", u);
        line += escaped;
      } else {
        line += c;
      }
    }
    std::lock_guard<std::recursive_mutex> hold(State().Lock);
    LogSetPath(path, true);
    LogEnable(level, true);
    LogWrite(level, "%s", line.c_str());
    LogSetDefaultPath(true);
  } catch (...) {
  }
}

cDateTime cDateTime::Now() {
  SYSTEMTIME local;
  GetLocalTime(&local);
  cDateTime now;
  SystemTimeToFileTime(&local, &now.Time);
  return now;
}
