#include "ui/settings_form.h"

#include <map>

#include "base/files.h"
#include "base/settings.h"
#include "download/comm.h"
#include "forms/application.h"
#include "ui/about_form.h"
#include "ui/download_form.h"
#include "ui/help.h"
#include "ui/skit_list.h"

namespace {

enum : int {
  kListId = 101,
  kPreviewId,
  kSoundId,  // and its three buttons after it
  kDownloadGroupId = 110,
  kAutoDownloadId,
  kGetNewId,
  kDownloadLogId,
  kOkId = 120,
  kCancelId,
  kAboutId,
  kSoundGroupId = 130,
  kSoundCheckId,
};

// Where the two panels of the layout start: the one of the list and the
// choices, and the bar of buttons below it.
constexpr int kBackLeft = 0, kBackTop = 0;

}  // namespace

TForm_Settings::TForm_Settings()
    : TConfigDialog(nullptr),
      CheckListBox_Skits(this, kListId),
      CheckBox_Preview(this, kPreviewId, "Pre&view"),
      RadioGroup_Sound(this, kSoundId, "&Play Sound", {"Always", "Once", "Never"}),
      GroupBox_Download(this, kDownloadGroupId, "&Download"),
      CheckBox_AutoDownload(this, kAutoDownloadId, "Automatically download new skits"),
      Button_GetNewSkits(this, kGetNewId, "&Get New Skits Now..."),
      Button_DownloadLog(this, kDownloadLogId, "Download Log..."),
      Button_OK(this, kOkId, "&OK", true),
      Button_Cancel(this, kCancelId, "&Cancel"),
      Button_About(this, kAboutId, "&About...") {
  HelpContext = HELP_CONTEXT_CONTENTS;
  SetClientSize(421, 327);
  CentreOnScreen();

  // The list and the choices (PaneBack, 421 x 288).
  Label_Skits.SetBounds(kBackLeft + 8, kBackTop + 8, 261, 17);
  Label_Skits.Font.Set(forms::kDialogFontName, forms::kDialogFontHeight, true);
  ListFont.Set(forms::kDialogFontName, forms::kDialogFontHeight);
  ListBoldFont.Set(forms::kDialogFontName, forms::kDialogFontHeight, true);
  AddFont(ListFont);
  AddFont(ListBoldFont);
  CheckListBox_Skits.SetBounds(kBackLeft + 8, kBackTop + 24, 261, 137);
  UseDialogFont(CheckListBox_Skits);
  CheckListBox_Skits.SetItemHeight(16);
  CheckBox_Preview.SetBounds(kBackLeft + 280, kBackTop + 8, 97, 17);
  UseDialogFont(CheckBox_Preview);
  CheckBox_Preview.SetChecked(true);
  Panel_Preview.SetBounds(kBackLeft + 276, kBackTop + 28, 132, 132);
  Image_Preview.SetBounds(Panel_Preview.BoundsRect().left + 1, Panel_Preview.BoundsRect().top + 1, 128, 128);
  Image_Preview.SetEnabled(false);
  RadioGroup_Sound.SetBounds(kBackLeft + 304, kBackTop + 172, 101, 113);
  UseDialogFont(RadioGroup_Sound);
  for (int i = 0; i < RadioGroup_Sound.Count(); ++i) UseDialogFont(RadioGroup_Sound.Button(i));
  const int group = kBackLeft + 8, groupTop = kBackTop + 172;
  GroupBox_Download.SetBounds(group, groupTop, 289, 113);
  UseDialogFont(GroupBox_Download);
  CheckBox_AutoDownload.SetBounds(group + 12, groupTop + 32, 189, 17);
  UseDialogFont(CheckBox_AutoDownload);
  Button_GetNewSkits.SetBounds(group + 12, groupTop + 62, 161, 25);
  UseDialogFont(Button_GetNewSkits, true);
  Button_DownloadLog.SetBounds(group + 184, groupTop + 62, 93, 25);
  UseDialogFont(Button_DownloadLog);

  // The bar of buttons (Panel2, 421 x 39 at the bottom).
  const int bar = 288;
  Button_OK.SetBounds(150, bar + 6, 81, 25);
  Button_Cancel.SetBounds(240, bar + 6, 81, 25);
  Button_Cancel.Cancel = true;
  Button_About.SetBounds(330, bar + 6, 81, 25);
  for (forms::TButton* button : {&Button_OK, &Button_Cancel, &Button_About}) UseDialogFont(*button);

  CheckListBox_Skits.OnClick = [this] { CheckListBox_SkitsClick(); };
  CheckListBox_Skits.OnClickCheck = [this] { CheckListBox_SkitsClickCheck(); };
  CheckListBox_Skits.OnDrawItem = [this](forms::TCanvas& canvas, int index, const RECT& rect, UINT state) {
    CheckListBox_SkitsDrawItem(canvas, index, rect, state);
  };
  CheckBox_Preview.OnClick = [this] { CheckBox_PreviewClick(); };
  Button_GetNewSkits.OnClick = [this] { Button_GetNewSkitsClick(); };
  Button_DownloadLog.OnClick = [this] { Button_DownloadLogClick(); };
  Button_OK.OnClick = [this] { Button_OKClick(); };
  Button_Cancel.OnClick = [this] { Button_CancelClick(); };
  Button_About.OnClick = [this] { Button_AboutClick(); };
  UpdateTimer.OnTimer = [this] { UpdateTimerTimer(); };
  OnMessage(WM_DOWNLOAD_DONE, [this](WPARAM, LPARAM code) { return WMDownloadDone(static_cast<int32_t>(code)); });
  OnMessage(WM_REFRESH_SKITS, [this](WPARAM, LPARAM) {
    RefreshSkitList();
    return 0;
  });

  CheckListBox_Skits.HelpContext = 13;
  RadioGroup_Sound.HelpContext = 6;
  Button_GetNewSkits.HelpContext = 2;
  CheckBox_AutoDownload.HelpContext = 4;
  Button_DownloadLog.HelpContext = 5;
  CheckBox_Preview.HelpContext = 9;
  Panel_Preview.HelpContext = 9;

  if (TheSettings != nullptr) {
    CheckBox_AutoDownload.SetChecked(TheSettings->SyncMethod == 0);
    RadioGroup_Sound.SetItemIndex(TheSettings->Sound);
  }
  RefreshSkitList();
  CheckListBox_SkitsClick();
}

