#include "tools/cleardata/cleardata.h"

#include <algorithm>
#include <iterator>
#include <memory>

#include "base/handles.h"
#include "tools/cleardata/program_folder.h"
#include "tools/cleardata/screensaver_value.h"

namespace cleardata {

namespace {

// Deeper than any folder of ours: a tree nested further is not entered.
constexpr int kMaxDepth = 128;

const wchar_t kUsageText[] =
    L"usage: cleardata tree FOLDER\n"
    L"         removes FOLDER with everything in it\n"
    L"       cleardata names FOLDER NAME...\n"
    L"         removes the named files and folders of FOLDER, then FOLDER when it is left empty\n"
    L"       cleardata profiles NAME\n"
    L"         removes the folder NAME from the local application data folder of every user profile\n"
    L"       cleardata own FOLDER SDDL [NAME...]\n"
    L"         makes FOLDER the program folder with the rights SDDL names, keeping only the named\n"
    L"         entries of an earlier installation; refuses a folder other accounts can change\n"
    L"       cleardata screensaver PROGRAM...\n"
    L"         removes the choice of screensaver from every user profile where it names a PROGRAM\n"
    L"Links are removed as links; nothing they lead to is touched.\n";

std::wstring WithoutPrefix(const std::wstring& path) {
  if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\\\" + path.substr(8);
  if (path.rfind(L"\\\\?\\", 0) == 0) return path.substr(4);
  return path;
}

// What an entry is opened for: to look at it and into it, or to remove it
// as well. A folder that is some program's current folder, or holds a
// running program, cannot be opened for removal, but can still be emptied.
constexpr DWORD kLook = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr DWORD kRemove = kLook | DELETE | FILE_WRITE_ATTRIBUTES;

// The entry itself, never what a link leads to; held without delete
// sharing, so nobody renames, removes or replaces it while it is held.
class Entry {
 public:
  Entry(const std::wstring& path, DWORD access)
      : Handle_(CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)),
        Error_(!Handle_ ? GetLastError() : 0) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (Handle_ && GetFileInformationByHandle(Handle_.get(), &info)) Attributes_ = info.dwFileAttributes;
  }

  bool Open() const { return static_cast<bool>(Handle_); }
  bool Missing() const { return Error_ == ERROR_FILE_NOT_FOUND || Error_ == ERROR_PATH_NOT_FOUND; }
  DWORD Error() const { return Error_; }
  HANDLE Handle() const { return Handle_.get(); }
  bool IsLink() const { return (Attributes_ & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
  bool IsFolder() const { return (Attributes_ & FILE_ATTRIBUTE_DIRECTORY) != 0; }

  // Marks the entry for deletion when its handle closes; 0 or the error.
  DWORD MarkDeleted() {
    if ((Attributes_ & FILE_ATTRIBUTE_READONLY) != 0) {
      // A read-only file refuses deletion: the attribute goes first.
      FILE_BASIC_INFO basic{};
      basic.FileAttributes = Attributes_ & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
      if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
      SetFileInformationByHandle(Handle_.get(), FileBasicInfo, &basic, sizeof basic);
    }
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    if (SetFileInformationByHandle(Handle_.get(), FileDispositionInfo, &disposition, sizeof disposition)) return 0;
    return GetLastError();
  }
  void Close() { Handle_.reset(); }

 private:
  handles::UniqueFile Handle_;
  DWORD Error_;
  DWORD Attributes_ = 0;
};

bool Inside(const std::wstring& key, const std::wstring& rootKey) {
  if (key == rootKey) return true;
  std::wstring prefix = rootKey;
  if (prefix.empty() || prefix.back() != L'\\') prefix += L'\\';
  return key.size() > prefix.size() && key.compare(0, prefix.size(), prefix) == 0;
}

bool IsPlainName(const std::wstring& name) {
  return !name.empty() && name != L"." && name != L".." && name.find_first_of(L"\\/:") == std::wstring::npos;
}

}  // namespace

std::wstring SystemFinalPath(HANDLE handle) {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (int attempt = 0; attempt < 3; ++attempt) {
    const DWORD n = GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()),
                                              FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0) return {};
    if (n < buffer.size()) return std::wstring(buffer.data(), n);
    buffer.resize(n + 1);
  }
  return {};
}

