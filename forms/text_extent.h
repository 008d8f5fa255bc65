// Measuring text in a font without a window: the screen's device context
// with the font selected. The form library's own; not for its users.
#pragma once

#include <windows.h>

#include <string>

#include "base/handles.h"

namespace forms {

// The screen's DC with a font selected, both given back when it goes.
class ScreenFontDc {
 public:
  explicit ScreenFontDc(HFONT font) : Font_(Screen_.get(), font) {}
  HDC get() const { return Screen_.get(); }

 private:
  handles::WindowDc Screen_{nullptr};
  handles::SelectObjectScope Font_;
};

// The extent of a text in a font: one line, or lines broken at width. An
// empty text is one line high and no wide.
SIZE MeasureText(HFONT font, const std::string& text, UINT format, int width = 0);

// How much wider and taller than width x height a control must be for what
// it needs; nothing where it fits.
inline SIZE Shortfall(SIZE need, int width, int height) {
  return SIZE{need.cx > width ? need.cx - width : 0, need.cy > height ? need.cy - height : 0};
}

}  // namespace forms
