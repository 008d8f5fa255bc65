#include "saver/saver_main.h"

#include <cstdlib>

#include "app/saver_state.h"

TForm_Saver_Main_Dem::TForm_Saver_Main_Dem() {
  BorderStyle = forms::TBorderStyle::bsNone;
  FormStyle = SaverMode == SAVER_RUN ? forms::TFormStyle::fsStayOnTop : forms::TFormStyle::fsNormal;
  SetColor(RGB(0, 0, 0));
}

void TForm_Saver_Main_Dem::CreateParams(forms::TCreateParams& params) {
  TForm::CreateParams(params);
  params.Caption = kApplicationTitle;
  params.X = GetSystemMetrics(SM_XVIRTUALSCREEN);
  params.Y = GetSystemMetrics(SM_YVIRTUALSCREEN);
  params.Width = GetSystemMetrics(SM_CXVIRTUALSCREEN);
  params.Height = GetSystemMetrics(SM_CYVIRTUALSCREEN);
}

void TForm_Saver_Main_Dem::FormPaint(HDC dc) {
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, RGB(255, 255, 255));
  const std::string& text = StartupErrorText;
  TextOutA(dc, 16, 16, text.c_str(), static_cast<int>(text.size()));
}

void TForm_Saver_Main_Dem::FormKeyDown(WORD& key, UINT) {
  key = 0;
  if (SaverMode == SAVER_RUN) Close();
}

void TForm_Saver_Main_Dem::FormMouseDown(UINT, UINT, int, int) {
  if (SaverMode == SAVER_RUN) Close();
}

void TForm_Saver_Main_Dem::FormMouseMove(UINT, int x, int y) {
  if (SaverMode != SAVER_RUN) return;
  if (FirstCursor_.x < 0) {
    FirstCursor_ = {x, y};
  } else if (std::abs(x - FirstCursor_.x) > 8 || std::abs(y - FirstCursor_.y) > 8) {
    Close();
  }
}
