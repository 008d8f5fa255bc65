#include "forms/controls.h"

#include <commctrl.h>
#include <objidl.h>  // before gdiplus.h, which needs it and WIN32_LEAN_AND_MEAN leaves out
#include <gdiplus.h>
#include <windowsx.h>

#include <algorithm>
#include <map>

#include "forms/application.h"
#include "forms/boundary.h"
#include "forms/form.h"

namespace forms {

// ---- TFont

void TFont::Set(const std::string& name, int height, bool bold) {
  Release();
  Name_ = name;
  Height_ = height;
  Bold_ = bold;
}

void TFont::SetDpi(int dpi) {
  if (dpi == Dpi_) return;
  Release();
  Dpi_ = dpi;
}

HFONT TFont::Handle() const {
  if (Handle_ == nullptr) {
    LOGFONTA lf = {};
    lf.lfHeight = ScaleToDpi(Height_, Dpi_);
    lf.lfWeight = Bold_ ? FW_BOLD : FW_NORMAL;
    lf.lfCharSet = DEFAULT_CHARSET;
    lstrcpynA(lf.lfFaceName, Name_.c_str(), LF_FACESIZE);
    Handle_ = CreateFontIndirectA(&lf);
  }
  return Handle_ != nullptr ? Handle_ : static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
}

// Windows that still hold the old handle are given the new one by the form's
// layout, which runs right after a change of DPI.
void TFont::Release() const {
  if (Handle_ != nullptr) DeleteObject(Handle_);
  Handle_ = nullptr;
}

// ---- TCanvas

TCanvas::TCanvas(HDC dc, POINT origin, COLORREF brush, const TFont* font)
    : Dc_(dc), Origin_(origin), Brush_(CreateSolidBrush(brush)), BrushColor_(brush) {
  Select(font);
}

TCanvas::TCanvas(HWND window, POINT origin, COLORREF brush, const TFont* font)
    : Dc_(GetDC(window)), Window_(window), Origin_(origin), Brush_(CreateSolidBrush(brush)), BrushColor_(brush) {
  Select(font);
}

void TCanvas::Select(const TFont* font) {
  if (Dc_ == nullptr) return;
  if (font != nullptr) {
    OldFont_ = SelectObject(Dc_, font->Handle());
    ::SetTextColor(Dc_, font->Color);
  }
  SetBkMode(Dc_, TRANSPARENT);
}

TCanvas::~TCanvas() {
  if (Dc_ != nullptr && OldFont_ != nullptr) SelectObject(Dc_, OldFont_);
  if (Window_ != nullptr && Dc_ != nullptr) ReleaseDC(Window_, Dc_);
  DeleteObject(Brush_);
}

void TCanvas::FillRect(const RECT& rect) {
  if (Dc_ == nullptr) return;
  RECT r = rect;
  OffsetRect(&r, Origin_.x, Origin_.y);
  ::FillRect(Dc_, &r, Brush_);
}

// Texts are UTF-8 (the process code page). GDI's "A" calls convert by the
// selected font's character set rather than the process code page (so does
// Wine, into Windows-1252), so the canvas draws and measures through the wide
// calls, which also let Windows take a fallback font for the scripts the
// font lacks. A byte that is not UTF-8 shows as the replacement character.
static std::wstring CanvasText(const std::string& text) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return wide;
}

void TCanvas::TextOut(int x, int y, const std::string& text) {
  if (Dc_ == nullptr || text.empty()) return;
  const std::wstring wide = CanvasText(text);
  ::TextOutW(Dc_, Origin_.x + x, Origin_.y + y, wide.c_str(), static_cast<int>(wide.size()));
}

void TCanvas::TextRect(const RECT& rect, int x, int y, const std::string& text) {
  if (Dc_ == nullptr) return;
  RECT r = rect;
  OffsetRect(&r, Origin_.x, Origin_.y);
  const int oldMode = SetBkMode(Dc_, OPAQUE);
  const COLORREF oldColor = SetBkColor(Dc_, BrushColor_);
  const std::wstring wide = CanvasText(text);
  ExtTextOutW(Dc_, Origin_.x + x, Origin_.y + y, ETO_OPAQUE | ETO_CLIPPED, &r, wide.c_str(),
              static_cast<UINT>(wide.size()), nullptr);
  SetBkColor(Dc_, oldColor);
  SetBkMode(Dc_, oldMode);
}

