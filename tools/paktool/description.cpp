// The JSON side of paktool: field-by-field reading with a path for every
// complaint, and the value forms shared by the reports and the descriptions.
// Descriptions are written by hand, so every reader says what it expected
// and where, and nothing unknown passes silently.
#include "tools/paktool/description.h"

#include <windows.h>

#include <cstdio>
#include <utility>

#include "base/text.h"

namespace {

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// "0x" and one to sixteen hex digits.
bool ParseHexNumber(const std::string& text, uint64_t& value) {
  if (text.size() < 3 || text.size() > 18 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) return false;
  value = 0;
  for (size_t i = 2; i < text.size(); ++i) {
    const char c = text[i];
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return false;
    }
    value = value << 4 | static_cast<uint64_t>(digit);
  }
  return true;
}

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : days[month - 1];
}

}  // namespace

const char* NameOf(const NamedValue* names, size_t count, uint32_t value) {
  for (size_t i = 0; i < count; ++i) {
    if (names[i].Value == value) return names[i].Name;
  }
  return nullptr;
}

FieldReader::FieldReader(const Json& value, std::string path) : Object_(value), Path_(std::move(path)) {
  if (!value.is_object()) throw DescriptionError(Path_, "expected an object { ... }");
}

bool FieldReader::Has(const char* name) const { return Object_.contains(name); }

std::string FieldReader::PathOf(const char* name) const { return Path_.empty() ? name : Path_ + "." + name; }

const Json* FieldReader::Take(const char* name) {
  Taken_.insert(name);
  const auto found = Object_.find(name);
  return found == Object_.end() ? nullptr : &*found;
}

const Json& FieldReader::Require(const char* name) {
  const Json* value = Take(name);
  if (value == nullptr) throw DescriptionError(PathOf(name), "missing field");
  return *value;
}

uint8_t FieldReader::U8(const char* name, uint8_t fallback) {
  const Json* value = Take(name);
  return value == nullptr ? fallback : static_cast<uint8_t>(ReadInteger(*value, PathOf(name), 0, UINT8_MAX));
}

int32_t FieldReader::I32(const char* name, int32_t fallback) {
  const Json* value = Take(name);
  return value == nullptr ? fallback : static_cast<int32_t>(ReadInteger(*value, PathOf(name), INT32_MIN, INT32_MAX));
}

uint32_t FieldReader::U32(const char* name, uint32_t fallback) {
  const Json* value = Take(name);
  return value == nullptr ? fallback : static_cast<uint32_t>(ReadInteger(*value, PathOf(name), 0, UINT32_MAX));
}

uint64_t FieldReader::U64(const char* name, uint64_t fallback) {
  const Json* value = Take(name);
  return value == nullptr ? fallback : ReadUnsigned64(*value, PathOf(name));
}

uint8_t FieldReader::Choice(const char* name, const NamedValue* names, size_t count, uint8_t fallback) {
  const Json* value = Take(name);
  if (value == nullptr) return fallback;
  if (value->is_string()) {
    const std::string word = value->get<std::string>();
    for (size_t i = 0; i < count; ++i) {
      if (lstrcmpiA(word.c_str(), names[i].Name) == 0) return static_cast<uint8_t>(names[i].Value);
    }
    std::string words;
    for (size_t i = 0; i < count; ++i) words += (i == 0 ? "" : ", ") + Quoted(names[i].Name);
    throw DescriptionError(PathOf(name), Quoted(word) + " is not one of " + words + " (or a number from 0 to 255)");
  }
  return static_cast<uint8_t>(ReadInteger(*value, PathOf(name), 0, UINT8_MAX));
}

uint8_t FieldReader::Flag(const char* name, uint8_t fallback) {
  const Json* value = Take(name);
  if (value == nullptr) return fallback;
  if (value->is_boolean()) return value->get<bool>() ? 1 : 0;
  return static_cast<uint8_t>(ReadInteger(*value, PathOf(name), 0, UINT8_MAX));
}