std::wstring SystemText(DWORD code) {
  handles::UniqueLocal text;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                               FORMAT_MESSAGE_MAX_WIDTH_MASK,
                           nullptr, code, 0, reinterpret_cast<wchar_t*>(text.put()), 0, nullptr);
  std::wstring result =
      n > 0 && text ? std::wstring(static_cast<const wchar_t*>(text.get()), n) : L"error " + std::to_wstring(code);
  while (!result.empty() && (result.back() == L' ' || result.back() == L'\r' || result.back() == L'\n'))
    result.pop_back();
  return result;
}

// The names in the folder the handle holds, without "." and "..", read
// through that handle: the very folder that was checked, whatever its path
// leads to by now.
std::vector<std::wstring> Names(HANDLE folder, DWORD& error) {
  std::vector<std::wstring> names;
  error = 0;
  std::vector<char> buffer(65536);
  for (FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;; kind = FileIdBothDirectoryInfo) {
    if (!GetFileInformationByHandleEx(folder, kind, buffer.data(), static_cast<DWORD>(buffer.size()))) {
      error = GetLastError();
      if (error == ERROR_NO_MORE_FILES) error = 0;
      return names;
    }
    for (size_t at = 0;;) {
      const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer.data() + at);
      const std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
      if (name != L"." && name != L"..") names.push_back(name);
      if (entry->NextEntryOffset == 0) break;
      at += entry->NextEntryOffset;
    }
  }
}

std::wstring FullPath(const std::wstring& path) {
  std::vector<wchar_t> buffer(MAX_PATH);
  DWORD n = GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
  if (n >= buffer.size()) {
    buffer.resize(n + 1);
    n = GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
  }
  if (n == 0 || n >= buffer.size()) return path;
  std::wstring full(buffer.data(), n);
  // Short (8.3) names as the long names the system resolves them to.
  std::vector<wchar_t> longer(MAX_PATH);
  n = GetLongPathNameW(full.c_str(), longer.data(), static_cast<DWORD>(longer.size()));
  if (n >= longer.size()) {
    longer.resize(n + 1);
    n = GetLongPathNameW(full.c_str(), longer.data(), static_cast<DWORD>(longer.size()));
  }
  return n > 0 && n < longer.size() ? std::wstring(longer.data(), n) : full;
}

void EnableAdministratorPrivileges() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return;
  handles::UniqueHandle owned(token);
  for (const wchar_t* name : {L"SeRestorePrivilege", L"SeTakeOwnershipPrivilege", L"SeBackupPrivilege"}) {
    TOKEN_PRIVILEGES privileges{1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
    if (LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid))
      AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
  }
}

std::wstring CompareKey(std::wstring path) {
  path = WithoutPrefix(path);
  while (path.size() > 3 && path.back() == L'\\') path.pop_back();
  if (!path.empty()) CharUpperBuffW(path.data(), static_cast<DWORD>(path.size()));
  return path;
}

Remover::Remover(std::wostream& out) : FinalPath(SystemFinalPath), Out_(out) {}

void Remover::Say(const std::wstring& text) { Out_ << text << L"\n"; }

bool Remover::OpenRoot(const std::wstring& folder, std::wstring& final, bool& isLink) {
  final.clear();
  isLink = false;
  const std::wstring full = FullPath(folder);
  Entry root(full, kLook);
  if (!root.Open()) {
    if (!root.Missing()) Say(L"Not removed " + full + L": " + SystemText(root.Error()));
    return root.Missing();
  }
  final = FinalPath(root.Handle());
  if (final.empty() || CompareKey(final) != CompareKey(full)) {
    Say(L"Not removed " + full + L": it is reached through a link" +
        (final.empty() ? std::wstring() : L" to " + WithoutPrefix(final)));
    final.clear();
    return false;
  }
  isLink = root.IsLink();
  return true;
}

