// The about box: the picture and version line of the generic form, the
// edition's caption without the version, and the close by any mouse button.
#include <gtest/gtest.h>

#include "base/files.h"
#include "forms/application.h"
#include "tests/support/testing.h"
#include "ui/about_form.h"

namespace {

std::string Caption(const forms::TForm& form) {
  char text[256] = {};
  GetWindowTextA(form.Handle(), text, sizeof text);
  return text;
}

SIZE ClientSize(const forms::TForm& form) {
  RECT r;
  GetClientRect(form.Handle(), &r);
  return SIZE{r.right, r.bottom};
}

class AboutBox : public ::testing::Test {
 protected:
  AboutBox() { forms::Application.Initialize(); }
  ~AboutBox() override { forms::Application.OnModalBegin = nullptr; }
};

}  // namespace

TEST_F(AboutBox, TheGenericFormShowsThePictureAndTheFileVersion) {
  TForm_About about(nullptr);
  EXPECT_EQ(Caption(about), "About");
  ASSERT_TRUE(about.Image_About.HasPicture());
  EXPECT_EQ(about.Image_About.PictureSize().cx, 360);
  EXPECT_EQ(about.Image_About.PictureSize().cy, 216);
  EXPECT_EQ(ClientSize(about).cx, 360);
  EXPECT_EQ(ClientSize(about).cy, 216);
  EXPECT_EQ(about.Label_VersionNumber.Caption(), "Version 1.0.0.0");
  EXPECT_TRUE(about.Label_VersionNumber.Visible());
}

TEST_F(AboutBox, TheEditionsBoxHasItsCaptionAndNoVersionLine) {
  TForm_AboutBox_Dem about(nullptr);
  EXPECT_EQ(Caption(about), "Drearigrams\u00AE");
  EXPECT_FALSE(about.Label_VersionNumber.Visible());
  EXPECT_EQ(ClientSize(about).cx, 360);
  EXPECT_EQ(ClientSize(about).cy, 216);
}

TEST_F(AboutBox, AnyMouseButtonAnywhereEndsTheModalBox) {
  for (UINT press : {WM_LBUTTONDOWN, WM_RBUTTONDOWN, WM_MBUTTONDOWN}) {
    TForm_AboutBox_Dem about(nullptr);
    forms::Application.OnModalBegin = [press](forms::TForm& form) {
      // On the picture, which takes no input of its own.
      PostMessageA(form.Handle(), press, 0, MAKELPARAM(100, 100));
    };
    EXPECT_EQ(about.ShowModal(), IDOK) << press;
    EXPECT_FALSE(about.Visible());
  }
}

TEST(FileVersion, ReadFromTheProgramAndAbsentFromAFileWithoutIt) {
  std::string version;
  ASSERT_TRUE(ReadFileVersion(ModuleFileName(), version));
  EXPECT_EQ(version, "1.0.0.0");
  // The stand-in player carries no version information.
  version = "untouched";
  EXPECT_FALSE(ReadFileVersion(DG_FAKE_PLAYER, version));
  EXPECT_EQ(version, "untouched");
  EXPECT_FALSE(ReadFileVersion(ModuleFileName() + ".missing", version));
}