uint64_t FieldReader::Date(const char* name, uint64_t fallback) {
  const Json* value = Take(name);
  return value == nullptr ? fallback : ReadDate(*value, PathOf(name));
}

std::optional<std::string> FieldReader::Text(const char* name) {
  const Json* value = Take(name);
  if (value == nullptr) return std::nullopt;
  return ReadText(*value, PathOf(name));
}

void FieldReader::Bytes(const char* name, uint8_t* bytes, size_t size) {
  const Json* value = Take(name);
  if (value == nullptr) return;
  if (!value->is_string() || !ParseHexBytes(value->get<std::string>(), bytes, size)) {
    throw DescriptionError(
        PathOf(name), "expected " + std::to_string(size) + " bytes as " + std::to_string(2 * size) + " hex digits");
  }
}

void FieldReader::Finish() const {
  for (const auto& item : Object_.items()) {
    if (Taken_.count(item.key()) == 0) throw DescriptionError(PathOf(item.key().c_str()), "unknown field");
  }
}

int64_t ReadInteger(const Json& value, const std::string& path, int64_t lowest, int64_t highest) {
  const std::string range = "a whole number from " + std::to_string(lowest) + " to " + std::to_string(highest);
  if (value.is_number_unsigned()) {
    const uint64_t n = value.get<uint64_t>();
    if (n > static_cast<uint64_t>(highest))
      throw DescriptionError(path, std::to_string(n) + " is out of range: expected " + range);
    return static_cast<int64_t>(n);
  }
  if (value.is_number_integer()) {
    const int64_t n = value.get<int64_t>();
    if (n < lowest || n > highest)
      throw DescriptionError(path, std::to_string(n) + " is out of range: expected " + range);
    return n;
  }
  uint64_t hex = 0;
  if (value.is_string() && ParseHexNumber(value.get<std::string>(), hex)) {
    // Hex gives the bit pattern: "0xFFFFFFFF" is -1 for a signed 32-bit field.
    if (lowest < 0 && highest == INT32_MAX && hex <= UINT32_MAX)
      return static_cast<int32_t>(static_cast<uint32_t>(hex));
    if (hex > static_cast<uint64_t>(highest))
      throw DescriptionError(path, value.get<std::string>() + " is out of range: expected " + range);
    return static_cast<int64_t>(hex);
  }
  throw DescriptionError(path, "expected " + range + ", got " + value.dump());
}

uint64_t ReadUnsigned64(const Json& value, const std::string& path) {
  if (value.is_number_unsigned()) return value.get<uint64_t>();
  uint64_t hex = 0;
  if (value.is_string() && ParseHexNumber(value.get<std::string>(), hex)) return hex;
  if (value.is_number_integer()) {
    throw DescriptionError(
        path, value.dump() + " is out of range: expected a whole number from 0 to " + std::to_string(UINT64_MAX));
  }
  throw DescriptionError(path,
                         "expected a whole number from 0 to " + std::to_string(UINT64_MAX) + ", got " + value.dump());
}

uint64_t ReadDate(const Json& value, const std::string& path) {
  const char* expected = "expected a local date-time \"YYYY-MM-DD HH:MM:SS\", \"never\" or a raw number";
  if (value.is_string()) {
    uint64_t date = 0;
    if (!ParseLocalDateTime(value.get<std::string>(), date))
      throw DescriptionError(path, expected + std::string(", got ") + value.dump());
    return date;
  }
  if (value.is_object()) {
    FieldReader date(value, path);
    const Json* raw = date.Take("raw");
    const Json* local = date.Take("local");
    date.Finish();
    if (raw == nullptr && (local == nullptr || local->is_null()))
      throw DescriptionError(path, "needs \"raw\" or \"local\"");
    if (raw == nullptr) return ReadDate(*local, path + ".local");
    const uint64_t number = ReadUnsigned64(*raw, path + ".raw");
    if (local != nullptr) {
      const std::string shown = FormatLocalDateTime(number);
      const bool agree = local->is_null() ? shown.empty() : local->is_string() && local->get<std::string>() == shown;
      if (!agree) throw DescriptionError(path, "\"raw\" and \"local\" give different times; give one of them");
    }
    return number;
  }
  if (value.is_number()) return ReadUnsigned64(value, path);
  throw DescriptionError(path, expected + std::string(", got ") + value.dump());
}

