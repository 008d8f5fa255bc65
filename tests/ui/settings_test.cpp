// The settings dialog: the list built from the catalogue and how it is
// drawn, what OK and Cancel store, the edition's sound, the preview, the
// download log, the about box and help.
#include <gtest/gtest.h>

#include <objbase.h>

#include <typeinfo>

#include "base/files.h"
#include "forms/help_popup.h"
#include "forms/picture.h"
#include "tests/ui/ui_testing.h"
#include "ui/about_form.h"
#include "ui/download_form.h"
#include "ui/help.h"
#include "ui/settings_form.h"
#include "ui/skit_list.h"

using testing_support::WriteFileBytes;

namespace {

constexpr COLORREF kGreen = RGB(0, 128, 0);

// A 4 x 3 picture in PNG, which only the platform's codecs read.
const unsigned char kPng[] = {
    0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44, 0x52, 0x00, 0x00, 0x00,
    0x04, 0x00, 0x00, 0x00, 0x03, 0x08, 0x02, 0x00, 0x00, 0x00, 0x3b, 0x96, 0x39, 0x91, 0x00, 0x00, 0x00, 0x10, 0x49,
    0x44, 0x41, 0x54, 0x78, 0x9c, 0x63, 0x38, 0x21, 0x27, 0x07, 0x47, 0x0c, 0x38, 0x39, 0x00, 0xf5, 0xc7, 0x0c, 0x31,
    0x07, 0xeb, 0xad, 0x99, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};

// A 2 x 2 picture in 24-bit BMP.
std::string Bmp() {
  BITMAPFILEHEADER file = {};
  BITMAPINFOHEADER info = {};
  const DWORD pixels = 2 * 8;  // rows padded to 4 bytes
  file.bfType = 0x4D42;
  file.bfOffBits = sizeof file + sizeof info;
  file.bfSize = file.bfOffBits + pixels;
  info.biSize = sizeof info;
  info.biWidth = 2;
  info.biHeight = 2;
  info.biPlanes = 1;
  info.biBitCount = 24;
  std::string bytes(reinterpret_cast<const char*>(&file), sizeof file);
  bytes.append(reinterpret_cast<const char*>(&info), sizeof info);
  bytes.append(pixels, '\x7f');
  return bytes;
}

class SettingsDialog : public DialogTest {
 protected:
  ~SettingsDialog() override { Dialog.reset(); }

  // A skit in every state, and a notice movie, which the list leaves out.
  void AddEveryState() {
    Builder.Add(CAT_SKIT, 1, SKIT_AVAILABLE, SEL_NONE, "Alpha", {"alpha.skit", "alpha.txt", "alpha.bmp"});
    Builder.Add(CAT_SKIT, 2, SKIT_SCHEDULED, SEL_AUTO, "Bravo", {"bravo.skit"});
    Builder.Add(CAT_SKIT, 3, SKIT_INSTALLED, SEL_ON, "Charlie", {"charlie.skit", "charlie.txt", "charlie.png"});
    Install({"charlie.skit", "charlie.txt", "charlie.png"});
    // Opening a catalogue purges skits that are not available: this one
    // becomes one afterwards, as a merge can make it.
    Builder.Add(CAT_SKIT, 4, SKIT_AVAILABLE, SEL_ON, "Delta", {"delta.skit"});
    Withdrawn = 4;
    Builder.Add(CAT_SKIT, 5, SKIT_FAILED, SEL_NONE, "Echo", {"echo.skit", "echo.txt", "echo.bmp"});
    Builder.Add(CAT_NOTICE, 1, SKIT_INSTALLED, SEL_NONE, "Notice", {"notice.skit"});
    Install({"notice.skit"});
  }

  template <typename Form>
  Form& Open() {
    OpenCatalogue();
    if (Withdrawn != 0) Manager->Catalog.Records[Manager->FindSkit(CAT_SKIT, Withdrawn)].State = SKIT_NOT_AVAILABLE;
    auto form = std::make_unique<Form>();
    Form& opened = *form;
    Dialog = std::move(form);
    Dialog->Show();
    return opened;
  }

  std::vector<bool> Ticks(const forms::TCheckListBox& list) const {
    std::vector<bool> ticks;
    for (int i = 0; i < list.Count(); ++i) ticks.push_back(list.Checked(i));
    return ticks;
  }

