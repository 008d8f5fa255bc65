#include "saver/link_policy.h"

#include <gtest/gtest.h>

#include <windows.h>

#include "tests/support/testing.h"

#include <sddl.h>

namespace {

// Wine keeps no access rights: every other case of this program takes a
// program's folders as changed by administrators only, and the rule itself
// is tried on security descriptors written out in SDDL.
class GuardedFolders : public ::testing::Environment {
 public:
  void SetUp() override {
    ProgramGuarded = [](const std::wstring&) { return true; };
  }
};
const ::testing::Environment* const kGuardedFolders = ::testing::AddGlobalTestEnvironment(new GuardedFolders);

}  // namespace

TEST(HotKeyLinks, OnlyProgramsThatOnlyAdministratorsCanChangeAreOpened) {
  const auto guarded = [](const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, nullptr));
    const bool result = OnlyAdministratorsCanChange(sd);
    LocalFree(sd);
    return result;
  };
  const wchar_t* installer = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
  // As Program Files and System32 are: users may read and run.
  EXPECT_TRUE(guarded(L"O:BAG:SYD:(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)"));
  EXPECT_TRUE(guarded((std::wstring(L"O:") + installer + L"D:(A;;FA;;;" + installer + L")(A;;GRGX;;;WD)").c_str()));
  // Rights for what is created below (CREATOR OWNER) do not count here.
  EXPECT_TRUE(guarded(L"O:SYD:(A;OICIIO;GA;;;CO)(A;;FA;;;BA)(A;;0x1200a9;;;AU)"));
  for (const wchar_t* refused : {
           L"O:BUD:(A;;FA;;;BA)",                      // a user owns it
           L"O:BAD:(A;;FA;;;BA)(A;;0x100116;;;AU)",     // users may add files
           L"O:BAD:(A;;FA;;;BA)(A;OICI;GA;;;BU)",       // and everything below
           L"O:BAD:(A;;FA;;;BA)(A;;WD;;;WD)",           // anybody may change its rights
       })
    EXPECT_FALSE(guarded(refused)) << refused;
  // No access list at all (made by hand: Wine reads "NO_ACCESS_CONTROL" as
  // an empty list, which lets nobody in).
  SECURITY_DESCRIPTOR open = {};
  BYTE admins[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof admins;
  ASSERT_TRUE(InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size));
  ASSERT_TRUE(SetSecurityDescriptorOwner(&open, admins, FALSE));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&open, TRUE, nullptr, FALSE));
  EXPECT_FALSE(OnlyAdministratorsCanChange(&open));

  struct Restore {
    ~Restore() { ProgramGuarded = [](const std::wstring&) { return true; }; }
  } restore;
  ProgramGuarded = [](const std::wstring&) { return false; };
  EXPECT_EQ(LinkRefusal("C:\\Program Files\\Viewer\\viewer.exe", {}),
            "Link refused: the program lies where not only administrators can change it.");
}

TEST(HotKeyLinks, OnlyHarmlessTargetsAreOpened) {
  const std::vector<std::string> content = {"C:\\Saver\\Skits", "C:\\Saver\\Download\\"};
  for (const char* allowed : {"http://example.com/page", "HTTPS://example.com/a?b=c", "mailto:someone@example.com",
                              "C:\\Program Files\\Viewer\\viewer.exe", "D:/tools/run.COM"}) {
    EXPECT_EQ(LinkRefusal(allowed, content), "") << allowed;
  }
  for (const char* refused :
       {"", "ftp://example.com/x", "file:///C:/x.exe", "javascript:alert(1)", "\\\\host\\share\\tool.exe",
        "//host/share/tool.exe", "viewer.exe", "..\\viewer.exe", "C:\\Tools\\script.bat", "C:\\Tools\\readme.txt",
        "C:\\Saver\\Skits\\payload.exe", "c:\\saver\\download\\sub\\payload.exe",
        "C:\\Other\\..\\Saver\\Skits\\payload.exe", "http://example.com/a b", "C:\\x\\a.exe\n"}) {
    std::string reason = LinkRefusal(refused, content);
    EXPECT_NE(reason, "") << refused;
    EXPECT_EQ(reason.rfind("Link refused: ", 0), 0u) << reason;
  }
  // A folder that merely starts like a content folder is not one.
  EXPECT_EQ(LinkRefusal("C:\\Saver\\Skits2\\tool.exe", content), "");

  // A mail link is a plain address; one that carries more is refused.
  for (const char* mail : {"mailto:a b@example.com", "mailto:\"x\"@example.com", "mailto:a@example.com?subject=hi",
                           "mailto:a@example.com,b@example.com", "mailto:@example.com", "mailto:a%20b@example.com"})
    EXPECT_NE(LinkRefusal(mail, content), "") << mail;
  EXPECT_EQ(LinkRefusal("mailto:first.last+tag@mail.example.com", content), "");
}

