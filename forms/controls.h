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
  // Fills rect with the brush and draws text at x, y inside it, clipped to
  // it, in one pass: nothing drawn there before stays behind.
  void TextRect(const RECT& rect, int x, int y, const std::string& text);
  SIZE TextExtent(const std::string& text);
  // Selects another font (and its colour); the first font is restored when
  // the canvas goes.
  void SetFont(const TFont& font);
  void SetTextColor(COLORREF color);
  HDC Handle() const { return Dc_; }

 private:
  void Select(const TFont* font);
  HDC Dc_;
  HWND Window_ = nullptr;
  POINT Origin_;
  HBRUSH Brush_;
  COLORREF BrushColor_;
  HGDIOBJ OldFont_ = nullptr;
};

// Calls OnTimer every Interval milliseconds while enabled. A tick that throws
// is swallowed here (its text kept in LastError, empty when there was no
// memory for it): a timer is a wall.
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
  // A disabled control takes no mouse input and is skipped by ControlAtPos.
  virtual void SetEnabled(bool enabled) { Enabled_ = enabled; }
  virtual bool Enabled() const { return Enabled_; }
  TForm* Owner() const { return Owner_; }
  // Graphic controls paint in the form's WM_PAINT.
  virtual void Paint(HDC dc) { (void)dc; }
  void Invalidate() const;

  TFont Font;
  COLORREF Color = RGB(0, 0, 0);
  // The topic the form's help shows for this control; 0 for none.
  int HelpContext = 0;

 protected:
  TForm* Owner_;
  RECT Bounds_{};
  bool Visible_ = true;
  bool Enabled_ = true;
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
  // A BMP file, or a PNG, JPEG or GIF file through GDI+; false (and no
  // picture) when the file cannot be read as a picture.
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
  void SetEnabled(bool enabled) override;
  bool Enabled() const override;
  void SetCaption(const std::string& caption);
  std::string Caption() const;
  void SetFocus();
  void ApplyFont();
  int Id() const { return Id_; }

  // The form hands over the notifications of its children: WM_COMMAND with
  // the control's id, and WM_DRAWITEM. True when handled.
  virtual bool Command(UINT code) { (void)code; return false; }
  virtual bool DrawItem(const DRAWITEMSTRUCT& item) { (void)item; return false; }

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
  bool Command(UINT code) override;
  bool Default;
  bool Cancel = false;
};

class TCheckBox : public TWinControl {
 public:
  TCheckBox(TForm* owner, int id, const std::string& caption);
  bool Checked() const;
  // Sets the tick without firing OnClick.
  void SetChecked(bool checked);
  // Fired after the user changed the tick.
  std::function<void()> OnClick;
  bool Command(UINT code) override;
};

class TGroupBox : public TWinControl {
 public:
  TGroupBox(TForm* owner, int id, const std::string& caption);
};

// One choice of a radio group.
class TRadioButton : public TWinControl {
 public:
  TRadioButton(TForm* owner, int id, const std::string& caption);
  bool Checked() const;
  void SetChecked(bool checked);
  std::function<void()> OnClick;
  bool Command(UINT code) override;
};

// A group box with one radio button per item, stacked inside it; exactly
// one is chosen once ItemIndex is set. The buttons take the ids after the
// group's own.
class TRadioGroup : public TGroupBox {
 public:
  TRadioGroup(TForm* owner, int id, const std::string& caption, const std::vector<std::string>& items);
  int ItemIndex() const { return ItemIndex_; }
  void SetItemIndex(int index);
  int Count() const { return static_cast<int>(Buttons_.size()); }
  TRadioButton& Button(int index) { return *Buttons_[index]; }
  void SetBounds(int left, int top, int width, int height) override;
  void SetVisible(bool visible) override;
  void SetEnabled(bool enabled) override;

 private:
  std::vector<std::unique_ptr<TRadioButton>> Buttons_;
  int ItemIndex_ = -1;
};

// A list whose items carry a tick box at their left, drawn by the list
// itself; the owner may draw the text part (OnDrawItem). A click in the
// tick box or the space bar toggles the current item's tick.
class TCheckListBox : public TWinControl {
 public:
  TCheckListBox(TForm* owner, int id);
  void Clear();
  int Add(const std::string& text);
  int Count() const;
  std::string Item(int index) const;
  bool Checked(int index) const;
  // Sets a tick without firing any event.
  void SetChecked(int index, bool checked);
  // What a click in the tick box does: toggles, then OnClickCheck, then OnClick.
  void ToggleChecked(int index);
  int ItemIndex() const;
  void SetItemIndex(int index);
  void SetItemHeight(int height);
  // The item's rectangle in the list's client area (empty when out of range).
  RECT ItemRect(int index) const;

  // Selection changed, or a tick was toggled.
  std::function<void()> OnClick;
  std::function<void()> OnClickCheck;
  // Draws the text part of an item: the canvas carries the list's font, the
  // text colour and a brush of the item's background (the highlight colours
  // when the item is selected).
  std::function<void(TCanvas& canvas, int index, const RECT& rect, UINT state)> OnDrawItem;

  bool Command(UINT code) override;
  bool DrawItem(const DRAWITEMSTRUCT& item) override;

  static constexpr int kCheckWidth = 16;

 private:
  void ToggleFromWindow(int index) noexcept;
  static LRESULT CALLBACK ListProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                   DWORD_PTR self);
};

// A rectangle with a single-line border, painted by its form; graphic
// controls may sit inside it.
class TFramePanel : public TControl {
 public:
  using TControl::TControl;
  void Paint(HDC dc) override;
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

// A help popup: a small window with a short text at a point of the screen.
// The next mouse press anywhere, or the next popup, closes it.
HWND ShowHelpPopup(HWND owner, POINT screen, const std::string& text);
// The popup shown now, or null.
HWND HelpPopupWindow();
void CloseHelpPopup();

// Message and confirmation boxes, captioned with the application title.
int MessageDlg(const std::string& text, UINT flags);
bool ConfirmDlg(const std::string& text);

}  // namespace forms