  // Sends the control's click as the control itself would.
  void Click(const forms::TWinControl& control) {
    SendMessageA(Dialog->Handle(), WM_COMMAND, MAKEWPARAM(control.Id(), BN_CLICKED),
                 reinterpret_cast<LPARAM>(control.Handle()));
  }

  // A right click on a control: what the control's window hands its parent.
  void RightClick(const forms::TWinControl& control) {
    RECT r;
    GetWindowRect(control.Handle(), &r);
    SendMessageA(Dialog->Handle(), WM_CONTEXTMENU, reinterpret_cast<WPARAM>(control.Handle()),
                 MAKELPARAM((r.left + r.right) / 2, (r.top + r.bottom) / 2));
  }

  std::string PopupText() const {
    char text[1024] = {};
    if (forms::HelpPopupWindow() != nullptr) GetWindowTextA(forms::HelpPopupWindow(), text, sizeof text);
    return text;
  }

  std::unique_ptr<TForm_Settings> Dialog;
  int32_t Withdrawn = 0;
};

// What a drawing routine leaves selected in a device context.
struct Drawn {
  bool Bold;
  COLORREF Color;
};

template <typename Draw>
Drawn DrawInto(Draw draw) {
  HDC dc = CreateCompatibleDC(nullptr);
  HBITMAP bitmap = CreateCompatibleBitmap(dc, 200, 16);
  HGDIOBJ old = SelectObject(dc, bitmap);
  forms::TFont font;
  Drawn drawn{};
  {
    forms::TCanvas canvas(dc, POINT{0, 0}, RGB(255, 255, 255), &font);
    draw(canvas, RECT{0, 0, 200, 16});
    TEXTMETRICA metrics;
    GetTextMetricsA(dc, &metrics);
    drawn = Drawn{metrics.tmWeight >= FW_BOLD, GetTextColor(dc)};
  }
  SelectObject(dc, old);
  DeleteObject(bitmap);
  DeleteDC(dc);
  return drawn;
}

}  // namespace

TEST(SkitEntries, TextsAndLooksByState) {
  const char* title = "Zulu";
  SkitListItem item;
  item.Title = title;
  const struct {
    uint8_t State;
    const char* Text;
    SkitEntryLook Settings;
    SkitEntryLook Download;
  } rows[] = {
      {SKIT_AVAILABLE, "Zulu........[available for download]", {false, kGreen}, {false, kGreen}},
      {SKIT_SCHEDULED, "Zulu........[scheduled for download]", {true, kGreen}, {true, kGreen}},
      {SKIT_INSTALLED, "Zulu", {false, RGB(0, 0, 0)}, {false, GetSysColor(COLOR_GRAYTEXT)}},
      {SKIT_NOT_AVAILABLE, "Zulu........[not available]", {false, RGB(128, 128, 128)}, {false, RGB(0, 0, 0)}},
      {SKIT_FAILED, "Zulu........[not available]", {false, RGB(128, 128, 128)}, {false, RGB(0, 0, 0)}},
  };
  const SkitEntryLook highlight{false, GetSysColor(COLOR_HIGHLIGHTTEXT)};
  for (const auto& row : rows) {
    item.State = row.State;
    EXPECT_EQ(SkitEntryText(item), row.Text);
    EXPECT_EQ(SettingsEntryLook(row.State, false), row.Settings) << int(row.State);
    EXPECT_EQ(DownloadEntryLook(row.State, false), row.Download) << int(row.State);
    // Selected: the list's highlight colours, whatever the state.
    EXPECT_EQ(SettingsEntryLook(row.State, true), highlight) << int(row.State);
    EXPECT_EQ(DownloadEntryLook(row.State, true), highlight) << int(row.State);
  }
  item.Title = nullptr;
  item.State = SKIT_INSTALLED;
  EXPECT_EQ(SkitEntryText(item), "");
}

