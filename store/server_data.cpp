// The name rule is stricter than the file system: besides what Windows
// refuses outright, it refuses whatever Windows quietly turns into something
// else (a trailing dot or blank is dropped, a device name opens the device
// even with an extension), and the wildcards, which the existence checks
// would expand.
#include "store/server_data.h"

#include <cstdio>
#include <cstring>

namespace {

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool SameIgnoringCase(const std::string& a, const char* b) {
  if (a.size() != std::strlen(b)) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Upper(a[i]) != Upper(b[i])) return false;
  }
  return true;
}

// The part before the first dot, trailing blanks removed, is what Windows
// compares with its device names.
bool IsDeviceName(const char* name) {
  std::string stem(name, std::strcspn(name, "."));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* device : kDevices) {
    if (SameIgnoringCase(stem, device)) return true;
  }
  if (stem.size() != 4) return false;
  const std::string prefix = stem.substr(0, 3);
  if (!SameIgnoringCase(prefix, "COM") && !SameIgnoringCase(prefix, "LPT")) return false;
  // The digits, and the superscripts one to three of the ANSI code page.
  const unsigned char digit = static_cast<unsigned char>(stem[3]);
  return (digit >= '0' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
}

bool StartsWithIgnoringCase(const char* text, const char* prefix) {
  const size_t n = std::strlen(prefix);
  return std::strlen(text) >= n && SameIgnoringCase(std::string(text, n), prefix);
}

}  // namespace

bool IsSafeFileName(const char* name) {
  if (name == nullptr) return false;
  const size_t length = std::strlen(name);
  if (length == 0 || length > SAFE_NAME_LIMIT) return false;
  for (size_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (IsControl(c) || std::strchr("\\/:<>\"|?*", c) != nullptr) return false;
  }
  const char last = name[length - 1];
  if (last == '.' || last == ' ') return false;
  return !IsDeviceName(name);
}

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
