// The form base: one top-level window per object, bound to it in WM_NCCREATE
// and unbound in WM_NCDESTROY. A form class overrides a few virtual handlers;
// a table of message numbers runs before the default handling. No exception
// leaves a window procedure: a handler's exception goes to HandleException.
//
// Forms are designed at 96 DPI. A scaled form (the default) takes positions,
// sizes and fonts from those design values times its DPI over 96, lays itself
// out before it is first shown and again when Windows moves it to a monitor
// of another DPI (WM_DPICHANGED), and then makes every control whose text
// would be cut larger, pushing what lies beyond it along (FitTexts).
#pragma once

#include <windows.h>

#include <exception>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "forms/controls.h"

namespace forms {

enum class TCloseAction { caNone, caHide, caFree, caMinimize };
enum class TBorderStyle { bsNone, bsSingle, bsDialog, bsSizeable };
enum class TFormStyle { fsNormal, fsStayOnTop };

// What a form's window is created with; a form adjusts it in CreateParams.
struct TCreateParams {
  std::string Caption;
  DWORD Style = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
  DWORD ExStyle = 0;
  int X = CW_USEDEFAULT, Y = CW_USEDEFAULT, Width = 400, Height = 300;
  HWND Parent = nullptr;
  std::string ClassName;
};

class TForm {
 public:
  using MessageHandler = std::function<LRESULT(WPARAM, LPARAM)>;

  TForm();
  TForm(const TForm&) = delete;
  TForm& operator=(const TForm&) = delete;
  virtual ~TForm();

  HWND Handle() const { return Handle_; }
  // Creates the window (once); called by the application or by the form's owner.
  void CreateHandle();

  void Show();
  void Hide();
  bool Visible() const;
  // Asks the form to close: FormCloseQuery may refuse, FormClose picks the action.
  void Close();
  // Deletes the form once the messages already waiting have been handled:
  // the way for a form to end itself from inside its own handlers, where
  // deleting it at once would pull the object from under them.
  void Release();
  void SetEnabled(bool enabled);
  void SetCaption(const std::string& caption);
  void SetBounds(int x, int y, int width, int height);
  void SetColor(COLORREF color);
  COLORREF Color() const { return Color_; }
  void SetBorderStyle(TBorderStyle style) { BorderStyle = style; }
  void SetFormStyle(TFormStyle style);
  // Sizes the window so that its client area is width x height (design units).
  void SetClientSize(int width, int height);
  // Centres the window on its monitor's work area, now and after each layout
  // that runs before the form is first shown.
  void CentreOnScreen();

  // The DPI the form is laid out for: its monitor's.
  int Dpi() const { return Dpi_; }
  // A design value in pixels of this form (unchanged when it is not scaled).
  int Scale(int value) const { return Scaled ? ScaleToDpi(value, Dpi_) : value; }
  // Scaled forms take their geometry from design values; one that is not
  // (a full-screen form works in screen pixels) only scales its fonts.
  bool Scaled = true;
  // Lays the form out at its DPI: fonts and bounds from the design, texts
  // fitted, the client area sized. Runs by itself before the first Show and
  // on WM_DPICHANGED.
  void Layout();
  bool LaidOut() const { return LaidOut_; }
  const std::vector<TControl*>& Controls() const { return Controls_; }
  // A font the form draws with itself (an owner-drawn list's, say), made
  // anew for each DPI with the controls' fonts.
  void AddFont(TFont& font);

  // Shows the form and runs a message loop until ModalResult is set (or the
  // form is closed), with the thread's other windows disabled meanwhile;
  // returns ModalResult. Close() on a modal form sets ModalResult to
  // IDCANCEL; a nonzero ModalResult runs FormCloseQuery and FormClose before
  // the loop ends, and either may keep the form up.
  int ShowModal();
  bool Modal() const { return Modal_; }
  int ModalResult = 0;

  // The help context of the control at a point of the client area: the
  // innermost visible, enabled control there that has one; 0 for none.
  int HelpContextAt(POINT point) const;
  // A help request: FormHelp first, then, unless it declined, DefaultHelp.
  // WM_HELP (F1, the caption's help button) arrives here with the help
  // context of the control it names, or the form's own.
  bool HelpCommand(UINT command, ULONG_PTR data);
  int HelpContext = 0;