TEST_F(SettingsDialog, TheListShowsEveryStateWithItsTagAndTicksOnlyWhatIsOn) {
  AddEveryState();
  TForm_Settings& dialog = Open<TForm_Settings_Dem>();
  const forms::TCheckListBox& list = dialog.CheckListBox_Skits;
  ASSERT_EQ(list.Count(), 5);
  EXPECT_EQ(list.Item(0), "Alpha........[available for download]");
  EXPECT_EQ(list.Item(1), "Bravo........[scheduled for download]");
  EXPECT_EQ(list.Item(2), "Charlie");
  EXPECT_EQ(list.Item(3), "Delta........[not available]");
  EXPECT_EQ(list.Item(4), "Echo........[not available]");
  EXPECT_EQ(Ticks(list), (std::vector<bool>{false, false, true, true, false}));
  EXPECT_EQ(list.ItemIndex(), 0);

  // The drawing routine's choice, entry by entry, and the highlight.
  const Drawn expected[] = {{false, kGreen}, {true, kGreen}, {false, RGB(0, 0, 0)},
                            {false, RGB(128, 128, 128)}, {false, RGB(128, 128, 128)}};
  for (int i = 0; i < 5; ++i) {
    Drawn drawn = DrawInto([&](forms::TCanvas& canvas, const RECT& r) { dialog.CheckListBox_SkitsDrawItem(canvas, i, r, 0); });
    EXPECT_EQ(drawn.Bold, expected[i].Bold) << i;
    EXPECT_EQ(drawn.Color, expected[i].Color) << i;
    drawn = DrawInto(
        [&](forms::TCanvas& canvas, const RECT& r) { dialog.CheckListBox_SkitsDrawItem(canvas, i, r, ODS_SELECTED); });
    EXPECT_FALSE(drawn.Bold) << i;
    EXPECT_EQ(drawn.Color, GetSysColor(COLOR_HIGHLIGHTTEXT)) << i;
  }

  // The download dialog on the same items: titles only, every skit not
  // installed ticked, and its own colours.
  TForm_Download download(Dialog.get(), dialog.ItemCount, dialog.Items, nullptr);
  const forms::TCheckListBox& choices = download.CheckListBox_Skits;
  ASSERT_EQ(choices.Count(), 5);
  EXPECT_EQ(choices.Item(1), "Bravo");
  EXPECT_EQ(Ticks(choices), (std::vector<bool>{true, true, false, true, true}));
  EXPECT_TRUE(download.Button_Download.Enabled());
  const Drawn downloadExpected[] = {{false, kGreen}, {true, kGreen}, {false, GetSysColor(COLOR_GRAYTEXT)},
                                    {false, RGB(0, 0, 0)}, {false, RGB(0, 0, 0)}};
  for (int i = 0; i < 5; ++i) {
    Drawn drawn = DrawInto([&](forms::TCanvas& canvas, const RECT& r) { download.CheckListBox_SkitsDrawItem(canvas, i, r, 0); });
    EXPECT_EQ(drawn.Bold, downloadExpected[i].Bold) << i;
    EXPECT_EQ(drawn.Color, downloadExpected[i].Color) << i;
  }
}

TEST_F(SettingsDialog, OkStoresTheChoicesAndTheTicks) {
  AddEveryState();
  Settings.SyncMethod = 2;
  Settings.Sound = 1;
  TForm_Settings& dialog = Open<TForm_Settings>();
  EXPECT_FALSE(dialog.CheckBox_AutoDownload.Checked());
  EXPECT_EQ(dialog.RadioGroup_Sound.ItemIndex(), 1);
  dialog.CheckBox_AutoDownload.SetChecked(true);
  Click(dialog.RadioGroup_Sound.Button(2));
  EXPECT_EQ(dialog.RadioGroup_Sound.ItemIndex(), 2);
  dialog.CheckListBox_Skits.ToggleChecked(0);  // Alpha on
  dialog.CheckListBox_Skits.ToggleChecked(2);  // Charlie off
  Click(dialog.Button_OK);

  EXPECT_EQ(UserValue(Settings.RegistryKey, "SyncMethod"), 0);
  EXPECT_EQ(UserValue(Settings.RegistryKey, "Sound"), 2);
  EXPECT_EQ(Record(1).Selection, SEL_ON);
  EXPECT_EQ(Record(2).Selection, SEL_NONE);  // was SEL_AUTO, left unticked
  EXPECT_EQ(Record(3).Selection, SEL_NONE);
  EXPECT_EQ(Record(4).Selection, SEL_ON);
  EXPECT_EQ(Record(5).Selection, SEL_NONE);
  EXPECT_EQ(Record(2).State, SKIT_SCHEDULED);
  EXPECT_FALSE(dialog.Visible());
}

