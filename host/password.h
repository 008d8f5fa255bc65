// The desktop's screensaver password and the preview host window. The
// password modules are loaded by name at the moment of use; where they do not
// exist the saver closes without asking and a change does nothing.
#pragma once

#include <windows.h>

bool IsPasswordProtected();
BOOL VerifyPassword(HWND window);
void ChangePassword(HWND window);
// Makes the application window and the form window children of HostWindow.
void ParentToHost(HWND applicationWindow, HWND formWindow);
