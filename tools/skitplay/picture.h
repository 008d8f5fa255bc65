// One decoded movie picture in the decoder's own colours (Y'CbCr 4:2:0, as
// the system's decoders give it), its conversion to screen colours, and where
// it stands on a screen of another shape.
#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

namespace movie {

// Three planes, each rows of its width with no padding: Y of Width x Height,
// then Cb and Cr of ChromaWidth() x ChromaHeight().
struct Picture {
  int Width = 0;
  int Height = 0;
  std::vector<uint8_t> Y, U, V;

  int ChromaWidth() const { return (Width + 1) / 2; }
  int ChromaHeight() const { return (Height + 1) / 2; }
  void Allocate(int width, int height);
};

// A plane as a decoder's buffer holds it: a first row and the step between
// rows (which may be wider than the picture).
struct PlaneView {
  const uint8_t* First = nullptr;
  ptrdiff_t Pitch = 0;
};

// Copies a 4:2:0 picture out of a decoder's buffer. Interleaved chroma (NV12)
// has one chroma plane of Cb, Cr pairs, given as u; planar chroma (I420,
// YV12) two, u and v.
void CopyPlanar(Picture& out, int width, int height, PlaneView y, PlaneView u, PlaneView v);
void CopyInterleaved(Picture& out, int width, int height, PlaneView y, PlaneView uv);

// Screen colours (0x00RRGGBB words, rows from the top, Width words a row) by
// the studio-range BT.601 rule in integers:
//   R = (298 (Y-16) + 409 (Cr-128) + 128) >> 8
//   G = (298 (Y-16) - 100 (Cb-128) - 208 (Cr-128) + 128) >> 8
//   B = (298 (Y-16) + 516 (Cb-128) + 128) >> 8, each clamped to 0..255.
void ToScreenColours(const Picture& picture, uint32_t* out);

// The same colours, scaled into the rectangle to of a frame of screen
// colours (width words a row, rows from the top) by taking the nearest
// picture pixel: only what shows is converted. Nothing outside to changes.
void DrawScaled(const Picture& picture, uint32_t* frame, int width, int height, const RECT& to);

// The largest rectangle of the picture's shape that fits the screen,
// centred: the bars beside or above it stay black. pixelAspect is the width
// of one picture pixel over its height (1 for square pixels).
RECT FitRect(int pictureWidth, int pictureHeight, double pixelAspect, int screenWidth, int screenHeight);

}  // namespace movie
