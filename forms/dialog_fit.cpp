#include "forms/dialog_fit.h"

#include <vector>

#include "base/handles.h"
#include "forms/scaling.h"
#include "forms/text_extent.h"

namespace forms {

namespace {

std::vector<HWND> ChildWindows(HWND parent) {
  std::vector<HWND> children;
  for (HWND child = GetWindow(parent, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT))
    children.push_back(child);
  return children;
}

RECT RectInParent(HWND child, HWND parent) {
  RECT r;
  GetWindowRect(child, &r);
  MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

void SetClientSizeOf(HWND window, int width, int height, int dpi) {
  RECT r = {0, 0, width, height};
  AdjustWindowRectForDpi(r, static_cast<DWORD>(GetWindowLongA(window, GWL_STYLE)),
                         static_cast<DWORD>(GetWindowLongA(window, GWL_EXSTYLE)), dpi);
  SetWindowPos(window, nullptr, 0, 0, r.right - r.left, r.bottom - r.top, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// The dialog manager's units of a font: the average width of a letter and
// the height of a line.
SIZE DialogBaseUnits(HFONT font) {
  static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  ScreenFontDc dc(font);
  TEXTMETRICA metrics = {};
  GetTextMetricsA(dc.get(), &metrics);
  SIZE letters = {0, 0};
  GetTextExtentPoint32A(dc.get(), kLetters, 52, &letters);
  return SIZE{(letters.cx / 26 + 1) / 2, metrics.tmHeight};
}

void ScaleDialogToDpi(HWND dialog, int dpi) {
  const HFONT font = reinterpret_cast<HFONT>(SendMessageA(dialog, WM_GETFONT, 0, 0));
  LOGFONTA lf = {};
  if (dpi == kDesignDpi || font == nullptr || GetObjectA(font, sizeof lf, &lf) == 0 || lf.lfHeight >= 0) return;
  // The same font at 96 DPI: the template's point size, which is how the
  // dialog manager made it.
  const int points = MulDiv(-lf.lfHeight, 72, dpi);
  LOGFONTA design = lf;
  design.lfHeight = -MulDiv(points, kDesignDpi, 72);
  const handles::UniqueFont designFont(CreateFontIndirectA(&design));
  if (!designFont) return;
  const SIZE now = DialogBaseUnits(font), at96 = DialogBaseUnits(designFont.get());
  if (now.cx <= 0 || now.cy <= 0) return;
  // Pixels now to pixels wanted: at96 x dpi / 96 for every now.
  const int xNum = at96.cx * dpi, xDen = now.cx * kDesignDpi;
  const int yNum = at96.cy * dpi, yDen = now.cy * kDesignDpi;
  for (HWND child : ChildWindows(dialog)) {
    const RECT r = RectInParent(child, dialog);
    const int left = MulDiv(r.left, xNum, xDen), top = MulDiv(r.top, yNum, yDen);
    MoveWindow(child, left, top, MulDiv(r.right, xNum, xDen) - left, MulDiv(r.bottom, yNum, yDen) - top, TRUE);
  }
  RECT client;
  GetClientRect(dialog, &client);
  SetClientSizeOf(dialog, MulDiv(client.right, xNum, xDen), MulDiv(client.bottom, yNum, yDen), dpi);
}

void FitDialogTexts(HWND dialog) {
  const std::vector<HWND> children = ChildWindows(dialog);
  for (HWND child : children) {
    char className[16] = {};
    GetClassNameA(child, className, sizeof className);
    const LONG style = GetWindowLongA(child, GWL_STYLE);
    const LONG type = style & SS_TYPEMASK;
    if (lstrcmpiA(className, "Static") != 0 || (type != SS_LEFT && type != SS_CENTER && type != SS_RIGHT)) continue;
    const RECT r = RectInParent(child, dialog);
    char text[2048] = {};
    GetWindowTextA(child, text, sizeof text);
    const HFONT font = reinterpret_cast<HFONT>(SendMessageA(child, WM_GETFONT, 0, 0));
    const UINT format = DT_WORDBREAK | DT_EXPANDTABS | ((style & SS_NOPREFIX) != 0 ? DT_NOPREFIX : 0);
    const int extra = MeasureText(font, text, format, r.right - r.left).cy - (r.bottom - r.top);
    if (text[0] == '\0' || extra <= 0) continue;
    MoveWindow(child, r.left, r.top, r.right - r.left, r.bottom - r.top + extra, TRUE);
    for (HWND other : children) {
      const RECT o = RectInParent(other, dialog);
      if (other != child && o.top >= r.bottom)
        MoveWindow(other, o.left, o.top + extra, o.right - o.left, o.bottom - o.top, TRUE);
    }
    RECT client;
    GetClientRect(dialog, &client);
    SetClientSizeOf(dialog, client.right, client.bottom + extra, WindowDpi(dialog));
  }
}

}  // namespace

void FitDialog(HWND dialog) {
  ScaleDialogToDpi(dialog, WindowDpi(dialog));
  FitDialogTexts(dialog);
  // A centred dialog stays centred.
  if ((GetWindowLongA(dialog, GWL_STYLE) & DS_CENTER) != 0) CentreInWorkArea(dialog);
}

}  // namespace forms
