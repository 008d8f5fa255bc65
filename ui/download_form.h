// The download dialog: every skit of the catalogue with a tick and a colour
// for its download state. The ticked ones are scheduled and fetched by the
// catalogue's download job while the progress dialog shows its course; the
// download log can be opened or deleted. The settings dialog opens it
// modally after a list download and shares its array of items with it.
#pragma once

#include <cstdint>

#include "forms/controls.h"
#include "store/catalogue.h"
#include "ui/config_dialog.h"

class TForm_Download : public TConfigDialog {
 public:
  // items: the settings dialog's array, with room for every record; count
  // is what it holds now. settingsWindow receives WM_REFRESH_SKITS (null: none).
  TForm_Download(forms::TForm* owner, int32_t count, SkitListItem* items, HWND settingsWindow);

  // Rebuilds the list from the catalogue; every skit not installed is ticked.
  void FillList();
  // Download is enabled exactly when something is ticked.
  void UpdateDownloadButton();
  // Ticked skits become scheduled, unticked scheduled ones available again.
  void ApplyChoices();

  void CheckListBox_SkitsClick();
  void CheckListBox_SkitsDrawItem(forms::TCanvas& canvas, int index, const RECT& rect, UINT state);
  void Button_DownloadClick();
  void Button_ViewLogClick();
  void Button_ClearLogClick();
  void Button_CloseClick();
  void Timer_ProgressTimer();
  LRESULT WMDownloadDone(int32_t code);

  forms::TLabel Label1{this};
  forms::TCheckListBox CheckListBox_Skits;
  forms::TButton Button_Download;
  forms::TButton Button_ViewLog;
  forms::TButton Button_ClearLog;
  forms::TButton Button_Close;
  forms::TTimer& Timer_Progress = ProgressTimer;

  HWND SettingsWindow;
  SkitListItem* Items;
  int32_t ItemCount;

 protected:
  void CreateParams(forms::TCreateParams& params) override;
  void FormClose(forms::TCloseAction& action) override;

 private:
  forms::TFont ListFont_;
  forms::TFont ListBoldFont_;
};

// The open download dialog; null when there is none.
extern TForm_Download* Form_Download;

extern const char kClearLogQuestion[];
