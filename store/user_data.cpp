#include "store/user_data.h"

#include <windows.h>

#include <cctype>
#include <cstdio>
#include <vector>

#include "base/errors.h"
#include "base/files.h"
#include "base/handles.h"
#include "base/log.h"
#include "base/settings.h"
#include "store/catalogue.h"

namespace {

constexpr char kReinstall[] = "Please reinstall this product.";

bool IsFolder(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsFile(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::string FolderOf(const std::string& path) {
  std::string folder;
  SplitPath(path, &folder, nullptr);
  return folder;
}

std::string NameOf(const std::string& path) {
  std::string name;
  SplitPath(path, nullptr, &name);
  return name;
}

[[noreturn]] void ThrowWithCode(const std::string& text, int32_t code, const std::string& subject) {
  ThrowText(text + " " + ErrorText(code), subject);
}

// The folder and every folder above it that is missing. What is above may
// exist already or be a drive or share that cannot be made: only the folder
// itself has to exist in the end.
void MakeFolder(const std::string& folder) {
  if (folder.empty() || IsFolder(folder)) return;
  int32_t code = ERROR_PATH_NOT_FOUND;
  for (size_t at = folder.find_first_of("\\/"); ; at = folder.find_first_of("\\/", at + 1)) {
    const std::string part = folder.substr(0, at);
    if (!part.empty() && part.back() != ':' && !IsFolder(part)) {
      code = CreateDirectoryA(part.c_str(), nullptr) ? 0 : LastErrorCode();
    }
    if (at == std::string::npos) break;
  }
  if (!IsFolder(folder)) ThrowWithCode("Cannot make the folder for your skits:", code ? code : ERROR_DIRECTORY, folder);
}

// source copied to target by way of a temporary file beside it, so that
// target is always either what it was or a whole copy. Without replace, a
// target that appeared meanwhile (the same user's dialog and screensaver
// starting together) stays as it is.
void CopyWhole(const std::string& source, const std::string& target, bool replace, const std::string& failure) {
  const std::string temporary = target + "." + std::to_string(GetCurrentProcessId()) + ".new";
  if (!CopyFileA(source.c_str(), temporary.c_str(), FALSE)) {
    const int32_t code = LastErrorCode();
    DeleteFileA(temporary.c_str());
    ThrowWithCode(failure, code, target);
  }
  // A read-only copy could never be replaced by the next one.
  SetFileAttributesA(temporary.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (MoveFileExA(temporary.c_str(), target.c_str(), replace ? MOVEFILE_REPLACE_EXISTING : 0)) return;
  const int32_t code = LastErrorCode();
  DeleteFileA(temporary.c_str());
  if (!replace && (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS)) return;
  ThrowWithCode(failure, code, target);
}

// The seed's skits first, the catalogue last: the catalogue is what says
// that the user's folders are ready.
void CopySeed(const cSettings& settings) {
  const std::string seedCatalogue = JoinPath(settings.SeedPath, NameOf(settings.OpsFilePath));
  if (!IsFile(seedCatalogue)) {
    ThrowText(std::string("The setup's starting catalogue is missing. ") + kReinstall, seedCatalogue);
  }
  const std::string seedSkits = JoinPath(settings.SeedPath, SEED_SKITS_FOLDER);
  if (!settings.SkitsPath.empty()) {
    WIN32_FIND_DATAA entry;
    const handles::UniqueFind search(FindFirstFileA(JoinPath(seedSkits, "*").c_str(), &entry));
    if (!search) {
      const int32_t code = LastErrorCode();
      // A seed without skits is a seed: only one that cannot be read is not.
      if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND && code != ERROR_NO_MORE_FILES) {
        ThrowWithCode(std::string("The setup's starting skits cannot be read. ") + kReinstall, code, seedSkits);
      }
    } else {
      do {
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
        CopyWhole(JoinPath(seedSkits, entry.cFileName), JoinPath(settings.SkitsPath, entry.cFileName), true,
                  "Cannot copy the starting skits into your folder:");
      } while (FindNextFileA(search.get(), &entry));
    }
  }
  CopyWhole(seedCatalogue, settings.OpsFilePath, false, "Cannot copy the starting catalogue into your folder:");
  LogWrite(LOG_INFO, "Your skits were set up from %s", settings.SeedPath.c_str());
}

// The user's player is the master copy's twin. One that cannot be replaced
// (the same user's player still running) plays on as it is.
void RefreshPlayer(const cSettings& settings) {
  if (settings.Player.empty()) return;
  const std::string master = JoinPath(settings.SeedPath, NameOf(settings.Player));
  const bool haveCopy = IsFile(settings.Player);
  if (!IsFile(master)) {
    if (haveCopy) {
      LogWrite(LOG_ERROR, "The master copy of the player is missing: %s", master.c_str());
      return;
    }
    ThrowText(std::string("The player program is missing. ") + kReinstall, master);
  }
  if (haveCopy && SameFileBytes(master, settings.Player)) return;
  try {
    CopyWhole(master, settings.Player, true, "Cannot copy the player program into your folder:");
  } catch (const std::exception& error) {
    if (!haveCopy) throw;
    LogWrite(LOG_ERROR, "%s", error.what());
  }
}

class Reader {
 public:
  explicit Reader(const std::string& path)
      : Handle_(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_SEQUENTIAL_SCAN, nullptr)) {}

  bool Size(LARGE_INTEGER& size) const { return Handle_ && GetFileSizeEx(Handle_.get(), &size); }
  // Bytes read into block, 0 at the end or on failure.
  DWORD Read(std::vector<char>& block) const {
    DWORD got = 0;
    if (!ReadFile(Handle_.get(), block.data(), static_cast<DWORD>(block.size()), &got, nullptr)) return 0;
    return got;
  }

 private:
  handles::UniqueFile Handle_;
};

}  // namespace

bool SameFileBytes(const std::string& a, const std::string& b) {
  Reader first(a), second(b);
  LARGE_INTEGER sizeA{}, sizeB{};
  if (!first.Size(sizeA) || !second.Size(sizeB) || sizeA.QuadPart != sizeB.QuadPart) return false;
  std::vector<char> blockA(65536), blockB(65536);
  for (LONGLONG left = sizeA.QuadPart; left > 0;) {
    const DWORD gotA = first.Read(blockA);
    const DWORD gotB = second.Read(blockB);
    if (gotA == 0 || gotA != gotB || std::char_traits<char>::compare(blockA.data(), blockB.data(), gotA) != 0)
      return false;
    left -= gotA;
  }
  return true;
}

namespace {

bool AllOf(const std::string& text, size_t from, size_t to, int (*test)(int)) {
  if (from >= to || to > text.size()) return false;
  for (size_t i = from; i < to; ++i)
    if (!test(static_cast<unsigned char>(text[i]))) return false;
  return true;
}

// Deletes the files of folder whose names `leftover` accepts.
template <typename Accept>
void RemoveMatching(const std::string& folder, const char* pattern, Accept leftover) {
  if (folder.empty()) return;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(JoinPath(folder, pattern).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const std::string name = found.cFileName;
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && leftover(name) &&
        DeleteFileA(JoinPath(folder, name).c_str()))
      LogWrite(LOG_INFO, "Removed %s, left by an earlier run", JoinPath(folder, name).c_str());
  } while (FindNextFileA(search, &found));
  FindClose(search);
}

}  // namespace