TEST_F(SettingsDialog, CancelStoresNothing) {
  AddEveryState();
  Settings.SyncMethod = 2;
  TForm_Settings_Dem& dialog = Open<TForm_Settings_Dem>();
  dialog.CheckBox_AutoDownload.SetChecked(true);
  dialog.CheckBox_Sound.SetChecked(false);
  dialog.CheckListBox_Skits.ToggleChecked(0);
  dialog.CheckListBox_Skits.ToggleChecked(2);
  Click(dialog.Button_Cancel);
  EXPECT_FALSE(dialog.Visible());
  EXPECT_EQ(UserValue(Settings.RegistryKey, "SyncMethod"), -1);
  EXPECT_EQ(UserValue(Settings.RegistryKey, "Sound"), -1);
  EXPECT_EQ(Settings.SyncMethod, 2);
  EXPECT_EQ(Settings.Sound, 0);
  EXPECT_EQ(Record(1).Selection, SEL_NONE);
  EXPECT_EQ(Record(2).Selection, SEL_AUTO);
  EXPECT_EQ(Record(3).Selection, SEL_ON);
}

TEST_F(SettingsDialog, TheEditionsOneSoundBoxAndTheAutomaticDownloadBox) {
  const struct {
    int8_t StoredSound, StoredSync;
    bool SoundTicked, AutoTicked;
    bool Tick;  // what the user leaves the sound box at
    long SavedSound;
  } rows[] = {
      {1, 2, false, false, false, 2},  // "once" shows unticked and becomes "never"
      {0, 1, true, false, true, 0},
      {2, 0, false, true, true, 0},
      {0, 0, true, true, false, 2},
  };
  for (const auto& row : rows) {
    Settings.Sound = row.StoredSound;
    Settings.SyncMethod = row.StoredSync;
    TForm_Settings_Dem& dialog = Open<TForm_Settings_Dem>();
    EXPECT_EQ(dialog.CheckBox_Sound.Checked(), row.SoundTicked) << int(row.StoredSound);
    EXPECT_EQ(dialog.CheckBox_AutoDownload.Checked(), row.AutoTicked) << int(row.StoredSync);
    dialog.CheckBox_Sound.SetChecked(row.Tick);
    Click(dialog.Button_OK);
    EXPECT_EQ(UserValue(Settings.RegistryKey, "Sound"), row.SavedSound);
    EXPECT_EQ(UserValue(Settings.RegistryKey, "SyncMethod"), row.AutoTicked ? 0 : 2);
    Dialog.reset();
  }
}

TEST_F(SettingsDialog, AnEmptyCatalogueGivesAnEmptyListAndOkStillSaves) {
  Settings.SyncMethod = 2;
  TForm_Settings_Dem& dialog = Open<TForm_Settings_Dem>();
  EXPECT_EQ(dialog.CheckListBox_Skits.Count(), 0);
  EXPECT_EQ(dialog.CheckListBox_Skits.ItemIndex(), -1);
  EXPECT_EQ(dialog.PreviewFile(), "");
  Click(dialog.Button_OK);
  EXPECT_EQ(UserValue(Settings.RegistryKey, "SyncMethod"), 2);
  EXPECT_EQ(UserValue(Settings.RegistryKey, "Sound"), 0);
}

// The server's pictures reach no decoder but those of BMP and PNG, and none
// over the size limit: a GIF (which the platform would decode) and a BMP
// padded past the limit give no picture.
TEST(PreviewPictures, OnlyBmpAndPngWithinTheirLimitsAreDecoded) {
  testing_support::TempDir dir;
  WriteFileBytes(dir.File("a.bmp"), Bmp());
  WriteFileBytes(dir.File("a.png"), std::string(reinterpret_cast<const char*>(kPng), sizeof kPng));
  const unsigned char gif[] = {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0x80, 0, 0, 0xFF, 0xFF, 0xFF, 0, 0, 0,
                               '!', 0xF9, 4, 1, 0, 0, 0, 0, ',', 0, 0, 0, 0, 1, 0, 1, 0, 0, 2, 2, 'D', 1, 0, ';'};
  WriteFileBytes(dir.File("a.gif.png"), std::string(reinterpret_cast<const char*>(gif), sizeof gif));
  WriteFileBytes(dir.File("big.bmp"), Bmp() + std::string(static_cast<size_t>(forms::kPictureFileLimit), '\0'));
  EXPECT_TRUE(forms::LoadPictureFile(dir.File("a.bmp")));
  EXPECT_TRUE(forms::LoadPictureFile(dir.File("a.png")));
  EXPECT_FALSE(forms::LoadPictureFile(dir.File("a.gif.png")));
  EXPECT_FALSE(forms::LoadPictureFile(dir.File("big.bmp")));
}

