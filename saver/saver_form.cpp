#include "saver/saver_form.h"

#include <cstdlib>

#include "host/password.h"
#include "host/saver_state.h"
#include "base/files.h"
#include "base/settings.h"
#include "forms/application.h"

int32_t ErrorScrollX = ERROR_SCROLL_UNSTARTED;

TForm_Saver::TForm_Saver() {
  BorderStyle = forms::TBorderStyle::bsNone;
  // It covers the screen or the preview host and shows pictures at their
  // own size: its geometry is in pixels; only its text follows the DPI.
  Scaled = false;
  SetColor(RGB(0, 0, 0));
  Font.Set("MS Sans Serif", -11);
  Font.Color = GetSysColor(COLOR_WINDOWTEXT);
  PaintBox_Main.Color = RGB(0, 0, 0);
  PaintBox_Main.Font.Set("MS Sans Serif", -11);
  PaintBox_Main.Font.Color = GetSysColor(COLOR_WINDOWTEXT);
  ErrorTimer.SetInterval(60);
  ErrorTimer.OnTimer = [this] { ErrorTimerTimer(); };

  GdiSetBatchLimit(1);
  Mode = SaverMode;
}

TForm_Saver::~TForm_Saver() = default;

void TForm_Saver::CreateParams(forms::TCreateParams& params) {
  TForm::CreateParams(params);
  // Client area 514 x 348 at a place the system chooses, until shown.
  params.Width = 514;
  params.Height = 348;
  params.X = CW_USEDEFAULT;
  params.Y = CW_USEDEFAULT;
  if (params.Style & WS_POPUP) params.X = params.Y = 0;
  // A preview never takes input.
  if (Mode == SAVER_PREVIEW) params.Style |= WS_DISABLED;
}

void TForm_Saver::FormResize() {
  // The paint box fills the client area.
  RECT client;
  GetClientRect(Handle(), &client);
  PaintBox_Main.SetBounds(0, 0, client.right, client.bottom);
}

bool TForm_Saver::Active() const { return !Closing && Mode == SAVER_RUN && !VerifyingPassword; }

bool TForm_Saver::OnSaverMouse(UINT) { return false; }
bool TForm_Saver::OnSaverKey(UINT, WPARAM) { return false; }
void TForm_Saver::OnErrorDisplayDone() {}

bool TForm_Saver::FormCanResize(int& width, int& height) {
  if (Mode == SAVER_PREVIEW && HostWindow != nullptr) {
    RECT client;
    GetClientRect(HostWindow, &client);
    width = client.right;
    height = client.bottom;
  } else if (Mode == SAVER_RUN) {
    width = GetSystemMetrics(SM_CXSCREEN);
    height = GetSystemMetrics(SM_CYSCREEN);
  }
  return true;
}

void TForm_Saver::FormShow() {
  if (Mode == SAVER_RUN) SetFormStyle(forms::TFormStyle::fsStayOnTop);
  if (Mode == SAVER_PREVIEW) ParentToHost(forms::Application.Handle(), Handle());
  PasswordProtected = IsPasswordProtected();
  GetCursorPos(&LastCursorPos);
}

void TForm_Saver::FormClose(forms::TCloseAction& action) {
  if (Closing) return;
  Closing = true;
  if (Mode != SAVER_RUN || !PasswordProtected) return;
  VerifyingPassword = true;
  BOOL ok = VerifyPassword(Handle());
  VerifyingPassword = false;
  if (ok) return;
  action = forms::TCloseAction::caNone;
  GetCursorPos(&LastCursorPos);
  SetCursor(LoadCursorA(nullptr, IDC_ARROW));
  Closing = false;
}

LRESULT TForm_Saver::WndProc(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_SETCURSOR:
      if (Active()) {
        SetCursor(nullptr);
        return 0;
      }
      break;
    case WM_NCACTIVATE:
      if (wParam == 0 && Mode == SAVER_RUN && !VerifyingPassword) return 1;
      break;
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
      if (Active()) {
        if (!PasswordProtected && OnSaverKey(message, wParam)) return 0;
        Close();
      }
      break;
    case WM_SYSCOMMAND:
      if (Mode == SAVER_RUN && (wParam == SC_SCREENSAVE || wParam == SC_CLOSE)) return 0;
      break;
    case WM_MOUSEMOVE:
      if (Active()) {
        POINT now;
        GetCursorPos(&now);
        if (std::abs(LastCursorPos.x - now.x) > MouseThreshold || std::abs(LastCursorPos.y - now.y) > MouseThreshold) {
          if (OnSaverMouse(WM_MOUSEMOVE)) {
            LastCursorPos = now;
            return 0;
          }
          Close();
        }
      }
      break;
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
    case WM_MBUTTONDOWN:
      if (Active()) {
        if (OnSaverMouse(message)) return 0;
        Close();
      }
      break;
    case WM_POWERBROADCAST:
      if (wParam == PBT_APMQUERYSUSPEND) Close();
      break;
    default: break;
  }
  return TForm::WndProc(message, wParam, lParam);
}

void TForm_Saver::HandleException(const std::exception& error) {
  // A full-screen saver shows its troubles on the error line, never in a box.
  ShowError(error.what());
}

void TForm_Saver::ShowError(const char* text) {
  ErrorActive = true;
  ErrorTimer.SetEnabled(true);
  try {
    if (!ErrorPrefix.empty())
      ErrorLine = text != nullptr ? ErrorPrefix + ": " + text : ErrorPrefix;
    else
      ErrorLine = text != nullptr ? text : "";
  } catch (...) {
    // No memory for the whole line (the exception handlers come here): the
    // line shown before, rather than a second failure.
  }
}

void TForm_Saver::HideError() {
  ErrorActive = false;
  ErrorTimer.SetEnabled(false);
}

void TForm_Saver::ErrorTimerTimer() {
  auto canvas = PaintBox_Main.Canvas();
  const RECT client = PaintBox_Main.ClientRect();
  if (ErrorScrollX == ERROR_SCROLL_UNSTARTED) {
    canvas->FillRect(client);
    ErrorScrollX = client.right;
  }
  SIZE extent = canvas->TextExtent(ErrorLine);
  // The whole strip of the line in one opaque pass: the text at its new
  // place and the background around it, so no trace of the last tick stays.
  canvas->TextRect(RECT{0, 0, client.right, extent.cy}, ErrorScrollX, 0, ErrorLine);
  ErrorScrollX -= 2;
  if (ErrorScrollX + extent.cx < 0) {
    ErrorScrollX = client.right;
    OnErrorDisplayDone();
  }
}

// In the data folder: the program's own folder is not the users' to write.
std::string TForm_Saver::GetIniPath() {
  if (TheSettings == nullptr) return ReplaceExtension(ModuleFileName(), ".ini");
  return TheSettings->DataFile(TheSettings->ProgramName + ".ini");
}

void TForm_Saver::WriteIniString(const char* section, const char* key, const char* value) const {
  WritePrivateProfileStringA(section, key, value, GetIniPath().c_str());
}
