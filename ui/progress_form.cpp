#include "ui/progress_form.h"

#include "download/comm.h"
#include "forms/message_box.h"

const char kCancelDownloadQuestion[] = "Are you sure you want to cancel downloading?";

TForm_DownloadProgress* Form_DownloadProgress = nullptr;

namespace {
constexpr int kCancelId = 100;
constexpr int kBarId = 101;
}  // namespace

TForm_DownloadProgress::TForm_DownloadProgress(forms::TForm* owner, forms::TForm* notifyForm)
    : NotifyForm(notifyForm), Owner_(owner) {
  BorderStyle = forms::TBorderStyle::bsDialog;
  DialogKeys = true;
  WantVisible = false;
  for (forms::TLabel* label : {&TxtProcess, &TxtActivity}) {
    label->Font.Set(forms::kDialogFontName, forms::kDialogFontHeight);
    label->Font.Color = GetSysColor(COLOR_WINDOWTEXT);
  }
  TxtProcess.SetBounds(40, 16, 313, 16);
  TxtActivity.SetBounds(40, 40, 313, 16);
  // The worker's status line can be any length: it ends in "..." when long.
  TxtActivity.EndEllipsis = true;
  TxtProcess.SetCaption("");
  TxtActivity.SetCaption("");
  CreateHandle();
  SetClientSize(377, 130);
  CentreOnScreen();
}

void TForm_DownloadProgress::CreateParams(forms::TCreateParams& params) {
  TForm::CreateParams(params);
  params.Caption = "Kinetrope Download Progress";
  params.Style = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
  if (Owner_ != nullptr && Owner_->Handle() != nullptr) params.Parent = Owner_->Handle();
}

void TForm_DownloadProgress::FormCreate() {
  BarProgress = std::make_unique<forms::TProgressBar>(this, kBarId);
  BarProgress->SetBounds(40, 64, 313, 16);
  BtnCancel = std::make_unique<forms::TButton>(this, kCancelId, "&Cancel", true);
  BtnCancel->Cancel = true;
  BtnCancel->SetBounds(151, 89 + 8, 75, 25);
  BtnCancel->OnClick = [this] { BtnCancelClick(); };
}

void TForm_DownloadProgress::SetProcessText(const std::string& text) { TxtProcess.SetCaption(text); }

void TForm_DownloadProgress::SetActivityText(const std::string& text) { TxtActivity.SetCaption(text); }

void TForm_DownloadProgress::BtnCancelClick() {
  CancelPressed = true;
  Close();
}

void TForm_DownloadProgress::FormCloseQuery(bool& canClose) {
  // Hidden: close without asking. Shown: only when the user confirms,
  // whether the button, the close box or Alt+F4 asked.
  if (!Visible() || Discarded_) {
    Approved_ = canClose = !Discarded_;
    return;
  }
  Asking_ = true;
  const bool confirmed = MessageBoxA(Handle(), kCancelDownloadQuestion, "Confirm", MB_YESNO | MB_ICONQUESTION) == IDYES;
  Asking_ = false;
  if (Discarded_) {
    // The sequence ended meanwhile; there is nothing left to cancel.
    canClose = false;
    Release();
    return;
  }
  Approved_ = canClose = confirmed;
  if (!confirmed) return;
  CancelPressed = true;
  if (NotifyForm != nullptr && NotifyForm->Handle() != nullptr)
    PostMessageA(NotifyForm->Handle(), WM_DOWNLOAD_CANCEL, 0, 0);
}

void TForm_DownloadProgress::FormClose(forms::TCloseAction& action) {
  // The dialog hides; its owner destroys it when the sequence ends.
  action = forms::TCloseAction::caHide;
}

void TForm_DownloadProgress::FormHide() {
  if (NotifyForm != nullptr) NotifyForm->SetEnabled(true);
}

void DestroyDownloadProgress() {
  TForm_DownloadProgress* dialog = Form_DownloadProgress;
  Form_DownloadProgress = nullptr;
  if (dialog == nullptr) return;
  if (dialog->Asking_) {
    dialog->Discarded_ = true;
    dialog->NotifyForm = nullptr;
    return;
  }
  delete dialog;
}

void RefreshDownloadProgress(TForm_DownloadProgress& dialog, const DownloadProgress& progress) {
  dialog.SetActivityText(progress.StatusText);
  if (dialog.BarProgress == nullptr) return;
  dialog.BarProgress->SetMax(static_cast<int>(ProgressMaximum(progress)));
  // The bar clamps a position past its maximum.
  uint32_t position = ProgressPosition(progress);
  uint32_t maximum = ProgressMaximum(progress);
  dialog.BarProgress->SetPosition(static_cast<int>(position > maximum ? maximum : position));
}

bool AskHangUpQuestion(const std::string& question) { return forms::ConfirmDlg(question); }
