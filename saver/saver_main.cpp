#include "saver/saver_main.h"

#include <shellapi.h>

#include <exception>

#include "host/password.h"
#include "host/saver_state.h"
#include "base/log.h"
#include "base/files.h"
#include "base/settings.h"
#include "download/comm.h"
#include "forms/application.h"
#include "forms/dialog_fit.h"
#include "saver/link_policy.h"
#include "store/catalogue.h"
#include "ui/progress_form.h"

const char kBackdropClass[] = "ScreensaverKinetropeBackdrop";
const char kCloseSaverQuestion[] =
    "Closing this window will close any windows opened by the screensaver. Are you sure you want to proceed?";
bool SkitTimerBusy = false;

namespace {

// Whether upper lies above lower in the Z order.
bool IsAbove(HWND upper, HWND lower) {
  for (HWND window = GetWindow(lower, GW_HWNDPREV); window != nullptr; window = GetWindow(window, GW_HWNDPREV))
    if (window == upper) return true;
  return false;
}

INT_PTR CloseSaverDialogMessage(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      SetWindowLongPtrA(dialog, DWLP_USER, lParam);
      forms::FitDialog(dialog);
      return TRUE;
    case WM_COMMAND: {
      WORD id = LOWORD(wParam);
      if (id == IDOK || id == IDCANCEL) {
        if (MessageBoxA(dialog, kCloseSaverQuestion, "Close Screensaver", MB_YESNO | MB_ICONINFORMATION) == IDYES) {
          HWND owner = reinterpret_cast<HWND>(GetWindowLongPtrA(dialog, DWLP_USER));
          PostMessageA(owner, WM_CLOSE, 0, 0);
          forms::TForm::UnregisterDialog(dialog);
          DestroyWindow(dialog);
        }
      }
      return FALSE;
    }
    default: return FALSE;
  }
}

INT_PTR CALLBACK CloseSaverDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  try {
    return CloseSaverDialogMessage(dialog, message, wParam, lParam);
  } catch (...) {
    return FALSE;
  }
}

}  // namespace

HWND ShowCloseSaverDialog(HWND ownerWindow) {
  HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(ownerWindow, GWLP_HINSTANCE));
  HWND dialog = CreateDialogParamA(instance, "CloseSaver", nullptr, CloseSaverDialogProc,
                                   reinterpret_cast<LPARAM>(ownerWindow));
  if (dialog == nullptr) return nullptr;
  SetWindowTextA(dialog, forms::Application.Title().c_str());
  forms::TForm::RegisterDialog(dialog);
  return dialog;
}

TForm_Saver_Main::TForm_Saver_Main() {
  PaintBox_Main.Font.Color = RGB(128, 128, 0);  // olive
  Image_Preview.AutoSize = true;
  Image_Preview.SetBounds(0, 0, 152, 112);
  Image_Preview.SetVisible(false);
  SkitTimer.SetInterval(500);
  SkitTimer.OnTimer = [this] { SkitTimerTimer(); };
  ExitTimer.SetInterval(1000);
  ExitTimer.OnTimer = [this] { ExitTimerTimer(); };
  OnMessage(WM_DOWNLOAD_DONE, [this](WPARAM w, LPARAM l) { return WMDownloadDone(w, l); });
  OnMessage(WM_DOWNLOAD_CANCEL, [this](WPARAM w, LPARAM l) { return WMDownloadCancel(w, l); });
  OnMessage(WM_SKIT_ENDED, [this](WPARAM w, LPARAM l) { return WMSkitEnded(w, l); });

  ErrorPrefix = TheSettings != nullptr ? TheSettings->ProgramName : std::string();
  ShownOnce = false;
  CloseSaverDialog = nullptr;
  if (Mode == SAVER_PREVIEW)
    Image_Preview.SetVisible(true);
  else if (Mode == SAVER_RUN)
    FormStyle = forms::TFormStyle::fsStayOnTop;
}

TForm_Saver_Main::~TForm_Saver_Main() {
  // The movie the user kept stays; any other goes with its job.
  if (KeepPlayer && SkitPlayer != nullptr) SkitPlayer->KeepRunning();
  DiscardStandby();
  SkitTimer.SetEnabled(false);
  ExitTimer.SetEnabled(false);
  DestroyBackdrop();
}

