// paktool's command line and its archive commands. Each command is a row of
// the table below: its words, how many arguments it takes, its options and
// the function that does it. Arguments are checked before any file is
// touched (exit status 2, with the usage); everything that then goes wrong
// is a file or format error (exit status 1) reported naming its file. Every
// archive is opened through cPakFile, read-only unless the command writes.
#include "tools/paktool/paktool.h"

#include <windows.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>

#include "base/errors.h"
#include "base/files.h"
#include "base/handles.h"
#include "base/little_endian.h"
#include "store/pak.h"
#include "tools/paktool/catalog_tool.h"
#include "tools/paktool/description.h"
#include "tools/paktool/key_tool.h"
#include "tools/paktool/sync_tool.h"

namespace {

constexpr char kUsage[] =
    "usage: paktool list ARCHIVE\n"
    "       paktool get ARCHIVE TYPE ID [OUTFILE]\n"
    "       paktool create ARCHIVE [--transform HEX16]\n"
    "       paktool put ARCHIVE TYPE ID FILE [--plain]\n"
    "       paktool compact ARCHIVE\n"
    "       paktool catalog show CATALOG [--json]\n"
    "       paktool catalog build DESCRIPTION.json CATALOG\n"
    "       paktool sync show SYNCFILE [--json]\n"
    "       paktool sync build DESCRIPTION.json SYNCFILE [--files FOLDER] [--sign PRIVATE.key\n"
    "                                                     [--key-change CHANGEFILE]]\n"
    "       paktool sync verify SYNCFILE PUBLIC.pub [--files FOLDER]\n"
    "       paktool key new PRIVATE.key PUBLIC.pub\n"
    "       paktool key change OLD.key NEW.pub FROMVERSION CHANGEFILE\n"
    "TYPE   four characters such as PSTR, or 0x and eight hex digits\n"
    "ID     a whole number; for put also \"new\" (the next free id, printed)\n"
    "HEX16  the eight transform bytes as sixteen hex digits, such as 061D5A2603530000\n"
    "put stores the body transformed (when the archive has a transform) unless --plain.\n"
    "sync build --files adds each file's size and SHA-256 (found in FOLDER by name); --sign needs it.\n"
    "key change signs a hand-over to NEW.pub with OLD.key; sync build --sign NEW.key --key-change puts it in.\n"
    "Exit status: 0 done, 1 file or format error, 2 bad arguments.\n";

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Arguments {
  std::vector<std::string> Positional;
  std::map<std::string, std::string> Options;  // the options given, with their values

  bool Has(const std::string& option) const { return Options.count(option) != 0; }
};

struct OptionSpec {
  const char* Name;
  bool TakesValue;
};

struct Command {
  const char* Group;  // the first word for two-word commands, else null
  const char* Name;
  size_t MinArguments;
  size_t MaxArguments;
  std::vector<OptionSpec> Options;
  int (*Run)(const Arguments& args, std::ostream& out);
};

std::string NameFile(const std::string& path, const std::string& text) {
  return text.find(path) != std::string::npos ? text : path + ": " + text;
}

// Runs work on one file; any failure that does not name its file yet is
// reported as a failure of path.
template <typename Work>
void OnFile(const std::string& path, Work work) {
  try {
    work();
  } catch (const ToolError&) {
    throw;
  } catch (const std::exception& e) {
    throw ToolError(NameFile(path, e.what()));
  }
}

std::string TypeName(uint32_t type) {
  std::string name;
  for (int i = 0; i < 4; ++i) {
    const char c = static_cast<char>(type >> (8 * i));
    if (c < 0x21 || c > 0x7E) {
      char hex[16];
      std::snprintf(hex, sizeof hex, "0x%08X", type);
      return hex;
    }
    name += c;
  }
  return name;
}

uint32_t ParseType(const std::string& text) {
  if (text.size() == 4) return GetLe32(text.data());
  uint8_t bytes[4];
  if (text.size() == 10 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') &&
      ParseHexBytes(text.substr(2), bytes, 4)) {
    return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
           static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
  }
  throw UsageError("TYPE must be four characters or 0x and eight hex digits: " + text);
}

int32_t ParseId(const std::string& text, bool allowNew) {
  if (allowNew && text == "new") return PAK_NEW_ID;
  int64_t value = 0;
  const char* end = text.data() + text.size();
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const auto result = hex ? std::from_chars(text.data() + 2, end, value, 16) : std::from_chars(text.data(), end, value);
  // Hex gives the bit pattern, so 0xFFFFFFFF is -1.
  const int64_t lowest = hex ? 0 : INT32_MIN, highest = hex ? UINT32_MAX : INT32_MAX;
  if (text.empty() || result.ec != std::errc() || result.ptr != end || value < lowest || value > highest) {
    throw UsageError("ID must be a whole number from " + std::to_string(INT32_MIN) + " to " +
                     std::to_string(INT32_MAX) + (allowNew ? " or \"new\"" : "") + ": " + text);
  }
  return static_cast<int32_t>(static_cast<uint32_t>(value));
}

int List(const Arguments& args, std::ostream& out) {
  const std::string& path = args.Positional[0];
  OnFile(path, [&] {
    cPakFile pak(path, true, nullptr, GENERIC_READ);
    out << "DataBase " << pak.DataBase() << " DataEnd " << pak.DataEnd() << " DirectorySize " << pak.DirectorySize()
        << " capacity " << pak.Capacity() << " count " << pak.Count() << " transform "
        << HexBytes(pak.TransformSpec(), PAK_SPEC_SIZE) << "\n";
    for (uint32_t i = 0; i < pak.Count(); ++i) {
      const PakSlot slot = pak.Slot(i);
      out << TypeName(slot.Type) << " " << slot.Id << " " << slot.Offset << " " << slot.Length;
      if (slot.Attribute != 0) out << " attribute " << slot.Attribute;
      if (slot.Deleted != 0) out << " deleted";
      if (slot.Transformed != 0) out << " transformed";
      out << "\n";
    }
  });
  return PAKTOOL_OK;
}

int Get(const Arguments& args, std::ostream& out) {
  const std::string& path = args.Positional[0];
  const uint32_t type = ParseType(args.Positional[1]);
  const int32_t id = ParseId(args.Positional[2], false);
  std::string body;
  OnFile(path, [&] {
    cPakFile pak(path, true, nullptr, GENERIC_READ);
    if (pak.FindEntry(type, id) < 0) throw ToolError(path + ": no entry " + TypeName(type) + " " + std::to_string(id));
    uint32_t length = 0;
    char* data = nullptr;
    pak.ReadEntry(type, id, &length, &data);
    body.assign(data, length);
    pak.ReleaseEntry(type, id, data);
  });
  if (args.Positional.size() > 3) {
    WriteWholeFile(args.Positional[3], body.data(), body.size());
  } else {
    out.write(body.data(), static_cast<std::streamsize>(body.size()));
  }
  return PAKTOOL_OK;
}

int Create(const Arguments& args, std::ostream&) {
  const std::string& path = args.Positional[0];
  uint8_t spec[PAK_SPEC_SIZE];
  const bool transformed = args.Has("--transform");
  if (transformed && !ParseHexBytes(args.Options.at("--transform"), spec, sizeof spec)) {
    throw UsageError("--transform needs the eight transform bytes as sixteen hex digits: " +
                     args.Options.at("--transform"));
  }
  // An archive is never replaced by accident: it may be someone's only copy.
  if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) throw ToolError(path + ": already exists");
  OnFile(path, [&] { cPakFile pak(path, false, transformed ? spec : nullptr, GENERIC_READ | GENERIC_WRITE); });
  return PAKTOOL_OK;
}

