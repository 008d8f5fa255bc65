#include "store/skit_paths.h"

#include <windows.h>

#include "base/files.h"
#include "base/settings.h"
#include "base/text.h"
#include "store/server_data.h"

bool FolderFile(const std::string& folder, const char* name, std::string& path) {
  path.clear();
  if (folder.empty() || !IsSafeFileName(name)) return false;
  std::string joined = JoinPath(folder, name);
  if (Utf16Length(joined) >= MAX_PATH) return false;
  path = std::move(joined);
  return true;
}

// No catalogue, however it was made, has a file outside the folder deleted
// or taken for a skit.
bool SkitFilePath(const StringRef& name, std::string& path) {
  path.clear();
  const std::string& folder = CurrentSetting(&cSettings::SkitsPath);
  if (folder.empty() || !IsSafeFileName(name.Text)) return false;
  path = JoinPath(folder, name.Text);
  return true;
}

bool AllFilesPresent(const SkitRecord& record) {
  for (uint32_t f = 0; f < FilesInUse(record); ++f) {
    std::string path;
    if (!SkitFilePath(record.Files[f].Name, path) || !FileExists(path)) return false;
  }
  return true;
}
