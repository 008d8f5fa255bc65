#include "saver/saver_form.h"

#include <cstdlib>

#include "host/password.h"
#include "host/saver_state.h"
#include "base/files.h"
#include "base/settings.h"
#include "forms/application.h"

int32_t ErrorScrollX = ERROR_SCROLL_UNSTARTED;
const GUID kDisplayStateSetting = {0x6fe69556, 0x704a, 0x47a0, {0x8f, 0x24, 0xc2, 0x8d, 0x93, 0x6f, 0xda, 0x47}};

namespace {

// How long one renewal keeps the input watch armed: a few ticks of the input
// timer, so a form that stops answering lets go of the keys soon after.
constexpr DWORD kArmedFor = 1500;
constexpr UINT kInputTimerInterval = 500;

}  // namespace

SaverScreens CurrentScreens() {
  SaverScreens screens{};
  const int x = GetSystemMetrics(SM_XVIRTUALSCREEN), y = GetSystemMetrics(SM_YVIRTUALSCREEN);
  screens.Cover = RECT{x, y, x + GetSystemMetrics(SM_CXVIRTUALSCREEN), y + GetSystemMetrics(SM_CYVIRTUALSCREEN)};
  // The primary monitor has its top left corner at 0, 0.
  screens.Primary = RECT{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  return screens;
}

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
  InputTimer.SetInterval(kInputTimerInterval);
  InputTimer.OnTimer = [this] { InputTimerTimer(); };
  OnMessage(WM_SAVER_INPUT, [this](WPARAM w, LPARAM l) { return WatchedInput(w, l); });

  GdiSetBatchLimit(1);
  Mode = SaverMode;
}

TForm_Saver::~TForm_Saver() {
  InputTimer.SetEnabled(false);
  InputWatch.Stop();
}

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
  RECT client;
  GetClientRect(Handle(), &client);
  if (Mode != SAVER_RUN) {
    PaintBox_Main.SetBounds(0, 0, client.right, client.bottom);
    return;
  }
  // Running, the form spans every monitor, and its top left corner may lie
  // on a side monitor or on none at all: the paint box, and with it the
  // error line, covers the primary monitor, where the user looks.
  RECT form;
  GetWindowRect(Handle(), &form);
  RECT box = Screens().Primary;
  OffsetRect(&box, -form.left, -form.top);
  if (!IntersectRect(&box, &box, &client)) box = client;
  PaintBox_Main.SetBounds(box.left, box.top, box.right - box.left, box.bottom - box.top);
}

bool TForm_Saver::Active() const { return !Closing && Mode == SAVER_RUN && !VerifyingPassword; }

bool TForm_Saver::OnSaverMouse(UINT) { return false; }
bool TForm_Saver::OnSaverKey(UINT, WPARAM) { return false; }
void TForm_Saver::OnErrorDisplayDone() {}
void TForm_Saver::OnDisplayState(bool) {}

bool TForm_Saver::FormCanResize(int& width, int& height) {
  if (Mode == SAVER_PREVIEW && HostWindow != nullptr) {
    RECT client;
    GetClientRect(HostWindow, &client);
    width = client.right;
    height = client.bottom;
  } else if (Mode == SAVER_RUN) {
    const RECT cover = Screens().Cover;
    width = cover.right - cover.left;
    height = cover.bottom - cover.top;
  }
  return true;
}

void TForm_Saver::FormShow() {
  if (Mode == SAVER_RUN) SetFormStyle(forms::TFormStyle::fsStayOnTop);
  if (Mode == SAVER_PREVIEW) ParentToHost(forms::Application.Handle(), Handle());
  PasswordProtected = IsPasswordProtected();
  if (Mode == SAVER_RUN && RunStartedAt == 0) {
    RunStartedAt = GetTickCount64();
    GraceSeconds = ScreenSaverGraceSeconds();
  }
  GetCursorPos(&LastCursorPos);
  if (Mode == SAVER_RUN && !InputWatch.Running()) {
    // Without the watch the saver still closes on every key and click that
    // reaches the form, and on pointer moves through the timer's check.
    InputWatch.Start(Handle());
    RenewInputWatch();
    InputTimer.SetEnabled(true);
  }
  // The system says when it turns the display off, so that nothing plays
  // for a dark screen.
  if (Mode == SAVER_RUN && !DisplayNotification_)
    DisplayNotification_.reset(
        RegisterPowerSettingNotification(Handle(), &kDisplayStateSetting, DEVICE_NOTIFY_WINDOW_HANDLE));
}