int Put(const Arguments& args, std::ostream& out) {
  const std::string& path = args.Positional[0];
  const uint32_t type = ParseType(args.Positional[1]);
  const int32_t id = ParseId(args.Positional[2], true);
  const std::string& source = args.Positional[3];
  const std::string body = ReadWholeFile(source);
  // A length of 0 would tell WriteEntry to store a string.
  if (body.empty()) throw ToolError(source + ": empty; an entry holds at least one byte");
  OnFile(path, [&] {
    cPakFile pak(path, true, nullptr, GENERIC_READ | GENERIC_WRITE);
    const int32_t used =
        pak.WriteEntry(type, id, 0, !args.Has("--plain"), static_cast<uint32_t>(body.size()), body.data());
    if (id == PAK_NEW_ID) out << TypeName(type) << " " << used << "\n";
  });
  return PAKTOOL_OK;
}

uint32_t DeletedSlots(const cPakFile& pak) {
  uint32_t deleted = 0;
  for (uint32_t i = 0; i < pak.Count(); ++i) deleted += pak.Slot(i).Deleted != 0 ? 1 : 0;
  return deleted;
}

// Compaction is what closing an archive with deleted slots or unused bytes
// does anyway; a failed one leaves the archive as it was, which is checked
// afterwards (the reason goes to the program's log).
int Compact(const Arguments& args, std::ostream& out) {
  const std::string& path = args.Positional[0];
  OnFile(path, [&] {
    const uint64_t before = GetFileSizeByName(path);
    uint32_t deleted = 0;
    bool compact = false;
    {
      cPakFile pak(path, true, nullptr, GENERIC_READ | GENERIC_WRITE);
      deleted = DeletedSlots(pak);
      compact = pak.IsCompact();
    }
    if (compact) {
      out << path << ": nothing to compact\n";
      return;
    }
    cPakFile check(path, true, nullptr, GENERIC_READ);
    if (!check.IsCompact()) throw ToolError(path + ": compaction failed; the archive is as it was");
    out << path << ": " << deleted << " deleted slots removed, " << before << " -> " << GetFileSizeByName(path)
        << " bytes\n";
  });
  return PAKTOOL_OK;
}