bool Remover::RemoveEntry(const std::wstring& path, const std::wstring& rootKey, const std::wstring& shown,
                          int depth) {
  std::unique_ptr<Entry> entry = std::make_unique<Entry>(path, kRemove);
  DWORD inUse = 0;
  if (!entry->Open() && entry->Error() == ERROR_SHARING_VIOLATION) {
    inUse = entry->Error();
    entry = std::make_unique<Entry>(path, kLook);
  }
  if (!entry->Open()) {
    if (entry->Missing()) return true;
    Say(L"Not removed " + shown + L": " + SystemText(inUse != 0 ? inUse : entry->Error()));
    return false;
  }
  const std::wstring final = FinalPath(entry->Handle());
  if (final.empty() || !Inside(CompareKey(final), rootKey)) {
    Say(L"Not removed " + shown + L": it leads out of the folder being removed");
    return false;
  }
  bool whole = true;
  if (entry->IsFolder() && !entry->IsLink()) {
    if (depth >= kMaxDepth) {
      Say(L"Not removed " + shown + L": its folders are nested too deeply");
      return false;
    }
    DWORD error = 0;
    for (const std::wstring& name : Names(entry->Handle(), error)) {
      whole = RemoveEntry(final + L"\\" + name, rootKey, WithoutPrefix(final) + L"\\" + name, depth + 1) && whole;
    }
    if (error != 0) {
      Say(L"Not removed " + shown + L": " + SystemText(error));
      return false;
    }
    if (!whole) return false;
  }
  if (const DWORD error = inUse != 0 ? inUse : entry->MarkDeleted()) {
    Say(L"Not removed " + shown + L": " + SystemText(error));
    return false;
  }
  if (entry->IsLink()) Say(L"Removed the link " + shown + L" (what it leads to stays)");
  return true;
}

bool Remover::RemoveTree(const std::wstring& folder) {
  std::wstring final;
  bool isLink = false;
  if (!OpenRoot(folder, final, isLink)) return false;
  if (final.empty()) return true;  // nothing there
  const std::wstring shown = WithoutPrefix(final);
  if (!RemoveEntry(final, CompareKey(final), shown, 0)) return false;
  if (!isLink) Say(L"Removed " + shown);
  return true;
}

bool Remover::RemoveNames(const std::wstring& folder, const std::vector<std::wstring>& names) {
  for (const std::wstring& name : names) {
    if (!IsPlainName(name)) {
      Say(L"Not removed \"" + name + L"\": not a plain name");
      return false;
    }
  }
  std::wstring final;
  bool isLink = false;
  if (!OpenRoot(folder, final, isLink)) return false;
  if (final.empty()) return true;
  const std::wstring shown = WithoutPrefix(final);
  const std::wstring rootKey = CompareKey(final);
  // Ours was a folder: a link in its place is somebody else's doing, and
  // only the link goes.
  if (isLink) return RemoveEntry(final, rootKey, shown, 0);

  bool whole = true, anyFound = false;
  for (const std::wstring& name : names) {
    const std::wstring entry = final + L"\\" + name;
    if (GetFileAttributesW(entry.c_str()) == INVALID_FILE_ATTRIBUTES &&
        (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND))
      continue;
    anyFound = true;
    if (RemoveEntry(entry, rootKey, shown + L"\\" + name, 1))
      Say(L"Removed " + shown + L"\\" + name);
    else
      whole = false;
  }

  Entry root(final, kRemove);
  DWORD error = 0;
  if (!root.Open() || CompareKey(FinalPath(root.Handle())) != rootKey || !Names(root.Handle(), error).empty() ||
      error != 0) {
    // Said only where something of ours was: the folder holds more.
    if (anyFound) Say(L"Kept " + shown + L": other files are left in it");
    return whole;
  }
  if (root.MarkDeleted() == 0)
    Say(L"Removed " + shown);
  else
    Say(L"Kept " + shown);
  return whole;
}

