// Every user's choice of screensaver, as far as the uninstaller can reach
// it: the value SCRNSAVE.EXE under "Control Panel\Desktop" of each profile
// the profile list names. A profile whose user is signed in has its part of
// the registry loaded under HKEY_USERS; any other is loaded from the
// profile's NTUSER.DAT for the while (which an administrator may do) and
// unloaded again. A value that names one of the removed programs goes, as
// the Screen Saver Settings remove it when the user chooses none; a value
// naming another screensaver stays.
#pragma once

#include <windows.h>

#include <ostream>
#include <string>
#include <vector>

namespace cleardata {

// Whether the SCRNSAVE.EXE value `value` names one of `programs` (full paths;
// short and long names of the same file are the same program).
bool NamesOneOf(const std::wstring& value, const std::vector<std::wstring>& programs);

// Removes SCRNSAVE.EXE from each profile of `profileList` (the system's is
// HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\ProfileList; tests give
// another) where it names one of `programs`. True when every profile could
// be looked at; what could not is said.
bool ForgetScreensaver(HKEY profileList, const std::vector<std::wstring>& programs, std::wostream& out);

}  // namespace cleardata
