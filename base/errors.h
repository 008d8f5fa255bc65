// Error codes and their texts, the last-failure base class, and the rule by
// which an operation that cannot complete throws std::runtime_error carrying
// "error text" + " " + subject.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

// The program's own codes carry bit 27; every other code is a Windows system
// error code. The numbers are stored and posted by other parts: keep them.
constexpr int32_t ERR_OWN_MASK = 0x08000000;
constexpr int32_t ERR_FILE_CREATE = 0x08000001;
constexpr int32_t ERR_FILE_OPEN = 0x08000002;
constexpr int32_t ERR_FILE_READ = 0x08000003;
constexpr int32_t ERR_FILE_WRITE = 0x08000004;
constexpr int32_t ERR_FILE_SEEK = 0x08000005;
constexpr int32_t ERR_RECORD_DELETED = 0x08000006;
constexpr int32_t ERR_BUFFER_TOO_SMALL = 0x08000007;
constexpr int32_t ERR_END_OF_FILE = 0x08000008;
constexpr int32_t ERR_FILE_EXISTS = 0x08000009;
constexpr int32_t ERR_BAD_FORMAT = 0x0800000A;
constexpr int32_t ERR_FILE_CORRUPT = 0x0800000B;
constexpr int32_t ERR_NO_MEMORY = 0x0800000E;
constexpr int32_t ERR_GDI = 0x0800000F;
constexpr int32_t ERR_FILE_LOAD = 0x08000010;
constexpr int32_t ERR_FILE_SAVE = 0x08000011;
constexpr int32_t ERR_CREATE_WINDOW = 0x08000012;
constexpr int32_t ERR_DRIVER_INIT = 0x08000013;
constexpr int32_t ERR_FILE_NOT_FOUND = 0x08000014;
constexpr int32_t ERR_BACKUP = 0x08000015;
constexpr int32_t ERR_CANCELLED = 0x08000016;
constexpr int32_t ERR_BAD_KEYWORD = 0x08000017;
constexpr int32_t ERR_SYNTAX = 0x08000018;
constexpr int32_t ERR_END_OF_LINE = 0x08000019;
constexpr int32_t ERR_BAD_FUNCTION = 0x0800001A;
constexpr int32_t ERR_UNSUPPORTED = 0x0800001B;
constexpr int32_t ERR_NO_ERROR_INFO = 0x0800001C;
constexpr int32_t ERR_FILE_VERSION = 0x0800001D;

// GetLastError(), or ERR_NO_ERROR_INFO when the failed call left it at 0.
int32_t LastErrorCode();
// The message of any code; never fails (unknown codes give "<unknown error: N>").
std::string ErrorText(int32_t code);
// Copies at most size-1 characters of ErrorText(code), NUL-filling the rest.
char* ErrorTextToBuffer(int32_t code, char* buffer, size_t size);
std::string LastErrorText();

// Modal "Error" box with the warning icon and one OK button.
int ReportError(HWND owner, const std::string& text);
// prefix + " " + ErrorText(code) + " " + suffix, empty parts left out.
std::string ComposeErrorMessage(int32_t code, const char* prefix, const char* suffix);
int ShowErrorMessage(HWND owner, int32_t code, const char* prefix, const char* suffix);

// Heap block filled with zero, or nullptr (never throws). Free with FreeZeroed.
void* AllocZeroed(size_t size);
void FreeZeroed(void* block);

// What ThrowCode and ThrowLastError throw: the runtime error, which also
// keeps the code it was made from, for the few callers that act on the
// cause of a failure rather than only show it.
class cCodedError : public std::runtime_error {
 public:
  cCodedError(int32_t code, const std::string& message) : std::runtime_error(message), Code(code) {}
  int32_t Code;
};

// Throws std::runtime_error(text [+ " " + subject]).
[[noreturn]] void ThrowText(const std::string& text, const std::string& subject = {});
// Throws with LastErrorText(); call right after the failing Win32 call.
[[noreturn]] void ThrowLastError(const std::string& subject = {});
// Throws with ErrorText(code).
[[noreturn]] void ThrowCode(int32_t code, const std::string& subject = {});

// Remembers the code of an object's last failure.
class cError {
 public:
  cError() = default;
  cError(const cError&) = default;
  cError& operator=(const cError&) = default;
  virtual ~cError() = default;

  virtual int32_t SetError(int32_t code);
  virtual int32_t SetFromLastError();
  virtual int32_t GetError() const;
  virtual bool IsOwnError() const;
  virtual bool IsSystemError() const;
  virtual int32_t Assign(const cError& other);
  virtual std::string GetErrorText() const;
  virtual char* GetErrorText(char* buffer, size_t size) const;
  virtual int ShowError(HWND owner, const char* prefix, const char* suffix) const;
  virtual int ShowError(HWND owner, const std::string& prefix, const std::string& suffix) const;

 protected:
  int32_t Code = 0;
};
