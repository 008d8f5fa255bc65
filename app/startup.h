// Start-up and mode dispatch: the single-instance guard, the command line,
// the process-wide objects and their fixed order of creation and release.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "host/saver_state.h"

uint8_t ParseCommandLine(const char* arguments);
HWND ParseWindowHandle(const char* text);
std::string MutexNameFor(const char* arguments);
void SaverStartup(const char* arguments);
void SaverCreateForms();
void SaverShutdown();
// The whole program: what WinMain does with its argument text. Returns 0.
int SaverMain(const char* arguments);
