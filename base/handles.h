// Owners of Windows handles: one movable, non-copyable type per kind of
// handle, each with the value that means "no handle" for its kind and the
// call that releases it. A type is one line, in the manner of WIL's
// unique_any: `using UniqueX = UniqueAny<Handle, &Close, NoValue>;`.
//
// Handles the owner did not make and must not close (a cFile's, which its
// owner closes by design) are given to a scoped closer: ScopeExit.
#pragma once

#include <windows.h>

#include <cstdint>
#include <utility>

namespace handles {

// `NoneBits` is the "no handle" value as a number, since a pointer such as
// INVALID_HANDLE_VALUE cannot be a template argument.
template <typename T, auto Release, intptr_t NoneBits = 0>
class UniqueAny {
  static T None() { return reinterpret_cast<T>(NoneBits); }

 public:
  UniqueAny() = default;
  explicit UniqueAny(T value) : Value_(value) {}
  ~UniqueAny() { reset(); }
  UniqueAny(const UniqueAny&) = delete;
  UniqueAny& operator=(const UniqueAny&) = delete;
  UniqueAny(UniqueAny&& other) noexcept : Value_(other.release()) {}
  UniqueAny& operator=(UniqueAny&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  T get() const { return Value_; }
  explicit operator bool() const { return Value_ != None(); }
  // Gives the handle up without releasing it.
  T release() { return std::exchange(Value_, None()); }
  void reset() { reset(None()); }
  void reset(T value) {
    T old = std::exchange(Value_, value);
    if (old != None()) Release(old);
  }
  // For a call that writes the handle through a pointer (RegOpenKeyEx and
  // its like): whatever was held is released first.
  T* put() {
    reset();
    return &Value_;
  }

 private:
  T Value_ = None();
};

namespace detail {
inline void CloseKernel(HANDLE h) { CloseHandle(h); }
inline void CloseKey(HKEY key) { RegCloseKey(key); }
inline void CloseFind(HANDLE h) { FindClose(h); }
inline void CloseGdi(HGDIOBJ object) { DeleteObject(object); }
inline void CloseMemoryDc(HDC dc) { DeleteDC(dc); }
inline void CloseLibrary(HMODULE module) { FreeLibrary(module); }
inline void CloseHook(HHOOK hook) { UnhookWindowsHookEx(hook); }
inline void CloseWinEvent(HWINEVENTHOOK hook) { UnhookWinEvent(hook); }
inline void CloseLocal(HLOCAL memory) { LocalFree(memory); }
inline void CloseIcon(HICON icon) { DestroyIcon(icon); }
inline void DestroyOwnWindow(HWND window) { DestroyWindow(window); }
}  // namespace detail

// Kernel objects whose "no handle" is null: processes, threads, events,
// mutexes, jobs, mappings.
using UniqueHandle = UniqueAny<HANDLE, &detail::CloseKernel>;
// Files (CreateFile's "no handle" is INVALID_HANDLE_VALUE).
using UniqueFile = UniqueAny<HANDLE, &detail::CloseKernel, -1>;
using UniqueFind = UniqueAny<HANDLE, &detail::CloseFind, -1>;
using UniqueKey = UniqueAny<HKEY, &detail::CloseKey>;
using UniqueGdiObject = UniqueAny<HGDIOBJ, &detail::CloseGdi>;
using UniqueFont = UniqueAny<HFONT, &detail::CloseGdi>;
using UniqueBitmap = UniqueAny<HBITMAP, &detail::CloseGdi>;
using UniqueBrush = UniqueAny<HBRUSH, &detail::CloseGdi>;
using UniqueMemoryDc = UniqueAny<HDC, &detail::CloseMemoryDc>;
using UniqueLibrary = UniqueAny<HMODULE, &detail::CloseLibrary>;
using UniqueHook = UniqueAny<HHOOK, &detail::CloseHook>;
using UniqueWinEventHook = UniqueAny<HWINEVENTHOOK, &detail::CloseWinEvent>;
using UniqueLocal = UniqueAny<HLOCAL, &detail::CloseLocal>;
using UniqueIcon = UniqueAny<HICON, &detail::CloseIcon>;
using UniqueWindow = UniqueAny<HWND, &detail::DestroyOwnWindow>;

// A window's device context, given back to its window (GetDC / ReleaseDC).
class WindowDc {
 public:
  explicit WindowDc(HWND window) : Window_(window), Dc_(GetDC(window)) {}
  ~WindowDc() {
    if (Dc_ != nullptr) ReleaseDC(Window_, Dc_);
  }
  WindowDc(const WindowDc&) = delete;
  WindowDc& operator=(const WindowDc&) = delete;
  HDC get() const { return Dc_; }
  explicit operator bool() const { return Dc_ != nullptr; }

 private:
  HWND Window_;
  HDC Dc_;
};

// The painting of a window's invalid part (BeginPaint / EndPaint).
class PaintScope {
 public:
  explicit PaintScope(HWND window) : Window_(window), Dc_(BeginPaint(window, &Paint_)) {}
  ~PaintScope() { EndPaint(Window_, &Paint_); }
  PaintScope(const PaintScope&) = delete;
  PaintScope& operator=(const PaintScope&) = delete;
  HDC get() const { return Dc_; }
  const PAINTSTRUCT& Paint() const { return Paint_; }

 private:
  HWND Window_;
  PAINTSTRUCT Paint_{};
  HDC Dc_;
};

// An object selected into a device context; the one it replaced is put back.
class SelectObjectScope {
 public:
  SelectObjectScope(HDC dc, HGDIOBJ object) : Dc_(dc), Previous_(object != nullptr ? SelectObject(dc, object) : nullptr) {}
  ~SelectObjectScope() {
    if (Previous_ != nullptr && Previous_ != HGDI_ERROR) SelectObject(Dc_, Previous_);
  }
  SelectObjectScope(const SelectObjectScope&) = delete;
  SelectObjectScope& operator=(const SelectObjectScope&) = delete;

 private:
  HDC Dc_;
  HGDIOBJ Previous_;
};

// Runs a function when the scope ends, unless dismissed.
template <typename F>
class ScopeExit {
 public:
  explicit ScopeExit(F f) : F_(std::move(f)) {}
  ~ScopeExit() {
    if (Armed_) F_();
  }
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;
  void Dismiss() { Armed_ = false; }

 private:
  F F_;
  bool Armed_ = true;
};

}  // namespace handles