int ShowCatalogCommand(const Arguments& args, std::ostream& out) {
  const std::string& path = args.Positional[0];
  // Built whole before it is printed, so a failure prints no half report.
  std::ostringstream report;
  OnFile(path, [&] { ShowCatalog(path, args.Has("--json"), report); });
  out << report.str();
  return PAKTOOL_OK;
}

int BuildCatalogCommand(const Arguments& args, std::ostream&) {
  const std::string& catalog = args.Positional[1];
  OnFile(catalog, [&] { BuildCatalog(args.Positional[0], catalog); });
  return PAKTOOL_OK;
}

int ShowSyncCommand(const Arguments& args, std::ostream& out) {
  const std::string& path = args.Positional[0];
  std::ostringstream report;
  OnFile(path, [&] { ShowSync(path, args.Has("--json"), report); });
  out << report.str();
  return PAKTOOL_OK;
}

std::string OptionValue(const Arguments& args, const std::string& option) {
  const auto it = args.Options.find(option);
  return it != args.Options.end() ? it->second : std::string();
}

int BuildSyncCommand(const Arguments& args, std::ostream&) {
  const std::string& sync = args.Positional[1];
  if (args.Has("--sign") && !args.Has("--files")) {
    throw UsageError("sync build: --sign needs --files (a signed list gives the size and hash of every file)");
  }
  if (args.Has("--key-change") && !args.Has("--sign")) {
    throw UsageError("sync build: --key-change needs --sign with the new key it hands over to");
  }
  OnFile(sync, [&] {
    BuildSync(args.Positional[0], sync, OptionValue(args, "--files"), OptionValue(args, "--sign"),
              OptionValue(args, "--key-change"));
  });
  return PAKTOOL_OK;
}

int VerifySyncCommand(const Arguments& args, std::ostream& out) {
  const std::string& sync = args.Positional[0];
  bool good = false;
  std::ostringstream report;
  OnFile(sync, [&] { good = VerifySync(sync, args.Positional[1], OptionValue(args, "--files"), report); });
  out << report.str();
  return good ? PAKTOOL_OK : PAKTOOL_FAILED;
}

int NewKeyCommand(const Arguments& args, std::ostream& out) {
  NewKeyFiles(args.Positional[0], args.Positional[1], out);
  return PAKTOOL_OK;
}

int KeyChangeCommand(const Arguments& args, std::ostream& out) {
  const std::string& version = args.Positional[2];
  char* end = nullptr;
  const unsigned long long from = std::strtoull(version.c_str(), &end, 10);
  if (version.empty() || *end != '\0' || version[0] == '-' || from > UINT32_MAX) {
    throw UsageError("key change: FROMVERSION is a list version, a whole number from 1 to 4294967295");
  }
  NewKeyChangeFile(args.Positional[0], args.Positional[1], static_cast<uint32_t>(from), args.Positional[3], out);
  return PAKTOOL_OK;
}

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = {
      {nullptr, "list", 1, 1, {}, List},
      {nullptr, "get", 3, 4, {}, Get},
      {nullptr, "create", 1, 1, {{"--transform", true}}, Create},
      {nullptr, "put", 4, 4, {{"--plain", false}}, Put},
      {nullptr, "compact", 1, 1, {}, Compact},
      {"catalog", "show", 1, 1, {{"--json", false}}, ShowCatalogCommand},
      {"catalog", "build", 2, 2, {}, BuildCatalogCommand},
      {"sync", "show", 1, 1, {{"--json", false}}, ShowSyncCommand},
      {"sync", "build", 2, 2, {{"--files", true}, {"--sign", true}, {"--key-change", true}}, BuildSyncCommand},
      {"sync", "verify", 2, 2, {{"--files", true}}, VerifySyncCommand},
      {"key", "new", 2, 2, {}, NewKeyCommand},
      {"key", "change", 4, 4, {}, KeyChangeCommand},
  };
  return commands;
}

