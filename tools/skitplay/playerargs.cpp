#include "tools/skitplay/playerargs.h"

#include <cstdio>
#include <stdexcept>

#include "base/handles.h"
#include "tools/skitplay/skitanim.h"

namespace skit {

std::string ArgumentFileFor(const std::string& programPath) {
  size_t dot = programPath.rfind('.');
  if (dot == std::string::npos || dot == 0) return programPath + ".arg";
  return programPath.substr(0, dot) + ".arg";
}

namespace {

int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool AllDigits(const std::string& text, size_t maxLength) {
  if (text.empty() || text.size() > maxLength) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

std::string Value(const Arguments& arguments, const char* name) {
  auto found = arguments.find(name);
  return found == arguments.end() ? std::string() : found->second;
}

}  // namespace

std::string DecodeValue(const std::string& value) {
  std::string decoded;
  decoded.reserve(value.size());
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '%' && i + 2 < value.size() && Hex(value[i + 1]) >= 0 && Hex(value[i + 2]) >= 0) {
      decoded += static_cast<char>(Hex(value[i + 1]) * 16 + Hex(value[i + 2]));
      i += 2;
    } else {
      decoded += value[i];
    }
  }
  return decoded;
}

Arguments ParseArguments(const std::string& text) {
  std::string body = text;
  while (!body.empty() && (body.back() == '\n' || body.back() == '\r')) body.pop_back();
  Arguments arguments;
  size_t start = 0;
  while (start <= body.size()) {
    size_t end = body.find('&', start);
    if (end == std::string::npos) end = body.size();
    std::string pair = body.substr(start, end - start);
    size_t equals = pair.find('=');
    if (equals != std::string::npos && equals > 0) arguments[pair.substr(0, equals)] = DecodeValue(pair.substr(equals + 1));
    start = end + 1;
  }
  return arguments;
}

Arguments ReadArgumentFile(const std::string& path) {
  handles::UniqueFile file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file)
    throw std::runtime_error("cannot open the argument file " + path + ": " + SystemErrorText(GetLastError()));
  std::string bytes(kMaxArgumentFileBytes + 1, '\0');
  DWORD got = 0;
  BOOL read = ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr);
  DWORD error = GetLastError();
  file.reset();
  if (!read) throw std::runtime_error("cannot read the argument file " + path + ": " + SystemErrorText(error));
  if (got > kMaxArgumentFileBytes) throw std::runtime_error("the argument file " + path + " is larger than 64 KiB");
  bytes.resize(got);
  return ParseArguments(bytes);
}

std::string CornerText(const Arguments& arguments) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::string run = Value(arguments, "SS_RunCount");
  if (!AllDigits(run, 9)) run = "?";

  std::string date = "?";
  std::string month = Value(arguments, "SS_Month");
  std::string day = Value(arguments, "SS_Day");
  if (AllDigits(month, 2) && AllDigits(day, 2)) {
    int m = std::stoi(month);
    int d = std::stoi(day);
    if (m >= 1 && m <= 12 && d >= 1 && d <= 31) date = std::to_string(d) + " " + kMonths[m - 1];
  }

  std::string sound = Value(arguments, "SS_Sound");
  // SS_Sound is the mute flag: 1 when the user chose never to hear sound
  // (or heard it once already this run), 0 when the skit may play its sound.
  const char* soundText = sound == "1" ? "off" : sound == "0" ? "on" : "?";
  return "Run " + run + " | " + date + " | Sound " + soundText;
}

std::string KeyLabel(WPARAM key) {
  if ((key >= '0' && key <= '9') || (key >= 'A' && key <= 'Z')) return std::string(1, static_cast<char>(key));
  if (key >= VK_F1 && key <= VK_F24) return "F" + std::to_string(key - VK_F1 + 1);
  if (key >= VK_NUMPAD0 && key <= VK_NUMPAD9) return "Num " + std::to_string(key - VK_NUMPAD0);
  switch (key) {
    case VK_SPACE: return "Space";
    case VK_RETURN: return "Enter";
    case VK_ESCAPE: return "Esc";
    case VK_TAB: return "Tab";
    case VK_BACK: return "Backspace";
    case VK_LEFT: return "Left";
    case VK_RIGHT: return "Right";
    case VK_UP: return "Up";
    case VK_DOWN: return "Down";
    case VK_HOME: return "Home";
    case VK_END: return "End";
    case VK_PRIOR: return "Page Up";
    case VK_NEXT: return "Page Down";
    case VK_INSERT: return "Insert";
    case VK_DELETE: return "Delete";
    case VK_SHIFT: return "Shift";
    case VK_CONTROL: return "Ctrl";
    case VK_MENU: return "Alt";
    default: break;
  }
  char text[16];
  std::snprintf(text, sizeof text, "key 0x%02X", static_cast<unsigned>(key & 0xFFFF));
  return text;
}

}  // namespace skit