TEST_F(SettingsDialog, ThePreviewFollowsTheSelectionAndItsBox) {
  AddEveryState();
  WriteFileBytes(SkitFile("alpha.bmp"), Bmp());
  WriteFileBytes(SkitFile("charlie.png"), std::string(reinterpret_cast<const char*>(kPng), sizeof kPng));
  WriteFileBytes(SkitFile("echo.bmp"), "not a picture at all");
  TForm_Settings& dialog = Open<TForm_Settings>();
  forms::TCheckListBox& list = dialog.CheckListBox_Skits;
  EXPECT_EQ(dialog.PreviewFile(), SkitFile("alpha.bmp"));
  ASSERT_TRUE(dialog.Image_Preview.HasPicture());
  EXPECT_EQ(dialog.Image_Preview.PictureSize().cx, 2);

  list.SetItemIndex(2);
  dialog.CheckListBox_SkitsClick();
  ASSERT_TRUE(dialog.Image_Preview.HasPicture()) << "PNG through the platform's codecs";
  EXPECT_EQ(dialog.Image_Preview.PictureSize().cx, 4);
  EXPECT_EQ(dialog.Image_Preview.PictureSize().cy, 3);

  // No third file; an unreadable picture.
  for (int index : {1, 4}) {
    list.SetItemIndex(index);
    dialog.CheckListBox_SkitsClick();
    EXPECT_FALSE(dialog.Image_Preview.HasPicture()) << index;
  }

  // Unticking the preview box clears the picture; ticking it brings it back.
  list.SetItemIndex(0);
  dialog.CheckListBox_SkitsClick();
  ASSERT_TRUE(dialog.Image_Preview.HasPicture());
  SendMessageA(dialog.CheckBox_Preview.Handle(), BM_CLICK, 0, 0);
  EXPECT_FALSE(dialog.CheckBox_Preview.Checked());
  EXPECT_FALSE(dialog.Image_Preview.HasPicture());
  EXPECT_EQ(dialog.PreviewFile(), "");
  SendMessageA(dialog.CheckBox_Preview.Handle(), BM_CLICK, 0, 0);
  EXPECT_TRUE(dialog.Image_Preview.HasPicture());
}

TEST_F(SettingsDialog, ARebuildKeepsTheTicksTheUserChangedAndTheSelection) {
  AddEveryState();
  TForm_Settings& dialog = Open<TForm_Settings_Dem>();
  forms::TCheckListBox& list = dialog.CheckListBox_Skits;
  list.ToggleChecked(0);  // Alpha on
  list.ToggleChecked(2);  // Charlie off
  list.SetItemIndex(3);
  // Meanwhile the catalogue changed for a skit the user left alone.
  Manager->Catalog.Records[Manager->FindSkit(CAT_SKIT, 5)].Selection = SEL_ON;
  PostMessageA(dialog.Handle(), WM_REFRESH_SKITS, 0, 0);
  PumpUntil([] { return false; }, 50);
  EXPECT_EQ(Ticks(list), (std::vector<bool>{true, false, false, true, true}));
  EXPECT_EQ(list.ItemIndex(), 3);
}

TEST_F(SettingsDialog, TheDownloadLogButtonAndTheAboutBox) {
  TForm_Settings& dialog = Open<TForm_Settings_Dem>();
  Click(dialog.Button_DownloadLog);
  EXPECT_EQ(ShellOpened, std::vector<std::string>{Settings.LogPath});

  std::string shown;
  forms::Application.OnModalBegin = [&](forms::TForm& form) {
    shown = typeid(form).name();
    form.ModalResult = IDOK;
  };
  Click(dialog.Button_About);
  EXPECT_EQ(shown, typeid(TForm_AboutBox_Dem).name());
}

