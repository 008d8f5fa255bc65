#include "base/settings.h"

#include <cstring>
#include <stdexcept>
#include <vector>

#include "base/files.h"
#include "base/handles.h"
#include "base/text.h"

cSettings* TheSettings = nullptr;

const std::string& CurrentSetting(std::string cSettings::*member) {
  static const std::string none;
  return TheSettings != nullptr ? TheSettings->*member : none;
}

int CurrentSyncMethod() { return TheSettings != nullptr ? TheSettings->SyncMethod : 0; }

namespace {

const char kNoNewSkits[] = "There are no new skits available to download.";
const char kNoNewContent[] = "There are no new content modules available to download.";

}  // namespace

// A variable that is not set would leave a relative path behind
// ("%LOCALAPPDATA%\x" in whatever folder is current), so it is an error,
// never a folder name.
std::string ExpandValue(const std::string& name, const std::string& text) {
  for (size_t open = text.find('%'); open != std::string::npos;) {
    const size_t close = text.find('%', open + 1);
    if (close == std::string::npos) break;
    const std::string variable = text.substr(open + 1, close - open - 1);
    if (!variable.empty() && GetEnvironmentVariableA(variable.c_str(), nullptr, 0) == 0)
      throw std::runtime_error("The value '" + name + "' names %" + variable + "%, which is not set.");
    open = text.find('%', close + 1);
  }
  // Expanded through the wide call: a folder name that UTF-8 cannot carry is
  // refused with the name, never turned into another folder's name.
  const std::wstring wide = WideFromUtf8(text, "the value '" + name + "'");
  DWORD size = ExpandEnvironmentStringsW(wide.c_str(), nullptr, 0);
  std::vector<wchar_t> expanded(size + 1, L'\0');
  if (size == 0 || ExpandEnvironmentStringsW(wide.c_str(), expanded.data(), size + 1) == 0)
    throw std::runtime_error("The value '" + name + "' cannot be expanded.");
  return Utf8FromWide(expanded.data(), "The value '" + name + "'");
}

namespace {

// Raised by RegistryReader for a value of the wrong type.
class RegistryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Read-only access to one key, in the manner of the class library's registry
// object: a missing value is reported by HasValue, a value of the wrong type
// raises RegistryError.
class RegistryReader {
 public:
  RegistryReader() = default;
  RegistryReader(const RegistryReader&) = delete;
  RegistryReader& operator=(const RegistryReader&) = delete;
  ~RegistryReader() { Close(); }

