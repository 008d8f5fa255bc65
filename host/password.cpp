#include "host/password.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "base/handles.h"
#include "host/saver_state.h"
#include "base/settings.h"
#include "base/system_library.h"

namespace {

// A system library loaded by name from the system folder, freed when it goes
// out of scope.
class LoadedLibrary {
 public:
  explicit LoadedLibrary(const char* name) : Module_(LoadSystemLibrary(name)) {}

  explicit operator bool() const { return static_cast<bool>(Module_); }
  template <typename Function>
  Function Find(const char* entry) const {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(Module_.get(), entry)));
  }

 private:
  handles::UniqueLibrary Module_;
};

using VerifyScreenSavePwdProc = BOOL(WINAPI*)(HWND);
using PwdChangePasswordProc = DWORD(WINAPI*)(LPCSTR, HWND, DWORD, void*);

}  // namespace

bool AskSystemGuardsSaver() {
  BOOL secure = FALSE;
  return SystemParametersInfoA(SPI_GETSCREENSAVESECURE, 0, &secure, 0) && secure;
}

SystemGuardsSaverFn SystemGuardsSaver = &AskSystemGuardsSaver;

bool IsPasswordProtected() {
  if (SystemGuardsSaver != nullptr && SystemGuardsSaver()) return true;
  cRegKey key;
  if (!key.Open(HKEY_CURRENT_USER, "Control Panel\\Desktop", "")) return false;
  char secure[32];
  key.ReadString("ScreenSaverIsSecure", secure, sizeof secure, "0");
  DWORD usePassword = key.ReadDword("ScreenSaveUsePassword", 0);
  bool result = usePassword != 0 || std::string(secure) != "0";
  key.Close();
  return result;
}

DWORD ScreenSaverGraceSeconds() {
  constexpr DWORD kDefault = 5;
  constexpr DWORD kLongest = 2147483;  // the longest Windows takes, about 24 days
  char value[32] = {};
  DWORD type = 0;
  DWORD size = sizeof value - 1;
  if (RegGetValueA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon",
                   "ScreenSaverGracePeriod", RRF_RT_REG_DWORD | RRF_RT_REG_SZ, &type, value, &size) != ERROR_SUCCESS)
    return kDefault;
  unsigned long seconds = kDefault;
  if (type == REG_DWORD) {
    DWORD number = 0;
    std::memcpy(&number, value, sizeof number);
    seconds = number;
  } else {
    char* end = nullptr;
    seconds = std::strtoul(value, &end, 10);
    if (end == value) return kDefault;
  }
  return seconds > kLongest ? kLongest : static_cast<DWORD>(seconds);
}

namespace {
bool LockWithTheSystem() { return LockWorkStation() != FALSE; }
}  // namespace

LockWorkstationFn LockTheWorkstation = &LockWithTheSystem;

BOOL VerifyPassword(HWND window) {
  LoadedLibrary library("PASSWORD.CPL");
  if (!library) return TRUE;
  auto verify = library.Find<VerifyScreenSavePwdProc>("VerifyScreenSavePwd");
  if (verify == nullptr) return TRUE;
  ShowCursor(TRUE);
  BOOL accepted = verify(window);
  ShowCursor(FALSE);
  return accepted;
}

void ChangePassword(HWND window) {
  LoadedLibrary library("MPR.DLL");
  if (!library) return;
  if (auto change = library.Find<PwdChangePasswordProc>("PwdChangePasswordA")) change("SCRSAVE", window, 0, nullptr);
}

void ParentToHost(HWND applicationWindow, HWND formWindow) {
  if (PreviousForegroundWindow != nullptr) SetForegroundWindow(PreviousForegroundWindow);
  ShowWindow(applicationWindow, SW_HIDE);
  SetParent(applicationWindow, HostWindow);
  SetWindowLongA(applicationWindow, GWL_STYLE, WS_CHILD | WS_DISABLED);
  // The form keeps its visibility: a child style without WS_VISIBLE would
  // leave the preview hidden inside the host for good.
  const LONG visible = GetWindowLongA(formWindow, GWL_STYLE) & WS_VISIBLE;
  SetParent(formWindow, HostWindow);
  SetWindowLongA(formWindow, GWL_STYLE, WS_CHILD | WS_DISABLED | visible);
  if (HostWindow != nullptr) {
    RECT client;
    GetClientRect(HostWindow, &client);
    MoveWindow(formWindow, 0, 0, client.right, client.bottom, FALSE);
  }
}
