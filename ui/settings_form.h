// Placeholder for the settings dialog until the configuration dialogs land.
#pragma once

#include "forms/form.h"

class TForm_Settings_Dem : public forms::TForm {
 public:
  TForm_Settings_Dem();

 protected:
  void CreateParams(forms::TCreateParams& params) override;
  void FormCreate() override;
  void ControlCommand(UINT id, UINT code, HWND control) override;
};

extern TForm_Settings_Dem* Form_Settings_Dem;
