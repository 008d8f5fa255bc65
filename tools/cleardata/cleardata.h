// cleardata: removes folders of the screensaver's data for the setup and the
// uninstaller, which run with administrator rights, in folders that other
// accounts can write: each user's own data folder, and the machine-wide
// data folder of earlier setups, where every user could create files.
//
// In such a folder a user may put a link (a junction or a symbolic link)
// where a folder of ours was, so that a remover working by name would
// delete whatever the link leads to with the administrator's rights. So
// nothing is removed by name here: each entry is opened as itself
// (FILE_FLAG_OPEN_REPARSE_POINT, so a link is the link, never its target),
// held open without delete sharing (it cannot be renamed or swapped while
// held), and removed through that handle (delete disposition) only when
// the system's final path of the handle lies inside the folder being
// removed. A link is removed as a link; what it leads to is never entered.
// A root folder reached through a link above it is refused whole.
#pragma once

#include <windows.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace cleardata {

constexpr int kDone = 0;         // everything asked for is gone (or was never there)
constexpr int kIncomplete = 1;   // something could not be removed
constexpr int kUsage = 2;

// The form in which paths are compared: no "\\?\" prefix, upper case,
// no trailing separator.
std::wstring CompareKey(std::wstring path);
// The full path, short (8.3) names as their long ones.
std::wstring FullPath(const std::wstring& path);
// The final path of an open handle as the system resolves it (with its
// "\\?\" prefix); empty on failure.
std::wstring SystemFinalPath(HANDLE handle);
// Enables what lets an administrator set any owner, take any object over
// and load another user's part of the registry.
void EnableAdministratorPrivileges();
// The system's text for an error code, without its line end.
std::wstring SystemText(DWORD code);
// The names in the folder the handle holds (not "." and ".."), read through
// the handle: the very folder that was opened, whatever its path leads to by
// now. `error` is 0, or why the list is incomplete.
std::vector<std::wstring> Names(HANDLE folder, DWORD& error);

class Remover {
 public:
  explicit Remover(std::wostream& out);

  // Removes folder and everything in it. True when nothing of it is left.
  bool RemoveTree(const std::wstring& folder);
  // Removes the named entries of folder (each a file, or a folder with
  // everything in it), then folder itself when nothing else is left in it.
  // A name must be a plain name (no separators, not "." or ".."). True when
  // none of the names is left.
  bool RemoveNames(const std::wstring& folder, const std::vector<std::wstring>& names);

  // The final path of an open handle as the system resolves it (with its
  // "\\?\" prefix); empty on failure. Tests replace it to see what happens
  // when an entry turns out to lead elsewhere.
  std::function<std::wstring(HANDLE)> FinalPath;

 private:
  // The folder's final path when it is reached through no link above it.
  bool OpenRoot(const std::wstring& folder, std::wstring& final, bool& isLink);
  bool RemoveEntry(const std::wstring& path, const std::wstring& rootKey, const std::wstring& shown, int depth);
  void Say(const std::wstring& text);

  std::wostream& Out_;
};

// The data folder `name` in the local application data folder of every
// profile the profile list names (the system's is
// HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\ProfileList; tests
// give another key), and in `ownLocalAppData` (the caller's own, which a
// redirected profile may have elsewhere); each once.
std::vector<std::wstring> ProfileDataFolders(HKEY profileList, const std::wstring& name,
                                             const std::wstring& ownLocalAppData);

// The whole program: its arguments (without the program name), its report.
int Run(const std::vector<std::wstring>& args, std::wostream& out);

}  // namespace cleardata
