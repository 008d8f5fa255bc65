#include "host/password.h"

#include <gtest/gtest.h>

#include "host/saver_state.h"
#include "tests/support/testing.h"

namespace {

// Saves and restores the desktop's two password values around each test.
class PasswordValues : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Control Panel\\Desktop", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &Key_, nullptr),
              ERROR_SUCCESS);
    Remove("ScreenSaverIsSecure");
    Remove("ScreenSaveUsePassword");
  }
  void TearDown() override {
    Remove("ScreenSaverIsSecure");
    Remove("ScreenSaveUsePassword");
    RegCloseKey(Key_);
  }
  void Remove(const char* name) { RegDeleteValueA(Key_, name); }
  void SetText(const char* name, const std::string& value) {
    RegSetValueExA(Key_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>(value.size() + 1));
  }
  void SetNumber(const char* name, DWORD value) {
    RegSetValueExA(Key_, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
  }

  HKEY Key_ = nullptr;
};

}  // namespace

TEST_F(PasswordValues, EitherValueTurnsThePasswordOn) {
  EXPECT_FALSE(IsPasswordProtected());
  SetText("ScreenSaverIsSecure", "0");
  SetNumber("ScreenSaveUsePassword", 0);
  EXPECT_FALSE(IsPasswordProtected());
  SetText("ScreenSaverIsSecure", "1");
  EXPECT_TRUE(IsPasswordProtected());
  SetText("ScreenSaverIsSecure", "");  // anything but "0"
  EXPECT_TRUE(IsPasswordProtected());
  Remove("ScreenSaverIsSecure");
  SetNumber("ScreenSaveUsePassword", 1);
  EXPECT_TRUE(IsPasswordProtected());
}

// Group Policy asks for the password where the user's own values are off;
// Wine keeps no policies, so the system's answer is replaced here.
TEST_F(PasswordValues, ThePasswordTheSystemAsksForCountsAsMuchAsTheUsersOwn) {
  struct Restore {
    ~Restore() { SystemGuardsSaver = &AskSystemGuardsSaver; }
  } restore;
  SystemGuardsSaver = [] { return true; };
  EXPECT_TRUE(IsPasswordProtected());
  // Even with the user's own value saying no.
  SetText("ScreenSaverIsSecure", "0");
  EXPECT_TRUE(IsPasswordProtected());
  SystemGuardsSaver = [] { return false; };
  EXPECT_FALSE(IsPasswordProtected());
  SetText("ScreenSaverIsSecure", "1");
  EXPECT_TRUE(IsPasswordProtected());
}

TEST_F(PasswordValues, AnOverlongSecureTextFallsBackToOff) {
  SetText("ScreenSaverIsSecure", std::string(40, '1'));
  EXPECT_FALSE(IsPasswordProtected());
}

TEST(PasswordModules, AbsentVerifierLetsTheSaverClose) {
  // Wine has no PASSWORD.CPL; the check must not block or refuse.
  EXPECT_TRUE(VerifyPassword(nullptr));
  ChangePassword(nullptr);  // MPR.DLL's entry point is a stub there: returns
}

TEST(PreviewHost, WindowsBecomeDisabledChildrenSizedToTheHost) {
  HWND host = CreateWindowExA(0, "STATIC", "host", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200, nullptr, nullptr, nullptr,
                              nullptr);
  HWND application = CreateWindowExA(0, "STATIC", "app", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  HWND form = CreateWindowExA(0, "STATIC", "form", WS_POPUP, 0, 0, 50, 50, nullptr, nullptr, nullptr, nullptr);
  HostWindow = host;
  PreviousForegroundWindow = nullptr;
  ParentToHost(application, form);

  EXPECT_EQ(GetParent(form), host);
  EXPECT_EQ(GetParent(application), host);
  EXPECT_EQ(static_cast<DWORD>(GetWindowLongA(form, GWL_STYLE)), static_cast<DWORD>(WS_CHILD | WS_DISABLED));
  EXPECT_FALSE(IsWindowVisible(application));
  RECT client, formRect;
  GetClientRect(host, &client);
  GetClientRect(form, &formRect);
  EXPECT_EQ(formRect.right, client.right);
  EXPECT_EQ(formRect.bottom, client.bottom);

  HostWindow = nullptr;
  DestroyWindow(form);
  DestroyWindow(application);
  DestroyWindow(host);
}
