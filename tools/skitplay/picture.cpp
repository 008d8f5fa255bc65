#include "tools/skitplay/picture.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <emmintrin.h>
#endif

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

namespace {

// One row of screen colours from a luma, a Cb and a Cr value per pixel.
void ConvertRow(const uint8_t* y, const uint8_t* u, const uint8_t* v, uint32_t* out, size_t count) {
  const ColourTables& t = Tables();
  const uint8_t* clamped = t.Clamped + 256;
  for (size_t i = 0; i < count; ++i) {
    const int c = t.Luma[y[i]];
    out[i] = static_cast<uint32_t>(clamped[(c + t.RedV[v[i]]) >> 8]) << 16 |
             static_cast<uint32_t>(clamped[(c - t.GreenU[u[i]] - t.GreenV[v[i]]) >> 8]) << 8 |
             clamped[(c + t.BlueU[u[i]]) >> 8];
  }
}

#if defined(__x86_64__) || defined(__i386__)
// The same, eight pixels at a time with SSE2 (every x86-64 processor has it,
// and every one Windows 8 runs on): the sums in 32 bits from pairs of 16-bit
// products, shifted, then clamped by the saturating packs, so that each
// pixel comes out exactly as ConvertRow makes it.
__attribute__((target("sse2"))) size_t ConvertRowSse2(const uint8_t* y, const uint8_t* u, const uint8_t* v,
                                                       uint32_t* out, size_t count) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i sixteen = _mm_set1_epi16(16), half = _mm_set1_epi16(128);
  const __m128i red = _mm_set_epi16(409, 298, 409, 298, 409, 298, 409, 298);       // Y', Cr pairs
  const __m128i blue = _mm_set_epi16(516, 298, 516, 298, 516, 298, 516, 298);      // Y', Cb pairs
  const __m128i greenU = _mm_set_epi16(-100, 298, -100, 298, -100, 298, -100, 298);  // Y', Cb pairs
  const __m128i greenV = _mm_set_epi16(128, -208, 128, -208, 128, -208, 128, -208);  // Cr, 1 pairs
  const __m128i one = _mm_set1_epi16(1), rounding = _mm_set1_epi32(128);
  // Eight bytes as 16-bit values, less their offset.
  auto widened = [zero](const uint8_t* bytes, __m128i offset) __attribute__((target("sse2"))) {
    return _mm_sub_epi16(_mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(bytes)), zero), offset);
  };
  size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const __m128i luma = widened(y + i, sixteen), cb = widened(u + i, half), cr = widened(v + i, half);
    __m128i r[2], g[2], b[2];
    for (int k = 0; k < 2; ++k) {
      const __m128i yv = k == 0 ? _mm_unpacklo_epi16(luma, cr) : _mm_unpackhi_epi16(luma, cr);
      const __m128i yu = k == 0 ? _mm_unpacklo_epi16(luma, cb) : _mm_unpackhi_epi16(luma, cb);
      const __m128i v1 = k == 0 ? _mm_unpacklo_epi16(cr, one) : _mm_unpackhi_epi16(cr, one);
      r[k] = _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(yv, red), rounding), 8);
      b[k] = _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(yu, blue), rounding), 8);
      g[k] = _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(yu, greenU), _mm_madd_epi16(v1, greenV)), 8);
    }
    const __m128i r8 = _mm_packus_epi16(_mm_packs_epi32(r[0], r[1]), zero);
    const __m128i g8 = _mm_packus_epi16(_mm_packs_epi32(g[0], g[1]), zero);
    const __m128i b8 = _mm_packus_epi16(_mm_packs_epi32(b[0], b[1]), zero);
    const __m128i bg = _mm_unpacklo_epi8(b8, g8), r0 = _mm_unpacklo_epi8(r8, zero);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_unpacklo_epi16(bg, r0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 4), _mm_unpackhi_epi16(bg, r0));
  }
  return i;
}

bool HasSse2() {
#if defined(__x86_64__)
  return true;
#else
  static const bool has = IsProcessorFeaturePresent(PF_XMMI64_INSTRUCTIONS_AVAILABLE) != FALSE;
  return has;
#endif
}
#endif

void ConvertRowFast(const uint8_t* y, const uint8_t* u, const uint8_t* v, uint32_t* out, size_t count) {
  size_t done = 0;
#if defined(__x86_64__) || defined(__i386__)
  if (HasSse2()) done = ConvertRowSse2(y, u, v, out, count);
#endif
  ConvertRow(y + done, u + done, v + done, out + done, count - done);
}

}  // namespace

void DrawScaled(const Picture& picture, uint32_t* frame, int width, int height, const RECT& to) {
  const int left = std::max<int>(0, to.left), right = std::min<int>(width, to.right);
  const int top = std::max<int>(0, to.top), bottom = std::min<int>(height, to.bottom);
  const int toWidth = to.right - to.left, toHeight = to.bottom - to.top;
  if (picture.Width <= 0 || picture.Height <= 0 || toWidth <= 0 || toHeight <= 0 || left >= right || top >= bottom)
    return;
  // The picture column of each frame column, at the centre of its span.
  const size_t count = static_cast<size_t>(right - left);
  const int skipped = left - to.left;  // columns cut off by the frame's left edge
  const bool sameWidth = toWidth == picture.Width;
  std::vector<int> columns(count);
  for (size_t i = 0; i < count; ++i)
    columns[i] = static_cast<int>(((2LL * (skipped + static_cast<int>(i)) + 1) * picture.Width) / (2LL * toWidth));
  // A row's values gathered at those columns; the chroma ones once for the
  // two picture rows (and every frame row) that share them.
  std::vector<uint8_t> lumaRow(sameWidth ? 0 : count), cbRow(count), crRow(count);
  const int cw = picture.ChromaWidth();
  int chromaRow = -1, lastRow = -1;
  const uint32_t* lastLine = nullptr;
  for (int row = top; row < bottom; ++row) {
    uint32_t* line = frame + static_cast<size_t>(row) * width + left;
    const int py = static_cast<int>(((2LL * (row - to.top) + 1) * picture.Height) / (2LL * toHeight));
    if (py == lastRow) {  // enlarged: this row shows the same picture row as the one above
      std::memcpy(line, lastLine, count * sizeof *line);
      continue;
    }
    if (py / 2 != chromaRow) {
      chromaRow = py / 2;
      const uint8_t* u = picture.U.data() + static_cast<size_t>(chromaRow) * cw;
      const uint8_t* v = picture.V.data() + static_cast<size_t>(chromaRow) * cw;
      for (size_t i = 0; i < count; ++i) {
        cbRow[i] = u[columns[i] >> 1];
        crRow[i] = v[columns[i] >> 1];
      }
    }
    const uint8_t* y = picture.Y.data() + static_cast<size_t>(py) * picture.Width;
    if (sameWidth) {
      y += skipped;
    } else {
      for (size_t i = 0; i < count; ++i) lumaRow[i] = y[columns[i]];
      y = lumaRow.data();
    }
    ConvertRowFast(y, cbRow.data(), crRow.data(), line, count);
    lastRow = py;
    lastLine = line;
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