void TCanvas::SetFont(const TFont& font) {
  if (Dc_ == nullptr) return;
  HGDIOBJ previous = SelectObject(Dc_, font.Handle());
  if (OldFont_ == nullptr) OldFont_ = previous;
  ::SetTextColor(Dc_, font.Color);
}

void TCanvas::SetTextColor(COLORREF color) {
  if (Dc_ != nullptr) ::SetTextColor(Dc_, color);
}

SIZE TCanvas::TextExtent(const std::string& text) {
  SIZE size = {0, 0};
  if (Dc_ != nullptr && !text.empty()) {
    const std::wstring wide = CanvasText(text);
    GetTextExtentPoint32W(Dc_, wide.c_str(), static_cast<int>(wide.size()), &size);
  } else if (Dc_ != nullptr) {
    TEXTMETRICA tm;
    GetTextMetricsA(Dc_, &tm);
    size.cy = tm.tmHeight;
  }
  return size;
}

// ---- TTimer

namespace {
std::map<UINT_PTR, TTimer*>& Timers() {
  static std::map<UINT_PTR, TTimer*> timers;
  return timers;
}
}  // namespace

void TTimer::SetEnabled(bool enabled) {
  if (enabled == Enabled_) return;
  Enabled_ = enabled;
  if (Enabled_) Start(); else Stop();
}

void TTimer::SetInterval(UINT milliseconds) {
  if (milliseconds == Interval_) return;
  Interval_ = milliseconds;
  if (Enabled_) {
    Stop();
    Start();
  }
}

void TTimer::Start() {
  if (Interval_ == 0 || OnTimer == nullptr) return;
  // A thread timer with a callback needs no window; the id is the system's.
  Id_ = SetTimer(nullptr, 0, Interval_, &TTimer::TimerProc);
  if (Id_ != 0) Timers()[Id_] = this;
}

void TTimer::Stop() {
  if (Id_ != 0) {
    KillTimer(nullptr, Id_);
    Timers().erase(Id_);
    Id_ = 0;
  }
}

void TTimer::Tick() {
  if (!OnTimer) return;
  try {
    OnTimer();
  } catch (...) {
    const char* text = CurrentExceptionText();
    try {
      LastError = text;
    } catch (...) {
      // No memory to keep the text: the tick is still over.
      LastError.clear();
    }
  }
}

void CALLBACK TTimer::TimerProc(HWND, UINT, UINT_PTR id, DWORD) {
  try {
    auto it = Timers().find(id);
    if (it != Timers().end() && it->second->Enabled_) it->second->Tick();
  } catch (...) {
  }
}

// ---- TControl

TControl::TControl(TForm* owner) : Owner_(owner) {
  if (Owner_ == nullptr) return;
  Owner_->AddControl(this);
  Font.SetDpi(Owner_->Dpi());
}

TControl::~TControl() {
  if (Owner_ != nullptr) Owner_->RemoveControl(this);
}

int TControl::Scale(int value) const { return Owner_ != nullptr ? Owner_->Scale(value) : value; }

// Edges are scaled rather than sizes, so that controls that meet in the
// design still meet at every scale.
void TControl::SetBounds(int left, int top, int width, int height) {
  Design_ = RECT{left, top, left + width, top + height};
  SetPixelBounds(RECT{Scale(left), Scale(top), Scale(left + width), Scale(top + height)});
}

void TControl::SetPixelBounds(const RECT& bounds) {
  Invalidate();
  Bounds_ = bounds;
  Invalidate();
}

void TControl::ScaleTo(int dpi) {
  Font.SetDpi(dpi);
  SetBounds(Design_.left, Design_.top, Design_.right - Design_.left, Design_.bottom - Design_.top);
}

namespace {

// The extent of a text in a font: one line, or lines broken at width.
SIZE MeasureText(HFONT font, const std::string& text, UINT format, int width = 0) {
  RECT r = {0, 0, width, 0};
  HDC dc = GetDC(nullptr);
  HGDIOBJ old = SelectObject(dc, font);
  if (text.empty()) {
    TEXTMETRICA metrics;
    GetTextMetricsA(dc, &metrics);
    r.right = 0;
    r.bottom = metrics.tmHeight;
  } else {
    DrawTextA(dc, text.c_str(), static_cast<int>(text.size()), &r, format | DT_CALCRECT);
  }
  SelectObject(dc, old);
  ReleaseDC(nullptr, dc);
  return SIZE{r.right - r.left, r.bottom - r.top};
}

SIZE Shortfall(SIZE need, int width, int height) {
  return SIZE{need.cx > width ? need.cx - width : 0, need.cy > height ? need.cy - height : 0};
}

}  // namespace