void TForm_Settings::CreateParams(forms::TCreateParams& params) {
  TConfigDialog::CreateParams(params);
  params.Caption = "Kinetrope";
}

void TForm_Settings::RefreshSkitList() {
  std::map<int32_t, bool> changedTicks;
  for (size_t i = 0; i < Entries_.size() && static_cast<int>(i) < CheckListBox_Skits.Count(); ++i) {
    const bool ticked = CheckListBox_Skits.Checked(static_cast<int>(i));
    if (ticked != Entries_[i].Ticked) changedTicks[Entries_[i].SkitId] = ticked;
  }
  const int selected = CheckListBox_Skits.ItemIndex();
  const int32_t selectedId = selected >= 0 && selected < static_cast<int>(Entries_.size()) ? Entries_[selected].SkitId : -1;

  CheckListBox_Skits.Clear();
  Entries_.clear();
  ItemCount = TheSkitManager != nullptr ? TheSkitManager->ExportList(Items, CAT_SKIT) : 0;
  int select = -1;
  for (int32_t i = 0; i < ItemCount; ++i) {
    const SkitListItem& item = Items[i];
    const int index = CheckListBox_Skits.Add(SkitEntryText(item));
    const bool ticked = item.Selection == SEL_ON;
    auto changed = changedTicks.find(item.SkitId);
    CheckListBox_Skits.SetChecked(index, changed != changedTicks.end() ? changed->second : ticked);
    Entries_.push_back(Entry{item.SkitId, ticked, item.FileNames[2] != nullptr ? item.FileNames[2] : ""});
    if (item.SkitId == selectedId) select = index;
  }
  if (ItemCount > 0) CheckListBox_Skits.SetItemIndex(select >= 0 ? select : 0);
}

