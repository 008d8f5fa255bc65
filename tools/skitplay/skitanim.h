// Skit scenes: the text format the reference player reads, its strict parser,
// and the GDI renderer that draws one frame of a scene at a given moment.
// Nothing here makes a window, so the player, the artwork generator and the
// tests share it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <optional>
#include <vector>

#include "base/handles.h"

namespace skit {

enum class Shape { Rect, Ellipse, Text };

// One thing on the stage. Positions and sizes are percentages of the frame
// (x and widths of its width, y and heights of its height), so a scene plays
// at any screen size. X, Y is the item's centre at From; ToX, ToY its centre
// at Until.
struct Item {
  Shape Kind = Shape::Rect;
  double X = 0, Y = 0;
  double ToX = 0, ToY = 0;
  double Width = 0;   // rect and ellipse
  double Height = 0;  // rect and ellipse; for text the letter height
  COLORREF Colour = 0;
  std::string Text;
  double From = 0, Until = 0;  // seconds; shown while From <= t < Until
  bool Ease = false;
  bool Fade = false;
  bool Bold = false;  // text only
  int Line = 0;  // where the item stands in its file
};

struct Scene {
  double Length = 0;   // seconds
  double Preview = 0;  // the moment a still picture of the scene shows
  COLORREF Top = RGB(0, 0, 0);
  COLORREF Bottom = RGB(0, 0, 0);
  std::vector<Item> Items;
};

// A scene that cannot be read. Line() is the 1-based line at fault, or 0 when
// the fault is the file as a whole; what() starts with "line N: " then.
class ParseError : public std::runtime_error {
 public:
  ParseError(int line, const std::string& message);
  int Line() const { return Line_; }

 private:
  int Line_;
};

constexpr size_t kMaxFileBytes = 64 * 1024;
constexpr size_t kMaxLineChars = 400;
constexpr size_t kMaxItems = 200;
constexpr size_t kMaxTextChars = 120;

Scene ParseScene(const std::string& text);
// Reads and parses a scene file; a file that cannot be read is a ParseError
// with line 0 naming the file.
Scene LoadScene(const std::string& path);

// The centre of an item at a moment, in percent, and how far it has faded in
// (0 to 1); false while the item is not on the stage.
bool Placement(const Item& item, double seconds, double& x, double& y, double& opacity);

// Draws the whole frame: background, then the items in file order.
void RenderFrame(HDC dc, int width, int height, const Scene& scene, double seconds);
// Small text on a dark plate in the bottom right corner.
void DrawCornerText(HDC dc, int width, int height, const std::string& text);
// A larger plate centred near the bottom, for a key the player was given.
void DrawBanner(HDC dc, int width, int height, const std::string& text);
// A full frame for a skit that cannot be played: a heading and the reason.
void DrawProblem(HDC dc, int width, int height, const std::string& heading, const std::string& reason);

// The system's text for an error code, without the trailing line break.
std::string SystemErrorText(DWORD code);

// A 32-bit top-down memory bitmap selected into its own DC: the player's back
// buffer, the artwork generator's drawing surface, and what tests read
// pixels from.
class Canvas {
 public:
  Canvas(int width, int height);  // throws std::runtime_error
  Canvas(const Canvas&) = delete;
  Canvas& operator=(const Canvas&) = delete;

  HDC Dc() const { return Dc_.get(); }
  int Width() const { return Width_; }
  int Height() const { return Height_; }
  // 0x00RRGGBB words, row by row from the top.
  const uint32_t* Bits() const;
  // The same words to write, once GDI has finished drawing into them.
  uint32_t* Bits();
  COLORREF Pixel(int x, int y) const;
  // Writes a 24-bit BMP file; throws std::runtime_error naming the file.
  void SaveBmp24(const std::string& path) const;

 private:
  int Width_;
  int Height_;
  // Released in reverse: the DC's own bitmap put back, ours deleted, the DC.
  handles::UniqueMemoryDc Dc_;
  handles::UniqueBitmap Bitmap_;
  std::optional<handles::SelectObjectScope> Selected_;
  uint32_t* Bits_ = nullptr;
};

}  // namespace skit
