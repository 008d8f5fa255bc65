#include "forms/help_popup.h"

#include <algorithm>

#include "base/handles.h"
#include "forms/canvas.h"
#include "forms/text_extent.h"

namespace forms {

namespace {

const char kHelpPopupClass[] = "TFormsHelpPopup";
HWND HelpPopup = nullptr;
// At 96 DPI; the popup takes the scale of the form that shows it.
constexpr int kPopupMargin = 6;
constexpr int kPopupTextWidth = 280;
constexpr UINT kPopupTextFormat = DT_WORDBREAK | DT_NOPREFIX;
TFont PopupFont;
int PopupMargin = kPopupMargin;

LRESULT HelpPopupMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_PAINT: {
      handles::PaintScope paint(window);
      const HDC dc = paint.get();
      RECT r;
      GetClientRect(window, &r);
      FillRect(dc, &r, GetSysColorBrush(COLOR_INFOBK));
      InflateRect(&r, -PopupMargin, -PopupMargin);
      char text[1024];
      int length = GetWindowTextA(window, text, sizeof text);
      handles::SelectObjectScope font(dc, PopupFont.Handle());
      SetBkMode(dc, TRANSPARENT);
      SetTextColor(dc, GetSysColor(COLOR_INFOTEXT));
      DrawTextA(dc, text, length, &r, kPopupTextFormat);
      return 0;
    }
    // The press that closes the popup goes no further; the close is posted
    // so that no message of the popup's own runs after it is gone.
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
    case WM_MBUTTONDOWN:
    case WM_CAPTURECHANGED:
      PostMessageA(window, WM_CLOSE, 0, 0);
      return 0;
    case WM_DESTROY:
      if (HelpPopup == window) HelpPopup = nullptr;
      break;
    default: break;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

LRESULT CALLBACK HelpPopupProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  // System calls only; the wall is there all the same, as at every callback.
  try {
    return HelpPopupMessage(window, message, wParam, lParam);
  } catch (...) {
    return 0;
  }
}

}  // namespace

HWND ShowHelpPopup(HWND owner, POINT screen, const std::string& text, int dpi) {
  CloseHelpPopup();
  PopupFont.SetDpi(dpi);
  PopupMargin = ScaleToDpi(kPopupMargin, dpi);
  WNDCLASSA wc = {};
  if (!GetClassInfoA(GetModuleHandleA(nullptr), kHelpPopupClass, &wc)) {
    wc.style = CS_DROPSHADOW;
    wc.lpfnWndProc = HelpPopupProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    wc.lpszClassName = kHelpPopupClass;
    RegisterClassA(&wc);
  }
  // The text's height at a fixed width gives the popup's size.
  const SIZE extent = MeasureText(PopupFont.Handle(), text, kPopupTextFormat, ScaleToDpi(kPopupTextWidth, dpi));
  const int width = extent.cx + 2 * PopupMargin + 2, height = extent.cy + 2 * PopupMargin + 2;
  const int x = std::max(0, std::min<int>(screen.x, GetSystemMetrics(SM_CXSCREEN) - width));
  const int y = std::max(0, std::min<int>(screen.y, GetSystemMetrics(SM_CYSCREEN) - height));
  HelpPopup = CreateWindowExA(WS_EX_TOOLWINDOW | WS_EX_TOPMOST, kHelpPopupClass, text.c_str(), WS_POPUP | WS_BORDER,
                              x, y, width, height, owner, nullptr, GetModuleHandleA(nullptr), nullptr);
  if (HelpPopup == nullptr) return nullptr;
  ShowWindow(HelpPopup, SW_SHOWNOACTIVATE);
  SetCapture(HelpPopup);
  return HelpPopup;
}

HWND HelpPopupWindow() { return HelpPopup; }

void CloseHelpPopup() {
  if (HelpPopup == nullptr) return;
  HWND popup = HelpPopup;
  HelpPopup = nullptr;
  DestroyWindow(popup);
}

}  // namespace forms