void TForm_Settings::ApplyChecks() {
  if (TheSkitManager == nullptr) return;
  const int32_t count = std::min<int32_t>(ItemCount, CheckListBox_Skits.Count());
  for (int32_t i = 0; i < count; ++i) Items[i].Selection = CheckListBox_Skits.Checked(i) ? SEL_ON : SEL_NONE;
  TheSkitManager->ImportList(Items, count, CAT_SKIT);
}

void TForm_Settings::Button_OKClick() {
  if (TheSettings != nullptr) {
    TheSettings->SyncMethod = CheckBox_AutoDownload.Checked() ? 0 : 2;
    if (RadioGroup_Sound.Visible()) TheSettings->Sound = static_cast<int8_t>(RadioGroup_Sound.ItemIndex());
    TheSettings->Save();
  }
  ApplyChecks();
  Close();
}

void TForm_Settings::Button_CancelClick() { Close(); }

void TForm_Settings::Button_AboutClick() {
  TForm_About about(this);
  about.ShowModal();
}

void TForm_Settings::CheckListBox_SkitsClick() {
  const int index = CheckListBox_Skits.ItemIndex();
  std::string file;
  if (CheckBox_Preview.Checked() && index >= 0 && index < static_cast<int>(Entries_.size()) &&
      !Entries_[index].Picture.empty() && TheSettings != nullptr)
    file = JoinPath(TheSettings->SkitsPath, Entries_[index].Picture);
  PreviewFile_ = file;
  if (!Image_Preview.LoadFromFile(file)) Image_Preview.Clear();
}

void TForm_Settings::CheckBox_PreviewClick() { CheckListBox_SkitsClick(); }

void TForm_Settings::CheckListBox_SkitsDrawItem(forms::TCanvas& canvas, int index, const RECT& rect, UINT state) {
  const uint8_t skitState = index >= 0 && index < ItemCount ? Items[index].State : SKIT_NOT_AVAILABLE;
  DrawSkitEntry(canvas, rect, CheckListBox_Skits.Item(index), SettingsEntryLook(skitState, (state & ODS_SELECTED) != 0),
                ListFont, ListBoldFont);
}

void TForm_Settings::Button_GetNewSkitsClick() {
  if (!BeginDownloadSequence()) return;
  try {
    // The items as last built: ticks changed since then wait for OK.
    TheSkitManager->ImportList(Items, ItemCount, CAT_SKIT);
    if (TheSkitManager->StartListDownload(Handle(), false)) return;
  } catch (...) {
    EndDownloadSequence();
    throw;
  }
  EndDownloadSequence();
}

void TForm_Settings::Button_DownloadLogClick() {
  OpenWithShell(Handle(), TheSettings != nullptr ? TheSettings->LogPath : std::string());
}

void TForm_Settings::UpdateTimerTimer() {
  RefreshProgress();
  if (TheSkitManager != nullptr && TheSkitManager->Changed) RefreshSkitList();
}

LRESULT TForm_Settings::WMDownloadDone(int32_t code) {
  // A completion that belongs to no job of this dialog changes nothing here.
  if (!DownloadRunning()) return 0;
  const TransferResult result = CompleteTransfer(code);
  if (result == TransferResult::Continuing) return 0;
  EndDownloadSequence();
  RefreshSkitList();
  // After a failure the update is over; the user may try again.
  if (result == TransferResult::Failed) return 0;
  bool allInstalled = true;
  for (int32_t i = 0; i < ItemCount; ++i) allInstalled = allInstalled && Items[i].State == SKIT_INSTALLED;
  if (allInstalled && TheSettings != nullptr) forms::ShowMessage(TheSettings->Messages[0]);
  ShowDownloadDialog();
  return 0;
}