  // Shown by Application.Run when it is the main form and Visible was asked for.
  void ShowIfVisible();
  bool WantVisible = true;

  // Gives modeless dialogs and forms with DialogKeys their keyboard
  // navigation (Tab, Enter for the default button, Esc for the cancel one).
  static bool PreTranslate(MSG& msg);
  static void RegisterDialog(HWND dialog);
  static void UnregisterDialog(HWND dialog);

  // Hands the exception being handled (call it in a catch block) to
  // HandleException, inside a wall of its own: whatever the handler does,
  // nothing leaves. Controls' own window procedures report through it.
  void HandleCurrentException() noexcept;

  // Components register themselves with their owner.
  void AddControl(TControl* control);
  void RemoveControl(TControl* control);

  TFont Font;
  bool DialogKeys = false;

 protected:
  virtual void CreateParams(TCreateParams& params);
  virtual void FormCreate() {}
  virtual void FormShow() {}
  virtual void FormHide() {}
  virtual void FormCloseQuery(bool& canClose) { canClose = true; }
  virtual void FormClose(TCloseAction& action) { (void)action; }
  virtual void FormDestroy() {}
  virtual void FormPaint(HDC dc) { (void)dc; }
  virtual void FormResize() {}
  virtual bool FormCanResize(int& width, int& height) { (void)width, (void)height; return true; }
  virtual void FormKeyDown(WORD& key, UINT shift) { (void)key, (void)shift; }
  virtual void FormMouseMove(UINT shift, int x, int y) { (void)shift, (void)x, (void)y; }
  virtual void FormMouseDown(UINT button, UINT shift, int x, int y) { (void)button, (void)shift, (void)x, (void)y; }
  virtual void ControlCommand(UINT id, UINT code, HWND control) { (void)id, (void)code, (void)control; }
  // Help. FormHelp returns whether it dealt with the request and clears
  // callHelp to keep DefaultHelp from running. FormContextPopup gets a right
  // click (or the menu key) at a point of the client area.
  virtual bool FormHelp(UINT command, ULONG_PTR data, bool& callHelp) {
    (void)command, (void)data, (void)callHelp;
    return false;
  }
  virtual void DefaultHelp(UINT command, ULONG_PTR data) { (void)command, (void)data; }
  virtual void FormContextPopup(POINT mousePosition, bool& handled) { (void)mousePosition, (void)handled; }
  // A handler threw: the default shows the message in a box. Reached through
  // HandleCurrentException, which catches what an override throws.
  virtual void HandleException(const std::exception& error);

  // Message-number dispatch that runs before the default handling.
  void OnMessage(UINT message, MessageHandler handler) { Handlers_[message] = std::move(handler); }
  // The window procedure of the form; derived forms may extend it.
  virtual LRESULT WndProc(UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT DefaultHandler(UINT message, WPARAM wParam, LPARAM lParam);

  TBorderStyle BorderStyle = TBorderStyle::bsSizeable;
  TFormStyle FormStyle = TFormStyle::fsNormal;
  HBRUSH BackgroundBrush() const { return Brush_.get(); }

 private:
  static LRESULT CALLBACK StaticWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  static void RegisterFormClass(const std::string& name);

  HWND Handle_ = nullptr;
  // Release was called: the release message that follows is this form's own.
  bool ReleaseRequested_ = false;
  int Dpi_ = SystemDpi();
  SIZE DesignClient_{0, 0};
  bool HasDesignClient_ = false;
  bool Centred_ = false;
  bool LaidOut_ = false;
  std::vector<TFont*> Fonts_;
  COLORREF Color_ = GetSysColor(COLOR_BTNFACE);
  handles::UniqueBrush Brush_;
  bool Closing_ = false;
  bool Modal_ = false;
  std::map<UINT, MessageHandler> Handlers_;
  std::vector<TControl*> Controls_;
  bool DispatchCommand(UINT id, UINT code);
  TWinControl* FindChild(UINT id) const;
  bool CloseModal();
  void HelpMessage(const HELPINFO& info);
  void ContextMenuMessage(HWND window, LPARAM position);
  void DpiChanged(int dpi, const RECT& suggested);
  void ApplyClientSize(SIZE client);
  void FitTexts(SIZE& client);
  void Grow(TControl* control, int extra, bool across, SIZE& client);
};

}  // namespace forms
