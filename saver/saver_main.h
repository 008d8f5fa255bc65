// The form the screensaver shows: in run mode it asks the catalogue for one
// skit after another and hands each to the movie player, keeps the movie in
// front of everything, itself included, while it plays, starts the next
// skit the moment a movie ends, and reacts to the skit's hot key; in preview
// mode it shows a fixed picture in the host window.
#pragma once

#include <windows.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "download/comm.h"
#include "forms/controls.h"
#include "forms/timer.h"
#include "saver/saver_form.h"
#include "saver/skit_player.h"

// Posted when the player's window has gone or its process has ended;
// wParam is the skit's serial.
constexpr UINT WM_SKIT_ENDED = WM_APP + 0x119;

extern const char kBackdropClass[];
extern const char kCloseSaverQuestion[];
// Stops SkitTimerTimer from running inside itself.
extern bool SkitTimerBusy;

// The next skit, once chosen: its movie, whether it is a notice, whether the
// automatic download starts with it, and the catalogue's record of it (whose
// hot key counts while it plays).
struct SkitChoice {
  std::string Path;
  bool Notice = false;
  bool StartDownload = false;
  int32_t Current = 0;
};

class TForm_Saver_Main : public TForm_Saver {
 public:
  TForm_Saver_Main();
  ~TForm_Saver_Main() override;

  forms::TTimer SkitTimer;
  forms::TImage Image_Preview{this};
  forms::TTimer ExitTimer;

  bool ShownOnce = false;
  std::unique_ptr<cSkitPlayer> SkitPlayer;
  // Players whose windows have gone and whose processes are ending in their
  // own time; their jobs end them with the screensaver at the latest.
  std::vector<std::unique_ptr<cSkitPlayer>> EndingPlayers;
  HWND BackdropWindow = nullptr;
  bool KeepPlayer = false;
  int32_t RunCount = 0;
  HWND CloseSaverDialog = nullptr;
  // The movie playing now is a notice, which has no hot key.
  bool NoticePlaying = false;
  // Counts the skits started, so a late end notice of an earlier one is
  // told apart from the current one's.
  WPARAM SkitSerial = 0;
  DWORD SkitStartedAt = 0;
  // A movie that ends sooner than this after its start waits for the next
  // tick of SkitTimer before the next one starts, so a player that dies at
  // once is not started again many times a second.
  DWORD MinimumSkitRun = 1000;
  // The system has turned the display off: no skit plays until it is on.
  bool DisplayOff = false;
  // The next skit, chosen while the current one plays, and its player,
  // waiting hidden to begin the moment the current one ends (only a player
  // that can wait: otherwise, or when its start failed, the choice is
  // started as any other when its turn comes).
  std::optional<SkitChoice> StandbyChoice;
  std::unique_ptr<cSkitPlayer> StandbyPlayer;
  // Whether the player program can wait: -1 until it is asked, once a run.
  int PlayerCanWait = -1;

  virtual void PlayNextSkit();
  virtual void PlaySkit(const std::string& fileName);
  virtual void AddPlayerVariables(cSkitPlayer& player);
  virtual void StartNextSkit();
  SkitChoice ChooseNextSkit();
  // Starts the next skit's player in standby while the current one plays.
  void PrepareStandby();
  // The chosen next skit begins: its waiting player, or a player started now.
  void BeginStandby();
  // Ends the waiting player and forgets the choice.
  void DiscardStandby();
  // The skit that has just begun: its end is watched for, and it goes in front.
  void WatchSkit();
  virtual LRESULT WMDownloadDone(WPARAM wParam, LPARAM lParam);
  virtual LRESULT WMDownloadCancel(WPARAM wParam, LPARAM lParam);
  LRESULT WMSkitEnded(WPARAM serial, LPARAM lParam);
  // Whether the skit being played is over for the user: its window has gone
  // or its process ended.
  bool SkitOver() const;
  // Lets go of the skit that is over; a process still ending goes on in its
  // own time.
  void RetireSkitPlayer();

  void SkitTimerTimer();
  void ExitTimerTimer();
  void CreateBackdrop();
  // The movie's window above the form and, while the input watch runs, in
  // the foreground; without the watch the form keeps the keyboard itself.
  void KeepSkitInFront();
  void ForwardKey(WPARAM keyCode);
  void Launch(const std::string& target, const std::string& parameters);
  void PrepareLaunch();
  // The folders the server's files land in and the user's data folder,
  // where no link may lead.
  static std::vector<std::string> ContentFolders();
  void ShowSaverError(const char* text);
  void ShowSaverError(const std::string& text) { ShowSaverError(text.c_str()); }

  bool OnSaverMouse(UINT message) override;
  bool OnSaverKey(UINT message, WPARAM keyCode) override;
  void OnErrorDisplayDone() override;
  void OnDisplayState(bool on) override;

 protected:
  void FormShow() override;
  void FormClose(forms::TCloseAction& action) override;

  // The automatic download on the second skit, and the close that waits for
  // a running download; both arrive with the download engine.
  virtual void StartAutomaticDownload();
  virtual void WaitForDownloadOnClose(forms::TCloseAction& action);

 private:
  void DestroyBackdrop();
};

// The edition class: adds the edition's player variable.
class TForm_Saver_Main_Dem : public TForm_Saver_Main {
 public:
  TForm_Saver_Main_Dem();
  void AddPlayerVariables(cSkitPlayer& player) override;

  forms::TLabel Label_BetaMsg{this};
};

extern TForm_Saver_Main_Dem* Form_Saver_Main_Dem;

// The modeless "CloseSaver" dialog; null when it cannot be created.
HWND ShowCloseSaverDialog(HWND ownerWindow);
