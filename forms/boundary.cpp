#include "forms/boundary.h"

namespace forms {

namespace {

struct WindowWalk {
  const std::function<bool(HWND)>* Visit;
  std::exception_ptr Error;
};

BOOL CALLBACK VisitWindow(HWND window, LPARAM param) {
  auto* walk = reinterpret_cast<WindowWalk*>(param);
  try {
    return (*walk->Visit)(window) ? TRUE : FALSE;
  } catch (...) {
    walk->Error = std::current_exception();
    return FALSE;
  }
}

}  // namespace

void ForEachTopLevelWindow(const std::function<bool(HWND)>& visit) {
  WindowWalk walk{&visit, nullptr};
  EnumWindows(VisitWindow, reinterpret_cast<LPARAM>(&walk));
  if (walk.Error) std::rethrow_exception(walk.Error);
}

void ForEachThreadWindow(DWORD threadId, const std::function<bool(HWND)>& visit) {
  WindowWalk walk{&visit, nullptr};
  EnumThreadWindows(threadId, VisitWindow, reinterpret_cast<LPARAM>(&walk));
  if (walk.Error) std::rethrow_exception(walk.Error);
}

const char* CurrentExceptionText() noexcept {
  static const UnknownException unknown;
  try {
    throw;
  } catch (const std::exception& error) {
    return error.what();
  } catch (...) {
    return unknown.what();
  }
}

}  // namespace forms
