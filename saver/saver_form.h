// What makes a form a screensaver, whatever it shows: in run mode it covers
// every monitor, hides the cursor and closes on a key, a click or a movement
// of more than MouseThreshold pixels (asking for the password first when one
// is set), wherever that input goes: the movie player's window lies above
// the form, and the input watch reports what reaches it. In preview mode the
// form only sits, disabled, in the host window. It also scrolls a one-line
// error message across the top of the primary monitor and writes the
// program's ".ini" file.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "base/handles.h"
#include "forms/controls.h"
#include "forms/form.h"
#include "forms/timer.h"
#include "saver/input_watch.h"

// The desk a running saver covers: the virtual screen, which holds every
// monitor and whose origin is negative when a monitor lies left of or above
// the primary one, and the primary monitor, where the movie plays and the
// error line runs.
struct SaverScreens {
  RECT Cover;
  RECT Primary;
};
SaverScreens CurrentScreens();

// The power setting that says whether the display is on
// (GUID_CONSOLE_DISPLAY_STATE), defined here so that no library must carry it.
extern const GUID kDisplayStateSetting;

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
  // When the run began (GetTickCount64), and the seconds after it in which
  // Windows lets input end a protected run without the password.
  ULONGLONG RunStartedAt = 0;
  DWORD GraceSeconds = 5;
  // A protected run whose grace period is over: Windows locks the desktop
  // when the program ends.
  bool LocksWhenItEnds() const;
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
  // The system turned the display off (false) or on again (true).
  virtual void OnDisplayState(bool on);

  // Where the form goes in run mode; tests give it other monitors.
  virtual SaverScreens Screens() const { return CurrentScreens(); }

  cInputWatch InputWatch;
  // Renews the input watch's arming while the form takes input, at every
  // tick of this timer, and checks the pointer, should the watch be missing.
  forms::TTimer InputTimer;

 protected:
  void CreateParams(forms::TCreateParams& params) override;
  bool FormCanResize(int& width, int& height) override;
  void FormShow() override;
  void FormClose(forms::TCloseAction& action) override;
  void FormResize() override;
  LRESULT WndProc(UINT message, WPARAM wParam, LPARAM lParam) override;
  void HandleException(const std::exception& error) override;

  bool Active() const;
  // Arms the input watch while the form is active and disarms it otherwise;
  // called whenever that may have changed.
  void RenewInputWatch();

  // The rules for input, the same wherever it was seen: on the form or,
  // through the input watch, on another window. True when the form
  // consumed the input and kept the saver open.
  bool SaverKey(UINT message, WPARAM keyCode);
  bool SaverPointer(POINT now);
  bool SaverButton(UINT message);

 private:
  LRESULT WatchedInput(WPARAM message, LPARAM detail);
  void InputTimerTimer();
  LRESULT PowerBroadcast(WPARAM event, LPARAM detail);

  static void ForgetPowerNotification(HPOWERNOTIFY notification) { UnregisterPowerSettingNotification(notification); }
  handles::UniqueAny<HPOWERNOTIFY, &TForm_Saver::ForgetPowerNotification> DisplayNotification_;
};
