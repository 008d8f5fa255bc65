#include "ui/config_dialog.h"

#include <windowsx.h>

#include <exception>

#include "base/errors.h"
#include "base/settings.h"
#include "download/comm.h"
#include "forms/application.h"
#include "forms/help_popup.h"
#include "store/catalogue.h"
#include "ui/help.h"
#include "ui/progress_form.h"

std::string TransferItemName() { return TheSkitManager != nullptr ? TheSkitManager->Job().ItemName() : std::string(); }

std::string TransferErrorText(int32_t code) {
  std::string text = TheSkitManager != nullptr ? TheSkitManager->Job().ErrorText() : std::string();
  return text.empty() ? ErrorText(code) : text;
}

TConfigDialog::TConfigDialog(forms::TForm* owner) : Owner_(owner) {
  BorderStyle = forms::TBorderStyle::bsDialog;
  DialogKeys = true;
  WantVisible = true;
  ProgressTimer.SetInterval(1000);
  OnMessage(WM_DOWNLOAD_CANCEL, [this](WPARAM, LPARAM) { return WMDownloadCancel(); });
}

// The progress dialog never outlives the dialog it belongs to, and neither
// does a job whose messages come here.
TConfigDialog::~TConfigDialog() {
  if (DownloadRunning_) {
    if (TheSkitManager != nullptr) TheSkitManager->EndDownload();
    EndDownloadSequence();
  }
  if (Form_DownloadProgress != nullptr && Form_DownloadProgress->NotifyForm == this) DestroyDownloadProgress();
}

void TConfigDialog::CreateParams(forms::TCreateParams& params) {
  TForm::CreateParams(params);
  params.Style = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
  params.ExStyle |= WS_EX_DLGMODALFRAME | WS_EX_CONTEXTHELP;
  if (Owner_ != nullptr && Owner_->Handle() != nullptr) params.Parent = Owner_->Handle();
}

void TConfigDialog::UseDialogFont(forms::TWinControl& control, bool bold) {
  control.Font.Set(forms::kDialogFontName, forms::kDialogFontHeight, bold);
  control.ApplyFont();
}

bool TConfigDialog::BeginDownloadSequence() {
  if (DownloadRunning_ || Form_DownloadProgress != nullptr || TheSkitManager == nullptr ||
      TheSkitManager->Job().State() != JobState::Idle)
    return false;
  Form_DownloadProgress = new TForm_DownloadProgress(this, this);
  Form_DownloadProgress->Show();
  Form_DownloadProgress->SetProcessText("Downloading files...");
  UpdateWindow(Form_DownloadProgress->Handle());
  SetEnabled(false);
  ProgressTimer.SetEnabled(true);
  DownloadRunning_ = true;
  return true;
}

void TConfigDialog::EndDownloadSequence() {
  DownloadRunning_ = false;
  ProgressTimer.SetEnabled(false);
  // Enabled before the progress dialog goes, so that activation comes back here.
  SetEnabled(true);
  DestroyDownloadProgress();
}

void TConfigDialog::RefreshProgress() {
  if (Form_DownloadProgress == nullptr || TheSkitManager == nullptr) return;
  RefreshDownloadProgress(*Form_DownloadProgress, TheSkitManager->Job().Progress());
}

TConfigDialog::TransferResult TConfigDialog::CompleteTransfer(int32_t code) {
  // Read first: the worker and its texts go when the job ends.
  const std::string item = TransferItemName();
  if (code != 0 && Form_DownloadProgress != nullptr && !Form_DownloadProgress->CancelPressed)
    forms::ShowMessage("Error downloading " + item + ". " + TransferErrorText(code));
  TheSkitManager->SetDriverFlag(true);
  try {
    return TheSkitManager->OnDownloadDone(code) ? TransferResult::Continuing : TransferResult::Finished;
  } catch (const std::exception& error) {
    forms::ShowMessage("Error downloading " + item + ". " + error.what());
  } catch (...) {
    forms::ShowMessage("An unknown error occurred while downloading " + item + ".");
  }
  // Nothing more will come for this job: end it rather than leave the
  // dialog disabled behind a progress dialog for good.
  TheSkitManager->EndDownload();
  return TransferResult::Failed;
}

LRESULT TConfigDialog::WMDownloadCancel() {
  if (TheSkitManager != nullptr) TheSkitManager->Job().Stop();
  return 0;
}

bool TConfigDialog::FormHelp(UINT, ULONG_PTR data, bool& callHelp) {
  if (data == HELP_CONTEXT_CONTENTS) {
    OpenWithShell(Handle(), TheSettings != nullptr ? TheSettings->HelpFilePath : std::string());
    callHelp = false;
  }
  return true;
}

void TConfigDialog::DefaultHelp(UINT, ULONG_PTR data) {
  const char* text = HelpPopupText(static_cast<int>(data));
  if (text == nullptr) return;
  const DWORD position = GetMessagePos();
  forms::ShowHelpPopup(Handle(), POINT{GET_X_LPARAM(position), GET_Y_LPARAM(position)}, text, Dpi());
}

void TConfigDialog::FormContextPopup(POINT mousePosition, bool& handled) {
  const int context = HelpContextAt(mousePosition);
  if (context == 0) return;
  HelpCommand(HELP_CONTEXTPOPUP, static_cast<ULONG_PTR>(context));
  handled = true;
}
