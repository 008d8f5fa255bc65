// The download dialog's own rules: what is ticked, when Download is
// enabled, what closing does to the download states, and the log buttons.
// The tick box is clicked as the user would, through the list's window.
#include <gtest/gtest.h>

#include "base/errors.h"
#include "base/files.h"
#include "tests/download/download_testing.h"
#include "tests/ui/ui_testing.h"
#include "ui/download_form.h"
#include "ui/help.h"

namespace {

class DownloadDialog : public DialogTest {
 protected:
  ~DownloadDialog() override { Dialog.reset(); }

  TForm_Download& Open(HWND settingsWindow = nullptr, bool show = true) {
    OpenCatalogue();
    Dialog = std::make_unique<TForm_Download>(nullptr, 0, Items, settingsWindow);
    if (show) Dialog->Show();
    return *Dialog;
  }

  // A press and release in the tick box of an item.
  void ClickTickBox(int index) {
    const forms::TCheckListBox& list = Dialog->CheckListBox_Skits;
    RECT r = list.ItemRect(index);
    LPARAM at = MAKELPARAM(5, (r.top + r.bottom) / 2);
    SendMessageA(list.Handle(), WM_LBUTTONDOWN, MK_LBUTTON, at);
    SendMessageA(list.Handle(), WM_LBUTTONUP, 0, at);
  }

  SkitListItem Items[CATALOG_SLOTS];
  std::unique_ptr<TForm_Download> Dialog;
};

}  // namespace

TEST_F(DownloadDialog, WithOnlyInstalledSkitsNothingIsTickedAndDownloadIsOff) {
  Builder.Add(CAT_SKIT, 1, SKIT_INSTALLED, SEL_ON, "One", {"one.skit"});
  Builder.Add(CAT_SKIT, 2, SKIT_INSTALLED, SEL_NONE, "Two", {"two.skit"});
  Install({"one.skit", "two.skit"});
  TForm_Download& dialog = Open();
  ASSERT_EQ(dialog.CheckListBox_Skits.Count(), 2);
  EXPECT_FALSE(dialog.CheckListBox_Skits.Checked(0));
  EXPECT_FALSE(dialog.CheckListBox_Skits.Checked(1));
  EXPECT_EQ(dialog.CheckListBox_Skits.ItemIndex(), 0);
  EXPECT_FALSE(dialog.Button_Download.Enabled());
}