void TControl::SetVisible(bool visible) {
  if (visible == Visible_) return;
  Visible_ = visible;
  Invalidate();
}

void TControl::Invalidate() const {
  if (Owner_ != nullptr && Owner_->Handle() != nullptr) InvalidateRect(Owner_->Handle(), &Bounds_, TRUE);
}

// ---- TPaintBox

std::unique_ptr<TCanvas> TPaintBox::Canvas() {
  HWND window = Owner_ != nullptr ? Owner_->Handle() : nullptr;
  return std::make_unique<TCanvas>(window, POINT{Bounds_.left, Bounds_.top}, Color, &Font);
}

void TPaintBox::Paint(HDC dc) {
  if (!Visible_ || !OnPaint) return;
  TCanvas canvas(dc, POINT{Bounds_.left, Bounds_.top}, Color, &Font);
  OnPaint(canvas);
}

// ---- TImage

TImage::~TImage() { Clear(); }

// A picture's pixels are taken as design units: at a larger scale it is
// stretched with its form, as the form's text grows.
void TImage::Adopt(HBITMAP bitmap) {
  Clear();
  Bitmap_ = bitmap;
  if (Bitmap_ != nullptr && AutoSize) {
    SIZE size = PictureSize();
    SetBounds(Design_.left, Design_.top, size.cx, size.cy);
  }
  Invalidate();
}

bool TImage::LoadFromResource(HINSTANCE instance, const char* name) {
  HBITMAP bitmap = static_cast<HBITMAP>(LoadImageA(instance, name, IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
  Adopt(bitmap);
  return bitmap != nullptr;
}

namespace {

// GDI+ is started on first use and left running until the process ends:
// shutting it down from a static destructor races with its own threads.
bool StartGdiPlus() {
  static bool started = [] {
    Gdiplus::GdiplusStartupInput input;
    ULONG_PTR token = 0;
    return Gdiplus::GdiplusStartup(&token, &input, nullptr) == Gdiplus::Ok;
  }();
  return started;
}

// PNG, JPEG, GIF (its first frame) and whatever else the platform's codecs
// read, flattened onto the dialog colour.
HBITMAP LoadCodecPicture(const std::string& path) {
  if (!StartGdiPlus()) return nullptr;
  // The path is UTF-8 (the process code page); one that is not valid UTF-8
  // names no picture.
  int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.c_str(), -1, nullptr, 0);
  if (length <= 0) return nullptr;
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.c_str(), -1, wide.data(), length);
  Gdiplus::GpBitmap* picture = nullptr;
  if (Gdiplus::DllExports::GdipCreateBitmapFromFile(wide.c_str(), &picture) != Gdiplus::Ok || picture == nullptr)
    return nullptr;
  const COLORREF face = GetSysColor(COLOR_BTNFACE);
  const Gdiplus::ARGB background = 0xFF000000u | (GetRValue(face) << 16) | (GetGValue(face) << 8) | GetBValue(face);
  HBITMAP bitmap = nullptr;
  if (Gdiplus::DllExports::GdipCreateHBITMAPFromBitmap(picture, &bitmap, background) != Gdiplus::Ok) bitmap = nullptr;
  Gdiplus::DllExports::GdipDisposeImage(picture);
  return bitmap;
}

}  // namespace

bool TImage::LoadFromFile(const std::string& path) {
  HBITMAP bitmap = nullptr;
  if (!path.empty()) {
    bitmap = static_cast<HBITMAP>(
        LoadImageA(nullptr, path.c_str(), IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE | LR_CREATEDIBSECTION));
    if (bitmap == nullptr && GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES)
      bitmap = LoadCodecPicture(path);
  }
  Adopt(bitmap);
  return bitmap != nullptr;
}

void TImage::Clear() {
  if (Bitmap_ != nullptr) DeleteObject(Bitmap_);
  Bitmap_ = nullptr;
  Invalidate();
}

