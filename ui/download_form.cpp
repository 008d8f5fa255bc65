#include "ui/download_form.h"

#include "base/settings.h"
#include "download/comm.h"
#include "ui/help.h"
#include "ui/skit_list.h"

TForm_Download* Form_Download = nullptr;

const char kClearLogQuestion[] = "Are you sure you want to delete the download log?";

namespace {
enum : int { kListId = 201, kDownloadId, kViewLogId, kClearLogId, kCloseId };
}  // namespace

TForm_Download::TForm_Download(forms::TForm* owner, int32_t count, SkitListItem* items, HWND settingsWindow)
    : TConfigDialog(owner),
      CheckListBox_Skits(this, kListId),
      Button_Download(this, kDownloadId, "Download", true),
      Button_ViewLog(this, kViewLogId, "View Log..."),
      Button_ClearLog(this, kClearLogId, "Clear Log"),
      Button_Close(this, kCloseId, "&Close"),
      SettingsWindow(settingsWindow),
      Items(items),
      ItemCount(count) {
  HelpContext = HELP_CONTEXT_CONTENTS;
  SetClientSize(400, 425);
  CentreOnScreen();

  // The upper panel (height 381): the instruction and the list.
  Label1.SetBounds(8, 8, 381, 29);
  Label1.WordWrap = true;
  Label1.Font.Set(forms::kDialogFontName, forms::kDialogFontHeight);
  Label1.SetCaption(
      "Check off the items you want to download and then press the Download button. Grayed items have already "
      "been downloaded.");
  ListFont_.Set(forms::kDialogFontName, forms::kDialogFontHeight);
  ListBoldFont_.Set(forms::kDialogFontName, forms::kDialogFontHeight, true);
  AddFont(ListFont_);
  AddFont(ListBoldFont_);
  CheckListBox_Skits.SetBounds(8, 40, 381, 341);
  UseDialogFont(CheckListBox_Skits);
  CheckListBox_Skits.SetItemHeight(16);

  // The button bar (height 44).
  const int bar = 381;
  Button_Download.SetBounds(8, bar + 12, 75, 25);
  UseDialogFont(Button_Download, true);
  Button_ViewLog.SetBounds(109, bar + 12, 75, 25);
  Button_ClearLog.SetBounds(211, bar + 12, 75, 25);
  Button_Close.SetBounds(312, bar + 12, 75, 25);
  Button_Close.Cancel = true;
  for (forms::TButton* button : {&Button_ViewLog, &Button_ClearLog, &Button_Close}) UseDialogFont(*button);

  CheckListBox_Skits.OnClick = [this] { CheckListBox_SkitsClick(); };
  CheckListBox_Skits.OnDrawItem = [this](forms::TCanvas& canvas, int index, const RECT& rect, UINT state) {
    CheckListBox_SkitsDrawItem(canvas, index, rect, state);
  };
  Button_Download.OnClick = [this] { Button_DownloadClick(); };
  Button_ViewLog.OnClick = [this] { Button_ViewLogClick(); };
  Button_ClearLog.OnClick = [this] { Button_ClearLogClick(); };
  Button_Close.OnClick = [this] { Button_CloseClick(); };
  Timer_Progress.OnTimer = [this] { Timer_ProgressTimer(); };
  OnMessage(WM_DOWNLOAD_DONE, [this](WPARAM, LPARAM code) { return WMDownloadDone(static_cast<int32_t>(code)); });

  FillList();
  CheckListBox_Skits.HelpContext = 8;
  Button_Download.HelpContext = 11;
  Button_ViewLog.HelpContext = 5;
  Button_ClearLog.HelpContext = 7;
}

void TForm_Download::CreateParams(forms::TCreateParams& params) {
  TConfigDialog::CreateParams(params);
  params.Caption = "Kinetrope Downloads";
}