std::vector<std::wstring> ProfileDataFolders(HKEY profileList, const std::wstring& name,
                                             const std::wstring& ownLocalAppData) {
  std::vector<std::wstring> folders, keys;
  auto add = [&](const std::wstring& folder) {
    const std::wstring key = CompareKey(folder);
    if (std::find(keys.begin(), keys.end(), key) != keys.end()) return;
    keys.push_back(key);
    folders.push_back(folder);
  };
  if (profileList != nullptr) {
    for (DWORD index = 0;; ++index) {
      wchar_t sid[256];
      DWORD length = static_cast<DWORD>(std::size(sid));
      if (RegEnumKeyExW(profileList, index, sid, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
      // REG_EXPAND_SZ ("%SystemDrive%\Users\ada") comes back expanded.
      wchar_t image[MAX_PATH * 2];
      DWORD size = sizeof image;
      // RRF_RT_REG_SZ takes REG_EXPAND_SZ too, expanded.
      if (RegGetValueW(profileList, sid, L"ProfileImagePath", RRF_RT_REG_SZ, nullptr, image, &size) != ERROR_SUCCESS)
        continue;
      std::wstring profile = image;
      if (profile.empty()) continue;
      if (profile.back() == L'\\') profile.pop_back();
      add(profile + L"\\AppData\\Local\\" + name);
    }
  }
  if (!ownLocalAppData.empty()) {
    std::wstring own = ownLocalAppData;
    if (own.back() == L'\\') own.pop_back();
    add(own + L"\\" + name);
  }
  return folders;
}

int Run(const std::vector<std::wstring>& args, std::wostream& out) {
  if (args.size() == 2 && args[0] == L"tree") {
    Remover remover(out);
    return remover.RemoveTree(args[1]) ? kDone : kIncomplete;
  }
  if (args.size() >= 3 && args[0] == L"names") {
    Remover remover(out);
    return remover.RemoveNames(args[1], std::vector<std::wstring>(args.begin() + 2, args.end())) ? kDone
                                                                                                  : kIncomplete;
  }
  if (args.size() >= 3 && args[0] == L"own") {
    const std::vector<std::wstring> keep(args.begin() + 3, args.end());
    if (std::all_of(keep.begin(), keep.end(), IsPlainName)) return OwnProgramFolder(args[1], args[2], keep, out);
  }
  if (args.size() >= 2 && args[0] == L"screensaver") {
    handles::UniqueKey list;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList", 0,
                      KEY_READ | KEY_WOW64_64KEY, list.put()) != ERROR_SUCCESS)
      return kIncomplete;
    return ForgetScreensaver(list.get(), std::vector<std::wstring>(args.begin() + 1, args.end()), out) ? kDone
                                                                                                     : kIncomplete;
  }
  if (args.size() == 2 && args[0] == L"profiles" && IsPlainName(args[1])) {
    handles::UniqueKey list;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList", 0,
                  KEY_READ | KEY_WOW64_64KEY, list.put());
    wchar_t own[MAX_PATH * 2] = {};
    const DWORD n = GetEnvironmentVariableW(L"LOCALAPPDATA", own, static_cast<DWORD>(std::size(own)));
    const std::vector<std::wstring> folders =
        ProfileDataFolders(list.get(), args[1], n > 0 && n < std::size(own) ? std::wstring(own, n) : std::wstring());
    list.reset();
    Remover remover(out);
    bool whole = true;
    for (const std::wstring& folder : folders) whole = remover.RemoveTree(folder) && whole;
    return whole ? kDone : kIncomplete;
  }
  out << kUsageText;
  return kUsage;
}

}  // namespace cleardata
