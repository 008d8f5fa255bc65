// The built program under Wine: one copy per argument text; a second copy
// with the same arguments brings the first forward and leaves at once.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/settings.h"
#include "tests/app/saver_process.h"
#include "tests/support/testing.h"

using app_testing::FindProcessWindow;
using app_testing::kWaitLimit;
using app_testing::SaverProcess;

namespace {

class SingleInstance : public ::testing::Test {
 protected:
  // An installation key with no catalogue: the saver starts and shows its
  // start-up error line instead of skits, without any message box.
  SingleInstance() : Key_(HKEY_LOCAL_MACHINE, SettingsKeyFor("drearigrams")) {
    Key_.SetString("OpsFilePath", Dir_.File("none.pak"));
  }

  testing_support::TempDir Dir_;
  testing_support::ScopedRegistryKey Key_;
};

}  // namespace

TEST_F(SingleInstance, SecondCopyWithTheSameArgumentsRestoresTheFirstAndLeaves) {
  SaverProcess first("/s");
  ASSERT_TRUE(first.Started);
  HWND form = first.WaitForForm();
  ASSERT_NE(form, nullptr);
  ShowWindow(form, SW_MINIMIZE);
  ASSERT_TRUE(IsIconic(form));

  SaverProcess second("/s");
  ASSERT_TRUE(second.Started);
  DWORD code = 1;
  ASSERT_TRUE(second.Exited(code));
  EXPECT_EQ(code, 0u);

  // The first copy handles the restore request on its own message loop.
  for (DWORD waited = 0; IsIconic(form) && waited < kWaitLimit; waited += 50)
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
  EXPECT_FALSE(IsIconic(form));
  EXPECT_EQ(WaitForSingleObject(first.Info.hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST_F(SingleInstance, DifferentArgumentsDoNotBlockEachOther) {
  SaverProcess run("/s");
  ASSERT_TRUE(run.Started);
  ASSERT_NE(run.WaitForForm(), nullptr);
  SaverProcess other("s");  // the same mode, but another argument text
  ASSERT_TRUE(other.Started);
  ASSERT_NE(other.WaitForForm(), nullptr);
  EXPECT_EQ(WaitForSingleObject(run.Info.hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(WaitForSingleObject(other.Info.hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST_F(SingleInstance, ClosingTheFormEndsTheProgramWithZero) {
  SaverProcess run("/s");
  ASSERT_TRUE(run.Started);
  HWND form = run.WaitForForm();
  ASSERT_NE(form, nullptr);
  PostMessageA(form, WM_CLOSE, 0, 0);
  DWORD code = 1;
  ASSERT_TRUE(run.Exited(code));
  EXPECT_EQ(code, 0u);
}

TEST_F(SingleInstance, PasswordChangeModeEndsAtOnce) {
  SaverProcess change("/a");
  ASSERT_TRUE(change.Started);
  DWORD code = 1;
  ASSERT_TRUE(change.Exited(code));
  EXPECT_EQ(code, 0u);
}

TEST_F(SingleInstance, APreviewWithoutAHostEndsAtOnce) {
  for (const char* arguments : {"/p 0", "/p"}) {
    SCOPED_TRACE(arguments);
    SaverProcess preview(arguments);
    ASSERT_TRUE(preview.Started);
    DWORD code = 1;
    ASSERT_TRUE(preview.Exited(code)) << "nothing could ever close a preview without a host";
    EXPECT_EQ(code, 0u);
  }
}

TEST_F(SingleInstance, AStartupFailureBoxCarriesTheProgramTitle) {
  // Configure mode hands a catalogue that cannot be opened on to the box
  // shown at the end of start-up.
  SaverProcess configure("/c");
  ASSERT_TRUE(configure.Started);
  HWND box = nullptr;
  for (DWORD waited = 0; box == nullptr && waited < kWaitLimit; waited += 50) {
    if (WaitForSingleObject(configure.Info.hProcess, 50) != WAIT_TIMEOUT) break;
    box = FindProcessWindow(configure.Info.dwProcessId, [](HWND window, const std::string& cls) {
      return cls == "#32770" && IsWindowVisible(window);
    });
  }
  ASSERT_NE(box, nullptr) << "no box";
  char caption[128] = {};
  GetWindowTextA(box, caption, sizeof caption);
  EXPECT_STREQ(caption, "Drearigrams Screensaver");
  PostMessageA(box, WM_COMMAND, IDOK, 0);
  DWORD code = 1;
  ASSERT_TRUE(configure.Exited(code));
}

// The system's list of screensavers shows a program's string 1, and its
// file name only when there is none.
TEST(ProgramFile, NamesItselfInTheSystemsListOfScreensavers) {
  HMODULE program = LoadLibraryExA(DG_SAVER_EXE, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(program, nullptr);
  char name[128] = {};
  const int length = LoadStringA(program, 1, name, sizeof name);
  FreeLibrary(program);
  EXPECT_EQ(std::string(name, length > 0 ? length : 0), "Drearigrams Screensaver");
}

// Windows takes a program's display-scale awareness from its manifest:
// per-monitor (v2) from Windows 10 1703 on, system-aware before. Wine 8 acts
// on none of it (it makes every program per-monitor aware), so the manifest
// of the program file is read here as the system reads it.
TEST(ProgramFile, AsksForPerMonitorAwarenessAndSystemAwareWhereThatIsUnknown) {
  using QueryFn = BOOL(WINAPI*)(DWORD, HANDLE, const wchar_t*, const wchar_t*, wchar_t*, SIZE_T, SIZE_T*);
  auto query = reinterpret_cast<QueryFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "QueryActCtxSettingsW")));
  ASSERT_NE(query, nullptr);
  ACTCTXA request = {};
  request.cbSize = sizeof request;
  request.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
  request.lpSource = DG_SAVER_EXE;
  request.lpResourceName = MAKEINTRESOURCEA(1);
  HANDLE context = CreateActCtxA(&request);
  ASSERT_NE(context, INVALID_HANDLE_VALUE);
  const auto setting = [&](const wchar_t* ns, const wchar_t* name) {
    wchar_t value[128] = {};
    SIZE_T written = 0;
    return query(0, context, ns, name, value, 128, &written) ? std::wstring(value) : std::wstring(L"(none)");
  };
  EXPECT_EQ(setting(L"http://schemas.microsoft.com/SMI/2016/WindowsSettings", L"dpiAwareness"),
            L"PerMonitorV2, System");
  EXPECT_EQ(setting(L"http://schemas.microsoft.com/SMI/2005/WindowsSettings", L"dpiAware"), L"true");
  ReleaseActCtx(context);
}
