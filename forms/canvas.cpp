#include "forms/canvas.h"

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
  if (!Handle_) {
    LOGFONTA lf = {};
    lf.lfHeight = ScaleToDpi(Height_, Dpi_);
    lf.lfWeight = Bold_ ? FW_BOLD : FW_NORMAL;
    lf.lfCharSet = DEFAULT_CHARSET;
    lstrcpynA(lf.lfFaceName, Name_.c_str(), LF_FACESIZE);
    Handle_.reset(CreateFontIndirectA(&lf));
  }
  return Handle_ ? Handle_.get() : static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
}

// Windows that still hold the old handle are given the new one by the form's
// layout, which runs right after a change of DPI.
void TFont::Release() const { Handle_.reset(); }

// ---- TCanvas

TCanvas::TCanvas(HDC dc, POINT origin, COLORREF brush, const TFont* font)
    : Dc_(dc), Origin_(origin), Brush_(CreateSolidBrush(brush)), BrushColor_(brush) {
  Select(font);
}

TCanvas::TCanvas(HWND window, POINT origin, COLORREF brush, const TFont* font)
    : WindowDc_(std::in_place, window),
      Dc_(WindowDc_->get()),
      Origin_(origin),
      Brush_(CreateSolidBrush(brush)),
      BrushColor_(brush) {
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

// The first font goes back before the window's DC is released.
TCanvas::~TCanvas() {
  if (Dc_ != nullptr && OldFont_ != nullptr) SelectObject(Dc_, OldFont_);
}

void TCanvas::FillRect(const RECT& rect) {
  if (Dc_ == nullptr) return;
  RECT r = rect;
  OffsetRect(&r, Origin_.x, Origin_.y);
  ::FillRect(Dc_, &r, Brush_.get());
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

}  // namespace forms
