// What the screensaver tells the player: the argument file beside the player
// program, its name=value pairs, and the texts the player shows from them.
#pragma once

#include <windows.h>

#include <map>
#include <string>

namespace skit {

using Arguments = std::map<std::string, std::string>;

constexpr size_t kMaxArgumentFileBytes = 64 * 1024;

// The argument file of a program: its path with everything from the last "."
// replaced by ".arg" (a "." in the first place does not count), or ".arg"
// appended when there is no such ".": C:\X\skitplay.exe gives C:\X\skitplay.arg.
std::string ArgumentFileFor(const std::string& programPath);

// "%XX" (two hexadecimal digits, either case) becomes that byte; a "%" not
// followed by two hexadecimal digits stays as it is; nothing else changes.
std::string DecodeValue(const std::string& value);

// Pairs name=value joined by "&". The name runs to the first "=" and is taken
// as it is; the value is decoded. A piece without "=" or with an empty name
// is skipped; of two pairs with the same name the later wins. Line breaks at
// the very end of the text (left there by a hand-written file) are dropped.
Arguments ParseArguments(const std::string& text);

// Reads and parses an argument file; throws std::runtime_error naming the
// file when it cannot be read or is larger than kMaxArgumentFileBytes.
Arguments ReadArgumentFile(const std::string& path);

// The corner line: run count, the date the player was given and the sound
// flag, for example "Run 3 | 7 Mar | Sound off". Values that are missing or
// malformed show as "?".
std::string CornerText(const Arguments& arguments);

// A readable name for a virtual-key code: "F5", "A", "Space", "Left" ...
std::string KeyLabel(WPARAM virtualKey);

}  // namespace skit