TEST_F(SettingsDialog, RightClicksShowTheControlsHelpAndF1ThePage) {
  TForm_Settings& dialog = Open<TForm_Settings>();
  RightClick(dialog.Button_DownloadLog);
  ASSERT_NE(forms::HelpPopupWindow(), nullptr);
  EXPECT_EQ(PopupText(), HelpPopupText(5));
  // A radio button answers with its group's context.
  RightClick(dialog.RadioGroup_Sound.Button(1));
  EXPECT_EQ(PopupText(), HelpPopupText(6));
  forms::CloseHelpPopup();
  RightClick(dialog.Button_OK);
  EXPECT_EQ(forms::HelpPopupWindow(), nullptr);

  // F1 on a control without a context: the form's own, the help page.
  HELPINFO info = {sizeof info, HELPINFO_WINDOW, 0, dialog.Button_OK.Handle(), 0, {0, 0}};
  SendMessageA(dialog.Handle(), WM_HELP, 0, reinterpret_cast<LPARAM>(&info));
  EXPECT_EQ(ShellOpened, std::vector<std::string>{Settings.HelpFilePath});
  EXPECT_EQ(forms::HelpPopupWindow(), nullptr);
  // F1 on the list: its popup.
  info.hItemHandle = dialog.CheckListBox_Skits.Handle();
  SendMessageA(dialog.Handle(), WM_HELP, 0, reinterpret_cast<LPARAM>(&info));
  EXPECT_EQ(PopupText(), HelpPopupText(13));
}

TEST_F(SettingsDialog, TheMenuKeyShowsTheHelpOfTheControlWithTheFocus) {
  TForm_Settings& dialog = Open<TForm_Settings_Dem>();
  SetFocus(dialog.Button_DownloadLog.Handle());
  ASSERT_EQ(GetFocus(), dialog.Button_DownloadLog.Handle());
  // The keyboard's position, -1 and -1, as the system packs it: the two
  // halves of a 32-bit value, which a 64-bit LPARAM need not sign-extend.
  SendMessageA(dialog.Handle(), WM_CONTEXTMENU, reinterpret_cast<WPARAM>(dialog.Handle()), MAKELPARAM(-1, -1));
  ASSERT_NE(forms::HelpPopupWindow(), nullptr);
  EXPECT_EQ(PopupText(), HelpPopupText(5));
}

// ShellExecute may hand its work to shell extensions that need a COM
// apartment on the calling thread, so the forms' thread is one before any
// form can ask. (Under Wine the input method makes the thread an apartment
// as soon as a window is shown, which Windows does not: hence the look
// before any window is made.)
TEST(FormsThread, IsASingleThreadedApartmentOnceTheApplicationIsInitialised) {
  forms::Application.Initialize();
  APTTYPE type = APTTYPE_CURRENT;
  APTTYPEQUALIFIER qualifier;
  ASSERT_EQ(CoGetApartmentType(&type, &qualifier), S_OK) << "COM was not initialised on the forms' thread";
  EXPECT_TRUE(type == APTTYPE_MAINSTA || type == APTTYPE_STA) << type;
  // Asked again with the same model, it says so: already done.
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE), S_FALSE);
  CoUninitialize();
}

TEST_F(SettingsDialog, EveryHelpContextTheDialogsHandOutHasItsText) {
  TForm_Settings_Dem& dialog = Open<TForm_Settings_Dem>();
  TForm_Download download(Dialog.get(), 0, dialog.Items, nullptr);
  const std::pair<const forms::TControl*, int> contexts[] = {
      {&dialog.CheckListBox_Skits, 13}, {&dialog.RadioGroup_Sound, 6}, {&dialog.Button_GetNewSkits, 2},
      {&dialog.CheckBox_AutoDownload, 4}, {&dialog.Button_DownloadLog, 5}, {&dialog.CheckBox_Preview, 9},
      {&dialog.Panel_Preview, 9}, {&dialog.GroupBox_Sound, 6}, {&dialog.CheckBox_Sound, 6},
      {&download.CheckListBox_Skits, 8}, {&download.Button_Download, 11}, {&download.Button_ViewLog, 5},
      {&download.Button_ClearLog, 7}};
  for (const auto& [control, context] : contexts) {
    EXPECT_EQ(control->HelpContext, context);
    EXPECT_NE(HelpPopupText(context), nullptr) << context;
  }
  EXPECT_EQ(dialog.HelpContext, HELP_CONTEXT_CONTENTS);
}
