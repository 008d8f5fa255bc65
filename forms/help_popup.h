// The help popup: a small window with a short text at a point of the
// screen, as the system shows "What's this?" help.
#pragma once

#include <windows.h>

#include <string>

namespace forms {

// Shows the popup in the dialog font at dpi. The next mouse press anywhere,
// or the next popup, closes it.
HWND ShowHelpPopup(HWND owner, POINT screen, const std::string& text, int dpi);
// The popup shown now, or null.
HWND HelpPopupWindow();
void CloseHelpPopup();

}  // namespace forms