// A program on a drive mapped to a share is on a network path, and one on a
// removable drive lies where anybody may write; Wine maps neither, so the
// drives' types come through the seam.
TEST(HotKeyLinks, ProgramsOnMappedOrRemovableDrivesAreRefused) {
  struct Restore {
    DriveTypeFn Saved = LinkDriveType;
    ~Restore() { LinkDriveType = Saved; }
  } restore;
  LinkDriveType = [](const wchar_t* root) -> UINT {
    if (root[0] == L'N') return DRIVE_REMOTE;
    if (root[0] == L'R') return DRIVE_REMOVABLE;
    return DRIVE_FIXED;
  };
  EXPECT_EQ(LinkRefusal("N:\\tools\\tool.exe", {}), "Link refused: programs on network paths are not opened.");
  EXPECT_EQ(LinkRefusal("r:\\tool.exe", {}), "Link refused: programs on removable drives are not opened.");
  EXPECT_EQ(LinkRefusal("C:\\Program Files\\Viewer\\viewer.exe", {}), "");
}

// The rule holds however the path to a content folder is spelt: by its
// short 8.3 names, or with other letter cases beyond ASCII.
TEST(HotKeyLinks, ShortNamesAndCaseDoNotLeadPastTheContentFolders) {
  testing_support::TempDir dir;
  const std::string content = dir.File("Downloaded Content \xC4pfel");  // "Ä" in the ANSI code page
  ASSERT_TRUE(CreateDirectoryA(content.c_str(), nullptr));
  const std::string payload = content + "\\payload program.exe";
  testing_support::WriteFileBytes(payload, "MZ");
  const std::vector<std::string> folders = {content};
  ASSERT_NE(LinkRefusal(payload, folders), "");

  char shortName[MAX_PATH * 2] = {};
  DWORD n = GetShortPathNameA(payload.c_str(), shortName, sizeof shortName);
  ASSERT_GT(n, 0u);
  ASSERT_NE(std::string(shortName), payload) << "the file system gives no short names";
  EXPECT_NE(LinkRefusal(shortName, folders), "") << shortName;

  // The folder named by its short name refuses the long link just as well.
  char shortFolder[MAX_PATH * 2] = {};
  ASSERT_GT(GetShortPathNameA(content.c_str(), shortFolder, sizeof shortFolder), 0u);
  EXPECT_NE(LinkRefusal(payload, {shortFolder}), "") << shortFolder;

  // "ä" for "Ä": the same folder to the file system.
  std::string otherCase = payload;
  otherCase[otherCase.find('\xC4')] = '\xE4';
  if (GetFileAttributesA(otherCase.c_str()) != INVALID_FILE_ATTRIBUTES) {
    EXPECT_NE(LinkRefusal(otherCase, folders), "") << otherCase;
  }
  // A program beside the folder is still opened.
  const std::string beside = dir.File("tool.exe");
  testing_support::WriteFileBytes(beside, "MZ");
  EXPECT_EQ(LinkRefusal(beside, folders), "");
}

namespace {

std::string Folder(UINT(WINAPI* get)(LPSTR, UINT)) {
  char buffer[MAX_PATH];
  const UINT n = get(buffer, MAX_PATH);
  return std::string(buffer, n);
}

}  // namespace

// The 32-bit edition on 64-bit Windows: the file system sends its System32
// to SysWOW64, so a link to a system program would start the 32-bit copy (or
// nothing). Through Sysnative it reaches the system's own program. On the
// 64-bit edition, and on 32-bit Windows, links stay as they are.
TEST(HotKeyLinks, ASystemProgramIsReachedThroughSysnativeUnderWow64) {
  const std::string system = Folder(GetSystemDirectoryA), windows = Folder(GetSystemWindowsDirectoryA);
  const std::string program = system + "\\notepad.exe";
  ASSERT_NE(testing_support::ProgramMachine(program), 0) << program;
  for (const std::string& other : {windows + "\\notepad.exe", std::string("C:\\Tools\\System32\\tool.exe"),
                                   std::string("http://example.com/page")}) {
    EXPECT_EQ(NativeProgramPath(other), other);
  }
  BOOL wow64 = FALSE;
  ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &wow64));
  if (!wow64) {
    EXPECT_EQ(NativeProgramPath(program), program) << "no redirection to get past";
    return;
  }
  const std::string native = windows + "\\Sysnative\\notepad.exe";
  EXPECT_EQ(NativeProgramPath(program), native);
  std::string shouted = program;
  CharUpperBuffA(shouted.data(), static_cast<DWORD>(shouted.size()));
  EXPECT_EQ(NativeProgramPath(shouted), windows + "\\Sysnative\\NOTEPAD.EXE");
  // What each path reaches: through System32 the 32-bit copy, through
  // Sysnative the system's own.
  EXPECT_EQ(testing_support::ProgramMachine(program), IMAGE_FILE_MACHINE_I386);
  EXPECT_NE(testing_support::ProgramMachine(native), IMAGE_FILE_MACHINE_I386);
  EXPECT_NE(testing_support::ProgramMachine(native), 0);
}
