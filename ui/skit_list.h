// What the configuration dialogs show of a skit: the entry text of the
// settings dialog's list, and the font style and colour each download state
// is drawn in, in the settings dialog and in the download dialog.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "forms/controls.h"
#include "store/catalogue.h"

// Title, then "........" and the tag of the state when it has one.
std::string SkitEntryText(const SkitListItem& item);

struct SkitEntryLook {
  bool Bold = false;
  COLORREF Color = RGB(0, 0, 0);
  bool operator==(const SkitEntryLook& other) const { return Bold == other.Bold && Color == other.Color; }
};

// A selected entry keeps the list's highlight colours whatever its state.
SkitEntryLook SettingsEntryLook(uint8_t state, bool selected);
SkitEntryLook DownloadEntryLook(uint8_t state, bool selected);

// Fills the rectangle with the canvas brush and writes the text at its
// top-left corner in the look's font and colour.
void DrawSkitEntry(forms::TCanvas& canvas, const RECT& rect, const std::string& text, const SkitEntryLook& look,
                   const forms::TFont& regular, const forms::TFont& bold);
