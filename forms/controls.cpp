#include "forms/controls.h"

#include <commctrl.h>

#include <map>

#include "forms/application.h"
#include "forms/form.h"

namespace forms {

// ---- TFont

void TFont::Set(const std::string& name, int height, bool bold) {
  Release();
  LOGFONTA lf = {};
  lf.lfHeight = height;
  lf.lfWeight = bold ? FW_BOLD : FW_NORMAL;
  lf.lfCharSet = DEFAULT_CHARSET;
  lstrcpynA(lf.lfFaceName, name.c_str(), LF_FACESIZE);
  Handle_ = CreateFontIndirectA(&lf);
}

HFONT TFont::Handle() const {
  return Handle_ != nullptr ? Handle_ : static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
}

void TFont::Release() {
  if (Handle_ != nullptr) DeleteObject(Handle_);
  Handle_ = nullptr;
}

// ---- TCanvas

TCanvas::TCanvas(HDC dc, POINT origin, COLORREF brush, const TFont* font)
    : Dc_(dc), Origin_(origin), Brush_(CreateSolidBrush(brush)) {
  Select(font);
}

TCanvas::TCanvas(HWND window, POINT origin, COLORREF brush, const TFont* font)
    : Dc_(GetDC(window)), Window_(window), Origin_(origin), Brush_(CreateSolidBrush(brush)) {
  Select(font);
}

void TCanvas::Select(const TFont* font) {
  if (Dc_ == nullptr) return;
  if (font != nullptr) {
    OldFont_ = SelectObject(Dc_, font->Handle());
    SetTextColor(Dc_, font->Color);
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

void TCanvas::TextOut(int x, int y, const std::string& text) {
  if (Dc_ == nullptr || text.empty()) return;
  ::TextOutA(Dc_, Origin_.x + x, Origin_.y + y, text.c_str(), static_cast<int>(text.size()));
}

SIZE TCanvas::TextExtent(const std::string& text) {
  SIZE size = {0, 0};
  if (Dc_ != nullptr && !text.empty())
    GetTextExtentPoint32A(Dc_, text.c_str(), static_cast<int>(text.size()), &size);
  else if (Dc_ != nullptr) {
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
  } catch (const std::exception& error) {
    LastError = error.what();
  } catch (...) {
    LastError = "unknown exception";
  }
}

void CALLBACK TTimer::TimerProc(HWND, UINT, UINT_PTR id, DWORD) {
  auto it = Timers().find(id);
  if (it != Timers().end() && it->second->Enabled_) it->second->Tick();
}

// ---- TControl

TControl::TControl(TForm* owner) : Owner_(owner) {
  if (Owner_ != nullptr) Owner_->AddControl(this);
}

TControl::~TControl() {
  if (Owner_ != nullptr) Owner_->RemoveControl(this);
}

void TControl::SetBounds(int left, int top, int width, int height) {
  Invalidate();
  Bounds_ = RECT{left, top, left + width, top + height};
  Invalidate();
}

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

void TImage::Adopt(HBITMAP bitmap) {
  Clear();
  Bitmap_ = bitmap;
  if (Bitmap_ != nullptr && AutoSize) {
    SIZE size = PictureSize();
    SetBounds(Bounds_.left, Bounds_.top, size.cx, size.cy);
  }
  Invalidate();
}

bool TImage::LoadFromResource(HINSTANCE instance, const char* name) {
  HBITMAP bitmap = static_cast<HBITMAP>(LoadImageA(instance, name, IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
  Adopt(bitmap);
  return bitmap != nullptr;
}

bool TImage::LoadFromFile(const std::string& path) {
  HBITMAP bitmap =
      static_cast<HBITMAP>(LoadImageA(nullptr, path.c_str(), IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE | LR_CREATEDIBSECTION));
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
  if (Alignment == TAlignment::taRightJustify) format |= DT_RIGHT;
  if (Alignment == TAlignment::taCenter) format |= DT_CENTER;
  DrawTextA(dc, Caption_.c_str(), static_cast<int>(Caption_.size()), &r, format);
  SelectObject(dc, old);
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

void TWinControl::SetBounds(int left, int top, int width, int height) {
  Bounds_ = RECT{left, top, left + width, top + height};
  if (Handle_ != nullptr) MoveWindow(Handle_, left, top, width, height, TRUE);
}

void TWinControl::SetVisible(bool visible) {
  Visible_ = visible;
  if (Handle_ != nullptr) ShowWindow(Handle_, visible ? SW_SHOW : SW_HIDE);
}

void TWinControl::SetEnabled(bool enabled) {
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

// ---- Boxes

int MessageDlg(const std::string& text, UINT flags) {
  return ::MessageBoxA(GetActiveWindow(), text.c_str(), Application.Title().c_str(), flags);
}

bool ConfirmDlg(const std::string& text) { return MessageDlg(text, MB_YESNO | MB_ICONQUESTION) == IDYES; }

}  // namespace forms
