#include "ui/help.h"

#include <shellapi.h>

#include "base/errors.h"

namespace {

struct HelpTopic {
  int Context;
  const char* Text;
};

// One text per help context the dialogs hand out.
const HelpTopic kHelpTopics[] = {
    {2, "Connects to the Drearigrams content server, fetches the latest list of content modules, and then "
        "lets you choose which new modules to download."},
    {4, "When this is checked, the screensaver looks for new content modules now and then while it runs and "
        "downloads them by itself. Leave it unchecked to download only when you ask."},
    {5, "Opens the download log in your text viewer. The log records every list and content module the "
        "screensaver has downloaded, and every download that failed, with the reason."},
    {6, "Chooses whether the content modules play their sound while the screensaver runs."},
    {7, "Deletes the download log, after asking you to confirm. A new log is started with the next download."},
    {8, "Every content module the server offers. Check the ones you want and press Download. Gray modules are "
        "already on your computer; green ones can be downloaded; bold green ones are waiting to be downloaded."},
    {9, "Shows a picture of the content module selected in the list. Uncheck Preview to hide it."},
    {11, "Downloads the checked content modules one after another. A progress window shows how far the download "
         "has got, and lets you cancel it."},
    {13, "The content modules the screensaver knows about. Check the ones the screensaver should show. Modules "
         "in black are on your computer; green ones can be downloaded; gray ones are not available."},
};

}  // namespace

const char* HelpPopupText(int context) {
  for (const HelpTopic& topic : kHelpTopics) {
    if (topic.Context == context) return topic.Text;
  }
  return nullptr;
}

HINSTANCE ShellExecuteOpen(HWND owner, const std::string& file) {
  return ShellExecuteA(owner, nullptr, file.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

ShellOpenFn ShellOpen = &ShellExecuteOpen;

void OpenWithShell(HWND owner, const std::string& file) {
  HCURSOR previous = SetCursor(LoadCursorA(nullptr, IDC_WAIT));
  const INT_PTR result = reinterpret_cast<INT_PTR>(ShellOpen(owner, file));
  // Taken before anything else can touch the thread's last error.
  const int32_t code = LastErrorCode();
  SetCursor(previous != nullptr ? previous : LoadCursorA(nullptr, IDC_ARROW));
  if (result <= 32) ReportError(owner, ErrorText(code));
}
