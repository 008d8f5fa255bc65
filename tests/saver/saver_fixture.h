// The fixture of the in-process saver tests: a scratch installation with a
// catalogue, the stand-in player, and the main saver form in run mode.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "host/saver_state.h"
#include "base/files.h"
#include "base/settings.h"
#include "saver/saver_main.h"
#include "store/catalogue.h"
#include "tests/saver/saver_testing.h"
#include "tests/store/catalog_builder.h"
#include "tests/support/testing.h"
#include "ui/progress_form.h"

inline std::string TodayVariables() {
  SYSTEMTIME today;
  GetLocalTime(&today);
  char text[64];
  std::snprintf(text, sizeof text, "SS_Month=%02d&SS_Day=%02d", today.wMonth, today.wDay);
  return text;
}

// The edition's form, on monitors a test may choose.
class TestSaverForm : public TForm_Saver_Main_Dem {
 public:
  explicit TestSaverForm(std::optional<SaverScreens> screens) : Screens_(screens) {}
  SaverScreens Screens() const override { return Screens_ ? *Screens_ : TForm_Saver_Main_Dem::Screens(); }

 private:
  std::optional<SaverScreens> Screens_;
};

using saver_testing::InstallPlayer;
using saver_testing::KillPlayers;
using saver_testing::PlayerRecord;
using saver_testing::PumpUntil;

class SaverRun : public ::testing::Test {
 protected:
  SaverRun() {
    Skits = Dir.File("skits");
    CreateDirectoryA(Skits.c_str(), nullptr);
    Settings.SkitsPath = Skits;
    Settings.DownloadPath = Dir.File("download");
    CreateDirectoryA(Settings.DownloadPath.c_str(), nullptr);
    Settings.OpsFilePath = Dir.File("catalogue.pak");
    Settings.LogPath = Dir.File("download.log");
    Settings.SyncMethod = 2;
    Settings.Player = InstallPlayer(Dir.Path(), "player.exe");
    // Synchronised just now, so no notice movie interrupts the rotation.
    Builder.Block->Header.LastSync = cDateTime::Now().Value();
    Builder.Block->Header.SyncIntervalDays = 30;
  }
  ~SaverRun() override {
    Form.reset();
    delete Form_DownloadProgress;
    Form_DownloadProgress = nullptr;
    delete TheSkitManager;
    TheSkitManager = nullptr;
    KillPlayers(Settings.Player);
    SaverMode = SAVER_CONFIGURE;
    StartupErrorText = kDefaultStartupError;
    StartupNoticeText.clear();
    ErrorScrollX = ERROR_SCROLL_UNSTARTED;
    SkitTimerBusy = false;
  }

  SkitRecord& AddSkit(int32_t id, const std::string& file) {
    testing_support::WriteFileBytes(JoinPath(Skits, file), "movie");
    return Builder.Add(CAT_SKIT, id, SKIT_INSTALLED, SEL_ON, "Skit " + std::to_string(id), {file});
  }

  // A skit whose hot key is key, with action 1 (to the movie) or 2 (a link).
  SkitRecord& AddSkitWithHotKey(int32_t id, const std::string& file, int32_t key, uint8_t action) {
    SkitRecord& skit = AddSkit(id, file);
    skit.HotKey.KeyCode = key;
    skit.HotKey.Action = action;
    return skit;
  }

  void Start(bool withCatalogue = true) {
    SaverMode = SAVER_RUN;
    if (withCatalogue) {
      Builder.Write(Settings.OpsFilePath);
      TheSkitManager = new cSkitManager(true);
    }
    Form = std::make_unique<TestSaverForm>(FakeScreens);
    Form->Show();
  }

  size_t Starts() const {
    size_t n = 0;
    for (const std::string& line : PlayerRecord(Settings.Player)) n += line.rfind("ARGS ", 0) == 0;
    return n;
  }

  bool WaitForStarts(size_t n) {
    return PumpUntil([&] { return Starts() >= n && Form->SkitPlayer != nullptr; });
  }

  testing_support::TempDir Dir;
  std::string Skits;
  cSettings Settings;
  CatalogBuilder Builder;
  // The monitors the form is given; the real ones when empty.
  std::optional<SaverScreens> FakeScreens;
  std::unique_ptr<TestSaverForm> Form;
};