  bool OpenReadOnly(HKEY root, const std::string& path) {
    Close();
    return RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, Key_.put()) == ERROR_SUCCESS;
  }
  void Close() { Key_.reset(); }
  bool HasValue(const std::string& name) const {
    return RegQueryValueExA(Key_.get(), name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  }
  // A REG_EXPAND_SZ value comes back with its environment variables
  // expanded; a REG_SZ value exactly as stored.
  // Read through the wide call, for the same reason as the expansion.
  std::string ReadString(const std::string& name) const {
    const std::wstring wideName = WideFromUtf8(name);
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(Key_.get(), wideName.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
      throw RegistryError("Failed to get data for '" + name + "'");
    if (type != REG_SZ && type != REG_EXPAND_SZ) throw RegistryError("Invalid data type for '" + name + "'");
    std::vector<wchar_t> data(size / sizeof(wchar_t) + 1, L'\0');
    if (RegQueryValueExW(Key_.get(), wideName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) !=
        ERROR_SUCCESS)
      throw RegistryError("Failed to get data for '" + name + "'");
    std::string text = Utf8FromWide(data.data(), "The value '" + name + "'");  // up to the first NUL
    return type == REG_EXPAND_SZ ? ExpandValue(name, text) : text;
  }
  int32_t ReadInteger(const std::string& name) const {
    DWORD type = 0, value = 0, size = sizeof value;
    LONG status = RegQueryValueExA(Key_.get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    if (type != REG_DWORD || (status != ERROR_SUCCESS && status != ERROR_MORE_DATA))
      throw RegistryError("Invalid data type for '" + name + "'");
    return static_cast<int32_t>(value);
  }

 private:
  handles::UniqueKey Key_;
};

// Restores the cursor it replaced.
class WaitCursor {
 public:
  WaitCursor() : Previous_(SetCursor(LoadCursorA(nullptr, IDC_WAIT))) {}
  ~WaitCursor() { SetCursor(Previous_ != nullptr ? Previous_ : LoadCursorA(nullptr, IDC_ARROW)); }
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;

 private:
  HCURSOR Previous_;
};

}  // namespace

std::string SettingsKeyFor(const std::string& programName) { return "Software\\Brindlecove\\" + programName; }

cSettings::cSettings() {
  Messages[0] = kNoNewSkits;
  TheSettings = this;

  // The name as the file system stores it, also when started by its short name.
  std::string stored;
  FileFindName(stored, ModuleFileName());
  std::string name;
  SplitPath(stored, nullptr, &name);
  size_t dot = name.rfind('.');
  if (dot != std::string::npos) name.erase(dot);
  ProgramName = name;
  RegistryKey = SettingsKeyFor(ProgramName);
}

cSettings::~cSettings() {
  if (TheSettings == this) TheSettings = nullptr;
}

void cSettings::SetMessage(int index, const std::string& text) {
  if (index == 0) Messages[0] = text;
}

std::string cSettings::DataFile(const std::string& name) const {
  if (!DataPath.empty()) return JoinPath(DataPath, name);
  std::string folder;
  SplitPath(ModuleFileName(), &folder, nullptr);
  return JoinPath(folder, name);
}

void cSettings::Load() {
  std::string failure;
  try {
    RegistryReader registry;
    if (!registry.OpenReadOnly(HKEY_LOCAL_MACHINE, RegistryKey))
      throw std::runtime_error("Registry keys are missing. Please reinstall this product.");
    const struct {
      const char* name;
      std::string* member;
    } strings[] = {{"Player", &Player},         {"SkitsPath", &SkitsPath},       {"OpsFilePath", &OpsFilePath},
                   {"DownloadPath", &DownloadPath}, {"HelpFilePath", &HelpFilePath}, {"LogPath", &LogPath},
                   {"AboutURL", &AboutURL},   {"DataPath", &DataPath},         {"SeedPath", &SeedPath}};
    for (const auto& value : strings) {
      if (registry.HasValue(value.name)) *value.member = registry.ReadString(value.name);
    }
    registry.Close();
    if (registry.OpenReadOnly(HKEY_CURRENT_USER, RegistryKey)) {
      if (registry.HasValue("Sound")) Sound = static_cast<int8_t>(registry.ReadInteger("Sound"));
      if (registry.HasValue("SyncMethod")) SyncMethod = static_cast<int8_t>(registry.ReadInteger("SyncMethod"));
      registry.Close();
    }
  } catch (const RegistryError& e) {
    failure = std::string("Error reading registry. ") + e.what() + " " + RegistryKey;
  } catch (const std::exception& e) {
    failure = std::string("Error reading registry. ") + e.what() + " " + RegistryKey;
  } catch (...) {
    failure = "Error reading registry: unknown exception.";
  }
  // The application is not titled yet when the settings are loaded: the box
  // carries the program's name, as the class library's message box would.
  if (!failure.empty()) MessageBoxA(MessageOwner, failure.c_str(), ProgramName.c_str(), MB_OK);
}

void cSettings::Save() {
  WaitCursor wait;
  handles::UniqueKey key;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, RegistryKey.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(),
                      nullptr) != ERROR_SUCCESS)
    return;
  DWORD sound = static_cast<DWORD>(static_cast<int32_t>(Sound));
  DWORD syncMethod = static_cast<DWORD>(static_cast<int32_t>(SyncMethod));
  RegSetValueExA(key.get(), "Sound", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&sound), sizeof sound);
  RegSetValueExA(key.get(), "SyncMethod", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&syncMethod),
                 sizeof syncMethod);
}

cSettings_Dem::cSettings_Dem() { Messages[0] = kNoNewContent; }
cSettings_Dem::~cSettings_Dem() = default;
void cSettings_Dem::Load() { cSettings::Load(); }
void cSettings_Dem::Save() { cSettings::Save(); }

bool cRegKey::Open(HKEY root, const std::string& path, const std::string& subKey) {
  Close();
  std::string full = subKey.empty() ? path : path + "\\" + subKey;
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, full.c_str(), 0, KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY, &key) != ERROR_SUCCESS)
    return false;
  Key = key;
  return true;
}

void cRegKey::Close() {
  if (Key != nullptr) RegCloseKey(Key);
  Key = nullptr;
}

DWORD cRegKey::ReadDword(const std::string& name, DWORD defaultValue) const {
  if (Key == nullptr) return defaultValue;
  DWORD value = 0, size = sizeof value;
  if (RegQueryValueExA(Key, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS)
    return defaultValue;
  return value;
}

DWORD cRegKey::ReadString(const std::string& name, char* buffer, DWORD size, const char* defaultText) const {
  if (Key != nullptr && size > 0) {
    DWORD stored = size;
    if (RegQueryValueExA(Key, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &stored) ==
        ERROR_SUCCESS) {
      if (stored == 0 || stored > size || buffer[stored - 1] != '\0') {
        // Make sure what the caller gets is terminated inside its buffer.
        if (stored < size)
          buffer[stored] = '\0';
        else
          buffer[size - 1] = '\0';
      }
      return stored;
    }
  }
  if (size > 0) lstrcpynA(buffer, defaultText != nullptr ? defaultText : "", static_cast<int>(size));
  return 0;
}
