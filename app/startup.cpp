// The order of start and stop is fixed: mutex, settings, command line,
// screensaver-running flag, the user's data folders, catalogue, application
// and form, message loop, then the flag cleared, the catalogue and the
// settings released in reverse.
// SaverShutdown always runs before an escaped exception is shown, so the flag
// is cleared and the catalogue saved even when something went wrong; the
// forms, the settings and the mutex then go in the same order as after a
// normal run.
#include "app/startup.h"

#include <cctype>
#include <cstdlib>
#include <exception>
#include <memory>
#include <stdexcept>

#include "base/handles.h"
#include "base/log.h"
#include "base/text.h"
#include "host/password.h"
#include "base/settings.h"
#include "forms/application.h"
#include "net/net_texts.h"
#include "saver/saver_main.h"
#include "store/catalogue.h"
#include "store/user_data.h"
#include "ui/progress_form.h"
#include "ui/settings_form.h"

TForm_Saver_Main_Dem* Form_Saver_Main_Dem = nullptr;
TForm_Settings_Dem* Form_Settings_Dem = nullptr;

std::string MutexNameFor(const char* arguments) { return std::string("Drearigrams") + (arguments ? arguments : ""); }

HWND ParseWindowHandle(const char* text) {
  if (text == nullptr) return nullptr;
  if (*text == ':') ++text;
  while (*text != '\0' && std::isspace(static_cast<unsigned char>(*text))) ++text;
  long number = std::atol(text);
  // A window handle's meaningful bits are the low 32, sign-extended.
  HWND window = reinterpret_cast<HWND>(static_cast<intptr_t>(static_cast<int32_t>(number)));
  return IsWindow(window) ? window : nullptr;
}

uint8_t ParseCommandLine(const char* arguments) {
  PreviousForegroundWindow = GetForegroundWindow();
  const char* p = arguments != nullptr ? arguments : "";
  while (*p == ' ') ++p;
  if (*p == '-' || *p == '/') ++p;
  char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
  const char* rest = *p != '\0' ? p + 1 : p;
  HostWindow = nullptr;
  switch (letter) {
    case 'S': SaverMode = SAVER_RUN; break;
    case 'P':
    case 'L':
      SaverMode = SAVER_PREVIEW;
      HostWindow = ParseWindowHandle(rest);
      break;
    case 'A':
      SaverMode = SAVER_CHANGE_PASSWORD;
      HostWindow = ParseWindowHandle(rest);
      break;
    case 'C':
      SaverMode = SAVER_CONFIGURE;
      HostWindow = GetForegroundWindow();
      break;
    default: SaverMode = SAVER_CONFIGURE; break;
  }
  return SaverMode;
}

