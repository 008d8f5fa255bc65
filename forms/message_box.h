// Message and confirmation boxes, captioned with the application title.
#pragma once

#include <windows.h>

#include <string>

namespace forms {

int MessageDlg(const std::string& text, UINT flags);
// A Yes/No question; true for Yes.
bool ConfirmDlg(const std::string& text);

}  // namespace forms
