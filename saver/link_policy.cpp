#include "saver/link_policy.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <exception>

#include "base/text.h"

#include "base/handles.h"

namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

std::string FullPath(const std::string& path) {
  char buffer[MAX_PATH * 2];
  DWORD n = GetFullPathNameA(path.c_str(), sizeof buffer, buffer, nullptr);
  if (n == 0 || n >= sizeof buffer) return {};
  return buffer;
}

// A link that is no valid UTF-8 resolves to nothing, and is opened nowhere.
std::wstring Widen(const std::string& text) {
  try {
    return WideFromUtf8(text);
  } catch (const std::exception&) {
    return {};
  }
}

// The path as the file system itself names it, upper-cased for comparison:
// short 8.3 names come out long, and letters of any alphabet compare
// without their case. What exists is asked of the opened file or folder (its
// final path); a part that does not exist yet is kept as written after the
// resolved folder above it.
std::wstring ResolvedKey(std::wstring path, int depth = 0) {
  while (path.size() > 3 && path.back() == L'\\') path.pop_back();
  std::wstring resolved;
  handles::UniqueFile handle(CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (handle) {
    wchar_t buffer[MAX_PATH * 2];
    DWORD n = GetFinalPathNameByHandleW(handle.get(), buffer, MAX_PATH * 2, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    handle.reset();
    if (n > 0 && n < MAX_PATH * 2) {
      resolved.assign(buffer, n);
      if (resolved.rfind(L"\\\\?\\UNC\\", 0) == 0)
        resolved = L"\\\\" + resolved.substr(8);
      else if (resolved.rfind(L"\\\\?\\", 0) == 0)
        resolved.erase(0, 4);
    }
  }
  if (resolved.empty()) {
    const size_t cut = path.find_last_of(L'\\');
    if (cut == std::wstring::npos || cut + 1 >= path.size() || depth > 64) {
      resolved = path;
    } else {
      // The parent of "C:\x" is the root "C:\", never "C:" (the drive's
      // current folder).
      std::wstring parent = ResolvedKey(path.substr(0, cut + (cut == 2 && path[1] == L':' ? 1 : 0)), depth + 1);
      if (!parent.empty() && parent.back() != L'\\') parent += L'\\';
      resolved = parent + path.substr(cut + 1);
    }
  }
  if (!resolved.empty()) CharUpperBuffW(resolved.data(), static_cast<DWORD>(resolved.size()));
  return resolved;
}

bool EndsWith(const std::wstring& text, const wchar_t* suffix) {
  const size_t n = wcslen(suffix);
  return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

bool HasControlCharacter(const std::string& text) {
  return std::any_of(text.begin(), text.end(), [](unsigned char c) { return c < 32 || c == 127; });
}

// A mail address as it is plainly written, local@domain, with nothing that
// could carry a subject, a body, more recipients or a quote.
bool IsPlainMailAddress(const std::string& address) {
  const size_t at = address.find('@');
  if (at == 0 || at == std::string::npos || at + 1 >= address.size() || address.size() > 254) return false;
  if (address.find('@', at + 1) != std::string::npos) return false;
  const auto localChar = [](unsigned char c) { return std::isalnum(c) || std::strchr(".!#$'*+-/=^_`{|}~", c); };
  const auto domainChar = [](unsigned char c) { return std::isalnum(c) || c == '-' || c == '.'; };
  return std::all_of(address.begin(), address.begin() + static_cast<std::ptrdiff_t>(at), localChar) &&
         std::all_of(address.begin() + static_cast<std::ptrdiff_t>(at) + 1, address.end(), domainChar);
}

UINT SystemDriveType(const wchar_t* root) { return GetDriveTypeW(root); }

bool IsAdministrativeSid(PSID sid) {
  if (sid == nullptr || !IsValidSid(sid)) return false;
  if (IsWellKnownSid(sid, WinBuiltinAdministratorsSid) || IsWellKnownSid(sid, WinLocalSystemSid)) return true;
  // NT SERVICE\TrustedInstaller, which owns the system's own files.
  static const handles::UniqueLocal installer = [] {
    PSID made = nullptr;
    ConvertStringSidToSidW(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", &made);
    return handles::UniqueLocal(made);
  }();
  return installer && EqualSid(sid, installer.get());
}

}  // namespace

DriveTypeFn LinkDriveType = &SystemDriveType;

bool OnlyAdministratorsCanChange(PSECURITY_DESCRIPTOR sd) {
  if (sd == nullptr || !IsValidSecurityDescriptor(sd)) return false;
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (!GetSecurityDescriptorOwner(sd, &owner, &defaulted) || !IsAdministrativeSid(owner)) return false;
  BOOL present = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) || !present || dacl == nullptr) return false;
  constexpr ACCESS_MASK kChanges = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                                   WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    if (!GetAce(dacl, i, &entry)) return false;
    const auto* header = static_cast<ACE_HEADER*>(entry);
    if ((header->AceFlags & INHERIT_ONLY_ACE) != 0 || header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    const PSID who = const_cast<DWORD*>(&allowed->SidStart);
    if ((allowed->Mask & kChanges) != 0 && !IsAdministrativeSid(who)) return false;
  }
  return true;
}

bool ProgramGuardedBySystem(const std::wstring& path) {
  std::wstring part = path;
  while (part.size() > 3 && part.back() == L'\\') part.pop_back();
  for (int depth = 0; depth < 64 && !part.empty(); ++depth) {
    if (GetFileAttributesW(part.c_str()) != INVALID_FILE_ATTRIBUTES) {
      PSECURITY_DESCRIPTOR sd = nullptr;
      const DWORD status = GetNamedSecurityInfoW(part.c_str(), SE_FILE_OBJECT,
                                                 OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                                                 nullptr, nullptr, nullptr, &sd);
      const handles::UniqueLocal held(sd);
      if (status != ERROR_SUCCESS || !OnlyAdministratorsCanChange(sd)) return false;
    }
    const size_t cut = part.find_last_of(L'\\');
    if (cut == std::wstring::npos || part.size() <= 3) break;
    // The parent of "C:\\x" is the root "C:\\".
    part = part.substr(0, cut == 2 ? 3 : cut);
  }
  return true;
}

ProgramGuardFn ProgramGuarded = &ProgramGuardedBySystem;

std::string LinkRefusal(const std::string& target, const std::vector<std::string>& protectedFolders) {
  if (target.empty()) return "Link refused: the link is empty.";
  if (HasControlCharacter(target)) return "Link refused: the link holds control characters.";
  const std::string lower = Lower(target);
  if (StartsWith(lower, "http://") || StartsWith(lower, "https://")) {
    if (target.find_first_of(" \"") != std::string::npos) return "Link refused: the address holds blanks or quotes.";
    return {};
  }
  if (StartsWith(lower, "mailto:")) {
    if (!IsPlainMailAddress(target.substr(7))) return "Link refused: only a plain mail address (name@domain) is opened.";
    return {};
  }

  // A local program: an absolute path on a drive, to an .exe or .com file.
  if (StartsWith(target, "\\\\") || StartsWith(target, "//"))
    return "Link refused: programs on network paths are not opened.";
  const bool drivePath = target.size() > 3 && std::isalpha(static_cast<unsigned char>(target[0])) &&
                         target[1] == ':' && (target[2] == '\\' || target[2] == '/');
  if (!drivePath) return "Link refused: only web and mail addresses and programs given by full path are opened.";
  const std::string full = FullPath(target);
  if (full.empty()) return "Link refused: the program path is not valid.";
  // Compared as the file system resolves them: a short name or another case
  // must not lead past the rule.
  const std::wstring key = ResolvedKey(Widen(full));
  if (!EndsWith(key, L".EXE") && !EndsWith(key, L".COM")) return "Link refused: only programs (.exe, .com) are opened.";
  // A mapped drive, or a link in the path, that leads to a share is a
  // network path too; a removable drive is one anybody may write.
  if (key.rfind(L"\\\\", 0) == 0) return "Link refused: programs on network paths are not opened.";
  if (key.size() >= 3 && key[1] == L':') {
    const std::wstring root = key.substr(0, 2) + L"\\";
    const UINT type = LinkDriveType(root.c_str());
    if (type == DRIVE_REMOTE) return "Link refused: programs on network paths are not opened.";
    if (type == DRIVE_REMOVABLE) return "Link refused: programs on removable drives are not opened.";
  }
  for (const std::string& folder : protectedFolders) {
    if (folder.empty()) continue;
    const std::string fullFolder = FullPath(folder);
    if (fullFolder.empty()) continue;
    std::wstring root = ResolvedKey(Widen(fullFolder));
    if (root.empty()) continue;
    if (root.back() != L'\\') root += L'\\';
    if (key.compare(0, root.size(), root) == 0)
      return "Link refused: the program lies in the screensaver's data or downloaded content.";
  }
  // A program another user could have put there, or changed, is theirs.
  if (!ProgramGuarded(key)) return "Link refused: the program lies where not only administrators can change it.";
  return {};
}

std::string NativeProgramPath(const std::string& target) {
  BOOL wow64 = FALSE;
  if (!IsWow64Process(GetCurrentProcess(), &wow64) || !wow64) return target;
  char system[MAX_PATH], windows[MAX_PATH];
  const UINT systemLength = GetSystemDirectoryA(system, MAX_PATH);
  const UINT windowsLength = GetSystemWindowsDirectoryA(windows, MAX_PATH);
  if (systemLength == 0 || systemLength >= MAX_PATH || windowsLength == 0 || windowsLength >= MAX_PATH) return target;
  const std::string full = FullPath(target);
  std::string folder = Lower(std::string(system, systemLength));
  if (!folder.empty() && folder.back() != '\\') folder += '\\';
  if (full.size() <= folder.size() || Lower(full.substr(0, folder.size())) != folder) return target;
  std::string native(windows, windowsLength);
  if (native.back() != '\\') native += '\\';
  native += "Sysnative";
  // Only where the alias exists (64-bit Windows from Vista with its update on).
  if (GetFileAttributesA(native.c_str()) == INVALID_FILE_ATTRIBUTES) return target;
  return native + "\\" + full.substr(folder.size());
}
