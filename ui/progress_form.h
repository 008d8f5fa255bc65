// The small modeless window that shows a running download sequence: what is
// being done, the current activity, a bar over the whole sequence, and a
// Cancel button that, once confirmed, asks the owner to stop the transfer.
// It does no work of its own: its owner feeds it from a timer.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "download/progress.h"
#include "forms/controls.h"
#include "forms/form.h"

extern const char kCancelDownloadQuestion[];

class TForm_DownloadProgress : public forms::TForm {
 public:
  TForm_DownloadProgress(forms::TForm* owner, forms::TForm* notifyForm);

  void SetProcessText(const std::string& text);
  void SetActivityText(const std::string& text);
  void BtnCancelClick();

  forms::TLabel TxtProcess{this};
  forms::TLabel TxtActivity{this};
  // Made with the window (FormCreate), after the dialog's style is set.
  std::unique_ptr<forms::TProgressBar> BarProgress;
  std::unique_ptr<forms::TButton> BtnCancel;

  forms::TForm* NotifyForm = nullptr;
  // The user confirmed a cancel, with the button, the close box or Alt+F4.
  bool CancelPressed = false;
  // The "cancel?" question is open.
  bool Asking() const { return Asking_; }

 protected:
  void CreateParams(forms::TCreateParams& params) override;
  void FormCreate() override;
  void FormCloseQuery(bool& canClose) override;
  void FormClose(forms::TCloseAction& action) override;
  void FormHide() override;

 private:
  friend void DestroyDownloadProgress();
  forms::TForm* Owner_;
  bool Approved_ = false;
  bool Asking_ = false;
  // The sequence ended while the question was open: the dialog goes as
  // soon as the question has been answered.
  bool Discarded_ = false;
};

// The one dialog of the process; null when there is none.
extern TForm_DownloadProgress* Form_DownloadProgress;
// Destroys Form_DownloadProgress and sets it to null. While the dialog asks
// its question, the question's own message loop delivers the messages that
// end a sequence: then the dialog is only let go of here, and deletes itself
// once the question has been answered.
void DestroyDownloadProgress();

// The question before a dial-up hang-up, as the forms ask it: a Yes/No box
// captioned with the application's title. True for Yes. The catalogue hands
// it to the workers it makes (cSkitManager::HangUpQuestion).
bool AskHangUpQuestion(const std::string& question);

// One refresh step of the owner's timer.
void RefreshDownloadProgress(TForm_DownloadProgress& dialog, const DownloadProgress& progress);