void TForm_Saver::FormClose(forms::TCloseAction& action) {
  if (Closing) return;
  Closing = true;
  RenewInputWatch();
  if (Mode != SAVER_RUN || !PasswordProtected) return;
  VerifyingPassword = true;
  BOOL ok = VerifyPassword(Handle());
  VerifyingPassword = false;
  if (ok) return;
  action = forms::TCloseAction::caNone;
  GetCursorPos(&LastCursorPos);
  SetCursor(LoadCursorA(nullptr, IDC_ARROW));
  Closing = false;
  RenewInputWatch();
}

bool TForm_Saver::LocksWhenItEnds() const {
  return Mode == SAVER_RUN && PasswordProtected && GetTickCount64() - RunStartedAt >= GraceSeconds * 1000ULL;
}

void TForm_Saver::RenewInputWatch() { InputWatch.Arm(Active() ? kArmedFor : 0); }

void TForm_Saver::InputTimerTimer() {
  RenewInputWatch();
  if (Mode == SAVER_RUN && InputWatch.MissedInput()) {
    // The system dropped the hooks, or counted input they never see (Wine
    // counts the pointer moves it makes itself when windows come and go):
    // either way fresh hooks cost nothing, and the next key or click is
    // seen again. What was missed is not acted on, since it cannot be told
    // from a move too small to count.
    InputWatch.Start(Handle());
    RenewInputWatch();
  }
  POINT now;
  if (Active() && GetCursorPos(&now)) SaverPointer(now);
}

bool TForm_Saver::SaverKey(UINT message, WPARAM keyCode) {
  if (!Active()) return false;
  if (!PasswordProtected && OnSaverKey(message, keyCode)) return true;
  Close();
  return false;
}

// The movement is measured from LastCursorPos, which small movements do not
// update, so slow drifting adds up until it passes the threshold.
bool TForm_Saver::SaverPointer(POINT now) {
  if (!Active()) return false;
  if (std::abs(LastCursorPos.x - now.x) <= MouseThreshold && std::abs(LastCursorPos.y - now.y) <= MouseThreshold)
    return false;
  if (OnSaverMouse(WM_MOUSEMOVE)) {
    LastCursorPos = now;
    return true;
  }
  Close();
  return false;
}

bool TForm_Saver::SaverButton(UINT message) {
  if (!Active()) return false;
  if (OnSaverMouse(message)) return true;
  Close();
  return false;
}

LRESULT TForm_Saver::WatchedInput(WPARAM message, LPARAM detail) {
  switch (message) {
    case WM_MOUSEMOVE: {
      POINT at;
      if (InputWatch.TakeMove(at)) SaverPointer(at);
      break;
    }
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN: SaverKey(static_cast<UINT>(message), static_cast<WPARAM>(detail)); break;
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
    case WM_MBUTTONDOWN: SaverButton(static_cast<UINT>(message)); break;
    default: break;
  }
  return 0;
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
      if (SaverKey(message, wParam)) return 0;
      break;
    case WM_SYSCOMMAND:
      if (Mode == SAVER_RUN && (wParam == SC_SCREENSAVE || wParam == SC_CLOSE)) return 0;
      break;
    case WM_MOUSEMOVE: {
      POINT now;
      GetCursorPos(&now);
      if (SaverPointer(now)) return 0;
      break;
    }
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
    case WM_MBUTTONDOWN:
      if (SaverButton(message)) return 0;
      break;
    case WM_POWERBROADCAST:
      return PowerBroadcast(wParam, lParam);
    default: break;
  }
  return TForm::WndProc(message, wParam, lParam);
}

// The system suspends: the run ends in every mode. Windows sends the
// suspend itself (PBT_APMSUSPEND); the query before it (PBT_APMQUERYSUSPEND)
// went with Windows XP, and is still honoured where it comes.
LRESULT TForm_Saver::PowerBroadcast(WPARAM event, LPARAM detail) {
  switch (event) {
    case PBT_APMQUERYSUSPEND:
    case PBT_APMSUSPEND: Close(); break;
    case PBT_POWERSETTINGCHANGE: {
      const auto* setting = reinterpret_cast<const POWERBROADCAST_SETTING*>(detail);
      // The display's state: 0 off, 1 on, 2 dimmed (still to be seen).
      if (Mode == SAVER_RUN && setting != nullptr && IsEqualGUID(setting->PowerSetting, kDisplayStateSetting) &&
          setting->DataLength >= sizeof(DWORD)) {
        DWORD state = 0;
        CopyMemory(&state, setting->Data, sizeof state);
        OnDisplayState(state != 0);
      }
      break;
    }
    default: break;
  }
  return TRUE;
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
