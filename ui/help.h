// Help in the configuration dialogs. The product's help is one HTML page
// (the HelpFilePath setting) that the platform's browser shows; a right
// click on a control with a help context shows a short text for that
// context in a popup. The texts live in one table, in help.cpp.
#pragma once

#include <windows.h>

#include <string>

// The help context of the settings dialog itself: its help page.
constexpr int HELP_CONTEXT_CONTENTS = 9999;

// The popup text of a help context; null for a context without one.
const char* HelpPopupText(int context);

// Opens a file with the program the shell associates with its type (the
// default verb, shown normally) and returns what ShellExecuteA returns: 32 or
// less is a failure. Tests put a recorder in its place.
using ShellOpenFn = HINSTANCE (*)(HWND owner, const std::string& file);
extern ShellOpenFn ShellOpen;
HINSTANCE ShellExecuteOpen(HWND owner, const std::string& file);

// Opens a file through ShellOpen with the hourglass up meanwhile; a failure
// is reported in the "Error" box with the system's text.
void OpenWithShell(HWND owner, const std::string& file);