SIZE TImage::PictureSize() const {
  BITMAP info = {};
  if (Bitmap_ == nullptr || GetObjectA(Bitmap_, sizeof info, &info) == 0) return SIZE{0, 0};
  return SIZE{info.bmWidth, info.bmHeight < 0 ? -info.bmHeight : info.bmHeight};
}

void TImage::Paint(HDC dc) {
  if (!Visible_ || Bitmap_ == nullptr) return;
  HDC memory = CreateCompatibleDC(dc);
  HGDIOBJ old = SelectObject(memory, Bitmap_);
  SIZE size = PictureSize();
  if (size.cx == Width() && size.cy == Height())
    BitBlt(dc, Bounds_.left, Bounds_.top, size.cx, size.cy, memory, 0, 0, SRCCOPY);
  else {
    SetStretchBltMode(dc, HALFTONE);
    StretchBlt(dc, Bounds_.left, Bounds_.top, Width(), Height(), memory, 0, 0, size.cx, size.cy, SRCCOPY);
  }
  SelectObject(memory, old);
  DeleteDC(memory);
}

// ---- TLabel

void TLabel::SetCaption(const std::string& caption) {
  Caption_ = caption;
  Invalidate();
}

void TLabel::Paint(HDC dc) {
  if (!Visible_) return;
  HGDIOBJ old = SelectObject(dc, Font.Handle());
  SetTextColor(dc, Font.Color);
  RECT r = Bounds_;
  if (!Transparent) {
    HBRUSH brush = CreateSolidBrush(Color);
    ::FillRect(dc, &r, brush);
    DeleteObject(brush);
  }
  SetBkMode(dc, TRANSPARENT);
  UINT format = DT_NOPREFIX | (WordWrap ? DT_WORDBREAK : DT_SINGLELINE);
  if (EndEllipsis && !WordWrap) format |= DT_END_ELLIPSIS;
  if (Alignment == TAlignment::taRightJustify) format |= DT_RIGHT;
  if (Alignment == TAlignment::taCenter) format |= DT_CENTER;
  DrawTextA(dc, Caption_.c_str(), static_cast<int>(Caption_.size()), &r, format);
  SelectObject(dc, old);
}

SIZE TLabel::TextShortfall() const {
  if (EndEllipsis && !WordWrap) return SIZE{0, 0};
  // A wrapped label keeps its width and needs the height of its lines.
  if (WordWrap) return SIZE{0, Shortfall(MeasureText(Font.Handle(), Caption_, DT_NOPREFIX | DT_WORDBREAK, Width()), Width(), Height()).cy};
  return Shortfall(MeasureText(Font.Handle(), Caption_, DT_NOPREFIX | DT_SINGLELINE), Width(), Height());
}

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

namespace {

// A check box or radio button: its box, the gap after it, then the text.
SIZE ChoiceShortfall(const TWinControl& control, int width, int height) {
  const int dpi = control.Font.Dpi();
  const int box = SystemMetricForDpi(SM_CXMENUCHECK, dpi);
  SIZE need = control.CaptionExtent();
  need.cx += box + ScaleToDpi(6, dpi);
  if (need.cy < box) need.cy = box;
  return Shortfall(need, width, height);
}

}  // namespace

// ---- TCheckBox, TGroupBox, TRadioButton, TRadioGroup

TCheckBox::TCheckBox(TForm* owner, int id, const std::string& caption) : TWinControl(owner) {
  CreateChild("BUTTON", caption, WS_TABSTOP | BS_AUTOCHECKBOX, 0, id);
}

