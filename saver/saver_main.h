// Placeholder for the full-screen saver form until the player lands: a black
// screen that closes on a key, a click or a mouse move.
#pragma once

#include "forms/form.h"

class TForm_Saver_Main_Dem : public forms::TForm {
 public:
  TForm_Saver_Main_Dem();

 protected:
  void CreateParams(forms::TCreateParams& params) override;
  void FormPaint(HDC dc) override;
  void FormKeyDown(WORD& key, UINT shift) override;
  void FormMouseDown(UINT button, UINT shift, int x, int y) override;
  void FormMouseMove(UINT shift, int x, int y) override;

 private:
  POINT FirstCursor_{-1, -1};
};

extern TForm_Saver_Main_Dem* Form_Saver_Main_Dem;
