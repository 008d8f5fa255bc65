#include "tools/cleardata/screensaver_value.h"

#include <iterator>

#include "base/handles.h"
#include "tools/cleardata/cleardata.h"

namespace cleardata {

namespace {

constexpr wchar_t kDesktop[] = L"\\Control Panel\\Desktop";
constexpr wchar_t kValue[] = L"SCRNSAVE.EXE";

// Removes the value under HKEY_USERS\`user` where it names one of the
// programs; `who` names the profile in the report.
void Forget(const std::wstring& user, const std::wstring& who, const std::vector<std::wstring>& programs,
            std::wostream& out) {
  handles::UniqueKey desktop;
  if (RegOpenKeyExW(HKEY_USERS, (user + kDesktop).c_str(), 0, KEY_QUERY_VALUE | KEY_SET_VALUE, desktop.put()) !=
      ERROR_SUCCESS)
    return;
  wchar_t value[MAX_PATH * 2];
  DWORD size = sizeof value;
  if (RegGetValueW(desktop.get(), nullptr, kValue, RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS) return;
  if (!NamesOneOf(value, programs)) return;
  if (RegDeleteValueW(desktop.get(), kValue) == ERROR_SUCCESS)
    out << L"No longer the screensaver of " << who << L"\n";
  else
    out << L"Cannot change the screensaver of " << who << L"\n";
}

}  // namespace

bool NamesOneOf(const std::wstring& value, const std::vector<std::wstring>& programs) {
  if (value.empty()) return false;
  const std::wstring key = CompareKey(FullPath(value));
  for (const std::wstring& program : programs)
    if (!program.empty() && CompareKey(FullPath(program)) == key) return true;
  return false;
}

bool ForgetScreensaver(HKEY profileList, const std::vector<std::wstring>& programs, std::wostream& out) {
  bool whole = true;
  EnableAdministratorPrivileges();
  for (DWORD index = 0;; ++index) {
    wchar_t sid[256];
    DWORD length = static_cast<DWORD>(std::size(sid));
    if (RegEnumKeyExW(profileList, index, sid, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    handles::UniqueKey loaded;
    if (RegOpenKeyExW(HKEY_USERS, sid, 0, KEY_READ, loaded.put()) == ERROR_SUCCESS) {
      // Signed in: its part of the registry is there already.
      loaded.reset();
      Forget(sid, sid, programs, out);
      continue;
    }
    wchar_t image[MAX_PATH * 2];
    DWORD size = sizeof image;
    if (RegGetValueW(profileList, sid, L"ProfileImagePath", RRF_RT_REG_SZ, nullptr, image, &size) != ERROR_SUCCESS)
      continue;
    std::wstring hive = image;
    if (!hive.empty() && hive.back() == L'\\') hive.pop_back();
    hive += L"\\NTUSER.DAT";
    if (GetFileAttributesW(hive.c_str()) == INVALID_FILE_ATTRIBUTES) continue;
    const std::wstring mount = std::wstring(L"Drearigrams uninstall ") + sid;
    const LONG result = RegLoadKeyW(HKEY_USERS, mount.c_str(), hive.c_str());
    if (result != ERROR_SUCCESS) {
      out << L"Cannot look at the screensaver of " << sid << L" (" << hive << L"): "
          << SystemText(static_cast<DWORD>(result)) << L"\n";
      whole = false;
      continue;
    }
    Forget(mount, sid, programs, out);
    RegUnLoadKeyW(HKEY_USERS, mount.c_str());
  }
  return whole;
}

}  // namespace cleardata