bool TCheckBox::Checked() const {
  return Handle_ != nullptr && SendMessageA(Handle_, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void TCheckBox::SetChecked(bool checked) {
  if (Handle_ != nullptr) SendMessageA(Handle_, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

bool TCheckBox::Command(UINT code) {
  if (code != BN_CLICKED) return false;
  if (OnClick) OnClick();
  return true;
}

SIZE TCheckBox::TextShortfall() const { return ChoiceShortfall(*this, Width(), Height()); }

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

TRadioButton::TRadioButton(TForm* owner, int id, const std::string& caption) : TWinControl(owner) {
  CreateChild("BUTTON", caption, WS_TABSTOP | BS_RADIOBUTTON, 0, id);
}

bool TRadioButton::Checked() const {
  return Handle_ != nullptr && SendMessageA(Handle_, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void TRadioButton::SetChecked(bool checked) {
  if (Handle_ != nullptr) SendMessageA(Handle_, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

bool TRadioButton::Command(UINT code) {
  if (code != BN_CLICKED) return false;
  if (OnClick) OnClick();
  return true;
}

SIZE TRadioButton::TextShortfall() const { return ChoiceShortfall(*this, Width(), Height()); }

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

// ---- TCheckListBox

TCheckListBox::TCheckListBox(TForm* owner, int id) : TWinControl(owner) {
  CreateChild("LISTBOX", "",
              WS_TABSTOP | WS_VSCROLL | WS_BORDER | LBS_OWNERDRAWFIXED | LBS_HASSTRINGS | LBS_NOTIFY |
                  LBS_NOINTEGRALHEIGHT,
              0, id);
  if (Handle_ != nullptr) SetWindowSubclass(Handle_, &TCheckListBox::ListProc, 1, reinterpret_cast<DWORD_PTR>(this));
}

void TCheckListBox::Clear() {
  if (Handle_ != nullptr) SendMessageA(Handle_, LB_RESETCONTENT, 0, 0);
}

int TCheckListBox::Add(const std::string& text) {
  if (Handle_ == nullptr) return -1;
  LRESULT index = SendMessageA(Handle_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
  if (index >= 0) SendMessageA(Handle_, LB_SETITEMDATA, static_cast<WPARAM>(index), 0);
  return static_cast<int>(index);
}

int TCheckListBox::Count() const {
  return Handle_ != nullptr ? static_cast<int>(SendMessageA(Handle_, LB_GETCOUNT, 0, 0)) : 0;
}

std::string TCheckListBox::Item(int index) const {
  if (index < 0 || index >= Count()) return {};
  LRESULT length = SendMessageA(Handle_, LB_GETTEXTLEN, static_cast<WPARAM>(index), 0);
  if (length <= 0) return {};
  std::string text(static_cast<size_t>(length) + 1, '\0');
  SendMessageA(Handle_, LB_GETTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<size_t>(length));
  return text;
}

bool TCheckListBox::Checked(int index) const {
  if (index < 0 || index >= Count()) return false;
  return SendMessageA(Handle_, LB_GETITEMDATA, static_cast<WPARAM>(index), 0) != 0;
}

void TCheckListBox::SetChecked(int index, bool checked) {
  if (index < 0 || index >= Count()) return;
  SendMessageA(Handle_, LB_SETITEMDATA, static_cast<WPARAM>(index), checked ? 1 : 0);
  RECT r = ItemRect(index);
  InvalidateRect(Handle_, &r, FALSE);
}

void TCheckListBox::ToggleChecked(int index) {
  if (index < 0 || index >= Count()) return;
  SetChecked(index, !Checked(index));
  if (OnClickCheck) OnClickCheck();
  if (OnClick) OnClick();
}

int TCheckListBox::ItemIndex() const {
  return Handle_ != nullptr ? static_cast<int>(SendMessageA(Handle_, LB_GETCURSEL, 0, 0)) : -1;
}

void TCheckListBox::SetItemIndex(int index) {
  if (Handle_ != nullptr) SendMessageA(Handle_, LB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

void TCheckListBox::SetItemHeight(int height) {
  ItemHeight_ = height;
  if (Handle_ == nullptr) return;
  const int fontHeight = MeasureText(Font.Handle(), "", 0).cy;
  SendMessageA(Handle_, LB_SETITEMHEIGHT, 0, std::max(Scale(height), fontHeight));
  InvalidateRect(Handle_, nullptr, TRUE);
}

void TCheckListBox::ScaleTo(int dpi) {
  TWinControl::ScaleTo(dpi);
  SetItemHeight(ItemHeight_);
}

RECT TCheckListBox::ItemRect(int index) const {
  RECT r = {0, 0, 0, 0};
  if (Handle_ != nullptr && index >= 0 && index < Count())
    SendMessageA(Handle_, LB_GETITEMRECT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&r));
  return r;
}

bool TCheckListBox::Command(UINT code) {
  if (code != LBN_SELCHANGE) return false;
  if (OnClick) OnClick();
  return true;
}

bool TCheckListBox::DrawItem(const DRAWITEMSTRUCT& item) {
  if (item.itemID == static_cast<UINT>(-1)) return true;
  const int index = static_cast<int>(item.itemID);
  const bool selected = (item.itemState & ODS_SELECTED) != 0;
  HDC dc = item.hDC;

  // The tick box keeps the window colour whatever the state.
  RECT box = item.rcItem;
  box.right = box.left + Scale(kCheckWidth);
  FillRect(dc, &box, GetSysColorBrush(COLOR_WINDOW));
  const int side = Scale(13);
  RECT frame = {box.left + Scale(2), box.top + (box.bottom - box.top - side) / 2, 0, 0};
  frame.right = frame.left + side;
  frame.bottom = frame.top + side;
  DrawFrameControl(dc, &frame, DFC_BUTTON,
                   DFCS_BUTTONCHECK | DFCS_FLAT | (Checked(index) ? DFCS_CHECKED : 0) |
                       (Enabled() ? 0 : DFCS_INACTIVE));

  RECT text = item.rcItem;
  text.left += Scale(kCheckWidth);
  {
    TCanvas canvas(dc, POINT{0, 0}, GetSysColor(selected ? COLOR_HIGHLIGHT : COLOR_WINDOW), &Font);
    canvas.SetTextColor(selected ? GetSysColor(COLOR_HIGHLIGHTTEXT) : Font.Color);
    if (OnDrawItem) {
      OnDrawItem(canvas, index, text, item.itemState);
    } else {
      canvas.FillRect(text);
      canvas.TextOut(text.left + Scale(2), text.top, Item(index));
    }
  }
  if (item.itemState & ODS_FOCUS) DrawFocusRect(dc, &text);
  return true;
}

// The tick handlers are the form's code: what they throw goes to the form's
// exception handler here, inside the subclass procedure.
void TCheckListBox::ToggleFromWindow(int index) noexcept {
  try {
    ToggleChecked(index);
  } catch (...) {
    if (Owner_ != nullptr) Owner_->HandleCurrentException();
  }
}

LRESULT CALLBACK TCheckListBox::ListProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                         DWORD_PTR self) {
  auto* list = reinterpret_cast<TCheckListBox*>(self);
  switch (message) {
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK: {
      // The list selects the item first; a press in the tick box then toggles it.
      LRESULT result = DefSubclassProc(window, message, wParam, lParam);
      LRESULT hit = SendMessageA(window, LB_ITEMFROMPOINT, 0, lParam);
      if (HIWORD(hit) == 0 && GET_X_LPARAM(lParam) < list->Scale(kCheckWidth) && IsWindowEnabled(window))
        list->ToggleFromWindow(LOWORD(hit));
      return result;
    }
    case WM_KEYDOWN:
      if (wParam == VK_SPACE) {
        list->ToggleFromWindow(list->ItemIndex());
        return 0;
      }
      break;
    case WM_CHAR:
      if (wParam == ' ') return 0;  // not a search for items starting with a blank
      break;
    case WM_NCDESTROY:
      RemoveWindowSubclass(window, &TCheckListBox::ListProc, 1);
      break;
    default: break;
  }
  return DefSubclassProc(window, message, wParam, lParam);
}

// ---- TFramePanel

void TFramePanel::Paint(HDC dc) {
  if (!Visible_) return;
  FrameRect(dc, &Bounds_, GetSysColorBrush(COLOR_WINDOWFRAME));
}

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

// ---- Help popup

namespace {

const char kHelpPopupClass[] = "TFormsHelpPopup";
HWND HelpPopup = nullptr;
// At 96 DPI; the popup takes the scale of the form that shows it.
constexpr int kPopupMargin = 6;
constexpr int kPopupTextWidth = 280;
TFont PopupFont;
int PopupMargin = kPopupMargin;

LRESULT HelpPopupMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(window, &ps);
      RECT r;
      GetClientRect(window, &r);
      FillRect(dc, &r, GetSysColorBrush(COLOR_INFOBK));
      InflateRect(&r, -PopupMargin, -PopupMargin);
      char text[1024];
      int length = GetWindowTextA(window, text, sizeof text);
      HGDIOBJ old = SelectObject(dc, PopupFont.Handle());
      SetBkMode(dc, TRANSPARENT);
      SetTextColor(dc, GetSysColor(COLOR_INFOTEXT));
      DrawTextA(dc, text, length, &r, DT_WORDBREAK | DT_NOPREFIX);
      SelectObject(dc, old);
      EndPaint(window, &ps);
      return 0;
    }
    // The press that closes the popup goes no further; the close is posted
    // so that no message of the popup's own runs after it is gone.
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
    case WM_MBUTTONDOWN:
    case WM_CAPTURECHANGED:
      PostMessageA(window, WM_CLOSE, 0, 0);
      return 0;
    case WM_DESTROY:
      if (HelpPopup == window) HelpPopup = nullptr;
      break;
    default: break;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

LRESULT CALLBACK HelpPopupProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  // System calls only; the wall is there all the same, as at every callback.
  try {
    return HelpPopupMessage(window, message, wParam, lParam);
  } catch (...) {
    return 0;
  }
}

}  // namespace

HWND ShowHelpPopup(HWND owner, POINT screen, const std::string& text, int dpi) {
  CloseHelpPopup();
  PopupFont.SetDpi(dpi);
  PopupMargin = ScaleToDpi(kPopupMargin, dpi);
  WNDCLASSA wc = {};
  if (!GetClassInfoA(GetModuleHandleA(nullptr), kHelpPopupClass, &wc)) {
    wc.style = CS_DROPSHADOW;
    wc.lpfnWndProc = HelpPopupProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    wc.lpszClassName = kHelpPopupClass;
    RegisterClassA(&wc);
  }
  // The text's height at a fixed width gives the popup's size.
  RECT r = {0, 0, ScaleToDpi(kPopupTextWidth, dpi), 0};
  HDC dc = GetDC(nullptr);
  HGDIOBJ old = SelectObject(dc, PopupFont.Handle());
  DrawTextA(dc, text.c_str(), static_cast<int>(text.size()), &r, DT_WORDBREAK | DT_NOPREFIX | DT_CALCRECT);
  SelectObject(dc, old);
  ReleaseDC(nullptr, dc);
  const int width = r.right + 2 * PopupMargin + 2, height = r.bottom + 2 * PopupMargin + 2;
  const int x = std::max(0, std::min<int>(screen.x, GetSystemMetrics(SM_CXSCREEN) - width));
  const int y = std::max(0, std::min<int>(screen.y, GetSystemMetrics(SM_CYSCREEN) - height));
  HelpPopup = CreateWindowExA(WS_EX_TOOLWINDOW | WS_EX_TOPMOST, kHelpPopupClass, text.c_str(), WS_POPUP | WS_BORDER,
                              x, y, width, height, owner, nullptr, GetModuleHandleA(nullptr), nullptr);
  if (HelpPopup == nullptr) return nullptr;
  ShowWindow(HelpPopup, SW_SHOWNOACTIVATE);
  SetCapture(HelpPopup);
  return HelpPopup;
}

HWND HelpPopupWindow() { return HelpPopup; }

void CloseHelpPopup() {
  if (HelpPopup == nullptr) return;
  HWND popup = HelpPopup;
  HelpPopup = nullptr;
  DestroyWindow(popup);
}

// ---- Template dialogs

namespace {

std::vector<HWND> ChildWindows(HWND parent) {
  std::vector<HWND> children;
  for (HWND child = GetWindow(parent, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT))
    children.push_back(child);
  return children;
}

RECT RectInParent(HWND child, HWND parent) {
  RECT r;
  GetWindowRect(child, &r);
  MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

void SetClientSizeOf(HWND window, int width, int height, int dpi) {
  RECT r = {0, 0, width, height};
  AdjustWindowRectForDpi(r, static_cast<DWORD>(GetWindowLongA(window, GWL_STYLE)),
                         static_cast<DWORD>(GetWindowLongA(window, GWL_EXSTYLE)), dpi);
  SetWindowPos(window, nullptr, 0, 0, r.right - r.left, r.bottom - r.top, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// The dialog manager's units of a font: the average width of a letter and
// the height of a line.
SIZE DialogBaseUnits(HFONT font) {
  static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  HDC dc = GetDC(nullptr);
  HGDIOBJ old = SelectObject(dc, font);
  TEXTMETRICA metrics = {};
  GetTextMetricsA(dc, &metrics);
  SIZE letters = {0, 0};
  GetTextExtentPoint32A(dc, kLetters, 52, &letters);
  SelectObject(dc, old);
  ReleaseDC(nullptr, dc);
  return SIZE{(letters.cx / 26 + 1) / 2, metrics.tmHeight};
}

void ScaleDialogToDpi(HWND dialog, int dpi) {
  const HFONT font = reinterpret_cast<HFONT>(SendMessageA(dialog, WM_GETFONT, 0, 0));
  LOGFONTA lf = {};
  if (dpi == kDesignDpi || font == nullptr || GetObjectA(font, sizeof lf, &lf) == 0 || lf.lfHeight >= 0) return;
  // The same font at 96 DPI: the template's point size, which is how the
  // dialog manager made it.
  const int points = MulDiv(-lf.lfHeight, 72, dpi);
  LOGFONTA design = lf;
  design.lfHeight = -MulDiv(points, kDesignDpi, 72);
  HFONT designFont = CreateFontIndirectA(&design);
  if (designFont == nullptr) return;
  const SIZE now = DialogBaseUnits(font), at96 = DialogBaseUnits(designFont);
  DeleteObject(designFont);
  if (now.cx <= 0 || now.cy <= 0) return;
  // Pixels now to pixels wanted: at96 x dpi / 96 for every now.
  const int xNum = at96.cx * dpi, xDen = now.cx * kDesignDpi;
  const int yNum = at96.cy * dpi, yDen = now.cy * kDesignDpi;
  for (HWND child : ChildWindows(dialog)) {
    const RECT r = RectInParent(child, dialog);
    const int left = MulDiv(r.left, xNum, xDen), top = MulDiv(r.top, yNum, yDen);
    MoveWindow(child, left, top, MulDiv(r.right, xNum, xDen) - left, MulDiv(r.bottom, yNum, yDen) - top, TRUE);
  }
  RECT client;
  GetClientRect(dialog, &client);
  SetClientSizeOf(dialog, MulDiv(client.right, xNum, xDen), MulDiv(client.bottom, yNum, yDen), dpi);
}

void FitDialogTexts(HWND dialog) {
  const std::vector<HWND> children = ChildWindows(dialog);
  for (HWND child : children) {
    char className[16] = {};
    GetClassNameA(child, className, sizeof className);
    const LONG style = GetWindowLongA(child, GWL_STYLE);
    const LONG type = style & SS_TYPEMASK;
    if (lstrcmpiA(className, "Static") != 0 || (type != SS_LEFT && type != SS_CENTER && type != SS_RIGHT)) continue;
    const RECT r = RectInParent(child, dialog);
    char text[2048] = {};
    GetWindowTextA(child, text, sizeof text);
    const HFONT font = reinterpret_cast<HFONT>(SendMessageA(child, WM_GETFONT, 0, 0));
    const UINT format = DT_WORDBREAK | DT_EXPANDTABS | ((style & SS_NOPREFIX) != 0 ? DT_NOPREFIX : 0);
    const int extra = MeasureText(font, text, format, r.right - r.left).cy - (r.bottom - r.top);
    if (text[0] == '\0' || extra <= 0) continue;
    MoveWindow(child, r.left, r.top, r.right - r.left, r.bottom - r.top + extra, TRUE);
    for (HWND other : children) {
      const RECT o = RectInParent(other, dialog);
      if (other != child && o.top >= r.bottom)
        MoveWindow(other, o.left, o.top + extra, o.right - o.left, o.bottom - o.top, TRUE);
    }
    RECT client;
    GetClientRect(dialog, &client);
    SetClientSizeOf(dialog, client.right, client.bottom + extra, WindowDpi(dialog));
  }
}

}  // namespace

void FitDialog(HWND dialog) {
  ScaleDialogToDpi(dialog, WindowDpi(dialog));
  FitDialogTexts(dialog);
  // A centred dialog stays centred.
  if ((GetWindowLongA(dialog, GWL_STYLE) & DS_CENTER) != 0) CentreInWorkArea(dialog);
}

// ---- Boxes

int MessageDlg(const std::string& text, UINT flags) {
  return ::MessageBoxA(GetActiveWindow(), text.c_str(), Application.Title().c_str(), flags);
}

bool ConfirmDlg(const std::string& text) { return MessageDlg(text, MB_YESNO | MB_ICONQUESTION) == IDYES; }

}  // namespace forms
