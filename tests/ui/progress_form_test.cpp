#include "ui/progress_form.h"

#include <gtest/gtest.h>

#include "download/comm.h"
#include "forms/application.h"
#include "tests/support/testing.h"

namespace {

// An owner form that counts the cancel requests it receives.
class OwnerForm : public forms::TForm {
 public:
  OwnerForm() {
    WantVisible = false;
    OnMessage(WM_DOWNLOAD_CANCEL, [this](WPARAM, LPARAM) {
      ++Cancels;
      return 0;
    });
    CreateHandle();
  }
  int Cancels = 0;
};

void Pump() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

class ProgressDialog : public ::testing::Test {
 protected:
  ProgressDialog() {
    forms::Application.Initialize();
    Owner.SetEnabled(false);  // the owner disables itself while the sequence runs
    Dialog = std::make_unique<TForm_DownloadProgress>(&Owner, &Owner);
    Dialog->Show();
    Dialog->SetProcessText("Downloading files...");
  }

  OwnerForm Owner;
  std::unique_ptr<TForm_DownloadProgress> Dialog;
};

}  // namespace

TEST(ProgressArithmetic, TheBarCoversTheWholeSequence) {
  DownloadProgress second_at_half{"", 1, 3, 500, 1000};
  EXPECT_EQ(ProgressMaximum(second_at_half), 300u);
  EXPECT_EQ(ProgressPosition(second_at_half), 150u);
  // No Content-Length: each byte counts 100 against a total of 1.
  DownloadProgress unknown_length{"", 0, 2, 7, 0};
  EXPECT_EQ(ProgressPosition(unknown_length), 700u);
  // A large file does not wrap the bar back.
  DownloadProgress large{"", 0, 1, 3000000000u, 4000000000u};
  EXPECT_EQ(ProgressPosition(large), 75u);
  // Nor does one of 4 GiB and more, whose figures need all 64 bits.
  DownloadProgress huge{"", 2, 3, uint64_t{6} << 30, uint64_t{8} << 30};
  EXPECT_EQ(ProgressPosition(huge), 275u);
  DownloadProgress half{"", 0, 1, UINT64_MAX / 2, UINT64_MAX};
  EXPECT_EQ(ProgressPosition(half), 50u);
}

TEST_F(ProgressDialog, StartsEmptyWithItsCaption) {
  char caption[64] = {};
  GetWindowTextA(Dialog->Handle(), caption, sizeof caption);
  EXPECT_STREQ(caption, "Kinetrope Download Progress");
  EXPECT_EQ(Dialog->TxtProcess.Caption(), "Downloading files...");
  EXPECT_EQ(Dialog->TxtActivity.Caption(), "");
  RECT client;
  GetClientRect(Dialog->Handle(), &client);
  EXPECT_EQ(client.right, 377);
  EXPECT_EQ(client.bottom, 130);
  EXPECT_EQ(Dialog->BtnCancel->Caption(), "&Cancel");
}

TEST_F(ProgressDialog, RefreshShowsTheStatusAndClampsTheBar) {
  RefreshDownloadProgress(*Dialog, DownloadProgress{"Receiving tide.skit", 1, 3, 500, 1000});
  EXPECT_EQ(Dialog->TxtActivity.Caption(), "Receiving tide.skit");
  EXPECT_EQ(Dialog->BarProgress->Max(), 300);
  EXPECT_EQ(Dialog->BarProgress->Position(), 150);
  RefreshDownloadProgress(*Dialog, DownloadProgress{"", 1, 3, 5000, 0});
  EXPECT_EQ(Dialog->BarProgress->Position(), 300);
}

TEST_F(ProgressDialog, CancelThenNoPostsNothingAndKeepsTheFlag) {
  testing_support::MessageBoxCatcher no(IDNO);
  Dialog->BtnCancelClick();
  Pump();
  ASSERT_EQ(no.Boxes.size(), 1u);
  EXPECT_EQ(no.Boxes[0].Text, kCancelDownloadQuestion);
  EXPECT_EQ(Owner.Cancels, 0);
  EXPECT_TRUE(Dialog->Visible());
  EXPECT_TRUE(Dialog->CancelPressed);
  EXPECT_FALSE(IsWindowEnabled(Owner.Handle()));
}

TEST_F(ProgressDialog, CancelThenYesPostsOnceHidesAndFreesTheOwner) {
  {
    testing_support::MessageBoxCatcher yes(IDYES);
    // Esc reaches the cancel button through the dialog keys.
    SendMessageA(Dialog->Handle(), WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    Pump();
    EXPECT_EQ(yes.Boxes.size(), 1u);
  }
  EXPECT_EQ(Owner.Cancels, 1);
  EXPECT_FALSE(Dialog->Visible());
  EXPECT_TRUE(IsWindow(Dialog->Handle()));  // hidden, not destroyed
  EXPECT_TRUE(IsWindowEnabled(Owner.Handle()));

  // Closing it again while hidden asks nothing and posts nothing.
  testing_support::MessageBoxCatcher none(IDYES);
  SendMessageA(Dialog->Handle(), WM_CLOSE, 0, 0);
  Pump();
  EXPECT_TRUE(none.Boxes.empty());
  EXPECT_EQ(Owner.Cancels, 1);
}

// The forms ask the hang-up question in a Yes/No box with the program's
// title; the answer decides.
TEST(HangUpQuestion, IsAYesNoBoxWithTheTitleAndItsAnswerDecides) {
  forms::Application.SetTitle("Drearigrams Screensaver");
  {
    testing_support::MessageBoxCatcher boxes(IDYES);
    EXPECT_TRUE(AskHangUpQuestion(kHangUpQuestion));
    ASSERT_EQ(boxes.Boxes.size(), 1u);
    EXPECT_EQ(boxes.Boxes[0].Text, "Would you like to disconnect from the Internet now?");
    EXPECT_EQ(boxes.Boxes[0].Caption, "Drearigrams Screensaver");
  }
  testing_support::MessageBoxCatcher boxes(IDNO);
  EXPECT_FALSE(AskHangUpQuestion(kHangUpQuestion));
}
