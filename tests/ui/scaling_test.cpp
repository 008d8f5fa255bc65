// The forms at any display scale: texts that do not fit their controls make
// room for themselves, and a dialog that Windows moves to a monitor of
// another DPI lays itself out again. Wine has one DPI for every monitor and
// never sends WM_DPICHANGED by itself: the tests send it as Windows would.
// (The whole program at 144 DPI is the display scale test's, dpi_test.cpp.)
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "forms/application.h"
#include "forms/controls.h"
#include "forms/form.h"
#include "tests/ui/ui_testing.h"
#include "ui/settings_form.h"

#ifndef WM_DPICHANGED
#define WM_DPICHANGED 0x02E0
#endif

namespace {

int TextWidth(HWND window) {
  char text[256] = {};
  GetWindowTextA(window, text, sizeof text);
  RECT r = {0, 0, 0, 0};
  HDC dc = GetDC(window);
  HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageA(window, WM_GETFONT, 0, 0)));
  DrawTextA(dc, text, -1, &r, DT_SINGLELINE | DT_CALCRECT);
  SelectObject(dc, old);
  ReleaseDC(window, dc);
  return r.right;
}

// The width a check box's text leaves free: its box, a gap, the text.
int CheckBoxRoom(HWND box, int dpi) {
  RECT r;
  GetClientRect(box, &r);
  return r.right - forms::SystemMetricForDpi(SM_CXMENUCHECK, dpi) - forms::ScaleToDpi(3, dpi);
}

SIZE ClientSize(HWND window) {
  RECT r;
  GetClientRect(window, &r);
  return SIZE{r.right, r.bottom};
}

int FontHeight(HFONT font) {
  LOGFONTA lf = {};
  GetObjectA(font, sizeof lf, &lf);
  return lf.lfHeight < 0 ? -lf.lfHeight : lf.lfHeight;
}

// Two group boxes side by side with a check box each, a button below: the
// first check box's text is far too long for it.
class TwoGroups : public forms::TForm {
 public:
  TwoGroups()
      : GroupA(this, 10, "First"),
        CheckA(this, 11, "Automatically download every new content module as soon as it is offered"),
        GroupB(this, 12, "Second"),
        CheckB(this, 13, "Sound"),
        Button(this, 14, "OK") {
    SetClientSize(300, 200);
    GroupA.SetBounds(8, 8, 140, 60);
    CheckA.SetBounds(16, 28, 100, 17);
    GroupB.SetBounds(156, 8, 136, 60);
    CheckB.SetBounds(164, 28, 80, 17);
    Button.SetBounds(8, 160, 75, 25);
  }
  forms::TGroupBox GroupA;
  forms::TCheckBox CheckA;
  forms::TGroupBox GroupB;
  forms::TCheckBox CheckB;
  forms::TButton Button;
};

// A wrapped label too short for its text, a button beside it and one below.
class LongLabel : public forms::TForm {
 public:
  LongLabel() : Beside(this, 20, "Help"), Below(this, 21, "OK") {
    SetClientSize(200, 150);
    Label.WordWrap = true;
    Label.SetCaption("Check off the content modules you want to see, then press OK to keep your choice.");
    Label.SetBounds(8, 8, 120, 15);
    Beside.SetBounds(140, 8, 50, 25);
    Below.SetBounds(8, 30, 75, 25);
  }
  forms::TLabel Label{this};
  forms::TButton Beside;
  forms::TButton Below;
};

int LabelTextHeight(const forms::TLabel& label) {
  RECT r = {0, 0, label.Width(), 0};
  HDC dc = GetDC(nullptr);
  HGDIOBJ old = SelectObject(dc, label.Font.Handle());
  DrawTextA(dc, label.Caption().c_str(), -1, &r, DT_WORDBREAK | DT_NOPREFIX | DT_CALCRECT);
  SelectObject(dc, old);
  ReleaseDC(nullptr, dc);
  return r.bottom;
}

class FormLayout : public ::testing::Test {
 protected:
  FormLayout() { forms::Application.Initialize(); }
};

}  // namespace

TEST_F(FormLayout, ATooLongCheckBoxGrowsWithItsGroupAndPushesTheNextGroupAlong) {
  TwoGroups form;
  form.Show();
  const int dpi = form.Dpi();
  EXPECT_LE(TextWidth(form.CheckA.Handle()), CheckBoxRoom(form.CheckA.Handle(), dpi));

  const int grown = form.CheckA.Width() - form.Scale(100);
  ASSERT_GT(grown, 0);
  // The group keeps its margin around the box; the group beside it moves
  // along with its own box, and the form widens by as much.
  EXPECT_EQ(form.GroupA.BoundsRect().right, form.Scale(148) + grown);
  EXPECT_EQ(form.GroupB.BoundsRect().left, form.Scale(156) + grown);
  EXPECT_EQ(form.GroupB.Width(), form.Scale(292) - form.Scale(156));
  EXPECT_EQ(form.CheckB.BoundsRect().left, form.Scale(164) + grown);
  EXPECT_EQ(ClientSize(form.Handle()).cx, form.Scale(300) + grown);
  // Nothing below the row moves, and nothing grows downwards.
  EXPECT_EQ(form.Button.BoundsRect().left, form.Scale(8));
  EXPECT_EQ(form.Button.BoundsRect().top, form.Scale(160));
  EXPECT_EQ(ClientSize(form.Handle()).cy, form.Scale(200));
  // Every other text already fitted.
  EXPECT_EQ(form.CheckB.Width(), form.Scale(244) - form.Scale(164));
}

