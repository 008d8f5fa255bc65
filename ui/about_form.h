// The about box: the product artwork and, in the generic form, the
// program's file version. Any mouse button closes it. The edition's
// settings dialog opens TForm_AboutBox_Dem, which hides the version line.
#pragma once

#include <string>

#include "forms/controls.h"
#include "forms/form.h"

class TForm_About : public forms::TForm {
 public:
  explicit TForm_About(forms::TForm* owner);

  forms::TImage Image_About{this};
  forms::TLabel Label_VersionNumber{this};

 protected:
  void CreateParams(forms::TCreateParams& params) override;
  void FormMouseDown(UINT button, UINT shift, int x, int y) override;
  // Without the picture the box keeps the size it was designed with.
  void SizeToContents(int designWidth, int designHeight);

 private:
  forms::TForm* Owner_;
};

class TForm_AboutBox_Dem : public TForm_About {
 public:
  explicit TForm_AboutBox_Dem(forms::TForm* owner);
};

// The "FileVersion" text of a program file's version information; false
// when the file has none.
bool ReadFileVersion(const std::string& file, std::string& version);
