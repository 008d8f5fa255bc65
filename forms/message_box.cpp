#include "forms/message_box.h"

#include "forms/application.h"

namespace forms {

int MessageDlg(const std::string& text, UINT flags) {
  return ::MessageBoxA(GetActiveWindow(), text.c_str(), Application.Title().c_str(), flags);
}

bool ConfirmDlg(const std::string& text) { return MessageDlg(text, MB_YESNO | MB_ICONQUESTION) == IDYES; }

}  // namespace forms