void RemoveLeftoverFiles(const cSettings& settings) {
  const auto staged = [](const std::string& name) {
    return name.size() == 15 && name.compare(0, 3, "~dg") == 0 && AllOf(name, 3, 11, std::isxdigit) &&
           name.compare(11, 4, ".new") == 0;
  };
  std::vector<std::string> folders = {settings.SkitsPath, settings.DownloadPath, FolderOf(settings.OpsFilePath)};
  for (size_t i = 0; i < folders.size(); ++i) {
    bool seen = false;
    for (size_t j = 0; j < i; ++j) seen = seen || folders[j] == folders[i];
    if (!seen) RemoveMatching(folders[i], "~dg*.new", staged);
  }
  if (settings.OpsFilePath.empty()) return;
  const std::string catalogue = NameOf(settings.OpsFilePath);
  RemoveMatching(FolderOf(settings.OpsFilePath), (catalogue + "*").c_str(), [&](const std::string& name) {
    if (name == catalogue + "1") return true;
    return name.size() > catalogue.size() + 5 && name.compare(0, catalogue.size() + 1, catalogue + ".") == 0 &&
           name.compare(name.size() - 4, 4, ".new") == 0 &&
           AllOf(name, catalogue.size() + 1, name.size() - 4, std::isdigit);
  });
}

