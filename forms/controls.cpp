// The controls every form is made of, and the graphic ones: they have no
// window of their own and paint in the form's WM_PAINT.
#include "forms/controls.h"

#include "forms/form.h"
#include "forms/picture.h"
#include "forms/text_extent.h"

namespace forms {

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
void TImage::Adopt(handles::UniqueBitmap bitmap) {
  Clear();
  Bitmap_ = std::move(bitmap);
  if (Bitmap_ && AutoSize) {
    SIZE size = PictureSize();
    SetBounds(Design_.left, Design_.top, size.cx, size.cy);
  }
  Invalidate();
}

bool TImage::LoadFromResource(HINSTANCE instance, const char* name) {
  Adopt(handles::UniqueBitmap(static_cast<HBITMAP>(LoadImageA(instance, name, IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION))));
  return HasPicture();
}

bool TImage::LoadFromFile(const std::string& path) {
  Adopt(LoadPictureFile(path));
  return HasPicture();
}

void TImage::Clear() {
  Bitmap_.reset();
  Invalidate();
}

SIZE TImage::PictureSize() const {
  BITMAP info = {};
  if (!Bitmap_ || GetObjectA(Bitmap_.get(), sizeof info, &info) == 0) return SIZE{0, 0};
  return SIZE{info.bmWidth, info.bmHeight < 0 ? -info.bmHeight : info.bmHeight};
}

void TImage::Paint(HDC dc) {
  if (!Visible_ || !Bitmap_) return;
  const handles::UniqueMemoryDc memory(CreateCompatibleDC(dc));
  const handles::SelectObjectScope picture(memory.get(), Bitmap_.get());
  SIZE size = PictureSize();
  if (size.cx == Width() && size.cy == Height())
    BitBlt(dc, Bounds_.left, Bounds_.top, size.cx, size.cy, memory.get(), 0, 0, SRCCOPY);
  else {
    SetStretchBltMode(dc, HALFTONE);
    StretchBlt(dc, Bounds_.left, Bounds_.top, Width(), Height(), memory.get(), 0, 0, size.cx, size.cy, SRCCOPY);
  }
}

// ---- TLabel

void TLabel::SetCaption(const std::string& caption) {
  Caption_ = caption;
  Invalidate();
}

void TLabel::Paint(HDC dc) {
  if (!Visible_) return;
  const handles::SelectObjectScope font(dc, Font.Handle());
  SetTextColor(dc, Font.Color);
  RECT r = Bounds_;
  if (!Transparent) {
    const handles::UniqueBrush brush(CreateSolidBrush(Color));
    ::FillRect(dc, &r, brush.get());
  }
  SetBkMode(dc, TRANSPARENT);
  UINT format = DT_NOPREFIX | (WordWrap ? DT_WORDBREAK : DT_SINGLELINE);
  if (EndEllipsis && !WordWrap) format |= DT_END_ELLIPSIS;
  if (Alignment == TAlignment::taRightJustify) format |= DT_RIGHT;
  if (Alignment == TAlignment::taCenter) format |= DT_CENTER;
  DrawTextA(dc, Caption_.c_str(), static_cast<int>(Caption_.size()), &r, format);
}

SIZE TLabel::TextShortfall() const {
  if (EndEllipsis && !WordWrap) return SIZE{0, 0};
  // A wrapped label keeps its width and needs the height of its lines.
  if (WordWrap) return SIZE{0, Shortfall(MeasureText(Font.Handle(), Caption_, DT_NOPREFIX | DT_WORDBREAK, Width()), Width(), Height()).cy};
  return Shortfall(MeasureText(Font.Handle(), Caption_, DT_NOPREFIX | DT_SINGLELINE), Width(), Height());
}

// ---- TFramePanel

void TFramePanel::Paint(HDC dc) {
  if (!Visible_) return;
  FrameRect(dc, &Bounds_, GetSysColorBrush(COLOR_WINDOWFRAME));
}

}  // namespace forms
