#include "forms/form.h"

#include "forms/application.h"

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

void TForm::RemoveControl(TControl* control) {
  for (auto it = Controls_.begin(); it != Controls_.end(); ++it) {
    if (*it == control) {
      Controls_.erase(it);
      break;
    }
  }
}

bool TForm::DispatchCommand(UINT id) {
  for (TControl* control : Controls_) {
    auto* button = dynamic_cast<TButton*>(control);
    if (button == nullptr) continue;
    bool match = static_cast<UINT>(button->Id()) == id || (id == IDOK && button->Default) ||
                 (id == IDCANCEL && button->Cancel);
    if (match && button->Enabled()) {
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
  if (Brush_ != nullptr) DeleteObject(Brush_);
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
  if (Brush_ == nullptr) Brush_ = CreateSolidBrush(Color_);
  HWND window = CreateWindowExA(params.ExStyle, params.ClassName.c_str(), params.Caption.c_str(), params.Style,
                                params.X, params.Y, params.Width, params.Height, params.Parent, nullptr,
                                GetModuleHandleA(nullptr), this);
  if (window == nullptr) throw Exception("Create window failed.");
  if (DialogKeys) RegisterDialog(window);
  try {
    FormCreate();
  } catch (const std::exception& error) {
    HandleException(error);
  }
}

void TForm::ShowIfVisible() {
  if (WantVisible) Show();
}

void TForm::Show() {
  CreateHandle();
  if (!IsWindowVisible(Handle_)) {
    ShowWindow(Handle_, SW_SHOW);
    try {
      FormShow();
    } catch (const std::exception& error) {
      HandleException(error);
    }
  }
}

void TForm::Hide() {
  if (Handle_ != nullptr && IsWindowVisible(Handle_)) {
    ShowWindow(Handle_, SW_HIDE);
    try {
      FormHide();
    } catch (const std::exception& error) {
      HandleException(error);
    }
  }
}

bool TForm::Visible() const { return Handle_ != nullptr && IsWindowVisible(Handle_); }

void TForm::Close() {
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
  } catch (const std::exception& error) {
    HandleException(error);
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
  if (Brush_ != nullptr) DeleteObject(Brush_);
  Brush_ = CreateSolidBrush(Color_);
  if (Handle_ != nullptr) InvalidateRect(Handle_, nullptr, TRUE);
}

void TForm::SetFormStyle(TFormStyle style) {
  FormStyle = style;
  if (Handle_ != nullptr)
    SetWindowPos(Handle_, style == TFormStyle::fsStayOnTop ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
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
      FillRect(reinterpret_cast<HDC>(wParam), &r, Brush_);
      return 1;
    }
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(Handle_, &ps);
      FormPaint(dc);
      for (TControl* control : Controls_) control->Paint(dc);
      EndPaint(Handle_, &ps);
      return 0;
    }
    case WM_CTLCOLORSTATIC: {
      HDC dc = reinterpret_cast<HDC>(wParam);
      SetBkColor(dc, Color_);
      return reinterpret_cast<LRESULT>(Brush_);
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
      if (HIWORD(wParam) == BN_CLICKED && DispatchCommand(LOWORD(wParam))) return 0;
      ControlCommand(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
      return 0;
    case WM_DESTROY:
      FormDestroy();
      break;
    default: break;
  }
  return DefaultHandler(message, wParam, lParam);
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
  if (message == WM_NCDESTROY) {
    UnregisterDialog(window);
    SetWindowLongPtrA(window, GWLP_USERDATA, 0);
    form->Handle_ = nullptr;
    Application.FormDestroyed(form);
    return DefWindowProcA(window, message, wParam, lParam);
  }
  try {
    return form->WndProc(message, wParam, lParam);
  } catch (const std::exception& error) {
    form->HandleException(error);
  } catch (...) {
    form->HandleException(std::runtime_error("Unknown exception in a window procedure."));
  }
  return 0;
}

}  // namespace forms
