// Display scale. Forms are designed at 96 DPI; a form lays itself out at the
// DPI of the monitor it is on, which per-monitor aware programs learn from
// GetDpiForWindow and WM_DPICHANGED. Those calls exist from Windows 10 (1607)
// on and are looked up at run time: on older systems every window has the
// system DPI, the one of the screen's device context.
#pragma once

#include <windows.h>

namespace forms {

constexpr int kDesignDpi = 96;

// The face and height (LOGFONT lfHeight at 96 DPI) of the dialogs' text.
// "MS Shell Dlg 2" is the system's name for its dialog font: an outline font
// that scales to every size, where the old bitmap fonts do not.
extern const char kDialogFontName[];
constexpr int kDialogFontHeight = -11;

// A 96-DPI design value at dpi, rounded to the nearest pixel.
inline int ScaleToDpi(int value, int dpi) { return MulDiv(value, dpi, kDesignDpi); }

int SystemDpi();
int WindowDpi(HWND window);
// AdjustWindowRectEx with the frame and caption of the given DPI.
void AdjustWindowRectForDpi(RECT& rect, DWORD style, DWORD exStyle, int dpi);
int SystemMetricForDpi(int index, int dpi);
// Centres a top-level window in the work area of its monitor, as the system
// centres its own dialogs.
void CentreInWorkArea(HWND window);

}  // namespace forms
