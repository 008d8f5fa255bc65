// The windowed controls: each is a Win32 child window of its form.
#include "forms/controls.h"

#include <commctrl.h>

#include "forms/form.h"
#include "forms/text_extent.h"

namespace forms {

// ---- TWinControl

TWinControl::~TWinControl() {
  if (Handle_ != nullptr && IsWindow(Handle_)) DestroyWindow(Handle_);
}

void TWinControl::CreateChild(const char* windowClass, const std::string& caption, DWORD style, DWORD exStyle,
                              int id) {
  Id_ = id;
  Owner_->CreateHandle();
  Handle_ = CreateWindowExA(exStyle, windowClass, caption.c_str(), WS_CHILD | WS_VISIBLE | style, 0, 0, 10, 10,
                            Owner_->Handle(), reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                            GetModuleHandleA(nullptr), nullptr);
  ApplyFont();
}

void TWinControl::SetPixelBounds(const RECT& bounds) {
  Bounds_ = bounds;
  if (Handle_ != nullptr)
    MoveWindow(Handle_, bounds.left, bounds.top, bounds.right - bounds.left, bounds.bottom - bounds.top, TRUE);
}

void TWinControl::ScaleTo(int dpi) {
  Font.SetDpi(dpi);
  ApplyFont();
  TControl::ScaleTo(dpi);
}

SIZE TWinControl::CaptionExtent() const {
  return MeasureText(Font.Handle(), Caption(), DT_SINGLELINE);
}

void TWinControl::SetVisible(bool visible) {
  Visible_ = visible;
  if (Handle_ != nullptr) ShowWindow(Handle_, visible ? SW_SHOW : SW_HIDE);
}

void TWinControl::SetEnabled(bool enabled) {
  Enabled_ = enabled;
  if (Handle_ != nullptr) EnableWindow(Handle_, enabled ? TRUE : FALSE);
}

bool TWinControl::Enabled() const { return Handle_ != nullptr && IsWindowEnabled(Handle_); }

void TWinControl::SetCaption(const std::string& caption) {
  if (Handle_ != nullptr) SetWindowTextA(Handle_, caption.c_str());
}

std::string TWinControl::Caption() const {
  char text[1024] = {};
  if (Handle_ != nullptr) GetWindowTextA(Handle_, text, sizeof text);
  return text;
}

void TWinControl::SetFocus() {
  if (Handle_ != nullptr) ::SetFocus(Handle_);
}

void TWinControl::ApplyFont() {
  if (Handle_ != nullptr) SendMessageA(Handle_, WM_SETFONT, reinterpret_cast<WPARAM>(Font.Handle()), TRUE);
}

// ---- TButton

TButton::TButton(TForm* owner, int id, const std::string& caption, bool isDefault) : TWinControl(owner), Default(isDefault) {
  CreateChild("BUTTON", caption, WS_TABSTOP | (isDefault ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON), 0, id);
}

void TButton::Click() {
  if (OnClick) OnClick();
}

bool TButton::Command(UINT code) {
  if (code != BN_CLICKED || !Enabled()) return false;
  Click();
  return true;
}

// Room for the frame and the focus rectangle on each side of the text.
SIZE TButton::TextShortfall() const {
  SIZE need = CaptionExtent();
  need.cx += Scale(12);
  need.cy += Scale(6);
  return Shortfall(need, Width(), Height());
}

// ---- TChoiceButton, TCheckBox, TRadioButton

TChoiceButton::TChoiceButton(TForm* owner, int id, const std::string& caption, DWORD buttonStyle)
    : TWinControl(owner) {
  CreateChild("BUTTON", caption, WS_TABSTOP | buttonStyle, 0, id);
}

bool TChoiceButton::Checked() const {
  return Handle_ != nullptr && SendMessageA(Handle_, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void TChoiceButton::SetChecked(bool checked) {
  if (Handle_ != nullptr) SendMessageA(Handle_, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

bool TChoiceButton::Command(UINT code) {
  if (code != BN_CLICKED) return false;
  if (OnClick) OnClick();
  return true;
}

// The box, the gap after it, then the text.
SIZE TChoiceButton::TextShortfall() const {
  const int dpi = Font.Dpi();
  const int box = SystemMetricForDpi(SM_CXMENUCHECK, dpi);
  SIZE need = CaptionExtent();
  need.cx += box + ScaleToDpi(6, dpi);
  if (need.cy < box) need.cy = box;
  return Shortfall(need, Width(), Height());
}

TCheckBox::TCheckBox(TForm* owner, int id, const std::string& caption)
    : TChoiceButton(owner, id, caption, BS_AUTOCHECKBOX) {}

// A radio group sets its buttons' marks itself.
TRadioButton::TRadioButton(TForm* owner, int id, const std::string& caption)
    : TChoiceButton(owner, id, caption, BS_RADIOBUTTON) {}

// ---- TGroupBox, TRadioGroup

// A group box paints only its frame and caption: transparent, it is left
// out of the form's clipping, so the form's background shows inside it.
TGroupBox::TGroupBox(TForm* owner, int id, const std::string& caption) : TWinControl(owner) {
  CreateChild("BUTTON", caption, BS_GROUPBOX, WS_EX_TRANSPARENT, id);
}

// The caption sits in the top line of the frame, inset from both corners.
SIZE TGroupBox::TextShortfall() const {
  SIZE need = CaptionExtent();
  need.cx += Scale(20);
  return Shortfall(need, Width(), Height());
}

TRadioGroup::TRadioGroup(TForm* owner, int id, const std::string& caption, const std::vector<std::string>& items)
    : TGroupBox(owner, id, caption) {
  for (size_t i = 0; i < items.size(); ++i) {
    auto button = std::make_unique<TRadioButton>(owner, id + 1 + static_cast<int>(i), items[i]);
    const int index = static_cast<int>(i);
    button->OnClick = [this, index] { SetItemIndex(index); };
    Buttons_.push_back(std::move(button));
  }
}

void TRadioGroup::SetItemIndex(int index) {
  ItemIndex_ = index >= 0 && index < Count() ? index : -1;
  for (int i = 0; i < Count(); ++i) Buttons_[i]->SetChecked(i == ItemIndex_);
}

void TRadioGroup::SetBounds(int left, int top, int width, int height) {
  TGroupBox::SetBounds(left, top, width, height);
  if (Buttons_.empty()) return;
  // Below the caption line, the buttons share the height evenly.
  const int first = top + 16;
  const int step = (height - 20) / Count();
  for (int i = 0; i < Count(); ++i) Buttons_[i]->SetBounds(left + 8, first + i * step, width - 16, step);
}

void TRadioGroup::SetVisible(bool visible) {
  TGroupBox::SetVisible(visible);
  for (auto& button : Buttons_) button->SetVisible(visible);
}

void TRadioGroup::SetEnabled(bool enabled) {
  TGroupBox::SetEnabled(enabled);
  for (auto& button : Buttons_) button->SetEnabled(enabled);
}

// ---- TPanel, TProgressBar

TPanel::TPanel(TForm* owner, int id, const std::string& caption) : TWinControl(owner) {
  CreateChild("STATIC", caption, SS_CENTER | SS_CENTERIMAGE, WS_EX_STATICEDGE, id);
}

TProgressBar::TProgressBar(TForm* owner, int id) : TWinControl(owner) {
  INITCOMMONCONTROLSEX init = {sizeof init, ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&init);
  CreateChild(PROGRESS_CLASSA, "", 0, 0, id);
  SetMax(100);
}

void TProgressBar::SetMax(int maximum) {
  Max_ = maximum;
  if (Handle_ != nullptr) SendMessageA(Handle_, PBM_SETRANGE32, 0, maximum);
}

void TProgressBar::SetPosition(int position) {
  if (Handle_ != nullptr) SendMessageA(Handle_, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

int TProgressBar::Position() const {
  return Handle_ != nullptr ? static_cast<int>(SendMessageA(Handle_, PBM_GETPOS, 0, 0)) : 0;
}

}  // namespace forms
