#include "base/text.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <stdexcept>

namespace {

// The code point at text[at], advancing at; -1 (at advanced by one) for a
// byte that starts no well-formed sequence: an overlong form, a surrogate,
// anything above U+10FFFF or a sequence cut short.
int32_t NextCodePoint(std::string_view text, size_t& at) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  const uint8_t lead = byte(at);
  if (lead < 0x80) {
    ++at;
    return lead;
  }
  size_t length = 0;
  int32_t point = 0, least = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, point = lead & 0x1F, least = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, point = lead & 0x0F, least = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, point = lead & 0x07, least = 0x10000;
  } else {
    ++at;
    return -1;
  }
  if (at + length > text.size()) {
    ++at;
    return -1;
  }
  for (size_t i = 1; i < length; ++i) {
    const uint8_t next = byte(at + i);
    if ((next & 0xC0) != 0x80) {
      ++at;
      return -1;
    }
    point = point << 6 | (next & 0x3F);
  }
  if (point < least || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
    ++at;
    return -1;
  }
  at += length;
  return point;
}

void AppendUtf8(std::string& out, uint32_t point) {
  if (point < 0x80) {
    out += static_cast<char>(point);
  } else if (point < 0x800) {
    out += static_cast<char>(0xC0 | point >> 6);
    out += static_cast<char>(0x80 | (point & 0x3F));
  } else if (point < 0x10000) {
    out += static_cast<char>(0xE0 | point >> 12);
    out += static_cast<char>(0x80 | (point >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (point & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | point >> 18);
    out += static_cast<char>(0x80 | (point >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (point >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (point & 0x3F));
  }
}

bool IsHighSurrogate(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// The UTF-8 of a UTF-16 text appended to out. An unpaired surrogate is
// written as <U+D800> when marked, and otherwise ends the conversion: false.
bool AppendWide(std::string& out, std::wstring_view text, bool marked) {
  out.reserve(out.size() + text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const wchar_t c = text[i];
    if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      AppendUtf8(out, 0x10000 + ((static_cast<uint32_t>(c) - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
      if (!marked) return false;
      char escaped[12];
      std::snprintf(escaped, sizeof escaped, "<U+%04X>", static_cast<unsigned>(c));
      out += escaped;
    } else {
      AppendUtf8(out, c);
    }
  }
  return true;
}

// The text with each byte that starts no well-formed sequence as \xNN.
std::string ShownUtf8(std::string_view text) {
  std::string shown;
  for (size_t at = 0; at < text.size();) {
    const size_t start = at;
    if (NextCodePoint(text, at) >= 0) {
      shown.append(text.substr(start, at - start));
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<uint8_t>(text[start]));
      shown += escaped;
    }
  }
  return shown;
}

}  // namespace

std::string CodePageProblem() {
  const UINT codePage = GetACP();
  if (codePage == CP_UTF8) return {};
  return "This program needs Windows 10 version 1903 or later, which runs it with UTF-8 as its code page (this "
         "system gives it code page " +
         std::to_string(codePage) + ").";
}

bool IsValidUtf8(std::string_view text) {
  for (size_t at = 0; at < text.size();) {
    if (NextCodePoint(text, at) < 0) return false;
  }
  return true;
}

std::wstring WideFromUtf8(std::string_view text, const std::string& subject) {
  std::wstring wide;
  wide.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    const int32_t point = NextCodePoint(text, at);
    if (point < 0) {
      throw std::runtime_error("The text is not valid UTF-8: " + (subject.empty() ? ShownUtf8(text) : subject));
    }
    if (point < 0x10000) {
      wide += static_cast<wchar_t>(point);
    } else {
      wide += static_cast<wchar_t>(0xD800 + ((point - 0x10000) >> 10));
      wide += static_cast<wchar_t>(0xDC00 + ((point - 0x10000) & 0x3FF));
    }
  }
  return wide;
}

std::string Utf8FromWide(std::wstring_view text, const std::string& what) {
  std::string utf8;
  if (!AppendWide(utf8, text, false)) {
    throw std::runtime_error(what + " holds a character that cannot be represented (an unpaired surrogate): " +
                             ShownName(text));
  }
  return utf8;
}

std::string ShownName(std::wstring_view text) {
  std::string shown;
  AppendWide(shown, text, true);
  return shown;
}

size_t Utf16Length(std::string_view utf8) {
  size_t units = 0;
  for (size_t at = 0; at < utf8.size();) units += NextCodePoint(utf8, at) >= 0x10000 ? 2 : 1;
  return units;
}

std::string Utf8FromWindows1252(std::string_view text) {
  // 0x80 .. 0x9F; the rest of the code page is Latin-1.
  static const uint16_t kHigh[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                     0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                     0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                     0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
  std::string utf8;
  utf8.reserve(text.size());
  for (const char c : text) {
    const uint8_t byte = static_cast<uint8_t>(c);
    AppendUtf8(utf8, byte >= 0x80 && byte < 0xA0 ? kHigh[byte - 0x80] : byte);
  }
  return utf8;
}

cUtf8Console::cUtf8Console() : Previous_(GetConsoleOutputCP()) {
  if (Previous_ != 0 && Previous_ != CP_UTF8) SetConsoleOutputCP(CP_UTF8);
}

cUtf8Console::~cUtf8Console() {
  if (Previous_ != 0 && Previous_ != CP_UTF8) SetConsoleOutputCP(Previous_);
}