void TForm_Saver_Main::FormShow() {
  if (ShownOnce) return;
  ShownOnce = true;
  try {
    TForm_Saver::FormShow();
    if (Mode == SAVER_RUN) {
      // Every monitor: the one the movie plays on, and the others, whose
      // windows could otherwise be read and clicked while the saver runs.
      const RECT cover = Screens().Cover;
      SetWindowPos(Handle(), nullptr, cover.left, cover.top, cover.right - cover.left, cover.bottom - cover.top,
                   SWP_NOZORDER | SWP_NOACTIVATE);
      // The backdrop comes now, before any movie: where Wine runs without a
      // window manager, a window that appears on the X display late can
      // lift the form above a movie that is already in front.
      if (BackdropWindow == nullptr) CreateBackdrop();
      SkitTimer.SetInterval(50);
      if (!ErrorActive) SkitTimer.SetEnabled(true);
      // The error line tells of a catalogue that started again; the skits
      // follow once it has passed.
      if (TheSkitManager != nullptr && !StartupNoticeText.empty()) ShowSaverError(StartupNoticeText);
    }
  } catch (const forms::Exception& error) {
    ShowSaverError(error.Message());
  } catch (const std::exception& error) {
    ShowSaverError(error.what());
  } catch (...) {
    ShowSaverError("Error initializing screensaver.");
  }
}

void TForm_Saver_Main::SkitTimerTimer() {
  if (Mode != SAVER_RUN) return;
  if (TheSkitManager == nullptr || TheSkitManager->OpsPak == nullptr) {
    ShowSaverError(StartupErrorText);
    return;
  }
  if (Closing || SkitTimerBusy || DisplayOff) return;
  SkitTimerBusy = true;
  if (SkitPlayer != nullptr) {
    if (!SkitOver()) {
      KeepSkitInFront();
      try {
        PrepareStandby();
      } catch (...) {
        // The next skit then starts when its turn comes.
      }
      SkitTimerBusy = false;
      return;
    }
    RetireSkitPlayer();
  }
  std::erase_if(EndingPlayers, [](const std::unique_ptr<cSkitPlayer>& player) { return player->IsFinished(0); });
  try {
    StartNextSkit();
  } catch (...) {
    // A tick never shows an exception; the next tick tries again.
  }
  SkitTimerBusy = false;
}

void TForm_Saver_Main::StartNextSkit() {
  if (StandbyChoice)
    BeginStandby();
  else
    PlayNextSkit();
}

void TForm_Saver_Main::PlayNextSkit() {
  const SkitChoice choice = ChooseNextSkit();
  NoticePlaying = choice.Notice;
  if (!choice.Path.empty()) PlaySkit(choice.Path);
  if (choice.StartDownload) StartAutomaticDownload();
  if (choice.Path.empty()) ShowSaverError("Unable to load any skits.");
}

// While a skit plays, the next one's player starts and waits hidden, so that
// it shows the moment the current one ends. The choice moves the
// catalogue's rotation on as playing it would; the hot keys stay those of
// the skit on the screen until the next one begins.
void TForm_Saver_Main::PrepareStandby() {
  if (StandbyChoice || KeepPlayer || Closing || DisplayOff || ErrorActive || TheSettings == nullptr) return;
  if (PlayerCanWait < 0) PlayerCanWait = cSkitPlayer::CanWait(TheSettings->Player) ? 1 : 0;
  if (PlayerCanWait == 0) return;
  cSkitManager& catalogue = *TheSkitManager;
  const int32_t playing = catalogue.Current;
  SkitChoice choice = ChooseNextSkit();
  catalogue.Current = playing;
  if (choice.Path.empty()) return;
  StandbyChoice = choice;
  auto player = std::make_unique<cSkitPlayer>(choice.Path, TheSettings->Player);
  AddPlayerVariables(*player);
  if (player->PlayStandby()) {
    StandbyPlayer = std::move(player);
    return;
  }
  // The skit stays chosen and starts as any other; the player is not asked
  // to wait again this run.
  LogWrite(LOG_ERROR, "The player could not wait for the next skit: %s %s", player->GetErrorText().c_str(),
           choice.Path.c_str());
  PlayerCanWait = 0;
}