// The command the words name and its arguments; throws UsageError.
const Command& ParseCommandLine(const std::vector<std::string>& words, Arguments& args) {
  if (words.empty()) throw UsageError("no command given");
  const Command* found = nullptr;
  size_t used = 0;
  for (const Command& command : Commands()) {
    if (command.Group == nullptr && words[0] == command.Name) {
      found = &command;
      used = 1;
    } else if (command.Group != nullptr && words[0] == command.Group && words.size() > 1 && words[1] == command.Name) {
      found = &command;
      used = 2;
    }
    if (found != nullptr) break;
  }
  if (found == nullptr) {
    for (const Command& command : Commands()) {
      if (command.Group != nullptr && words[0] == command.Group) {
        throw UsageError("unknown " + words[0] + " command: " + (words.size() > 1 ? words[1] : std::string("(none)")));
      }
    }
    throw UsageError("unknown command: " + words[0]);
  }

  const std::string name = found->Group != nullptr ? std::string(found->Group) + " " + found->Name : found->Name;
  for (size_t i = used; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (word.rfind("--", 0) != 0) {
      args.Positional.push_back(word);
      continue;
    }
    const OptionSpec* option = nullptr;
    for (const OptionSpec& spec : found->Options) {
      if (word == spec.Name) option = &spec;
    }
    if (option == nullptr) throw UsageError(name + " has no option " + word);
    if (args.Has(word)) throw UsageError(word + " given twice");
    if (option->TakesValue && i + 1 >= words.size()) throw UsageError(word + " needs a value");
    args.Options[word] = option->TakesValue ? words[++i] : std::string();
  }
  if (args.Positional.size() < found->MinArguments) throw UsageError(name + ": too few arguments");
  if (args.Positional.size() > found->MaxArguments) throw UsageError(name + ": too many arguments");
  return *found;
}

}  // namespace

std::string ReadWholeFile(const std::string& path) {
  cFile file;
  const handles::ScopeExit close([&] { file.Close(); });
  try {
    file.Open(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file.Handle, &size)) ThrowLastError(path);
    if (size.QuadPart > 0x7FFFFFFF) ThrowCode(ERROR_FILE_TOO_LARGE, path);
    std::string data(static_cast<size_t>(size.QuadPart), '\0');
    if (!data.empty()) file.Read(data.data(), static_cast<DWORD>(data.size()));
    return data;
  } catch (const std::exception& e) {
    throw ToolError(NameFile(path, e.what()));
  }
}

void WriteWholeFile(const std::string& path, const void* data, size_t size) {
  cFile file;
  const handles::ScopeExit close([&] { file.Close(); });
  try {
    file.Create(path, FILE_ATTRIBUTE_NORMAL, 0);
    if (size > 0) file.Write(data, static_cast<DWORD>(size));
  } catch (const std::exception& e) {
    throw ToolError(NameFile(path, e.what()));
  }
}

int RunPaktool(const std::vector<std::string>& words, std::ostream& out, std::ostream& err) {
  try {
    if (words.size() == 1 && (words[0] == "--help" || words[0] == "help")) {
      out << kUsage;
      return PAKTOOL_OK;
    }
    Arguments args;
    const Command& command = ParseCommandLine(words, args);
    const int status = command.Run(args, out);
    out.flush();
    return status;
  } catch (const UsageError& e) {
    err << "paktool: " << e.what() << "\n" << kUsage;
    return PAKTOOL_BAD_USAGE;
  } catch (const std::exception& e) {
    err << "paktool: " << e.what() << "\n";
    return PAKTOOL_FAILED;
  } catch (...) {
    err << "paktool: unexpected failure\n";
    return PAKTOOL_FAILED;
  }
}
