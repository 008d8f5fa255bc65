#include "forms/text_extent.h"

namespace forms {

SIZE MeasureText(HFONT font, const std::string& text, UINT format, int width) {
  RECT r = {0, 0, width, 0};
  ScreenFontDc dc(font);
  if (text.empty()) {
    TEXTMETRICA metrics;
    GetTextMetricsA(dc.get(), &metrics);
    r.right = 0;
    r.bottom = metrics.tmHeight;
  } else {
    DrawTextA(dc.get(), text.c_str(), static_cast<int>(text.size()), &r, format | DT_CALCRECT);
  }
  return SIZE{r.right - r.left, r.bottom - r.top};
}

}  // namespace forms