TEST_F(DownloadDialog, DownloadIsOnExactlyWhileSomethingIsTicked) {
  Builder.Add(CAT_SKIT, 1, SKIT_AVAILABLE, SEL_NONE, "One", {"one.skit"});
  Builder.Add(CAT_SKIT, 2, SKIT_FAILED, SEL_NONE, "Two", {"two.skit"});
  Builder.Add(CAT_SKIT, 3, SKIT_INSTALLED, SEL_ON, "Three", {"three.skit"});
  Install({"three.skit"});
  TForm_Download& dialog = Open();
  forms::TCheckListBox& list = dialog.CheckListBox_Skits;
  EXPECT_TRUE(dialog.Button_Download.Enabled());
  ClickTickBox(0);
  EXPECT_FALSE(list.Checked(0));
  EXPECT_TRUE(dialog.Button_Download.Enabled());
  ClickTickBox(1);
  EXPECT_FALSE(list.Checked(1));
  EXPECT_FALSE(dialog.Button_Download.Enabled());
  EXPECT_EQ(list.ItemIndex(), 1);  // the press selected the line too

  // A press on the text selects without ticking; the space bar ticks.
  RECT r = list.ItemRect(2);
  SendMessageA(list.Handle(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(60, (r.top + r.bottom) / 2));
  SendMessageA(list.Handle(), WM_LBUTTONUP, 0, MAKELPARAM(60, (r.top + r.bottom) / 2));
  EXPECT_EQ(list.ItemIndex(), 2);
  EXPECT_FALSE(list.Checked(2));
  SendMessageA(list.Handle(), WM_KEYDOWN, VK_SPACE, 0);
  EXPECT_TRUE(list.Checked(2));
  EXPECT_TRUE(dialog.Button_Download.Enabled());
}

TEST_F(DownloadDialog, ClosingTurnsTheTicksIntoDownloadStates) {
  Builder.Add(CAT_SKIT, 1, SKIT_SCHEDULED, SEL_AUTO, "Scheduled", {"one.skit"});
  Builder.Add(CAT_SKIT, 2, SKIT_AVAILABLE, SEL_NONE, "Available", {"two.skit"});
  Builder.Add(CAT_SKIT, 3, SKIT_INSTALLED, SEL_ON, "Kept", {"three.skit"});
  Builder.Add(CAT_SKIT, 4, SKIT_INSTALLED, SEL_ON, "Again", {"four.skit"});
  Builder.Add(CAT_SKIT, 5, SKIT_FAILED, SEL_NONE, "Failed", {"five.skit"});
  Install({"three.skit", "four.skit"});
  download_testing::Receiver settings;
  TForm_Download& dialog = Open(settings.Window, false);
  forms::Application.OnModalBegin = [&](forms::TForm&) {
    dialog.CheckListBox_Skits.SetChecked(0, false);
    dialog.CheckListBox_Skits.SetChecked(3, true);
    dialog.CheckListBox_Skits.SetChecked(4, false);
    dialog.Button_CloseClick();
  };
  EXPECT_EQ(dialog.ShowModal(), IDOK);
  EXPECT_EQ(Record(1).State, SKIT_AVAILABLE);  // a scheduled skit left unticked
  EXPECT_EQ(Record(2).State, SKIT_SCHEDULED);
  EXPECT_EQ(Record(3).State, SKIT_INSTALLED);
  EXPECT_EQ(Record(4).State, SKIT_SCHEDULED);  // ticked again: fetched again
  EXPECT_EQ(Record(4).FilesDone, 0u);
  EXPECT_EQ(Record(5).State, SKIT_FAILED);
  MSG msg;
  EXPECT_TRUE(settings.Wait(WM_REFRESH_SKITS, msg, 1000));
}

TEST_F(DownloadDialog, ClearLogAsksFirst) {
  TForm_Download& dialog = Open();
  testing_support::WriteFileBytes(Settings.LogPath, "a line\r\n");
  {
    testing_support::MessageBoxCatcher no(IDNO);
    dialog.Button_ClearLogClick();
    ASSERT_EQ(no.Boxes.size(), 1u);
    EXPECT_EQ(no.Boxes[0].Caption, "Confirm");
    EXPECT_EQ(no.Boxes[0].Text, kClearLogQuestion);
  }
  EXPECT_TRUE(FileExists(Settings.LogPath));
  {
    testing_support::MessageBoxCatcher yes(IDYES);
    dialog.Button_ClearLogClick();
    EXPECT_EQ(yes.Boxes.size(), 1u);
  }
  EXPECT_FALSE(FileExists(Settings.LogPath));
  {
    // Nothing left to delete: asked, and nothing else happens.
    testing_support::MessageBoxCatcher yes(IDYES);
    dialog.Button_ClearLogClick();
    EXPECT_EQ(yes.Boxes.size(), 1u);
  }
}

TEST_F(DownloadDialog, ViewLogOpensTheLogOrSaysWhyNot) {
  TForm_Download& dialog = Open();
  testing_support::WriteFileBytes(Settings.LogPath, "a line\r\n");
  dialog.Button_ViewLogClick();
  EXPECT_EQ(ShellOpened, std::vector<std::string>{Settings.LogPath});

  // The real shell, and no log file.
  ShellOpen = &ShellExecuteOpen;
  DeleteFileA(Settings.LogPath.c_str());
  testing_support::MessageBoxCatcher ok(IDOK);
  dialog.Button_ViewLogClick();
  ASSERT_EQ(ok.Boxes.size(), 1u);
  EXPECT_EQ(ok.Boxes[0].Caption, "Error");
  EXPECT_EQ(ok.Boxes[0].Text, ErrorText(ERROR_FILE_NOT_FOUND));
}
