#include "ui/settings_form.h"

TForm_Settings_Dem::TForm_Settings_Dem() { BorderStyle = forms::TBorderStyle::bsDialog; }

void TForm_Settings_Dem::CreateParams(forms::TCreateParams& params) {
  TForm::CreateParams(params);
  params.Caption = "Drearigrams Screensaver Settings";
  params.Width = 420;
  params.Height = 180;
  params.X = (GetSystemMetrics(SM_CXSCREEN) - params.Width) / 2;
  params.Y = (GetSystemMetrics(SM_CYSCREEN) - params.Height) / 2;
}

void TForm_Settings_Dem::FormCreate() {
  HFONT font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  HWND label = CreateWindowExA(0, "STATIC", "Drearigrams Screensaver", WS_CHILD | WS_VISIBLE, 16, 16, 380, 20,
                               Handle(), nullptr, GetModuleHandleA(nullptr), nullptr);
  HWND ok = CreateWindowExA(0, "BUTTON", "OK", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 310, 100, 80,
                            26, Handle(), reinterpret_cast<HMENU>(IDOK), GetModuleHandleA(nullptr), nullptr);
  SendMessageA(label, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  SendMessageA(ok, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
}

void TForm_Settings_Dem::ControlCommand(UINT id, UINT, HWND) {
  if (id == IDOK) Close();
}