void TForm_Settings::ShowDownloadDialog() {
  {
    TForm_Download dialog(this, ItemCount, Items, Handle());
    Form_Download = &dialog;
    try {
      dialog.ShowModal();
    } catch (...) {
      Form_Download = nullptr;
      throw;
    }
    Form_Download = nullptr;
  }
  RefreshSkitList();
}

// The edition's layout is made for the system's dialog font (Tahoma at 8
// points, wider than the old MS Sans Serif): room for four lines of the
// opening text and for the automatic-download box's text, so that at any
// display scale nothing has to grow. Where a system's font is wider still,
// the layout makes room itself.
TForm_Settings_Dem::TForm_Settings_Dem()
    : GroupBox_Sound(this, kSoundGroupId, "Sound"), CheckBox_Sound(this, kSoundCheckId, "&Play Sound") {
  SetCaption("Drearigrams\u00AE");
  SetClientSize(441, 349);
  CentreOnScreen();

  Label_Skits.SetBounds(8, 8, 425, 54);
  Label_Skits.Font.Set(forms::kDialogFontName, forms::kDialogFontHeight);
  Label_Skits.WordWrap = true;
  Label_Skits.SetCaption(
      "Check off the Content Modules you want to see in the screensaver. Modules listed in black are already on "
      "your computer. Use the Download options below to get new content modules. Right click with your mouse for "
      "more help.");
  CheckListBox_Skits.SetBounds(8, 65, 425, 137);
  Panel_Preview.SetVisible(false);
  Image_Preview.SetVisible(false);
  CheckBox_Preview.SetVisible(false);
  CheckBox_Preview.SetEnabled(false);
  RadioGroup_Sound.SetBounds(304, 284, 101, 113);
  RadioGroup_Sound.SetVisible(false);
  RadioGroup_Sound.SetEnabled(false);

  const int groupTop = 205;
  GroupBox_Download.SetBounds(8, groupTop, 315, 93);
  CheckBox_AutoDownload.SetBounds(8 + 12, groupTop + 24, 295, 17);
  CheckBox_AutoDownload.SetCaption("Automatically download new content modules");
  Button_GetNewSkits.SetBounds(8 + 12, groupTop + 54, 175, 25);
  Button_GetNewSkits.SetCaption("&Get New Content Now...");
  Button_DownloadLog.SetBounds(8 + 195, groupTop + 54, 103, 25);
  GroupBox_Sound.SetBounds(331, groupTop, 102, 93);
  UseDialogFont(GroupBox_Sound);
  CheckBox_Sound.SetBounds(331 + 12, groupTop + 40, 84, 17);
  UseDialogFont(CheckBox_Sound);

  // The button bar below the taller panel, at the right as before.
  const int bar = 310;
  Button_OK.SetBounds(170, bar + 6, 81, 25);
  Button_Cancel.SetBounds(260, bar + 6, 81, 25);
  Button_About.SetBounds(350, bar + 6, 81, 25);

  GroupBox_Sound.HelpContext = 6;
  CheckBox_Sound.HelpContext = 6;
  CheckBox_Sound.SetChecked(TheSettings != nullptr && TheSettings->Sound == 0);
}

// One check box stands for the edition's two sounds: always or never.
void TForm_Settings_Dem::Button_OKClick() {
  if (TheSettings != nullptr) TheSettings->Sound = CheckBox_Sound.Checked() ? 0 : 2;
  TForm_Settings::Button_OKClick();
}

void TForm_Settings_Dem::Button_AboutClick() {
  TForm_AboutBox_Dem about(this);
  about.ShowModal();
}
