// The installation paths (read-only, under the local machine) and the user's
// two choices (under the current user), kept in the registry below
// "Software\Brindlecove\<program name>".
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
  // The machine-wide folder of what the program writes as it runs (its
  // ".ini" file and its own log); empty for an installation that names none.
  std::string DataPath;
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
