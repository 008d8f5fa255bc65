#include "ui/about_form.h"

#include <cstdio>
#include <vector>

#include "base/files.h"

bool ReadFileVersion(const std::string& file, std::string& version) {
  return ReadVersionText(file, "FileVersion", version);
}

TForm_About::TForm_About(forms::TForm* owner) : Owner_(owner) {
  BorderStyle = forms::TBorderStyle::bsDialog;
  CreateHandle();
  Image_About.AutoSize = true;
  Image_About.SetBounds(0, 0, 400, 300);
  // Mouse presses on the picture reach the form, which closes.
  Image_About.SetEnabled(false);
  Label_VersionNumber.SetBounds(220, 208, 165, 13);
  Label_VersionNumber.Alignment = forms::TAlignment::taCenter;
  Label_VersionNumber.Transparent = true;
  Label_VersionNumber.Font.Set(forms::kDialogFontName, forms::kDialogFontHeight);
  Label_VersionNumber.Font.Color = RGB(0, 128, 0);
  Label_VersionNumber.SetCaption("Label_VersionNumber");

  // A missing picture leaves the box empty; the version is read regardless.
  Image_About.LoadFromResource(GetModuleHandleA(nullptr), "AboutBox");
  SizeToContents(400, 300);
  std::string version;
  if (ReadFileVersion(ModuleFileName(), version)) Label_VersionNumber.SetCaption("Version " + version);
}

void TForm_About::CreateParams(forms::TCreateParams& params) {
  TForm::CreateParams(params);
  params.Caption = "About";
  if (Owner_ != nullptr && Owner_->Handle() != nullptr) params.Parent = Owner_->Handle();
}

void TForm_About::SizeToContents(int designWidth, int designHeight) {
  if (!Image_About.HasPicture()) Image_About.SetBounds(0, 0, designWidth, designHeight);
  const RECT& picture = Image_About.DesignRect();
  SetClientSize(picture.right - picture.left, picture.bottom - picture.top);
  CentreOnScreen();
}

void TForm_About::FormMouseDown(UINT, UINT, int, int) {
  ModalResult = IDOK;
  if (!Modal()) Close();
}

TForm_AboutBox_Dem::TForm_AboutBox_Dem(forms::TForm* owner) : TForm_About(owner) {
  SetCaption("Drearigrams\u00AE");
  Label_VersionNumber.SetBounds(0, 0, 165, 13);
  Label_VersionNumber.SetVisible(false);
  SizeToContents(360, 216);
}
