// System libraries come from the system folder, whatever lies beside the
// program or in its current folder. The probe program runs from a folder of
// its own that also holds a planted DLL under the names of the libraries the
// screensaver loads, and is started with that folder as its current one.
#include "base/system_library.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/testing.h"

namespace {

using testing_support::ReadFileBytes;

std::string SystemFile(const std::string& name) {
  char folder[MAX_PATH];
  UINT n = GetSystemDirectoryA(folder, MAX_PATH);
  return std::string(folder, n) + "\\" + name;
}

// Whether two paths name the same file: the same volume and file index. The
// text says little: a 32-bit program on 64-bit Windows is told the system
// folder is System32, while its system libraries lie in SysWOW64 (where the
// system redirects it), and a module's path may come back in another case or
// spelling.
bool SameFile(const std::string& a, const std::string& b) {
  auto identity = [](const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
    HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool known = GetFileInformationByHandle(file, &info) != 0;
    CloseHandle(file);
    return known;
  };
  BY_HANDLE_FILE_INFORMATION first{}, second{};
  return identity(a, first) && identity(b, second) && first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
         first.nFileIndexHigh == second.nFileIndexHigh && first.nFileIndexLow == second.nFileIndexLow;
}

class PlantedLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(CopyFileA(DG_LIBRARY_PROBE, Probe_.c_str(), FALSE));
    for (const char* name : {"PASSWORD.CPL", "rasapi32.dll", "MPR.DLL"})
      ASSERT_TRUE(CopyFileA(DG_PLANTED_LIBRARY, Dir_.File(name).c_str(), FALSE)) << name;
  }

  // What the probe loaded for `name` in `mode`: "none", or the module's path
  // followed by " planted" when it was the planted one.
  std::string Load(const std::string& name, const std::string& mode) {
    const std::string output = Dir_.File("probe.txt");
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE out = CreateFileA(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) return "cannot write " + output;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = out;
    PROCESS_INFORMATION info{};
    std::string line = "\"" + Probe_ + "\" " + name + " " + mode;
    BOOL started = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, Dir_.Path().c_str(),
                                  &startup, &info);
    const DWORD why = GetLastError();
    CloseHandle(out);
    if (!started) return "cannot start the probe (error " + std::to_string(why) + ")";
    DWORD waited = WaitForSingleObject(info.hProcess, 30000);
    DWORD code = 1;
    GetExitCodeProcess(info.hProcess, &code);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    if (waited != WAIT_OBJECT_0 || code != 0) return "the probe failed";
    std::string text = ReadFileBytes(output);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
  }

  testing_support::TempDir Dir_;
  const std::string Probe_ = Dir_.File("library_probe.exe");
};

}  // namespace

TEST_F(PlantedLibrary, APlantedPasswordModuleIsNeverLoaded) {
  // Found the ordinary way, the planted module would be taken: Wine has no
  // PASSWORD.CPL of its own.
  EXPECT_EQ(Load("PASSWORD.CPL", "plain"), Dir_.File("PASSWORD.CPL") + " planted");
  EXPECT_EQ(Load("PASSWORD.CPL", "system"), "none");
  EXPECT_EQ(Load("PASSWORD.CPL", "bypath"), "none");
}

TEST_F(PlantedLibrary, TheSystemsOwnCopyIsLoadedInstead) {
  for (const char* name : {"rasapi32.dll", "MPR.DLL"}) {
    for (const char* mode : {"system", "bypath"}) {
      std::string loaded = Load(name, mode);
      EXPECT_TRUE(SameFile(loaded, SystemFile(name))) << name << " " << mode << ": " << loaded;
    }
  }
}

TEST(SystemLibrary, OnlyPlainNamesAreTaken) {
  EXPECT_TRUE(SameFile(SystemLibraryPath("rasapi32.dll"), SystemFile("rasapi32.dll")));
  for (const char* name : {"", "..", "..\\rasapi32.dll", "C:rasapi32.dll", "sub/rasapi32.dll", "C:\\x\\mpr.dll"}) {
    EXPECT_EQ(SystemLibraryPath(name), "") << name;
    EXPECT_EQ(LoadSystemLibrary(name), nullptr) << name;
    EXPECT_EQ(LoadSystemLibraryByPath(name), nullptr) << name;
  }
}