void PrepareUserData(const cSettings& settings) {
  if (settings.SeedPath.empty()) return;
  for (const std::string& folder : {settings.DataPath, FolderOf(settings.OpsFilePath), settings.SkitsPath,
                                    settings.DownloadPath, FolderOf(settings.LogPath), FolderOf(settings.Player)}) {
    MakeFolder(folder);
  }
  if (!settings.OpsFilePath.empty() && GetFileAttributesA(settings.OpsFilePath.c_str()) == INVALID_FILE_ATTRIBUTES) {
    CopySeed(settings);
  }
  // The download dialog offers to open the log before anything was logged.
  if (!settings.LogPath.empty() && GetFileAttributesA(settings.LogPath.c_str()) == INVALID_FILE_ATTRIBUTES) {
    const handles::UniqueFile log(CreateFileA(settings.LogPath.c_str(), GENERIC_WRITE,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                                              FILE_ATTRIBUTE_NORMAL, nullptr));
  }
  RefreshPlayer(settings);
}

std::string SetAsideName(const std::string& path, const SYSTEMTIME& date, int n) {
  std::string folder, name;
  SplitPath(path, &folder, &name);
  const size_t dot = name.rfind('.');
  const std::string stem = dot == std::string::npos ? name : name.substr(0, dot);
  const std::string extension = dot == std::string::npos ? std::string() : name.substr(dot);
  char tag[32];
  std::snprintf(tag, sizeof tag, ".%04u-%02u-%02u", date.wYear, date.wMonth, date.wDay);
  std::string aside = stem + tag + (n > 1 ? "." + std::to_string(n) : std::string()) + ".bad" + extension;
  return folder.empty() ? aside : JoinPath(folder, aside);
}

namespace {

// The name the file went to, or empty when it could not be moved.
std::string SetAside(const std::string& path) {
  SYSTEMTIME today;
  GetLocalTime(&today);
  for (int n = 1; n < 1000; ++n) {
    const std::string aside = SetAsideName(path, today, n);
    if (MoveFileExA(path.c_str(), aside.c_str(), MOVEFILE_WRITE_THROUGH)) return aside;
    const DWORD error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) break;
  }
  return {};
}

}  // namespace

std::unique_ptr<cSkitManager> OpenUserCatalogue(const cSettings& settings, bool runMode, std::string& notice) {
  notice.clear();
  try {
    return std::make_unique<cSkitManager>(runMode);
  } catch (const cCodedError& error) {
    const std::string& path = settings.OpsFilePath;
    if (error.Code != ERR_FILE_CORRUPT || settings.SeedPath.empty() || path.empty() ||
        !IsFile(JoinPath(settings.SeedPath, NameOf(path))) || !IsFile(path)) {
      throw;
    }
    const std::string aside = SetAside(path);
    if (aside.empty()) {
      LogWrite(LOG_ERROR, "The catalogue %s does not open and cannot be set aside: %s", path.c_str(),
               LastErrorText().c_str());
      throw;
    }
    LogWrite(LOG_ERROR, "The catalogue %s does not open (%s); it was set aside as %s, and the setup's catalogue "
             "takes its place", path.c_str(), error.what(), aside.c_str());
    notice = "Your skit catalogue could not be opened (" + ErrorText(error.Code) + "). It was kept as " +
             NameOf(aside) + ", and your skits start again from the setup's catalogue.";
  }
  PrepareUserData(settings);
  return std::make_unique<cSkitManager>(runMode);
}
