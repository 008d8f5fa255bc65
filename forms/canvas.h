// Fonts and drawing: a font described at 96 DPI and made for a DPI, and a
// canvas that draws with a brush colour and a font on a device context.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "base/handles.h"
#include "forms/scaling.h"

namespace forms {

// A GDI font owned by one object, described at 96 DPI and made for the DPI
// of the form that uses it. Until Set is called it is the dialog font.
class TFont {
 public:
  TFont() = default;
  TFont(const TFont&) = delete;
  TFont& operator=(const TFont&) = delete;

  // height as in LOGFONT at 96 DPI (negative: character height in pixels).
  void Set(const std::string& name, int height, bool bold = false);
  // The DPI the font is made for (96 until its form says otherwise).
  void SetDpi(int dpi);
  int Dpi() const { return Dpi_; }
  HFONT Handle() const;
  COLORREF Color = RGB(0, 0, 0);

 private:
  void Release() const;
  std::string Name_ = kDialogFontName;
  int Height_ = kDialogFontHeight;
  bool Bold_ = false;
  int Dpi_ = kDesignDpi;
  mutable handles::UniqueFont Handle_;
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
  // Set when the canvas took the window's DC itself.
  std::optional<handles::WindowDc> WindowDc_;
  HDC Dc_;
  POINT Origin_;
  handles::UniqueBrush Brush_;
  COLORREF BrushColor_;
  HGDIOBJ OldFont_ = nullptr;
};

}  // namespace forms
