#include "host/saver_state.h"

uint8_t SaverMode = SAVER_CONFIGURE;
HWND HostWindow = nullptr;
HWND PreviousForegroundWindow = nullptr;
const char kApplicationTitle[] = "Drearigrams Screensaver";
const char kDefaultStartupError[] = "Data files missing or corrupt. You may need to reinstall this screensaver.";
std::string StartupErrorText = kDefaultStartupError;
std::string StartupNoticeText;
