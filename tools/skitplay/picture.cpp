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

void ToScreenColours(const Picture& picture, uint32_t* out) {
  const int cw = picture.ChromaWidth();
  for (int row = 0; row < picture.Height; ++row) {
    const uint8_t* y = picture.Y.data() + static_cast<size_t>(row) * picture.Width;
    const uint8_t* u = picture.U.data() + static_cast<size_t>(row / 2) * cw;
    const uint8_t* v = picture.V.data() + static_cast<size_t>(row / 2) * cw;
    uint32_t* line = out + static_cast<size_t>(row) * picture.Width;
    for (int x = 0; x < picture.Width; ++x) {
      const int c = 298 * (y[x] - 16) + 128;
      const int d = u[x / 2] - 128;
      const int e = v[x / 2] - 128;
      const uint32_t r = Clamp((c + 409 * e) >> 8);
      const uint32_t g = Clamp((c - 100 * d - 208 * e) >> 8);
      const uint32_t b = Clamp((c + 516 * d) >> 8);
      line[x] = (r << 16) | (g << 8) | b;
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
