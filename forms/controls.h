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

#include "base/handles.h"
#include "forms/canvas.h"
#include "forms/scaling.h"

namespace forms {

class TForm;

// Common to every component: a rectangle in its form, visibility.
// Bounds are given in 96-DPI design units and kept twice: as designed, and
// in pixels of the form's client area at the form's DPI, which is where the
// control is. The form's layout may make the pixel bounds larger than the
// design so that a text fits (FitTexts).
class TControl {
 public:
  explicit TControl(TForm* owner);
  virtual ~TControl();
  TControl(const TControl&) = delete;
  TControl& operator=(const TControl&) = delete;

  virtual void SetBounds(int left, int top, int width, int height);
  const RECT& DesignRect() const { return Design_; }
  // Pixels of the form's client area.
  const RECT& BoundsRect() const { return Bounds_; }
  int Width() const { return Bounds_.right - Bounds_.left; }
  int Height() const { return Bounds_.bottom - Bounds_.top; }
  // Moves the control in pixels and leaves its design bounds as they were.
  virtual void SetPixelBounds(const RECT& bounds);
  // The form's DPI has changed (or its layout runs): the font and the
  // bounds are made again from their design values.
  virtual void ScaleTo(int dpi);
  // How much wider and taller the control must be for its text in its
  // font; nothing (0, 0) when the text fits.
  virtual SIZE TextShortfall() const { return SIZE{0, 0}; }
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
  // A design value at the owner's scale.
  int Scale(int value) const;
  TForm* Owner_;
  RECT Design_{};
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
  bool HasPicture() const { return static_cast<bool>(Bitmap_); }
  SIZE PictureSize() const;
  void Paint(HDC dc) override;
  bool AutoSize = false;

 private:
  void Adopt(handles::UniqueBitmap bitmap);
  handles::UniqueBitmap Bitmap_;
};

enum class TAlignment { taLeftJustify, taRightJustify, taCenter };

class TLabel : public TControl {
 public:
  using TControl::TControl;
  void SetCaption(const std::string& caption);
  const std::string& Caption() const { return Caption_; }
  void Paint(HDC dc) override;
  SIZE TextShortfall() const override;
  TAlignment Alignment = TAlignment::taLeftJustify;
  bool Transparent = true;
  bool WordWrap = false;
  // A line too long for the label ends in "..." instead of growing it: for
  // texts that change while the form is up, such as a progress line.
  bool EndEllipsis = false;

 private:
  std::string Caption_;
};

// Windowed controls: a Win32 child of the form.
class TWinControl : public TControl {
 public:
  using TControl::TControl;
  ~TWinControl() override;
  HWND Handle() const { return Handle_; }
  void SetPixelBounds(const RECT& bounds) override;
  void ScaleTo(int dpi) override;
  void SetVisible(bool visible) override;
  void SetEnabled(bool enabled) override;
  bool Enabled() const override;
  void SetCaption(const std::string& caption);
  std::string Caption() const;
  void SetFocus();
  void ApplyFont();
  int Id() const { return Id_; }
  // The caption's extent in the control's font (an & that marks the
  // access key takes no room).
  SIZE CaptionExtent() const;

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
  SIZE TextShortfall() const override;
  bool Default;
  bool Cancel = false;
};

// A check box or a radio button: a mark before the caption, which the user
// sets with a click.
class TChoiceButton : public TWinControl {
 public:
  bool Checked() const;
  // Sets the mark without firing OnClick.
  void SetChecked(bool checked);
  // Fired after the user changed the mark.
  std::function<void()> OnClick;
  bool Command(UINT code) override;
  SIZE TextShortfall() const override;

 protected:
  TChoiceButton(TForm* owner, int id, const std::string& caption, DWORD buttonStyle);
};

class TCheckBox : public TChoiceButton {
 public:
  TCheckBox(TForm* owner, int id, const std::string& caption);
};

class TGroupBox : public TWinControl {
 public:
  TGroupBox(TForm* owner, int id, const std::string& caption);
  SIZE TextShortfall() const override;
};

// One choice of a radio group.
class TRadioButton : public TChoiceButton {
 public:
  TRadioButton(TForm* owner, int id, const std::string& caption);
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
  // At 96 DPI; the list takes it at its form's scale, and never less than
  // its font needs.
  void SetItemHeight(int height);
  void ScaleTo(int dpi) override;
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

  // The tick box column at 96 DPI.
  static constexpr int kCheckWidth = 16;

 private:
  void ToggleFromWindow(int index) noexcept;
  int ItemHeight_ = 16;
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

}  // namespace forms
