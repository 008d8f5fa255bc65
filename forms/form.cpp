#include "forms/form.h"

#include <windowsx.h>

#include <algorithm>

#include "forms/application.h"
#include "forms/boundary.h"

#ifndef WM_DPICHANGED
#define WM_DPICHANGED 0x02E0
#endif

namespace forms {

namespace {
const char kFormClass[] = "TFormWindow";

std::vector<HWND>& Dialogs() {
  static std::vector<HWND> dialogs;
  return dialogs;
}
}  // namespace

void TForm::RegisterDialog(HWND dialog) { Dialogs().push_back(dialog); }

void TForm::UnregisterDialog(HWND dialog) {
  auto& dialogs = Dialogs();
  for (auto it = dialogs.begin(); it != dialogs.end(); ++it) {
    if (*it == dialog) {
      dialogs.erase(it);
      break;
    }
  }
}

void TForm::AddControl(TControl* control) { Controls_.push_back(control); }

void TForm::AddFont(TFont& font) {
  font.SetDpi(Dpi_);
  Fonts_.push_back(&font);
}

void TForm::RemoveControl(TControl* control) {
  for (auto it = Controls_.begin(); it != Controls_.end(); ++it) {
    if (*it == control) {
      Controls_.erase(it);
      break;
    }
  }
}

TWinControl* TForm::FindChild(UINT id) const {
  for (TControl* control : Controls_) {
    auto* child = dynamic_cast<TWinControl*>(control);
    if (child != nullptr && child->Handle() != nullptr && static_cast<UINT>(child->Id()) == id) return child;
  }
  return nullptr;
}

bool TForm::DispatchCommand(UINT id, UINT code) {
  if (TWinControl* child = FindChild(id); child != nullptr && child->Command(code)) return true;
  // Enter and Esc of the dialog keys arrive as IDOK and IDCANCEL.
  if (code != BN_CLICKED || (id != IDOK && id != IDCANCEL)) return false;
  for (TControl* control : Controls_) {
    auto* button = dynamic_cast<TButton*>(control);
    if (button == nullptr) continue;
    if (((id == IDOK && button->Default) || (id == IDCANCEL && button->Cancel)) && button->Enabled()) {
      button->Click();
      return true;
    }
  }
  return false;
}

TForm::TForm() = default;

TForm::~TForm() {
  if (Handle_ != nullptr) {
    HWND window = Handle_;
    DestroyWindow(window);
  }
}

void TForm::RegisterFormClass(const std::string& name) {
  WNDCLASSA wc = {};
  if (GetClassInfoA(GetModuleHandleA(nullptr), name.c_str(), &wc)) return;
  wc.style = CS_DBLCLKS;
  wc.lpfnWndProc = &TForm::StaticWndProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.hIcon = LoadIconA(wc.hInstance, "MAINICON");
  wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  wc.lpszClassName = name.c_str();
  RegisterClassA(&wc);
}

void TForm::CreateParams(TCreateParams& params) {
  switch (BorderStyle) {
    case TBorderStyle::bsNone: params.Style = WS_POPUP | WS_CLIPCHILDREN; break;
    case TBorderStyle::bsSingle: params.Style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN; break;
    case TBorderStyle::bsDialog:
      params.Style = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
      params.ExStyle |= WS_EX_DLGMODALFRAME;
      break;
    case TBorderStyle::bsSizeable: params.Style = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN; break;
  }
  if (FormStyle == TFormStyle::fsStayOnTop) params.ExStyle |= WS_EX_TOPMOST;
  params.Parent = Application.Handle();
}

void TForm::CreateHandle() {
  if (Handle_ != nullptr) return;
  TCreateParams params;
  params.ClassName = kFormClass;
  CreateParams(params);
  RegisterFormClass(params.ClassName);
  if (!Brush_) Brush_.reset(CreateSolidBrush(Color_));
  HWND window = CreateWindowExA(params.ExStyle, params.ClassName.c_str(), params.Caption.c_str(), params.Style,
                                params.X, params.Y, params.Width, params.Height, params.Parent, nullptr,
                                GetModuleHandleA(nullptr), this);
  if (window == nullptr) throw Exception("Create window failed.");
  // The window is made at the DPI of the monitor it opens on.
  Dpi_ = WindowDpi(window);
  if (DialogKeys) RegisterDialog(window);
  try {
    FormCreate();
  } catch (...) {
    HandleCurrentException();
  }
}

void TForm::ShowIfVisible() {
  if (WantVisible) Show();
}

void TForm::Show() {
  CreateHandle();
  if (!LaidOut_) Layout();
  if (!IsWindowVisible(Handle_)) {
    ShowWindow(Handle_, SW_SHOW);
    try {
      FormShow();
    } catch (...) {
      HandleCurrentException();
    }
  }
}

void TForm::Hide() {
  if (Handle_ != nullptr && IsWindowVisible(Handle_)) {
    ShowWindow(Handle_, SW_HIDE);
    try {
      FormHide();
    } catch (...) {
      HandleCurrentException();
    }
  }
}

bool TForm::Visible() const { return Handle_ != nullptr && IsWindowVisible(Handle_); }

void TForm::Close() {
  if (Modal_) {
    // The modal loop runs FormCloseQuery and FormClose.
    if (ModalResult == 0) ModalResult = IDCANCEL;
    return;
  }
  if (Closing_ || Handle_ == nullptr) return;
  Closing_ = true;
  try {
    bool canClose = true;
    FormCloseQuery(canClose);
    if (canClose) {
      TCloseAction action = TCloseAction::caHide;
      FormClose(action);
      if (action != TCloseAction::caNone && Application.MainForm() == this) {
        // Closing the main form ends the application, whatever the action.
        Hide();
        Application.Terminate();
      } else {
        switch (action) {
          case TCloseAction::caNone: break;
          case TCloseAction::caHide: Hide(); break;
          case TCloseAction::caMinimize: ShowWindow(Handle_, SW_MINIMIZE); break;
          case TCloseAction::caFree: DestroyWindow(Handle_); break;
        }
      }
    }
  } catch (...) {
    HandleCurrentException();
  }
  Closing_ = false;
}

void TForm::SetEnabled(bool enabled) {
  if (Handle_ != nullptr) EnableWindow(Handle_, enabled ? TRUE : FALSE);
}

void TForm::SetCaption(const std::string& caption) {
  if (Handle_ != nullptr) SetWindowTextA(Handle_, caption.c_str());
}

void TForm::SetBounds(int x, int y, int width, int height) {
  if (Handle_ != nullptr) SetWindowPos(Handle_, nullptr, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

void TForm::SetColor(COLORREF color) {
  Color_ = color;
  Brush_.reset(CreateSolidBrush(Color_));
  if (Handle_ != nullptr) InvalidateRect(Handle_, nullptr, TRUE);
}

void TForm::SetFormStyle(TFormStyle style) {
  FormStyle = style;
  if (Handle_ != nullptr)
    SetWindowPos(Handle_, style == TFormStyle::fsStayOnTop ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

void TForm::SetClientSize(int width, int height) {
  DesignClient_ = SIZE{width, height};
  HasDesignClient_ = true;
  if (Handle_ != nullptr) ApplyClientSize(SIZE{Scale(width), Scale(height)});
}

void TForm::ApplyClientSize(SIZE client) {
  RECT r = {0, 0, client.cx, client.cy};
  AdjustWindowRectForDpi(r, static_cast<DWORD>(GetWindowLongA(Handle_, GWL_STYLE)),
                         static_cast<DWORD>(GetWindowLongA(Handle_, GWL_EXSTYLE)), Dpi_);
  const UINT flags = SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE;
  SetWindowPos(Handle_, nullptr, 0, 0, r.right - r.left, r.bottom - r.top, flags);
  // The frame is whatever the system made it; where it differs from the one
  // foreseen, the window takes the difference and the client area is right.
  RECT now;
  GetClientRect(Handle_, &now);
  const int dx = client.cx - now.right, dy = client.cy - now.bottom;
  if (dx != 0 || dy != 0) SetWindowPos(Handle_, nullptr, 0, 0, r.right - r.left + dx, r.bottom - r.top + dy, flags);
}

void TForm::CentreOnScreen() {
  if (Handle_ == nullptr) return;
  Centred_ = true;
  CentreInWorkArea(Handle_);
}

void TForm::Layout() {
  if (Handle_ == nullptr) return;
  Font.SetDpi(Dpi_);
  for (TFont* font : Fonts_) font->SetDpi(Dpi_);
  for (TControl* control : Controls_) control->ScaleTo(Dpi_);
  LaidOut_ = true;
  if (Scaled) {
    SIZE client = {Scale(DesignClient_.cx), Scale(DesignClient_.cy)};
    if (!HasDesignClient_) {
      RECT r;
      GetClientRect(Handle_, &r);
      client = SIZE{r.right, r.bottom};
    }
    const SIZE before = client;
    FitTexts(client);
    if (HasDesignClient_ || client.cx != before.cx || client.cy != before.cy) ApplyClientSize(client);
    if (Centred_ && !IsWindowVisible(Handle_)) CentreOnScreen();
  }
  InvalidateRect(Handle_, nullptr, TRUE);
}

// Windows has moved the window to a monitor of another DPI (or changed the
// scale) and suggests where it goes. Only scaled forms move: a full-screen
// form keeps covering what it covers.
void TForm::DpiChanged(int dpi, const RECT& suggested) {
  if (dpi <= 0) return;
  Dpi_ = dpi;
  if (Scaled)
    SetWindowPos(Handle_, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
                 suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
  Layout();
}

void TForm::FitTexts(SIZE& client) {
  for (TControl* control : Controls_) {
    if (!control->Visible()) continue;
    const SIZE shortfall = control->TextShortfall();
    if (shortfall.cx > 0) Grow(control, shortfall.cx, true, client);
    if (shortfall.cy > 0) Grow(control, shortfall.cy, false, client);
  }
}

namespace {

bool Encloses(const RECT& outer, const RECT& inner) {
  return outer.left <= inner.left && outer.top <= inner.top && outer.right >= inner.right &&
         outer.bottom >= inner.bottom && !EqualRect(&outer, &inner);
}

// Whether inner starts inside outer: a control that has grown out of its
// group box, before the box grows after it, is still its content.
bool StartsInside(const RECT& outer, const RECT& inner) {
  return inner.left >= outer.left && inner.left < outer.right && inner.top >= outer.top &&
         inner.top < outer.bottom && !EqualRect(&outer, &inner);
}

long Area(const RECT& r) { return static_cast<long>(r.right - r.left) * (r.bottom - r.top); }

}  // namespace

// Makes a control extra pixels longer along one axis: wider (horizontal) or
// taller. Within its container (the smallest visible control around it, or
// the form) whatever lies beyond it in its band of the layout moves along,
// with everything inside what moves. The container then grows by as much as
// its contents now reach further, and at the top the client area does.
void TForm::Grow(TControl* control, int extra, bool horizontal, SIZE& client) {
  const auto lo = [horizontal](const RECT& r) { return horizontal ? r.left : r.top; };
  const auto hi = [horizontal](const RECT& r) { return horizontal ? r.right : r.bottom; };
  const auto crossLo = [horizontal](const RECT& r) { return horizontal ? r.top : r.left; };
  const auto crossHi = [horizontal](const RECT& r) { return horizontal ? r.bottom : r.right; };
  const RECT old = control->BoundsRect();

  TControl* container = nullptr;
  for (TControl* other : Controls_) {
    if (other == control || !other->Visible() || !Encloses(other->BoundsRect(), old)) continue;
    if (container == nullptr || Area(other->BoundsRect()) < Area(container->BoundsRect())) container = other;
  }
  // The control's neighbours in its container; its own contents are not.
  std::vector<TControl*> scope;
  for (TControl* other : Controls_) {
    const RECT& r = other->BoundsRect();
    if (other == control || other == container || StartsInside(old, r)) continue;
    if (container == nullptr || StartsInside(container->BoundsRect(), r)) scope.push_back(other);
  }
  // How far the control and its visible neighbours reach.
  const auto reach = [&] {
    int furthest = hi(control->BoundsRect());
    for (TControl* other : scope)
      if (other->Visible()) furthest = std::max<int>(furthest, hi(other->BoundsRect()));
    return furthest;
  };
  const int reachBefore = reach();

  std::vector<TControl*> moving;
  for (TControl* other : scope) {
    const RECT& r = other->BoundsRect();
    if (lo(r) >= hi(old) && crossLo(r) < crossHi(old) && crossHi(r) > crossLo(old)) moving.push_back(other);
  }
  for (size_t i = 0; i < moving.size(); ++i) {
    const RECT outer = moving[i]->BoundsRect();
    for (TControl* other : Controls_) {
      if (other == control || std::find(moving.begin(), moving.end(), other) != moving.end()) continue;
      if (StartsInside(outer, other->BoundsRect())) moving.push_back(other);
    }
  }

  RECT grown = old;
  (horizontal ? grown.right : grown.bottom) += extra;
  control->SetPixelBounds(grown);
  for (TControl* other : moving) {
    RECT r = other->BoundsRect();
    OffsetRect(&r, horizontal ? extra : 0, horizontal ? 0 : extra);
    other->SetPixelBounds(r);
  }

  const int further = reach() - reachBefore;
  if (further <= 0) return;
  if (container != nullptr)
    Grow(container, further, horizontal, client);
  else
    (horizontal ? client.cx : client.cy) += further;
}

bool TForm::CloseModal() {
  bool canClose = true;
  try {
    FormCloseQuery(canClose);
    if (canClose) {
      TCloseAction action = TCloseAction::caHide;
      FormClose(action);
      canClose = action != TCloseAction::caNone;
    }
  } catch (...) {
    HandleCurrentException();
  }
  if (!canClose) ModalResult = 0;
  return canClose;
}

int TForm::ShowModal() {
  CreateHandle();
  if (Modal_ || IsWindowVisible(Handle_)) throw Exception("Cannot make a visible window modal.");
  HWND active = GetActiveWindow();
  std::vector<HWND> disabled;
  ModalResult = 0;
  Modal_ = true;
  try {
    // The thread's other windows wait while this one is up; one that cannot
    // be remembered is enabled again at once (below), not left disabled.
    ForEachThreadWindow(GetCurrentThreadId(), [this, &disabled](HWND window) {
      if (window != Handle_ && IsWindowVisible(window) && IsWindowEnabled(window)) {
        EnableWindow(window, FALSE);
        try {
          disabled.push_back(window);
        } catch (...) {
          EnableWindow(window, TRUE);
          throw;
        }
      }
      return true;
    });
    Show();
    SetActiveWindow(Handle_);
    if (Application.OnModalBegin) Application.OnModalBegin(*this);
    MSG msg;
    for (;;) {
      if (ModalResult != 0 && CloseModal()) break;
      if (Handle_ == nullptr || !IsWindowVisible(Handle_)) break;
      BOOL got = GetMessageA(&msg, nullptr, 0, 0);
      if (got == 0 || got == -1) {
        // The application is ending: leave the quit message for its own loop.
        PostQuitMessage(got == 0 ? static_cast<int>(msg.wParam) : 0);
        break;
      }
      if (!PreTranslate(msg)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
      }
    }
  } catch (...) {
    Modal_ = false;
    for (HWND window : disabled) EnableWindow(window, TRUE);
    throw;
  }
  Modal_ = false;
  if (ModalResult == 0) ModalResult = IDCANCEL;
  // The other windows come back before this one hides, so that activation
  // returns to the window that had it.
  for (HWND window : disabled) {
    if (IsWindow(window)) EnableWindow(window, TRUE);
  }
  Hide();
  if (active != nullptr && active != Handle_ && IsWindow(active)) SetActiveWindow(active);
  return ModalResult;
}

int TForm::HelpContextAt(POINT point) const {
  // Controls do not record their parents: the ones that contain the point,
  // from the smallest out, stand in for the chain of parents.
  const TControl* best = nullptr;
  long bestArea = 0;
  for (const TControl* control : Controls_) {
    if (!control->Visible() || !control->Enabled() || control->HelpContext == 0) continue;
    const RECT& r = control->BoundsRect();
    if (!PtInRect(&r, point)) continue;
    const long area = static_cast<long>(r.right - r.left) * (r.bottom - r.top);
    if (best == nullptr || area < bestArea) best = control, bestArea = area;
  }
  // A control without a help context that lies over one with a context
  // defers to it, as a child without one defers to its parent.
  return best != nullptr ? best->HelpContext : 0;
}

bool TForm::HelpCommand(UINT command, ULONG_PTR data) {
  bool callHelp = true;
  bool result = false;
  try {
    result = FormHelp(command, data, callHelp);
    if (callHelp) {
      DefaultHelp(command, data);
      result = true;
    }
  } catch (...) {
    HandleCurrentException();
  }
  return result;
}

void TForm::HelpMessage(const HELPINFO& info) {
  POINT point = info.MousePos;
  ScreenToClient(Handle_, &point);
  if (info.iContextType == HELPINFO_WINDOW && info.hItemHandle != Handle_) {
    for (TControl* control : Controls_) {
      auto* child = dynamic_cast<TWinControl*>(control);
      if (child != nullptr && child->Handle() == info.hItemHandle) {
        const RECT& r = child->BoundsRect();
        point = POINT{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
        break;
      }
    }
  }
  const int context = HelpContextAt(point);
  if (context != 0)
    HelpCommand(HELP_CONTEXTPOPUP, static_cast<ULONG_PTR>(context));
  else if (HelpContext != 0)
    HelpCommand(HELP_CONTEXT, static_cast<ULONG_PTR>(HelpContext));
}

namespace {

// WM_CONTEXTMENU from the keyboard (the menu key, Shift+F10) carries the
// position -1, -1. The two halves are read one by one: the whole parameter
// is -1 only where LPARAM has 32 bits, and the system need not sign-extend
// it to 64.
bool FromKeyboard(LPARAM position) { return GET_X_LPARAM(position) == -1 && GET_Y_LPARAM(position) == -1; }

}  // namespace

void TForm::ContextMenuMessage(HWND window, LPARAM position) {
  POINT point = {GET_X_LPARAM(position), GET_Y_LPARAM(position)};
  if (FromKeyboard(position)) {
    // The menu key: the middle of the control that has the focus.
    RECT r = {0, 0, 0, 0};
    HWND focus = GetFocus();
    if (focus != nullptr && focus != Handle_ && IsChild(Handle_, focus)) {
      GetWindowRect(focus, &r);
      MapWindowPoints(nullptr, Handle_, reinterpret_cast<POINT*>(&r), 2);
    }
    point = POINT{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
  } else {
    ScreenToClient(Handle_, &point);
  }
  (void)window;
  bool handled = false;
  try {
    FormContextPopup(point, handled);
  } catch (...) {
    HandleCurrentException();
  }
}

bool TForm::PreTranslate(MSG& msg) {
  if (msg.message < WM_KEYFIRST || msg.message > WM_KEYLAST) return false;
  for (HWND dialog : Dialogs()) {
    if (IsWindow(dialog) && (dialog == msg.hwnd || IsChild(dialog, msg.hwnd)) && IsDialogMessageA(dialog, &msg))
      return true;
  }
  return false;
}

void TForm::HandleException(const std::exception& error) { Application.ShowException(error); }

void TForm::HandleCurrentException() noexcept {
  try {
    try {
      throw;
    } catch (const std::exception& error) {
      HandleException(error);
    } catch (...) {
      HandleException(UnknownException());
    }
  } catch (...) {
    // The handler itself failed (no memory for its text, or a derived one
    // threw): the plain text in a plain box is all that is left.
    Application.ShowExceptionText(CurrentExceptionText());
  }
}

LRESULT TForm::DefaultHandler(UINT message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcA(Handle_, message, wParam, lParam);
}

LRESULT TForm::WndProc(UINT message, WPARAM wParam, LPARAM lParam) {
  if (auto it = Handlers_.find(message); it != Handlers_.end()) return it->second(wParam, lParam);
  switch (message) {
    case WM_CLOSE: Close(); return 0;
    case WM_ERASEBKGND: {
      RECT r;
      GetClientRect(Handle_, &r);
      FillRect(reinterpret_cast<HDC>(wParam), &r, Brush_.get());
      return 1;
    }
    case WM_PAINT: {
      handles::PaintScope paint(Handle_);
      FormPaint(paint.get());
      for (TControl* control : Controls_) control->Paint(paint.get());
      return 0;
    }
    case WM_CTLCOLORSTATIC: {
      HDC dc = reinterpret_cast<HDC>(wParam);
      SetBkColor(dc, Color_);
      return reinterpret_cast<LRESULT>(Brush_.get());
    }
    case WM_SIZE: FormResize(); break;
    case WM_WINDOWPOSCHANGING: {
      auto* pos = reinterpret_cast<WINDOWPOS*>(lParam);
      if (!(pos->flags & SWP_NOSIZE)) {
        int width = pos->cx, height = pos->cy;
        if (!FormCanResize(width, height)) pos->flags |= SWP_NOSIZE;
        else pos->cx = width, pos->cy = height;
      }
      break;
    }
    case WM_KEYDOWN: {
      WORD key = static_cast<WORD>(wParam);
      FormKeyDown(key, 0);
      if (key == 0) return 0;
      break;
    }
    case WM_MOUSEMOVE:
      FormMouseMove(static_cast<UINT>(wParam), static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam)));
      return 0;
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
    case WM_MBUTTONDOWN:
      FormMouseDown(message, static_cast<UINT>(wParam), static_cast<short>(LOWORD(lParam)),
                    static_cast<short>(HIWORD(lParam)));
      return 0;
    case WM_COMMAND:
      if (lParam != 0 || HIWORD(wParam) == BN_CLICKED) {
        if (DispatchCommand(LOWORD(wParam), HIWORD(wParam))) return 0;
      }
      ControlCommand(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
      return 0;
    case WM_DRAWITEM: {
      auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
      if (TWinControl* child = FindChild(item->CtlID); child != nullptr && child->DrawItem(*item)) return TRUE;
      break;
    }
    case WM_HELP:
      HelpMessage(*reinterpret_cast<const HELPINFO*>(lParam));
      return TRUE;
    case WM_CONTEXTMENU: {
      // A press on the caption keeps the system menu.
      if (!FromKeyboard(lParam)) {
        POINT point = {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
        RECT client;
        GetClientRect(Handle_, &client);
        ScreenToClient(Handle_, &point);
        if (!PtInRect(&client, point)) break;
      }
      ContextMenuMessage(reinterpret_cast<HWND>(wParam), lParam);
      return 0;
    }
    case WM_DPICHANGED:
      DpiChanged(LOWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
      return 0;
    case WM_DESTROY:
      FormDestroy();
      break;
    default: break;
  }
  return DefaultHandler(message, wParam, lParam);
}

namespace {
const UINT kReleaseMessage = RegisterWindowMessageA("DrearigramsReleaseForm");
}  // namespace

void TForm::Release() {
  if (Handle_ == nullptr) return;
  ReleaseRequested_ = true;
  PostMessageA(Handle_, kReleaseMessage, 0, 0);
}

LRESULT CALLBACK TForm::StaticWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  TForm* form;
  if (message == WM_NCCREATE) {
    form = static_cast<TForm*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
    form->Handle_ = window;
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
  } else {
    form = reinterpret_cast<TForm*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  }
  if (form == nullptr) return DefWindowProcA(window, message, wParam, lParam);
  if (message == kReleaseMessage && kReleaseMessage != 0) {
    // Any program on the desktop can post a registered message: only a form
    // that asked to be released is deleted, outside every handler of it, so
    // nothing of it is on the stack.
    if (form->ReleaseRequested_) delete form;
    return 0;
  }
  if (message == WM_NCDESTROY) {
    UnregisterDialog(window);
    SetWindowLongPtrA(window, GWLP_USERDATA, 0);
    form->Handle_ = nullptr;
    Application.FormDestroyed(form);
    return DefWindowProcA(window, message, wParam, lParam);
  }
  try {
    return form->WndProc(message, wParam, lParam);
  } catch (...) {
    form->HandleCurrentException();
  }
  return 0;
}

}  // namespace forms
