// The components the forms are made of. Windowed controls (button, panel,
// progress bar) are Win32 child windows; the graphic ones (paint box, image,
// label) have no window of their own and paint in their rectangle of the
// form, so mouse input over them reaches the form itself.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace forms {

class TForm;

// A GDI font owned by one object.
class TFont {
 public:
  TFont() = default;
  TFont(const TFont&) = delete;
  TFont& operator=(const TFont&) = delete;
  ~TFont() { Release(); }

  // height as in LOGFONT (negative: character height in pixels).
  void Set(const std::string& name, int height, bool bold = false);
  HFONT Handle() const;
  COLORREF Color = RGB(0, 0, 0);

 private:
  void Release();
  HFONT Handle_ = nullptr;
};

// Drawing on a device context with a brush colour and a font; Fill, TextOut
// and TextExtent are what the forms need.
class TCanvas {
 public:
  TCanvas(HDC dc, POINT origin, COLORREF brush, const TFont* font);
  // A canvas on a window's client area; the DC is released with the canvas.
  TCanvas(HWND window, POINT origin, COLORREF brush, const TFont* font);
  ~TCanvas();
  TCanvas(const TCanvas&) = delete;
  TCanvas& operator=(const TCanvas&) = delete;

  void FillRect(const RECT& rect);
  void TextOut(int x, int y, const std::string& text);
  SIZE TextExtent(const std::string& text);

 private:
  void Select(const TFont* font);
  HDC Dc_;
  HWND Window_ = nullptr;
  POINT Origin_;
  HBRUSH Brush_;
  HGDIOBJ OldFont_ = nullptr;
};

// Calls OnTimer every Interval milliseconds while enabled. A tick that throws
// is swallowed here (its text kept in LastError): a timer is a wall.
class TTimer {
 public:
  TTimer() = default;
  TTimer(const TTimer&) = delete;
  TTimer& operator=(const TTimer&) = delete;
  ~TTimer() { Stop(); }

  void SetEnabled(bool enabled);
  bool Enabled() const { return Enabled_; }
  void SetInterval(UINT milliseconds);
  UINT Interval() const { return Interval_; }
  std::function<void()> OnTimer;
  std::string LastError;

  // Runs one tick now, as the system timer would (for tests and callers that
  // must not wait for the next tick).
  void Tick();

 private:
  void Start();
  void Stop();
  static void CALLBACK TimerProc(HWND, UINT, UINT_PTR id, DWORD);

  bool Enabled_ = false;
  UINT Interval_ = 1000;
  UINT_PTR Id_ = 0;
};

// Common to every component: a rectangle in its form, visibility.
class TControl {
 public:
  explicit TControl(TForm* owner);
  virtual ~TControl();
  TControl(const TControl&) = delete;
  TControl& operator=(const TControl&) = delete;

  virtual void SetBounds(int left, int top, int width, int height);
  const RECT& BoundsRect() const { return Bounds_; }
  int Width() const { return Bounds_.right - Bounds_.left; }
  int Height() const { return Bounds_.bottom - Bounds_.top; }
  virtual void SetVisible(bool visible);
  bool Visible() const { return Visible_; }
  TForm* Owner() const { return Owner_; }
  // Graphic controls paint in the form's WM_PAINT.
  virtual void Paint(HDC dc) { (void)dc; }
  void Invalidate() const;

  TFont Font;
  COLORREF Color = RGB(0, 0, 0);

 protected:
  TForm* Owner_;
  RECT Bounds_{};
  bool Visible_ = true;
};

// A rectangle the owner draws on through Canvas() and OnPaint.
class TPaintBox : public TControl {
 public:
  using TControl::TControl;
  // A canvas on the form's window, clipped to nothing, origin at the box.
  std::unique_ptr<TCanvas> Canvas();
  std::function<void(TCanvas&)> OnPaint;
  void Paint(HDC dc) override;
  RECT ClientRect() const { return RECT{0, 0, Width(), Height()}; }
};

// A device-independent picture, shown at its own size when AutoSize is set.
class TImage : public TControl {
 public:
  using TControl::TControl;
  ~TImage() override;
  bool LoadFromResource(HINSTANCE instance, const char* name);
  bool LoadFromFile(const std::string& path);
  void Clear();
  bool HasPicture() const { return Bitmap_ != nullptr; }
  SIZE PictureSize() const;
  void Paint(HDC dc) override;
  bool AutoSize = false;

 private:
  void Adopt(HBITMAP bitmap);
  HBITMAP Bitmap_ = nullptr;
};

enum class TAlignment { taLeftJustify, taRightJustify, taCenter };

class TLabel : public TControl {
 public:
  using TControl::TControl;
  void SetCaption(const std::string& caption);
  const std::string& Caption() const { return Caption_; }
  void Paint(HDC dc) override;
  TAlignment Alignment = TAlignment::taLeftJustify;
  bool Transparent = true;
  bool WordWrap = false;

 private:
  std::string Caption_;
};

// Windowed controls: a Win32 child of the form.
class TWinControl : public TControl {
 public:
  using TControl::TControl;
  ~TWinControl() override;
  HWND Handle() const { return Handle_; }
  void SetBounds(int left, int top, int width, int height) override;
  void SetVisible(bool visible) override;
  void SetEnabled(bool enabled);
  bool Enabled() const;
  void SetCaption(const std::string& caption);
  std::string Caption() const;
  void SetFocus();
  void ApplyFont();
  int Id() const { return Id_; }

 protected:
  void CreateChild(const char* windowClass, const std::string& caption, DWORD style, DWORD exStyle, int id);
  HWND Handle_ = nullptr;
  int Id_ = 0;
};

class TButton : public TWinControl {
 public:
  TButton(TForm* owner, int id, const std::string& caption, bool isDefault = false);
  std::function<void()> OnClick;
  void Click();
  bool Default;
  bool Cancel = false;
};

class TPanel : public TWinControl {
 public:
  TPanel(TForm* owner, int id, const std::string& caption);
};

class TProgressBar : public TWinControl {
 public:
  TProgressBar(TForm* owner, int id);
  void SetMax(int maximum);
  void SetPosition(int position);
  int Max() const { return Max_; }
  // The position as the bar holds it: clamped to 0 .. Max.
  int Position() const;

 private:
  int Max_ = 100;
};

// Message and confirmation boxes, captioned with the application title.
int MessageDlg(const std::string& text, UINT flags);
bool ConfirmDlg(const std::string& text);

}  // namespace forms
