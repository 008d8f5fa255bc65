// What the settings dialog and the download dialog have in common: a
// download job started from the dialog (the progress dialog over it, the
// refresh timer, each completion message and a cancel), and help. The rules
// of a job's course live here; each dialog decides what follows its end.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "forms/controls.h"
#include "forms/form.h"
#include "forms/timer.h"

// Posted by the download dialog to the settings dialog: rebuild the list.
constexpr UINT WM_REFRESH_SKITS = WM_USER + 0x220;  // 1568

class TConfigDialog : public forms::TForm {
 public:
  ~TConfigDialog() override;

  // A job started here has not ended yet.
  bool DownloadRunning() const { return DownloadRunning_; }

  // Refreshes the progress display while a job runs (UpdateTimer of the
  // settings dialog, Timer_Progress of the download dialog).
  forms::TTimer ProgressTimer;

 protected:
  explicit TConfigDialog(forms::TForm* owner);
  void CreateParams(forms::TCreateParams& params) override;

  // Shows the progress dialog ("Downloading files...") over this dialog,
  // disables the dialog and starts the timer. False, with nothing changed,
  // while any job or progress dialog exists.
  bool BeginDownloadSequence();
  // The progress dialog destroyed, the timer stopped, the dialog enabled.
  void EndDownloadSequence();
  // One tick of the timer: the progress dialog shows the job's state.
  void RefreshProgress();

  enum class TransferResult { Continuing, Finished, Failed };
  // One WM_DOWNLOAD_DONE: the error box (unless the user cancelled), the
  // driver flag, then the catalogue's processing. Failed: that processing
  // threw; the failure has been shown and the job ended.
  TransferResult CompleteTransfer(int32_t code);
  LRESULT WMDownloadCancel();

  bool FormHelp(UINT command, ULONG_PTR data, bool& callHelp) override;
  // A help context's popup text, at the place of the request.
  void DefaultHelp(UINT command, ULONG_PTR data) override;
  void FormContextPopup(POINT mousePosition, bool& handled) override;

  // The dialogs' font on a windowed control.
  static void UseDialogFont(forms::TWinControl& control, bool bold = false);

  forms::TForm* Owner_;

 private:
  bool DownloadRunning_ = false;
};

// The texts of the catalogue's download worker; empty when there is none.
std::string TransferItemName();
// The failed transfer's own text (the one the download log carries), or the
// text of the code when the worker has none.
std::string TransferErrorText(int32_t code);
