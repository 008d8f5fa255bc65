// Reading hand-written JSON descriptions (the catalogue description, and the
// synchronisation file's once paktool builds those too) into the program's
// records, and the value forms the descriptions and paktool's reports share:
// local date-times, hex byte strings, texts in UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

// Field order is kept, so a report lists fields in the order they are written.
using Json = nlohmann::ordered_json;

// A description that cannot be used. what() is "path: reason", where path
// names the field in JSON terms ("records[2].files[1].name").
class DescriptionError : public std::runtime_error {
 public:
  DescriptionError(const std::string& path, const std::string& reason)
      : std::runtime_error(path.empty() ? reason : path + ": " + reason) {}
};

// An enumeration value and the word a description may use for it.
struct NamedValue {
  const char* Name;
  uint32_t Value;
};

// The word for value, or null when it has none.
const char* NameOf(const NamedValue* names, size_t count, uint32_t value);

// The fields of one JSON object, taken one by one. Each getter checks its
// field's type and range and throws DescriptionError with the field's path;
// an absent field gives the fallback. Finish() then refuses any field that
// no getter asked for, so a misspelt name is reported, not ignored.
class FieldReader {
 public:
  // Throws when value is not an object.
  FieldReader(const Json& value, std::string path);

  bool Has(const char* name) const;
  std::string PathOf(const char* name) const;
  // The field itself, marked as taken; null when absent.
  const Json* Take(const char* name);
  // Throws "missing field" when absent.
  const Json& Require(const char* name);

  uint8_t U8(const char* name, uint8_t fallback);
  int32_t I32(const char* name, int32_t fallback);
  uint32_t U32(const char* name, uint32_t fallback);
  uint64_t U64(const char* name, uint64_t fallback);
  // A word from names or a number from 0 to 255.
  uint8_t Choice(const char* name, const NamedValue* names, size_t count, uint8_t fallback);
  // true, false or a number from 0 to 255.
  uint8_t Flag(const char* name, uint8_t fallback);
  uint64_t Date(const char* name, uint64_t fallback);
  // A text, or null for "no text"; an absent field is no text too.
  std::optional<std::string> Text(const char* name);
  // Exactly size bytes as hex digits; an absent field leaves bytes alone.
  void Bytes(const char* name, uint8_t* bytes, size_t size);

  void Finish() const;

 private:
  const Json& Object_;
  std::string Path_;
  std::set<std::string> Taken_;
};

// Whole numbers: a JSON number, or a text "0x" followed by hex digits.
int64_t ReadInteger(const Json& value, const std::string& path, int64_t lowest, int64_t highest);
uint64_t ReadUnsigned64(const Json& value, const std::string& path);
// A date: the raw number, a local date-time text ("YYYY-MM-DD HH:MM:SS", or
// "never" for the largest value), or the object {"raw": ..., "local": ...}
// that paktool's reports print (either member; both must then agree).
uint64_t ReadDate(const Json& value, const std::string& path);
std::optional<std::string> ReadText(const Json& value, const std::string& path);

// Date values are local FILETIMEs (100 ns since 1601), as cDateTime keeps them.
constexpr uint64_t DATE_NEVER = UINT64_MAX;
bool ParseLocalDateTime(const std::string& text, uint64_t& value);
// "YYYY-MM-DD HH:MM:SS" (fractions of a second dropped), "never" for
// DATE_NEVER, empty when the value is past what a date-time can show.
std::string FormatLocalDateTime(uint64_t value);
// {"raw": value, "local": text or null}
Json DateJson(uint64_t value);

// Upper-case hex, two digits a byte, no separators.
std::string HexBytes(const uint8_t* bytes, size_t size);
// Exactly 2 * size hex digits (either case); false otherwise.
bool ParseHexBytes(const std::string& text, uint8_t* bytes, size_t size);
bool AllZero(const uint8_t* bytes, size_t size);

