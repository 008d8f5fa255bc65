// The desktop's screensaver password and the preview host window. The
// password modules are loaded by name at the moment of use; where they do not
// exist the saver closes without asking and a change does nothing.
#pragma once

#include <windows.h>

bool IsPasswordProtected();
BOOL VerifyPassword(HWND window);
void ChangePassword(HWND window);
// Makes the application window (hidden) and the form window (shown if it
// was) disabled children of HostWindow.
void ParentToHost(HWND applicationWindow, HWND formWindow);