std::optional<std::string> ReadText(const Json& value, const std::string& path) {
  if (value.is_null()) return std::nullopt;
  if (!value.is_string()) throw DescriptionError(path, "expected a text or null, got " + value.dump());
  const std::string utf8 = value.get<std::string>();
  if (utf8.find('\0') != std::string::npos) throw DescriptionError(path, "a text cannot hold a NUL character");
  // Kept as UTF-8: the archives paktool writes say so (store/archive_texts.h).
  if (!IsValidUtf8(utf8)) throw DescriptionError(path, "the text is not valid UTF-8");
  return utf8;
}

bool ParseLocalDateTime(const std::string& text, uint64_t& value) {
  if (text == "never") {
    value = DATE_NEVER;
    return true;
  }
  // Exactly "YYYY-MM-DD HH:MM:SS".
  static const char kPattern[] = "dddd-dd-dd dd:dd:dd";
  if (text.size() != sizeof kPattern - 1) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (kPattern[i] == 'd' ? !digit : text[i] != kPattern[i]) return false;
  }
  auto number = [&](size_t at, size_t width) {
    int n = 0;
    for (size_t i = at; i < at + width; ++i) n = n * 10 + (text[i] - '0');
    return n;
  };
  const int year = number(0, 4), month = number(5, 2), day = number(8, 2);
  const int hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
  if (year < 1601 || year > 30827 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) ||
      hour > 23 || minute > 59 || second > 59) {
    return false;
  }
  SYSTEMTIME time{};
  time.wYear = static_cast<WORD>(year);
  time.wMonth = static_cast<WORD>(month);
  time.wDay = static_cast<WORD>(day);
  time.wHour = static_cast<WORD>(hour);
  time.wMinute = static_cast<WORD>(minute);
  time.wSecond = static_cast<WORD>(second);
  FILETIME file{};
  if (!SystemTimeToFileTime(&time, &file)) return false;
  value = static_cast<uint64_t>(file.dwHighDateTime) << 32 | file.dwLowDateTime;
  return true;
}

std::string FormatLocalDateTime(uint64_t value) {
  if (value == DATE_NEVER) return "never";
  FILETIME file;
  file.dwLowDateTime = static_cast<DWORD>(value);
  file.dwHighDateTime = static_cast<DWORD>(value >> 32);
  SYSTEMTIME time{};
  if (value > static_cast<uint64_t>(INT64_MAX) || !FileTimeToSystemTime(&file, &time)) return {};
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", time.wYear, time.wMonth, time.wDay, time.wHour,
                time.wMinute, time.wSecond);
  return text;
}

Json DateJson(uint64_t value) {
  Json date = Json::object();
  date["raw"] = value;
  const std::string local = FormatLocalDateTime(value);
  date["local"] = local.empty() ? Json(nullptr) : Json(local);
  return date;
}

std::string HexBytes(const uint8_t* bytes, size_t size) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(2 * size);
  for (size_t i = 0; i < size; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  return text;
}

bool ParseHexBytes(const std::string& text, uint8_t* bytes, size_t size) {
  if (text.size() != 2 * size) return false;
  auto digit = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (size_t i = 0; i < size; ++i) {
    const int high = digit(text[2 * i]), low = digit(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    bytes[i] = static_cast<uint8_t>(high << 4 | low);
  }
  return true;
}

bool AllZero(const uint8_t* bytes, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