void TForm_Download::FillList() {
  const int selected = CheckListBox_Skits.ItemIndex();
  CheckListBox_Skits.Clear();
  ItemCount = TheSkitManager != nullptr ? TheSkitManager->ExportList(Items, CAT_SKIT) : 0;
  for (int32_t i = 0; i < ItemCount; ++i) CheckListBox_Skits.Add(Items[i].Title != nullptr ? Items[i].Title : "");
  if (ItemCount > 0) CheckListBox_Skits.SetItemIndex(selected >= 0 && selected < ItemCount ? selected : 0);
  for (int32_t i = 0; i < ItemCount; ++i) CheckListBox_Skits.SetChecked(i, Items[i].State != SKIT_INSTALLED);
  UpdateDownloadButton();
}

void TForm_Download::UpdateDownloadButton() {
  bool any = false;
  for (int i = 0; i < CheckListBox_Skits.Count() && !any; ++i) any = CheckListBox_Skits.Checked(i);
  Button_Download.SetEnabled(any);
}

void TForm_Download::ApplyChoices() {
  if (TheSkitManager == nullptr) return;
  const int32_t count = std::min<int32_t>(ItemCount, CheckListBox_Skits.Count());
  for (int32_t i = 0; i < count; ++i) {
    if (CheckListBox_Skits.Checked(i))
      Items[i].State = SKIT_SCHEDULED;
    else if (Items[i].State == SKIT_SCHEDULED)
      Items[i].State = SKIT_AVAILABLE;
  }
  TheSkitManager->ImportList(Items, count, CAT_SKIT);
  if (SettingsWindow != nullptr) PostMessageA(SettingsWindow, WM_REFRESH_SKITS, 0, 0);
}

void TForm_Download::CheckListBox_SkitsClick() { UpdateDownloadButton(); }

// The state is read from the shared items each time: the settings dialog
// rebuilds them as the job installs files, and the colours follow.
void TForm_Download::CheckListBox_SkitsDrawItem(forms::TCanvas& canvas, int index, const RECT& rect, UINT state) {
  const uint8_t skitState = index >= 0 && index < ItemCount ? Items[index].State : SKIT_NOT_AVAILABLE;
  DrawSkitEntry(canvas, rect, CheckListBox_Skits.Item(index), DownloadEntryLook(skitState, (state & ODS_SELECTED) != 0),
                ListFont_, ListBoldFont_);
}

void TForm_Download::Button_DownloadClick() {
  if (DownloadRunning() || TheSkitManager == nullptr) return;
  ApplyChoices();
  if (!BeginDownloadSequence()) return;
  try {
    if (TheSkitManager->StartFileDownloads(Handle())) return;
  } catch (...) {
    EndDownloadSequence();
    throw;
  }
  EndDownloadSequence();
}

void TForm_Download::Timer_ProgressTimer() {
  RefreshProgress();
  if (TheSkitManager != nullptr && TheSkitManager->Changed) {
    InvalidateRect(CheckListBox_Skits.Handle(), nullptr, FALSE);
    if (SettingsWindow != nullptr) PostMessageA(SettingsWindow, WM_REFRESH_SKITS, 0, 0);
  }
}

LRESULT TForm_Download::WMDownloadDone(int32_t code) {
  // The job's last file is followed by one more completion message, posted
  // after the job has ended: nothing runs here for it.
  if (!DownloadRunning()) return 0;
  if (CompleteTransfer(code) != TransferResult::Continuing) {
    EndDownloadSequence();
    FillList();
    if (SettingsWindow != nullptr) PostMessageA(SettingsWindow, WM_REFRESH_SKITS, 0, 0);
  }
  InvalidateRect(CheckListBox_Skits.Handle(), nullptr, FALSE);
  return 0;
}

void TForm_Download::Button_ViewLogClick() {
  OpenWithShell(Handle(), TheSettings != nullptr ? TheSettings->LogPath : std::string());
}

void TForm_Download::Button_ClearLogClick() {
  if (MessageBoxA(Handle(), kClearLogQuestion, "Confirm", MB_YESNO | MB_ICONQUESTION) != IDYES) return;
  if (TheSettings != nullptr) DeleteFileA(TheSettings->LogPath.c_str());
}

void TForm_Download::Button_CloseClick() {
  ModalResult = IDOK;
  if (!Modal()) Close();
}

void TForm_Download::FormClose(forms::TCloseAction& action) {
  (void)action;
  try {
    ApplyChoices();
  } catch (...) {
  }
}
