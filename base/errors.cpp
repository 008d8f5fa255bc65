#include "base/errors.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace {

struct OwnError {
  int32_t code;
  const char* text;
};

// Scanned from the top; the zero row ends the table.
constexpr OwnError kOwnErrors[] = {
    {ERR_FILE_CREATE, "Attempt to create the file failed."},
    {ERR_FILE_OPEN, "Attempt to open the file failed."},
    {ERR_FILE_READ, "Attempt to read from the file failed."},
    {ERR_FILE_WRITE, "Attempt to write to the file failed."},
    {ERR_FILE_SEEK, "Attempt to position within the file failed."},
    {ERR_RECORD_DELETED, "The record is deleted."},
    {ERR_BUFFER_TOO_SMALL, "The buffer size is too small."},
    {ERR_END_OF_FILE, "End of file."},
    {ERR_FILE_EXISTS, "The file already exists."},
    {ERR_BAD_FORMAT, "The file format is invalid or unrecognized."},
    {ERR_FILE_CORRUPT, "The file is missing or corrupt."},
    {ERR_NO_MEMORY, "Memory allocation failed."},
    {ERR_GDI, "GDI operation failed."},
    {ERR_FILE_LOAD, "Attempt to load the file failed."},
    {ERR_FILE_SAVE, "Attempt to save the file failed."},
    {ERR_CREATE_WINDOW, "Create window failed."},
    {ERR_DRIVER_INIT, "Attempt to initialize the driver was unsuccessful."},
    {ERR_FILE_NOT_FOUND, "File not found."},
    {ERR_BACKUP, "Backup failed."},
    {ERR_CANCELLED, "Operation cancelled."},
    {ERR_BAD_KEYWORD, "The keyword is invalid or unrecognized."},
    {ERR_SYNTAX, "The syntax is incorrect."},
    {ERR_END_OF_LINE, "End of line."},
    {ERR_BAD_FUNCTION, "The function is invalid."},
    {ERR_UNSUPPORTED, "The function is unsupported."},
    {ERR_NO_ERROR_INFO, "A Windows API function failed but no error information was returned."},
    {ERR_FILE_VERSION, "The software cannot access this file version."},
    {0, nullptr},
};

}  // namespace

int32_t LastErrorCode() {
  DWORD code = GetLastError();
  return code == 0 ? ERR_NO_ERROR_INFO : static_cast<int32_t>(code);
}

std::string ErrorText(int32_t code) {
  if (code & ERR_OWN_MASK) {
    for (const OwnError* row = kOwnErrors; row->code != 0; ++row) {
      if (row->code == code) return row->text;
    }
  } else {
    // The system text comes out as one line; its own line breaks are dropped
    // and it is kept exactly as written (Wine and Windows end it in a blank).
    // Inserts such as "%1" stay as they are: with no arguments to fill them,
    // the system would refuse the whole text.
    char buffer[512];
    DWORD length = FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_MAX_WIDTH_MASK | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(code), 0, buffer, sizeof buffer, nullptr);
    if (length > 0) return std::string(buffer, length < sizeof buffer ? length : sizeof buffer - 1);
  }
  char unknown[48];
  std::snprintf(unknown, sizeof unknown, "<unknown error: %d>", static_cast<int>(code));
  return unknown;
}

char* ErrorTextToBuffer(int32_t code, char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return buffer;
  std::string text = ErrorText(code);
  size_t n = text.size() < size - 1 ? text.size() : size - 1;
  std::memcpy(buffer, text.data(), n);
  std::memset(buffer + n, 0, size - n);
  return buffer;
}

std::string LastErrorText() { return ErrorText(LastErrorCode()); }

int ReportError(HWND owner, const std::string& text) {
  return MessageBoxA(owner, text.c_str(), "Error", MB_OK | MB_ICONWARNING);
}

std::string ComposeErrorMessage(int32_t code, const char* prefix, const char* suffix) {
  std::string text;
  if (prefix != nullptr && *prefix != '\0') {
    text += prefix;
    text += ' ';
  }
  text += ErrorText(code);
  if (suffix != nullptr && *suffix != '\0') {
    text += ' ';
    text += suffix;
  }
  return text;
}

int ShowErrorMessage(HWND owner, int32_t code, const char* prefix, const char* suffix) {
  return ReportError(owner, ComposeErrorMessage(code, prefix, suffix));
}

void* AllocZeroed(size_t size) { return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size == 0 ? 1 : size); }

void FreeZeroed(void* block) {
  if (block != nullptr) HeapFree(GetProcessHeap(), 0, block);
}

void ThrowText(const std::string& text, const std::string& subject) {
  if (subject.empty()) throw std::runtime_error(text);
  throw std::runtime_error(text + " " + subject);
}

void ThrowLastError(const std::string& subject) { ThrowCode(LastErrorCode(), subject); }

void ThrowCode(int32_t code, const std::string& subject) {
  const std::string text = ErrorText(code);
  throw cCodedError(code, subject.empty() ? text : text + " " + subject);
}

int32_t cError::SetError(int32_t code) { return Code = code; }
int32_t cError::SetFromLastError() { return Code = LastErrorCode(); }
int32_t cError::GetError() const { return Code; }
bool cError::IsOwnError() const { return (Code & ERR_OWN_MASK) != 0; }
bool cError::IsSystemError() const { return (Code & ERR_OWN_MASK) == 0; }
int32_t cError::Assign(const cError& other) { return Code = other.GetError(); }
std::string cError::GetErrorText() const { return ErrorText(Code); }
char* cError::GetErrorText(char* buffer, size_t size) const { return ErrorTextToBuffer(Code, buffer, size); }
int cError::ShowError(HWND owner, const char* prefix, const char* suffix) const {
  return ShowErrorMessage(owner, Code, prefix, suffix);
}
int cError::ShowError(HWND owner, const std::string& prefix, const std::string& suffix) const {
  return ShowErrorMessage(owner, Code, prefix.c_str(), suffix.c_str());
}
