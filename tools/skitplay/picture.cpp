#include "tools/skitplay/picture.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace movie {

void Picture::Allocate(int width, int height) {
  Width = width;
  Height = height;
  Y.resize(static_cast<size_t>(width) * height);
  const size_t chroma = static_cast<size_t>(ChromaWidth()) * ChromaHeight();
  U.resize(chroma);
  V.resize(chroma);
}

namespace {

void CopyRows(uint8_t* out, int width, int height, PlaneView in) {
  for (int row = 0; row < height; ++row)
    std::memcpy(out + static_cast<size_t>(row) * width, in.First + row * in.Pitch, static_cast<size_t>(width));
}

uint8_t Clamp(int value) { return static_cast<uint8_t>(std::clamp(value, 0, 255)); }

}  // namespace

void CopyPlanar(Picture& out, int width, int height, PlaneView y, PlaneView u, PlaneView v) {
  out.Allocate(width, height);
  CopyRows(out.Y.data(), width, height, y);
  CopyRows(out.U.data(), out.ChromaWidth(), out.ChromaHeight(), u);
  CopyRows(out.V.data(), out.ChromaWidth(), out.ChromaHeight(), v);
}

void CopyInterleaved(Picture& out, int width, int height, PlaneView y, PlaneView uv) {
  out.Allocate(width, height);
  CopyRows(out.Y.data(), width, height, y);
  const int cw = out.ChromaWidth();
  for (int row = 0; row < out.ChromaHeight(); ++row) {
    const uint8_t* in = uv.First + row * uv.Pitch;
    uint8_t* u = out.U.data() + static_cast<size_t>(row) * cw;
    uint8_t* v = out.V.data() + static_cast<size_t>(row) * cw;
    for (int x = 0; x < cw; ++x) {
      u[x] = in[2 * x];
      v[x] = in[2 * x + 1];
    }
  }
}

namespace {

// The conversion's products, looked up rather than multiplied for each
// pixel: the luma term with the rounding, the four chroma terms, and the
// clamp to 0..255 of a sum shifted down (from -256 to 767).
struct ColourTables {
  int Luma[256], RedV[256], GreenU[256], GreenV[256], BlueU[256];
  uint8_t Clamped[1024];
  ColourTables() {
    for (int i = 0; i < 256; ++i) {
      Luma[i] = 298 * (i - 16) + 128;
      RedV[i] = 409 * (i - 128);
      GreenU[i] = 100 * (i - 128);
      GreenV[i] = 208 * (i - 128);
      BlueU[i] = 516 * (i - 128);
    }
    for (int i = 0; i < 1024; ++i) Clamped[i] = Clamp(i - 256);
  }
};

const ColourTables& Tables() {
  static const ColourTables tables;
  return tables;
}

}  // namespace

void ToScreenColours(const Picture& picture, uint32_t* out) {
  const RECT all = {0, 0, picture.Width, picture.Height};
  DrawScaled(picture, out, picture.Width, picture.Height, all);
}

void DrawScaled(const Picture& picture, uint32_t* frame, int width, int height, const RECT& to) {
  const int left = std::max<int>(0, to.left), right = std::min<int>(width, to.right);
  const int top = std::max<int>(0, to.top), bottom = std::min<int>(height, to.bottom);
  const int toWidth = to.right - to.left, toHeight = to.bottom - to.top;
  if (picture.Width <= 0 || picture.Height <= 0 || toWidth <= 0 || toHeight <= 0 || left >= right || top >= bottom)
    return;
  // The picture column of each frame column, at the centre of its span,
  // and its chroma column.
  const size_t count = static_cast<size_t>(right - left);
  std::vector<int> columns(2 * count);
  for (size_t i = 0; i < count; ++i) {
    const int px = static_cast<int>(((2LL * (left + static_cast<int>(i) - to.left) + 1) * picture.Width) / (2LL * toWidth));
    columns[2 * i] = px;
    columns[2 * i + 1] = px / 2;
  }
  const ColourTables& t = Tables();
  const uint8_t* clamped = t.Clamped + 256;
  const int cw = picture.ChromaWidth();
  for (int row = top; row < bottom; ++row) {
    const int py = static_cast<int>(((2LL * (row - to.top) + 1) * picture.Height) / (2LL * toHeight));
    const uint8_t* y = picture.Y.data() + static_cast<size_t>(py) * picture.Width;
    const uint8_t* u = picture.U.data() + static_cast<size_t>(py / 2) * cw;
    const uint8_t* v = picture.V.data() + static_cast<size_t>(py / 2) * cw;
    uint32_t* line = frame + static_cast<size_t>(row) * width + left;
    const int* column = columns.data();
    for (size_t i = 0; i < count; ++i, column += 2) {
      const int c = t.Luma[y[column[0]]];
      const int cu = u[column[1]], cv = v[column[1]];
      line[i] = static_cast<uint32_t>(clamped[(c + t.RedV[cv]) >> 8]) << 16 |
                static_cast<uint32_t>(clamped[(c - t.GreenU[cu] - t.GreenV[cv]) >> 8]) << 8 |
                clamped[(c + t.BlueU[cu]) >> 8];
    }
  }
}

RECT FitRect(int pictureWidth, int pictureHeight, double pixelAspect, int screenWidth, int screenHeight) {
  RECT all = {0, 0, screenWidth, screenHeight};
  if (pictureWidth <= 0 || pictureHeight <= 0 || screenWidth <= 0 || screenHeight <= 0) return all;
  if (!(pixelAspect > 0.01 && pixelAspect < 100)) pixelAspect = 1;
  const double shown = pictureWidth * pixelAspect / pictureHeight;  // the picture's width over its height
  int width = screenWidth, height = screenHeight;
  if (shown * screenHeight > screenWidth)
    height = std::max(1, static_cast<int>(std::lround(screenWidth / shown)));
  else
    width = std::max(1, static_cast<int>(std::lround(screenHeight * shown)));
  const int left = (screenWidth - width) / 2, top = (screenHeight - height) / 2;
  return {left, top, left + width, top + height};
}

}  // namespace movie