namespace {

LPTOP_LEVEL_EXCEPTION_FILTER PreviousCrashFilter = nullptr;
bool CrashFilterSet = false;

// The screensaver-running flag belongs to the session, not to the process:
// nothing clears it when a crash ends the run before SaverShutdown, and
// every program would go on being told that a screensaver runs. A crash
// clears it on its way out, then goes on as it would have.
LONG WINAPI ClearRunningFlagOnCrash(EXCEPTION_POINTERS* crash) {
  BOOL previous = FALSE;
  SystemParametersInfoA(SPI_SETSCREENSAVERRUNNING, FALSE, &previous, 0);
  return PreviousCrashFilter != nullptr ? PreviousCrashFilter(crash) : EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

void SaverStartup(const char* arguments) {
  ParseCommandLine(arguments);
  if (SaverMode == SAVER_RUN) {
    BOOL previous = FALSE;
    SystemParametersInfoA(SPI_SETSCREENSAVERRUNNING, TRUE, &previous, 0);
    if (!CrashFilterSet) PreviousCrashFilter = SetUnhandledExceptionFilter(&ClearRunningFlagOnCrash);
    CrashFilterSet = true;
  }
  if (SaverMode == SAVER_PREVIEW || SaverMode == SAVER_CHANGE_PASSWORD) return;
  const bool runMode = SaverMode == SAVER_RUN;
  try {
    // The user's own folders, filled from the setup's seed the first time;
    // a catalogue that no longer opens starts again from the seed.
    StartupNoticeText.clear();
    if (TheSettings != nullptr) {
      RemoveLeftoverFiles(*TheSettings);
      PrepareUserData(*TheSettings);
      TheSkitManager = OpenUserCatalogue(*TheSettings, runMode, StartupNoticeText).release();
    } else {
      TheSkitManager = new cSkitManager(runMode);
    }
    // A job's workers ask with the forms' box before they hang up.
    TheSkitManager->Job().HangUpQuestion = AskHangUpQuestion;
  } catch (const forms::Exception& error) {
    if (!runMode) throw;
    StartupErrorText = error.Message() + " [" + TheSettings->OpsFilePath + "]";
  } catch (const std::exception& error) {
    if (!runMode) throw;
    StartupErrorText = std::string(error.what()) + " [" + TheSettings->OpsFilePath + "]";
  } catch (...) {
    if (!runMode) throw;
    StartupErrorText = kDefaultStartupError;
  }
}

void SaverCreateForms() {
  switch (SaverMode) {
    case SAVER_RUN:
      Form_Saver_Main_Dem = forms::Application.CreateForm<TForm_Saver_Main_Dem>();
      break;
    case SAVER_PREVIEW:
      // Without a host nobody could ever see or close the preview: no form,
      // and the message loop ends at once.
      if (HostWindow == nullptr) break;
      Form_Saver_Main_Dem = forms::Application.CreateForm<TForm_Saver_Main_Dem>();
      ParentToHost(forms::Application.Handle(), Form_Saver_Main_Dem->Handle());
      break;
    case SAVER_CHANGE_PASSWORD:
      ChangePassword(HostWindow);
      break;
    default:
      Form_Settings_Dem = forms::Application.CreateForm<TForm_Settings_Dem>();
      break;
  }
}

void SaverShutdown() {
  if (SaverMode == SAVER_RUN) {
    BOOL previous = FALSE;
    SystemParametersInfoA(SPI_SETSCREENSAVERRUNNING, FALSE, &previous, 0);
  }
  if (CrashFilterSet) {
    SetUnhandledExceptionFilter(PreviousCrashFilter);
    CrashFilterSet = false;
  }
  if (TheSkitManager != nullptr) {
    cSkitManager* manager = TheSkitManager;
    TheSkitManager = nullptr;
    delete manager;
  }
}

int SaverMain(const char* arguments) {
  std::string name = MutexNameFor(arguments);
  const handles::UniqueHandle mutex(CreateMutexA(nullptr, TRUE, name.c_str()));
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    if (HWND other = FindWindowA("TApplication", kApplicationTitle)) {
      PostMessageA(other, WM_SYSCOMMAND, SC_RESTORE, 0);
      if (HWND popup = GetLastActivePopup(other)) {
        BringWindowToTop(popup);
        SetForegroundWindow(popup);
        SetFocus(popup);
      }
    }
    return 0;
  }

  // Titled before anything can fail, so that every box carries the title.
  forms::Application.SetTitle(kApplicationTitle);
  net::SetAgentText(kApplicationTitle);
  // Released after the forms, which read them, and before the mutex; also
  // when start-up fails.
  std::unique_ptr<cSettings_Dem> settings;
  try {
    if (const std::string problem = CodePageProblem(); !problem.empty()) throw std::runtime_error(problem);
    settings = std::make_unique<cSettings_Dem>();
    settings->Load();
    LogSetDefaultFolder(settings->DataPath);
    SaverStartup(arguments);
    forms::Application.Initialize();
    SaverCreateForms();
    forms::Application.Run();
    SaverShutdown();
  } catch (const forms::Exception& error) {
    SaverShutdown();
    forms::Application.ShowException(error);
  } catch (const std::exception& error) {
    SaverShutdown();
    forms::ShowMessage(error.what());
  } catch (...) {
    SaverShutdown();
    forms::ShowMessage("Unknown exception in WinMain!");
  }
  forms::Application.DestroyForms();
  return 0;
}