void TForm_Saver_Main::BeginStandby() {
  const SkitChoice choice = *StandbyChoice;
  StandbyChoice.reset();
  std::unique_ptr<cSkitPlayer> player = std::move(StandbyPlayer);
  TheSkitManager->Current = choice.Current;
  NoticePlaying = choice.Notice;
  if (player != nullptr && player->Begin()) {
    SkitPlayer = std::move(player);
    WatchSkit();
    SkitTimer.SetInterval(1000);
  } else {
    // Gone while it waited, or never started: the skit starts now.
    if (player != nullptr) player->End();
    player.reset();
    PlaySkit(choice.Path);
  }
  if (choice.StartDownload) StartAutomaticDownload();
}

void TForm_Saver_Main::DiscardStandby() {
  if (StandbyPlayer != nullptr) StandbyPlayer->End();
  StandbyPlayer.reset();
  StandbyChoice.reset();
}

SkitChoice TForm_Saver_Main::ChooseNextSkit() {
  cSkitManager& catalogue = *TheSkitManager;
  const bool second = RunCount == 1;
  const bool due = catalogue.IsUpdateDue();
  bool startDownload = false;
  int32_t notice = 0;
  if (TheSettings->SyncMethod == 0) {
    startDownload = second && (catalogue.PendingFiles(CAT_SKIT, SKIT_SCHEDULED) != 0 || due);
    if (startDownload) notice = 1;
  } else if (TheSettings->SyncMethod == 2) {
    if (second && due) notice = 4;
  }

  SkitChoice choice;
  const char* file = notice == 0 ? catalogue.NextSkit() : catalogue.GetFileName(CAT_NOTICE, notice, 0);
  choice.Notice = notice != 0 && file != nullptr;
  if (file == nullptr) {
    file = catalogue.GetFileName(CAT_NOTICE, startDownload || catalogue.Job().Worker() != nullptr ? 1 : 4, 0);
    choice.Notice = file != nullptr;
  }
  if (file == nullptr) file = catalogue.NextSkit();
  // The catalogue names files inside the skits folder; the player gets the full path.
  if (file != nullptr) choice.Path = JoinPath(TheSettings->SkitsPath, file);
  choice.StartDownload = startDownload;
  choice.Current = catalogue.Current;
  return choice;
}

void TForm_Saver_Main::PlaySkit(const std::string& fileName) {
  if (BackdropWindow == nullptr) CreateBackdrop();
  SkitPlayer = std::make_unique<cSkitPlayer>(fileName, TheSettings->Player);
  AddPlayerVariables(*SkitPlayer);
  if (SkitPlayer->Play(Handle())) {
    WatchSkit();
  } else {
    ShowSaverError(SkitPlayer->GetErrorText() + " " + fileName);
    SkitPlayer.reset();
  }
  SkitTimer.SetInterval(1000);
}

void TForm_Saver_Main::AddPlayerVariables(cSkitPlayer& player) {
  player.AddVariable("SS_RunCount", "%d", RunCount);
  ++RunCount;
  player.AddVariable("SS_Sound", "%d", TheSettings->Sound == 2 ? 1 : 0);
  if (TheSettings->Sound == 1) TheSettings->Sound = 2;  // once: this run only, never saved
  SYSTEMTIME today;
  GetLocalTime(&today);
  player.AddVariable("SS_Month", "%02d", today.wMonth);
  player.AddVariable("SS_Day", "%02d", today.wDay);
}

// The end of the movie is noticed the moment it comes, and the next one
// starts then; SkitTimer's tick is the fallback.
void TForm_Saver_Main::WatchSkit() {
  SkitStartedAt = GetTickCount();
  SkitPlayer->NotifyWhenFinished(Handle(), WM_SKIT_ENDED, ++SkitSerial);
  SkitPlayer->NotifyWhenWindowGoes(Handle(), WM_SKIT_ENDED, SkitSerial);
  KeepSkitInFront();
}

bool TForm_Saver_Main::SkitOver() const {
  return SkitPlayer == nullptr || SkitPlayer->IsFinished(0) || SkitPlayer->WindowGone();
}

void TForm_Saver_Main::RetireSkitPlayer() {
  if (SkitPlayer != nullptr && !SkitPlayer->IsFinished(0)) EndingPlayers.push_back(std::move(SkitPlayer));
  SkitPlayer.reset();
}

