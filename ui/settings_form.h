// The settings dialog of configure mode, the application's main form there:
// the skits to play, the sound and automatic-download choices, "Get New
// Skits Now..." (a list download, then the download dialog), the download
// log and the about box. OK saves; closing the dialog ends the application.
// TForm_Settings_Dem is the edition's dialog, the one start-up creates: a
// wider list, no preview, and one sound check box in place of the choices.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "forms/controls.h"
#include "store/catalogue.h"
#include "ui/config_dialog.h"

class TForm_Settings : public TConfigDialog {
 public:
  TForm_Settings();

  // Rebuilds the list from the catalogue. Ticks the user changed since the
  // last rebuild are kept, and so is the selected entry.
  void RefreshSkitList();
  // The ticks into the items, the items into the catalogue.
  void ApplyChecks();

  virtual void Button_OKClick();
  void Button_CancelClick();
  virtual void Button_AboutClick();
  void CheckListBox_SkitsClick();
  void CheckBox_PreviewClick();
  void CheckListBox_SkitsDrawItem(forms::TCanvas& canvas, int index, const RECT& rect, UINT state);
  void CheckListBox_SkitsClickCheck() {}
  void Button_GetNewSkitsClick();
  void Button_DownloadLogClick();
  void UpdateTimerTimer();
  LRESULT WMDownloadDone(int32_t code);

  // The picture file the preview was last asked to show ("" for none).
  const std::string& PreviewFile() const { return PreviewFile_; }

  forms::TLabel Label_Skits{this};
  forms::TFramePanel Panel_Preview{this};
  forms::TImage Image_Preview{this};
  forms::TCheckListBox CheckListBox_Skits;
  forms::TCheckBox CheckBox_Preview;
  forms::TRadioGroup RadioGroup_Sound;
  forms::TGroupBox GroupBox_Download;
  forms::TCheckBox CheckBox_AutoDownload;
  forms::TButton Button_GetNewSkits;
  forms::TButton Button_DownloadLog;
  forms::TButton Button_OK;
  forms::TButton Button_Cancel;
  forms::TButton Button_About;
  forms::TTimer& UpdateTimer = ProgressTimer;

  // The list's items; the download dialog works on the same array.
  SkitListItem Items[CATALOG_SLOTS];
  int32_t ItemCount = 0;

 protected:
  void CreateParams(forms::TCreateParams& params) override;
  // Opens the download dialog on the items, modally.
  void ShowDownloadDialog();

  forms::TFont ListFont;
  forms::TFont ListBoldFont;

 private:
  // What each entry was built from: the skit, whether the catalogue had it
  // ticked, and its picture (copied: a merge may replace the catalogue's texts).
  struct Entry {
    int32_t SkitId;
    bool Ticked;
    std::string Picture;
  };
  std::vector<Entry> Entries_;
  std::string PreviewFile_;
};

class TForm_Settings_Dem : public TForm_Settings {
 public:
  TForm_Settings_Dem();

  void Button_OKClick() override;
  void Button_AboutClick() override;

  forms::TGroupBox GroupBox_Sound;
  forms::TCheckBox CheckBox_Sound;
};

extern TForm_Settings_Dem* Form_Settings_Dem;
