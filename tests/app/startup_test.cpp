#include "app/startup.h"

#include <gtest/gtest.h>

#include <string>

#include "base/errors.h"
#include "base/settings.h"
#include "store/catalogue.h"
#include "tests/store/catalog_builder.h"
#include "tests/support/testing.h"

namespace {

// A real top-level window whose handle the command line can name.
class HostWindowFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    Window = CreateWindowExA(0, "STATIC", "host", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(Window, nullptr);
    Number = std::to_string(static_cast<long>(reinterpret_cast<intptr_t>(Window)));
  }
  void TearDown() override { DestroyWindow(Window); }

  HWND Window = nullptr;
  std::string Number;
};

}  // namespace

TEST_F(HostWindowFixture, CommandLineForms) {
  struct Case {
    std::string arguments;
    uint8_t mode;
    bool hostIsWindow;
  };
  const Case cases[] = {
      {"  /S", SAVER_RUN, false},
      {"\t/s", SAVER_CONFIGURE, false},  // a tab is not skipped: it is the letter
      {"//s", SAVER_CONFIGURE, false},   // only one switch character is skipped
      {"s", SAVER_RUN, false},
      {"/screen", SAVER_RUN, false},
      {"-S", SAVER_RUN, false},
      {"/p " + Number, SAVER_PREVIEW, true},
      {"/p:" + Number, SAVER_PREVIEW, true},
      {"/P" + Number, SAVER_PREVIEW, true},
      {"/l " + Number, SAVER_PREVIEW, true},
      {"-a " + Number, SAVER_CHANGE_PASSWORD, true},
      {"/a:" + Number, SAVER_CHANGE_PASSWORD, true},
      {"/p 0", SAVER_PREVIEW, false},
      {"/p abc", SAVER_PREVIEW, false},
      {"/p", SAVER_PREVIEW, false},
      {"", SAVER_CONFIGURE, false},
      {"/x", SAVER_CONFIGURE, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("arguments \"" + c.arguments + "\"");
    EXPECT_EQ(ParseCommandLine(c.arguments.c_str()), c.mode);
    EXPECT_EQ(SaverMode, c.mode);
    if (c.hostIsWindow)
      EXPECT_EQ(HostWindow, Window);
    else
      EXPECT_EQ(HostWindow, nullptr);
    EXPECT_EQ(PreviousForegroundWindow, GetForegroundWindow());
  }
}

TEST_F(HostWindowFixture, ConfigureTakesTheForegroundWindowNotTheNumber) {
  EXPECT_EQ(ParseCommandLine(("/c:" + Number).c_str()), SAVER_CONFIGURE);
  EXPECT_EQ(HostWindow, GetForegroundWindow());
  EXPECT_EQ(ParseCommandLine("/config"), SAVER_CONFIGURE);  // only the first letter counts
  EXPECT_EQ(HostWindow, GetForegroundWindow());
  EXPECT_EQ(ParseCommandLine(nullptr), SAVER_CONFIGURE);
  EXPECT_EQ(HostWindow, nullptr);
}

TEST_F(HostWindowFixture, WindowHandleText) {
  EXPECT_EQ(ParseWindowHandle((":" + Number).c_str()), Window);
  EXPECT_EQ(ParseWindowHandle((": \t" + Number + "xyz").c_str()), Window);
  EXPECT_EQ(ParseWindowHandle(("::" + Number).c_str()), nullptr);  // one colon only
  EXPECT_EQ(ParseWindowHandle("-1"), nullptr);
  EXPECT_EQ(ParseWindowHandle(""), nullptr);
}

TEST(MutexName, IsTheArgumentTextAsGiven) {
  EXPECT_EQ(MutexNameFor("/s"), "Drearigrams/s");
  EXPECT_EQ(MutexNameFor("/p 1234"), "Drearigrams/p 1234");
  EXPECT_EQ(MutexNameFor(""), "Drearigrams");
}

// Catalogue failures: run mode keeps going with the text to show, configure
// mode hands the exception on, the other modes never open the catalogue.
class StartupCatalogue : public ::testing::Test {
 protected:
  void SetUp() override {
    Settings.OpsFilePath = Dir.File("missing.pak");
    StartupErrorText = kDefaultStartupError;
  }
  void TearDown() override {
    SaverShutdown();
    SaverMode = SAVER_CONFIGURE;
  }

  // The settings dialog's start hands the failure on as it is, with no
  // manager left behind.
  void ExpectConfigureModeThrows(const std::string& text) {
    try {
      SaverStartup("/c");
      ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(std::string(error.what()), text);
    }
    EXPECT_EQ(TheSkitManager, nullptr);
  }

  testing_support::TempDir Dir;
  cSettings Settings;
};

TEST_F(StartupCatalogue, RunModeKeepsTheFailureAsStartupText) {
  SetLastError(ERROR_FILE_NOT_FOUND);
  const std::string missing = LastErrorText() + " " + Settings.OpsFilePath;
  SaverStartup("/s");
  EXPECT_EQ(TheSkitManager, nullptr);
  EXPECT_EQ(StartupErrorText, missing + " [" + Settings.OpsFilePath + "]");
}

TEST_F(StartupCatalogue, ConfigureModeRethrows) {
  SetLastError(ERROR_FILE_NOT_FOUND);
  const std::string missing = LastErrorText() + " " + Settings.OpsFilePath;
  ExpectConfigureModeThrows(missing);
  EXPECT_EQ(StartupErrorText, kDefaultStartupError);
}

// A user's first start makes the user's folders from the setup's seed; when
// the seed is missing the screensaver shows why instead of skits, and the
// settings dialog's start hands the text on to be shown in a box.
TEST_F(StartupCatalogue, AMissingSeedIsShownInsteadOfSkits) {
  Settings.SeedPath = Dir.File("seed");
  Settings.OpsFilePath = Dir.File("user\\drearigrams.pak");
  const std::string missing = "The setup's starting catalogue is missing. Please reinstall this product. " +
                              Dir.File("seed\\drearigrams.pak");
  SaverStartup("/s");
  EXPECT_EQ(TheSkitManager, nullptr);
  EXPECT_EQ(StartupErrorText, missing + " [" + Settings.OpsFilePath + "]");
  const DWORD folder = GetFileAttributesA(Dir.File("user").c_str());
  EXPECT_TRUE(folder != INVALID_FILE_ATTRIBUTES && (folder & FILE_ATTRIBUTE_DIRECTORY)) << "the folder was made";

  ExpectConfigureModeThrows(missing);
}

// A catalogue that no longer opens is set aside, and the run goes on with
// the seed's, saying so on the error line first.
TEST_F(StartupCatalogue, ADamagedCatalogueStartsAgainFromTheSeed) {
  Settings.SeedPath = Dir.File("seed");
  CreateDirectoryA(Settings.SeedPath.c_str(), nullptr);
  CatalogBuilder seed;
  seed.Add(CAT_SKIT, 1, SKIT_AVAILABLE, SEL_NONE, "Kites", {"kites.mov"});
  seed.Write(Dir.File("seed\\drearigrams.pak"));
  Settings.OpsFilePath = Dir.File("user\\drearigrams.pak");
  SaverStartup("/s");
  SaverShutdown();
  testing_support::WriteFileBytes(Settings.OpsFilePath, "damaged by a full disk");

  SaverStartup("/s");
  ASSERT_NE(TheSkitManager, nullptr);
  EXPECT_EQ(TheSkitManager->Catalog.Header.Count, 1u);
  EXPECT_NE(StartupNoticeText.find(".bad.pak"), std::string::npos) << StartupNoticeText;
  SaverShutdown();
  SaverStartup("/s");
  EXPECT_EQ(StartupNoticeText, "") << "said once";
}

TEST_F(StartupCatalogue, PreviewAndPasswordModesNeverOpenTheCatalogue) {
  EXPECT_NO_THROW(SaverStartup("/p 0"));
  EXPECT_NO_THROW(SaverStartup("/a"));
  EXPECT_EQ(TheSkitManager, nullptr);
  EXPECT_EQ(StartupErrorText, kDefaultStartupError);
}

// Also when a crash ends the run: the filter of unhandled exceptions the run
// leaves in place clears the flag and lets the crash go on.
TEST_F(StartupCatalogue, RunModeSetsAndClearsTheScreensaverFlag) {
  BOOL running = FALSE;
  SaverStartup("/s");
  ASSERT_TRUE(SystemParametersInfoA(SPI_GETSCREENSAVERRUNNING, 0, &running, 0));
  EXPECT_TRUE(running);
  LPTOP_LEVEL_EXCEPTION_FILTER crash = SetUnhandledExceptionFilter(nullptr);
  SetUnhandledExceptionFilter(crash);
  ASSERT_NE(crash, nullptr);
  EXCEPTION_RECORD record = {};
  record.ExceptionCode = 0xE0000001;  // one of no one's, which any filter passes on
  CONTEXT context = {};
  EXCEPTION_POINTERS pointers = {&record, &context};
  EXPECT_EQ(crash(&pointers), EXCEPTION_CONTINUE_SEARCH);
  ASSERT_TRUE(SystemParametersInfoA(SPI_GETSCREENSAVERRUNNING, 0, &running, 0));
  EXPECT_FALSE(running);
  SaverShutdown();
  LPTOP_LEVEL_EXCEPTION_FILTER after = SetUnhandledExceptionFilter(nullptr);
  SetUnhandledExceptionFilter(after);
  EXPECT_NE(after, crash) << "the run's filter goes with it";
  ASSERT_TRUE(SystemParametersInfoA(SPI_GETSCREENSAVERRUNNING, 0, &running, 0));
  EXPECT_FALSE(running);
}
