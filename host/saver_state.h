// The process-wide start-up state that the forms read: the mode of this run,
// the host window of the preview or password change, the text shown
// instead of skits when the catalogue could not be opened, and the one shown
// once before them when the catalogue had to start again from the seed.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

constexpr uint8_t SAVER_RUN = 0;
constexpr uint8_t SAVER_PREVIEW = 1;
constexpr uint8_t SAVER_CONFIGURE = 2;
constexpr uint8_t SAVER_CHANGE_PASSWORD = 3;

extern uint8_t SaverMode;
extern HWND HostWindow;
extern HWND PreviousForegroundWindow;
extern std::string StartupErrorText;
extern std::string StartupNoticeText;

extern const char kApplicationTitle[];
extern const char kDefaultStartupError[];
