#include "ui/skit_list.h"

namespace {
constexpr COLORREF kGreen = RGB(0, 128, 0);
constexpr COLORREF kGrey = RGB(128, 128, 128);
constexpr COLORREF kBlack = RGB(0, 0, 0);

SkitEntryLook Highlight() { return SkitEntryLook{false, GetSysColor(COLOR_HIGHLIGHTTEXT)}; }
}  // namespace

std::string SkitEntryText(const SkitListItem& item) {
  std::string text = item.Title != nullptr ? item.Title : "";
  switch (item.State) {
    case SKIT_AVAILABLE: return text + "........[available for download]";
    case SKIT_SCHEDULED: return text + "........[scheduled for download]";
    case SKIT_INSTALLED: return text;
    default: return text + "........[not available]";
  }
}

SkitEntryLook SettingsEntryLook(uint8_t state, bool selected) {
  if (selected) return Highlight();
  switch (state) {
    case SKIT_AVAILABLE: return {false, kGreen};
    case SKIT_SCHEDULED: return {true, kGreen};
    case SKIT_INSTALLED: return {false, kBlack};
    default: return {false, kGrey};
  }
}

// Here installed skits are the ones with nothing to do: grey, like text
// that cannot be chosen.
SkitEntryLook DownloadEntryLook(uint8_t state, bool selected) {
  if (selected) return Highlight();
  switch (state) {
    case SKIT_AVAILABLE: return {false, kGreen};
    case SKIT_SCHEDULED: return {true, kGreen};
    case SKIT_INSTALLED: return {false, GetSysColor(COLOR_GRAYTEXT)};
    default: return {false, kBlack};
  }
}

void DrawSkitEntry(forms::TCanvas& canvas, const RECT& rect, const std::string& text, const SkitEntryLook& look,
                   const forms::TFont& regular, const forms::TFont& bold) {
  canvas.FillRect(rect);
  canvas.SetFont(look.Bold ? bold : regular);
  canvas.SetTextColor(look.Color);
  canvas.TextOut(rect.left, rect.top, text);
}
