// The name rule is stricter than the file system: besides what Windows
// refuses outright, it refuses whatever Windows quietly turns into something
// else (a trailing dot or blank is dropped, a device name opens the device
// even with an extension), and the wildcards, which the existence checks
// would expand.
#include "store/server_data.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "base/text.h"
#include "store/catalog_block.h"

namespace {

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }
wchar_t UpperWide(wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

bool SameIgnoringCase(const std::string& a, const char* b) {
  if (a.size() != std::strlen(b)) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Upper(a[i]) != Upper(b[i])) return false;
  }
  return true;
}

bool SameIgnoringCase(const std::wstring& a, const wchar_t* b) {
  if (a.size() != std::wcslen(b)) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (UpperWide(a[i]) != UpperWide(b[i])) return false;
  }
  return true;
}

// The part before the first dot, trailing blanks removed, is what Windows
// compares with its device names; it compares the name's UTF-16 form, in
// which the superscript digits one to three count as digits too.
bool IsDeviceName(const std::wstring& name) {
  std::wstring stem = name.substr(0, name.find(L'.'));
  while (!stem.empty() && stem.back() == L' ') stem.pop_back();
  static const wchar_t* const kDevices[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
  for (const wchar_t* device : kDevices) {
    if (SameIgnoringCase(stem, device)) return true;
  }
  if (stem.size() != 4) return false;
  const std::wstring prefix = stem.substr(0, 3);
  if (!SameIgnoringCase(prefix, L"COM") && !SameIgnoringCase(prefix, L"LPT")) return false;
  const wchar_t digit = stem[3];
  return (digit >= L'0' && digit <= L'9') || digit == 0x00B9 || digit == 0x00B2 || digit == 0x00B3;
}

bool StartsWithIgnoringCase(const char* text, const char* prefix) {
  const size_t n = std::strlen(prefix);
  return std::strlen(text) >= n && SameIgnoringCase(std::string(text, n), prefix);
}

}  // namespace

std::string FileNameProblem(const char* name) {
  if (name == nullptr) return "no name";
  const size_t length = std::strlen(name);
  if (length == 0) return "an empty name";
  if (!IsValidUtf8(name)) return "not valid UTF-8";
  const std::wstring wide = WideFromUtf8(name);
  if (wide.size() > SAFE_NAME_LIMIT) return "longer than " + std::to_string(SAFE_NAME_LIMIT) + " characters";
  for (size_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (IsControl(c)) return "a control character";
    if (std::strchr("\\/:<>\"|?*", c) != nullptr) return std::string("the character ") + static_cast<char>(c);
  }
  const char last = name[length - 1];
  if (last == '.' || last == ' ') return last == '.' ? "a dot at its end" : "a blank at its end";
  if (IsDeviceName(wide)) return "a device name";
  return {};
}

bool IsSafeFileName(const char* name) { return FileNameProblem(name).empty(); }

bool IsAllowedUrl(const char* url) {
  if (url == nullptr) return false;
  size_t scheme = 0;
  if (StartsWithIgnoringCase(url, "http://")) {
    scheme = 7;
  } else if (StartsWithIgnoringCase(url, "https://")) {
    scheme = 8;
  } else {
    return false;
  }
  if (url[scheme] == '\0') return false;
  for (const char* p = url; *p != '\0'; ++p) {
    if (IsControl(static_cast<unsigned char>(*p)) || *p == ' ') return false;
  }
  return true;
}

std::string PrintableText(const char* text) {
  if (text == nullptr) return "(none)";
  std::string shown;
  for (const char* p = text; *p != '\0'; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (IsControl(c)) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      shown += escaped;
    } else {
      shown += *p;
    }
  }
  return shown;
}

std::string TitleOf(const SkitRecord& record) { return PrintableText(record.Title.Text); }
