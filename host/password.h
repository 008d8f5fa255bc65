// The desktop's screensaver password and the preview host window. The
// password modules are loaded by name at the moment of use; where they do not
// exist the saver closes without asking and a change does nothing.
#pragma once

#include <windows.h>

// True when the user's desktop values ask for a password, or when the
// system says it guards the screensaver itself (SystemGuardsSaver).
bool IsPasswordProtected();
// Whether the system guards the screensaver with the user's password
// (SPI_GETSCREENSAVESECURE). Group Policy can say so without touching the
// user's own values, so both are asked. Replaceable, for tests: Wine keeps
// no policies.
using SystemGuardsSaverFn = bool (*)();
extern SystemGuardsSaverFn SystemGuardsSaver;
bool AskSystemGuardsSaver();
// The seconds after the screensaver starts during which Windows lets input
// end it without the password (the machine's ScreenSaverGracePeriod, which
// may be stored as a number or as text; 5 where it is absent).
DWORD ScreenSaverGraceSeconds();
// Locks the workstation now (LockWorkStation). Replaceable, for tests: Wine
// has no lock screen.
using LockWorkstationFn = bool (*)();
extern LockWorkstationFn LockTheWorkstation;
BOOL VerifyPassword(HWND window);
void ChangePassword(HWND window);
// Makes the application window (hidden) and the form window (shown if it
// was) disabled children of HostWindow.
void ParentToHost(HWND applicationWindow, HWND formWindow);
