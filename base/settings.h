// The installation paths (read-only, under the local machine) and the user's
// two choices (under the current user), kept in the registry below
// "Software\Brindlecove\<program name>". A path stored as REG_EXPAND_SZ
// ("%LOCALAPPDATA%\Drearigrams\skits") is expanded as it is read, so one
// machine-wide value names each user's own folder.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

class cSettings {
 public:
  cSettings();
  cSettings(const cSettings&) = delete;
  cSettings& operator=(const cSettings&) = delete;
  virtual ~cSettings();
  // Reads the registry; reports its own failures in a message box and never throws.
  virtual void Load();
  // Writes Sound and SyncMethod to the user's key; failures are swallowed.
  virtual void Save();
  void SetMessage(int index, const std::string& text);
  // `name` in DataPath, or beside the program when DataPath is empty.
  std::string DataFile(const std::string& name) const;

  std::string ProgramName;
  std::string RegistryKey;
  std::string DownloadPath;
  std::string OpsFilePath;
  std::string Player;
  std::string HelpFilePath;
  std::string SkitsPath;
  std::string LogPath;
  std::string AboutURL;
  // The user's own folder of what the program writes as it runs (its ".ini"
  // file and its own log); empty for an installation that names none.
  std::string DataPath;
  // The folder of what the setup delivers for every user to start from: the
  // catalogue, the skits and the master copy of the player (see
  // store/user_data.h); empty for an installation without one.
  std::string SeedPath;
  int8_t Sound = 0;       // 0 always, 1 once, 2 never
  int8_t SyncMethod = 0;  // 0 download new skits automatically, 2 only on request
  std::string Messages[1];

  // Where Load's message box goes; tests point it at a window of theirs.
  HWND MessageOwner = nullptr;
};

// The edition class; differs only in the "nothing new" text.
class cSettings_Dem : public cSettings {
 public:
  cSettings_Dem();
  ~cSettings_Dem() override;
  void Load() override;
  void Save() override;
};

extern cSettings* TheSettings;

// A setting of TheSettings, or empty / 0 while there are none (tools and
// tests that run without).
const std::string& CurrentSetting(std::string cSettings::*member);
int CurrentSyncMethod();

// The text of a REG_EXPAND_SZ value `name` with its environment variables
// replaced by their values; throws std::runtime_error naming a variable that
// is not set.
std::string ExpandValue(const std::string& name, const std::string& text);

// The registry path of the settings for a program name.
std::string SettingsKeyFor(const std::string& programName);

// A registry key handle; failures are return values, never exceptions.
class cRegKey {
 public:
  cRegKey() = default;
  cRegKey(const cRegKey&) = delete;
  cRegKey& operator=(const cRegKey&) = delete;
  ~cRegKey() { Close(); }

  bool Open(HKEY root, const std::string& path, const std::string& subKey);
  void Close();
  DWORD ReadDword(const std::string& name, DWORD defaultValue) const;
  // Bytes stored (terminator included), or 0 with defaultText copied in.
  DWORD ReadString(const std::string& name, char* buffer, DWORD size, const char* defaultText) const;

  HKEY Key = nullptr;
};