TEST_F(FormLayout, AWrappedLabelTakesTheLinesItNeedsAndPushesWhatIsBelow) {
  LongLabel form;
  form.Show();
  const int grown = form.Label.Height() - form.Scale(15);
  ASSERT_GT(grown, 0);
  EXPECT_GE(form.Label.Height(), LabelTextHeight(form.Label));
  EXPECT_EQ(form.Label.Width(), form.Scale(120));
  EXPECT_EQ(form.Below.BoundsRect().top, form.Scale(30) + grown);
  EXPECT_EQ(form.Beside.BoundsRect().top, form.Scale(8));
  EXPECT_EQ(ClientSize(form.Handle()).cy, form.Scale(150) + grown);
  EXPECT_EQ(ClientSize(form.Handle()).cx, form.Scale(200));
}

namespace {

// What the settings dialog keeps of its layout, to compare at two DPIs.
struct Snapshot {
  SIZE Client;
  std::vector<RECT> Bounds;
  std::vector<int> Fonts;
  int ItemHeight;
};

Snapshot Take(TForm_Settings& dialog) {
  Snapshot s{ClientSize(dialog.Handle()), {}, {}, 0};
  for (forms::TControl* control : dialog.Controls()) {
    if (!control->Visible()) continue;
    s.Bounds.push_back(control->BoundsRect());
    auto* windowed = dynamic_cast<forms::TWinControl*>(control);
    s.Fonts.push_back(windowed != nullptr
                          ? FontHeight(reinterpret_cast<HFONT>(SendMessageA(windowed->Handle(), WM_GETFONT, 0, 0)))
                          : FontHeight(control->Font.Handle()));
  }
  s.ItemHeight = static_cast<int>(SendMessageA(dialog.CheckListBox_Skits.Handle(), LB_GETITEMHEIGHT, 0, 0));
  return s;
}

bool OneAndAHalf(long large, long small) { return std::labs(2 * large - 3 * small) <= 2; }

void SendDpiChange(HWND window, int dpi, const RECT& suggested) {
  SendMessageA(window, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&suggested));
}

}  // namespace

TEST_F(DialogTest, MovedToAMonitorOf144DpiTheSettingsDialogLaysItselfOutAgainAndBack) {
  Builder.Add(CAT_SKIT, 1, SKIT_AVAILABLE, SEL_NONE, "Alpha", {"alpha.skit"});
  Builder.Add(CAT_SKIT, 2, SKIT_SCHEDULED, SEL_ON, "Bravo", {"bravo.skit"});
  OpenCatalogue();
  TForm_Settings_Dem dialog;
  dialog.Show();
  ASSERT_EQ(dialog.Dpi(), 96) << "the dialog tests run at 96 DPI";
  const Snapshot before = Take(dialog);
  RECT window;
  GetWindowRect(dialog.Handle(), &window);

  // Windows suggests the old rectangle scaled, at a place on the new monitor.
  const RECT suggested = {window.left + 40, window.top + 30,
                          window.left + 40 + (window.right - window.left) * 3 / 2,
                          window.top + 30 + (window.bottom - window.top) * 3 / 2};
  SendDpiChange(dialog.Handle(), 144, suggested);
  EXPECT_EQ(dialog.Dpi(), 144);
  const Snapshot after = Take(dialog);
  EXPECT_TRUE(OneAndAHalf(after.Client.cx, before.Client.cx)) << after.Client.cx << " from " << before.Client.cx;
  EXPECT_TRUE(OneAndAHalf(after.Client.cy, before.Client.cy)) << after.Client.cy << " from " << before.Client.cy;
  ASSERT_EQ(after.Bounds.size(), before.Bounds.size());
  for (size_t i = 0; i < before.Bounds.size(); ++i) {
    SCOPED_TRACE("control " + std::to_string(i));
    EXPECT_TRUE(OneAndAHalf(after.Bounds[i].left, before.Bounds[i].left));
    EXPECT_TRUE(OneAndAHalf(after.Bounds[i].top, before.Bounds[i].top));
    EXPECT_TRUE(OneAndAHalf(after.Bounds[i].right, before.Bounds[i].right));
    EXPECT_TRUE(OneAndAHalf(after.Bounds[i].bottom, before.Bounds[i].bottom));
    EXPECT_TRUE(OneAndAHalf(after.Fonts[i], before.Fonts[i])) << after.Fonts[i] << " px from " << before.Fonts[i];
  }
  EXPECT_EQ(after.ItemHeight, 24);
  RECT moved;
  GetWindowRect(dialog.Handle(), &moved);
  EXPECT_EQ(moved.left, suggested.left);
  EXPECT_EQ(moved.top, suggested.top);
  EXPECT_LE(TextWidth(dialog.CheckBox_AutoDownload.Handle()), CheckBoxRoom(dialog.CheckBox_AutoDownload.Handle(), 144));

  // And back: the layout is the one it started with, to the pixel.
  GetWindowRect(dialog.Handle(), &window);
  SendDpiChange(dialog.Handle(), 96, window);
  const Snapshot back = Take(dialog);
  EXPECT_EQ(back.Client.cx, before.Client.cx);
  EXPECT_EQ(back.Client.cy, before.Client.cy);
  for (size_t i = 0; i < before.Bounds.size(); ++i) {
    EXPECT_TRUE(EqualRect(&back.Bounds[i], &before.Bounds[i])) << "control " << i;
    EXPECT_EQ(back.Fonts[i], before.Fonts[i]) << "control " << i;
  }
  EXPECT_EQ(back.ItemHeight, before.ItemHeight);
}
