// What makes a form a screensaver, whatever it shows: in run mode it covers
// the screen, hides the cursor and closes on a key, a click or a movement of
// more than MouseThreshold pixels (asking for the password first when one is
// set); in preview mode it only sits, disabled, in the host window. It also
// scrolls a one-line error message across its top and writes the program's
// ".ini" file.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "forms/controls.h"
#include "forms/form.h"

// The x position of the error line; 99999 until a pass has started.
extern int32_t ErrorScrollX;
constexpr int32_t ERROR_SCROLL_UNSTARTED = 99999;

class TForm_Saver : public forms::TForm {
 public:
  TForm_Saver();
  ~TForm_Saver() override;

  void ShowError(const char* text);
  void HideError();
  void WriteIniString(const char* section, const char* key, const char* value) const;
  static std::string GetIniPath();

  forms::TTimer ErrorTimer;
  forms::TPaintBox PaintBox_Main{this};

  uint8_t Mode = 0;
  bool PasswordProtected = false;
  bool VerifyingPassword = false;
  POINT LastCursorPos{0, 0};
  int32_t MouseThreshold = 8;
  bool Closing = false;
  bool ErrorActive = false;
  std::string ErrorPrefix;
  std::string ErrorLine;

  // One step of the error line, as the timer runs it.
  void ErrorTimerTimer();

  // True keeps the saver open.
  virtual bool OnSaverMouse(UINT message);
  virtual bool OnSaverKey(UINT message, WPARAM keyCode);
  virtual void OnErrorDisplayDone();

 protected:
  void CreateParams(forms::TCreateParams& params) override;
  bool FormCanResize(int& width, int& height) override;
  void FormShow() override;
  void FormClose(forms::TCloseAction& action) override;
  void FormResize() override;
  LRESULT WndProc(UINT message, WPARAM wParam, LPARAM lParam) override;
  void HandleException(const std::exception& error) override;

  bool Active() const;
};