LRESULT TForm_Saver_Main::WMSkitEnded(WPARAM serial, LPARAM) {
  if (Mode != SAVER_RUN || SkitPlayer == nullptr || serial != SkitSerial || !SkitOver()) return 0;
  if (GetTickCount() - SkitStartedAt < MinimumSkitRun) {
    // Let go of it now; SkitTimer's next tick starts the next skit.
    RetireSkitPlayer();
    return 0;
  }
  SkitTimerTimer();
  return 0;
}

void TForm_Saver_Main::KeepSkitInFront() {
  if (SkitPlayer == nullptr || SkitPlayer->PlayerWindow == nullptr || !IsWindow(SkitPlayer->PlayerWindow)) return;
  const bool watching = InputWatch.Running();
  if (!watching && GetForegroundWindow() != Handle()) {
    SetForegroundWindow(Handle());
    SetFocus(Handle());
  }
  if (!IsAbove(SkitPlayer->PlayerWindow, Handle()) ||
      (watching && GetForegroundWindow() != SkitPlayer->PlayerWindow))
    SkitPlayer->BringToFront(watching);
}

void TForm_Saver_Main::CreateBackdrop() {
  WNDCLASSA wc = {};
  wc.style = CS_VREDRAW | CS_HREDRAW | CS_BYTEALIGNCLIENT;
  wc.lpfnWndProc = DefWindowProcA;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
  wc.lpszClassName = kBackdropClass;
  if (!RegisterClassA(&wc)) return;
  const RECT cover = Screens().Cover;
  BackdropWindow = CreateWindowExA(0, kBackdropClass, "", WS_POPUP | WS_VISIBLE | WS_DISABLED | WS_CLIPCHILDREN,
                                   cover.left, cover.top, cover.right - cover.left, cover.bottom - cover.top, nullptr,
                                   nullptr, GetModuleHandleA(nullptr), nullptr);
  // A window created later may be stacked above a stay-on-top one (Wine
  // without a window manager does that): assert the form's place again.
  SetWindowPos(Handle(), HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  SetWindowPos(Handle(), HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  BringWindowToTop(Handle());
}

void TForm_Saver_Main::DestroyBackdrop() {
  if (BackdropWindow != nullptr) DestroyWindow(BackdropWindow);
  BackdropWindow = nullptr;
  UnregisterClassA(kBackdropClass, GetModuleHandleA(nullptr));
}

// Nothing decodes for a dark screen: the movie stops when the display goes
// off, and the next one starts when it comes back.
void TForm_Saver_Main::OnDisplayState(bool on) {
  if (Mode != SAVER_RUN || Closing) return;
  if (!on) {
    DisplayOff = true;
    SkitTimer.SetEnabled(false);
    DiscardStandby();
    if (SkitPlayer != nullptr && !KeepPlayer) {
      SkitPlayer->Close();
      SkitPlayer.reset();
    }
    return;
  }
  if (!DisplayOff) return;
  DisplayOff = false;
  if (!ErrorActive) {
    SkitTimer.SetInterval(50);
    SkitTimer.SetEnabled(true);
  }
}

bool TForm_Saver_Main::OnSaverMouse(UINT) { return false; }

// Everything the server's files can reach, and everything the user's own
// screensaver writes: the skits and download folders, the user's whole data
// folder (the player, its argument file, the catalogue, the logs) and the
// setup's seed of skits.
std::vector<std::string> TForm_Saver_Main::ContentFolders() {
  if (TheSettings == nullptr) return {};
  return {TheSettings->SkitsPath, TheSettings->DownloadPath, TheSettings->DataPath, TheSettings->SeedPath};
}

bool TForm_Saver_Main::OnSaverKey(UINT message, WPARAM keyCode) {
  // A notice movie has no hot key; the catalogue's is still the last skit's.
  if (ErrorActive || message != WM_KEYDOWN || TheSkitManager == nullptr || NoticePlaying) return false;
  const SkitHotKey* hotKey = TheSkitManager->FindHotKey(static_cast<int32_t>(keyCode));
  if (hotKey == nullptr) return false;
  if (hotKey->Action == 1) {
    KeepPlayer = true;
    DiscardStandby();
    ForwardKey(keyCode);
  } else if (hotKey->Action == 2) {
    const std::string target = hotKey->Link.Text != nullptr ? hotKey->Link.Text : "";
    const std::string refusal = LinkRefusal(target, ContentFolders());
    if (!refusal.empty()) {
      // Nothing is opened, so nothing may look as if it had been: the saver
      // plays on and only the reason is written down.
      WriteIniString("ShellExecute", nullptr, nullptr);
      WriteIniString("ShellExecute", "Command", target.c_str());
      WriteIniString("ShellExecute", "ShellExecute", refusal.c_str());
      return true;
    }
    SkitTimer.SetEnabled(false);
    PrepareLaunch();
    Launch(target, "");
    DestroyBackdrop();
  }
  return false;
}

void TForm_Saver_Main::ForwardKey(WPARAM keyCode) {
  if (SkitPlayer != nullptr && !SkitPlayer->IsFinished(0) && SkitPlayer->PlayerWindow != nullptr)
    PostMessageA(SkitPlayer->PlayerWindow, WM_KEYDOWN, keyCode, 0);
}

void TForm_Saver_Main::PrepareLaunch() {
  BOOL running = FALSE;
  SystemParametersInfoA(SPI_GETSCREENSAVERRUNNING, 0, &running, 0);
  if (!running) return;
  DiscardStandby();
  if (SkitPlayer != nullptr && !KeepPlayer) {
    SkitPlayer->Close();
    SkitPlayer.reset();
  }
  BOOL previous = FALSE;
  SystemParametersInfoA(SPI_SETSCREENSAVERRUNNING, FALSE, &previous, 0);
  Hide();
  DestroyBackdrop();
  VerifyingPassword = true;
  // The keys belong to the program just opened.
  RenewInputWatch();
  CloseSaverDialog = ShowCloseSaverDialog(Handle());
}

void TForm_Saver_Main::Launch(const std::string& target, const std::string& parameters) {
  WriteIniString("ShellExecute", nullptr, nullptr);
  WriteIniString("ShellExecute", "Command", target.c_str());
  if (!(KeepPlayer && SkitPlayer != nullptr && !SkitPlayer->IsFinished(0)) && SkitPlayer != nullptr) {
    SkitPlayer->Close();
    SkitPlayer.reset();
  }
  const std::string refusal = LinkRefusal(target, ContentFolders());
  if (!refusal.empty()) {
    WriteIniString("ShellExecute", "ShellExecute", refusal.c_str());
    return;
  }
  HCURSOR previous = SetCursor(LoadCursorA(nullptr, IDC_WAIT));
  // A system program is the system's own, also for the 32-bit edition on
  // 64-bit Windows.
  const std::string program = NativeProgramPath(target);
  HINSTANCE result = ShellExecuteA(nullptr, nullptr, program.c_str(), parameters.empty() ? nullptr : parameters.c_str(),
                                   nullptr, SW_SHOW);
  SetCursor(previous != nullptr ? previous : LoadCursorA(nullptr, IDC_ARROW));
  if (reinterpret_cast<INT_PTR>(result) <= 32) WriteIniString("ShellExecute", "ShellExecute", LastErrorText().c_str());
}

void TForm_Saver_Main::ShowSaverError(const char* text) {
  SkitTimer.SetEnabled(false);
  if (Mode != SAVER_RUN) return;
  ShowError(text != nullptr ? text : "");
}

void TForm_Saver_Main::OnErrorDisplayDone() {
  HideError();
  SkitTimer.SetInterval(50);
  SkitTimer.SetEnabled(true);
}

void TForm_Saver_Main::FormClose(forms::TCloseAction& action) {
  if (Closing) return;
  if (CloseSaverDialog != nullptr && IsWindowVisible(CloseSaverDialog)) {
    action = forms::TCloseAction::caNone;
    return;
  }
  TForm_Saver::FormClose(action);
  if (action == forms::TCloseAction::caNone) return;
  SkitTimer.SetEnabled(false);
  try {
    DiscardStandby();
    if (SkitPlayer != nullptr) {
      // A movie left running for the user is an ordinary window from now on,
      // and no longer ends with the screensaver. Any other is asked to close
      // and, should it not, ended: the run ends within two seconds.
      if (!KeepPlayer) {
        SkitPlayer->Close();
      } else {
        SkitPlayer->LeaveFront();
        SkitPlayer->KeepRunning();
      }
      SkitPlayer.reset();
    }
    DestroyBackdrop();
    if (TheSkitManager != nullptr && TheSkitManager->Job().Worker() != nullptr) WaitForDownloadOnClose(action);
  } catch (const std::exception&) {
    // Closing goes on whatever the player or the backdrop did.
  }
}

namespace {

// The item of the running transfer; empty when there is none any more.
std::string TransferItemName() { return TheSkitManager != nullptr ? TheSkitManager->Job().ItemName() : std::string(); }

}  // namespace

void TForm_Saver_Main::StartAutomaticDownload() {
  try {
    TheSkitManager->StartListDownload(Handle(), true);
  } catch (const forms::Exception& error) {
    ShowSaverError("Error starting download. " + error.Message());
  } catch (const std::exception& error) {
    ShowSaverError(std::string("Error starting download. ") + error.what());
  } catch (...) {
    ShowSaverError("Unknown error starting download.");
  }
}

void TForm_Saver_Main::WaitForDownloadOnClose(forms::TCloseAction& action) {
  // The user is done with the screensaver, but a download runs: hide behind
  // the progress dialog and end when the last transfer has.
  TheSkitManager->SetDriverFlag(true);
  // Windows locks a protected desktop only once the screensaver program has
  // ended, and this one stays until the job has: the desktop is locked here,
  // before the saver hides, and the job finishes behind the lock screen.
  // Should the lock fail, the job is stopped instead, and the wait lasts
  // until the worker sees it.
  if (LocksWhenItEnds() && !LockTheWorkstation()) {
    LogWrite(LOG_ERROR, "Could not lock the workstation (error %d): the download is stopped", GetLastError());
    TheSkitManager->Job().Stop();
  }
  DestroyDownloadProgress();
  Form_DownloadProgress = new TForm_DownloadProgress(this, this);
  Form_DownloadProgress->Show();
  Form_DownloadProgress->SetProcessText("Downloading files...");
  Form_DownloadProgress->SetActivityText(TransferItemName());
  UpdateWindow(Form_DownloadProgress->Handle());
  action = forms::TCloseAction::caNone;
  Hide();
  ExitTimer.SetEnabled(true);
}

LRESULT TForm_Saver_Main::WMDownloadDone(WPARAM, LPARAM lParam) {
  if (TheSkitManager == nullptr) return 0;
  // Read first: the worker and its texts go when the job ends.
  const std::string item = TransferItemName();
  bool finished = false;
  try {
    finished = !TheSkitManager->OnDownloadDone(static_cast<int32_t>(lParam));
  } catch (const std::exception& error) {
    // The catalogue has ended the job before it threw: the wait ends too.
    finished = true;
    forms::ShowMessage("Error downloading " + item + ". " + error.what());
  } catch (...) {
    finished = true;
    forms::ShowMessage("An unknown error occurred while downloading " + item + ".");
  }
  if (finished && ExitTimer.Enabled()) {
    ExitTimer.SetEnabled(false);
    DestroyDownloadProgress();
    Close();
  }
  return 0;
}

LRESULT TForm_Saver_Main::WMDownloadCancel(WPARAM, LPARAM) {
  if (TheSkitManager != nullptr) TheSkitManager->Job().Stop();
  return 0;
}

void TForm_Saver_Main::ExitTimerTimer() {
  if (Form_DownloadProgress == nullptr || !Form_DownloadProgress->Visible()) return;
  RefreshDownloadProgress(*Form_DownloadProgress,
                          TheSkitManager != nullptr ? TheSkitManager->Job().Progress() : DownloadProgress());
}

TForm_Saver_Main_Dem::TForm_Saver_Main_Dem() {
  Image_Preview.LoadFromResource(GetModuleHandleA(nullptr), "PREVIEW");
  Label_BetaMsg.SetCaption("beta version - not for distribution");
  Label_BetaMsg.Alignment = forms::TAlignment::taRightJustify;
  Label_BetaMsg.Transparent = false;
  Label_BetaMsg.Color = RGB(0, 0, 0);
  Label_BetaMsg.Font.Set("MS Sans Serif", -11, true);
  Label_BetaMsg.Font.Color = RGB(128, 128, 0);
  Label_BetaMsg.SetVisible(false);
}

void TForm_Saver_Main_Dem::AddPlayerVariables(cSkitPlayer& player) {
  TForm_Saver_Main::AddPlayerVariables(player);
  player.AddVariable("SS_PW", "lantern57");
}
