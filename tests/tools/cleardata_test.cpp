// cleardata, which the setup and the uninstaller run as an administrator on
// folders other accounts can write: it removes what it is asked to, and
// nothing that an entry leads to outside the folder being removed.
#include "tools/cleardata/cleardata.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <sstream>

#include "tests/support/testing.h"
#include "tools/cleardata/program_folder.h"

using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;

namespace {

std::wstring Wide(const std::string& text) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return wide;
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

class ClearData : public ::testing::Test {
 protected:
  ClearData() {
    Data = Dir.File("Drearigrams");
    for (const char* folder : {"", "\\skits", "\\download", "\\download\\part"})
      CreateDirectoryA((Data + folder).c_str(), nullptr);
    for (const char* file : {"\\drearigrams.pak", "\\skitplay.exe", "\\skits\\kites.skit", "\\download\\part\\x.skit"})
      WriteFileBytes(Data + file, "data");
    SetFileAttributesA((Data + "\\skits\\kites.skit").c_str(), FILE_ATTRIBUTE_READONLY);
    // Somewhere nothing may be removed from.
    Outside = Dir.File("Outside");
    CreateDirectoryA(Outside.c_str(), nullptr);
    WriteFileBytes(Outside + "\\precious.dll", "precious");
  }

  std::string Report() const {
    std::string text;
    for (wchar_t c : Out.str()) text += static_cast<char>(c < 128 ? c : '?');
    return text;
  }

  testing_support::TempDir Dir;
  std::string Data;
  std::string Outside;
  std::wostringstream Out;
};

}  // namespace

TEST_F(ClearData, ATreeGoesWholeAndNamesGoOneByOne) {
  cleardata::Remover remover(Out);
  EXPECT_TRUE(remover.RemoveNames(Wide(Data), {L"skits", L"drearigrams.pak", L"absent.log"})) << Report();
  EXPECT_FALSE(Exists(Data + "\\skits"));
  EXPECT_FALSE(Exists(Data + "\\drearigrams.pak"));
  // What was not named stays, and so does the folder that holds it.
  EXPECT_TRUE(Exists(Data + "\\skitplay.exe"));
  EXPECT_TRUE(Exists(Data + "\\download\\part\\x.skit"));
  EXPECT_NE(Report().find("Kept "), std::string::npos) << Report();

  // Once nothing else is left, the folder goes too.
  EXPECT_TRUE(remover.RemoveNames(Wide(Data), {L"download", L"skitplay.exe"})) << Report();
  EXPECT_FALSE(Exists(Data));

  // Gone already: nothing to do, and that is no failure.
  EXPECT_TRUE(remover.RemoveTree(Wide(Data)));
  EXPECT_TRUE(remover.RemoveNames(Wide(Data), {L"skits"}));

  // Names that would reach beyond the folder are refused before anything is done.
  CreateDirectoryA(Data.c_str(), nullptr);
  for (const wchar_t* name : {L"..", L"..\\Outside", L"C:precious.dll", L"a/b", L""}) {
    EXPECT_FALSE(remover.RemoveNames(Wide(Data), {name}));
  }
  EXPECT_TRUE(Exists(Outside + "\\precious.dll"));
  EXPECT_TRUE(remover.RemoveTree(Wide(Data)));
  EXPECT_FALSE(Exists(Data));
}

// What cannot go (a file held open without delete sharing, as a running
// program is, or a program's current folder) is reported and kept with the
// folders that hold it; the rest goes.
TEST_F(ClearData, WhatIsInUseStaysAndIsReported) {
  HANDLE held = CreateFileA((Data + "\\skitplay.exe").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  cleardata::Remover remover(Out);
  EXPECT_FALSE(remover.RemoveTree(Wide(Data)));
  CloseHandle(held);
  EXPECT_TRUE(Exists(Data + "\\skitplay.exe"));
  EXPECT_FALSE(Exists(Data + "\\skits"));
  EXPECT_FALSE(Exists(Data + "\\download"));
  EXPECT_NE(Report().find("Not removed "), std::string::npos) << Report();
  EXPECT_NE(Report().find("\\skitplay.exe: "), std::string::npos) << Report();
  EXPECT_EQ(cleardata::Run({L"tree", Wide(Data)}, Out), cleardata::kDone) << Report();
  EXPECT_FALSE(Exists(Data));

  // A folder that is a program's current folder (the player runs in the
  // user's data folder) is emptied, and stays.
  for (const char* folder : {"", "\\download"}) CreateDirectoryA((Data + folder).c_str(), nullptr);
  WriteFileBytes(Data + "\\download\\x.skit", "data");
  char current[MAX_PATH];
  ASSERT_GT(GetCurrentDirectoryA(sizeof current, current), 0u);
  ASSERT_TRUE(SetCurrentDirectoryA((Data + "\\download").c_str()));
  const bool removed = remover.RemoveTree(Wide(Data));
  SetCurrentDirectoryA(current);
  EXPECT_FALSE(Exists(Data + "\\download\\x.skit"));
  if (Exists(Data + "\\download")) {
    EXPECT_FALSE(removed);
  } else {
    EXPECT_TRUE(removed) << "this system lets a current folder go";
  }
  EXPECT_TRUE(remover.RemoveTree(Wide(Data))) << Report();
}

// A user may have swapped a folder of ours for a link to another place
// between the listing and the removal. Wine cannot make such links, so the
// system's answer to "where does this handle lead" is replaced here: an
// entry that leads out of the folder is never removed (nor, when it is a
// folder, entered), and the rest of the folder still goes.
TEST_F(ClearData, AnEntryThatLeadsOutOfTheFolderIsNeverRemoved) {
  cleardata::Remover remover(Out);
  const auto system = remover.FinalPath;
  const std::wstring elsewhere = L"\\\\?\\" + Wide(Outside);
  remover.FinalPath = [&](HANDLE handle) {
    const std::wstring final = system(handle);
    return cleardata::CompareKey(final).find(L"\\SKITS") != std::wstring::npos ? elsewhere : final;
  };
  EXPECT_FALSE(remover.RemoveTree(Wide(Data)));
  EXPECT_NE(Report().find("skits: it leads out of the folder being removed"), std::string::npos) << Report();
  EXPECT_TRUE(Exists(Data + "\\skits\\kites.skit"));
  EXPECT_FALSE(Exists(Data + "\\download"));
  EXPECT_FALSE(Exists(Data + "\\drearigrams.pak"));
  EXPECT_TRUE(Exists(Outside + "\\precious.dll"));

  // A root that is itself reached through a link above it is refused whole.
  remover.FinalPath = [&](HANDLE) { return elsewhere; };
  EXPECT_FALSE(remover.RemoveTree(Wide(Data)));
  EXPECT_FALSE(remover.RemoveNames(Wide(Data), {L"skits"}));
  EXPECT_NE(Report().find("it is reached through a link to " + Outside), std::string::npos) << Report();
  EXPECT_TRUE(Exists(Data + "\\skits\\kites.skit"));
  EXPECT_TRUE(Exists(Outside + "\\precious.dll"));
}

// Where the system can make a link, a real one: the link goes, what it
// leads to stays.
TEST_F(ClearData, ALinkIsRemovedAsALink) {
  if (!testing_support::MakeFolderLink(Data + "\\skits\\elsewhere", Outside)) {
    GTEST_SKIP() << "this system makes no symbolic links (Wine 8 does not); the test above covers the rule "
                    "through its seam";
  }
  cleardata::Remover remover(Out);
  EXPECT_TRUE(remover.RemoveTree(Wide(Data))) << Report();
  EXPECT_FALSE(Exists(Data));
  EXPECT_EQ(ReadFileBytes(Outside + "\\precious.dll"), "precious");

  // The data folder itself swapped for a link: only the link goes, whether
  // the whole folder or some names in it are to be removed.
  for (bool whole : {true, false}) {
    ASSERT_TRUE(testing_support::MakeFolderLink(Data, Outside));
    EXPECT_TRUE(whole ? remover.RemoveTree(Wide(Data)) : remover.RemoveNames(Wide(Data), {L"precious.dll"}))
        << Report();
    EXPECT_FALSE(Exists(Data));
    EXPECT_EQ(ReadFileBytes(Outside + "\\precious.dll"), "precious");
  }
}

// Every profile the profile list names, and the caller's own local
// application data folder, once each.
TEST(ClearDataProfiles, EveryProfilesDataFolderIsFound) {
  const std::string key = "Software\\Brindlecove\\test_cleardata\\ProfileList";
  testing_support::ScopedRegistryKey list(HKEY_CURRENT_USER, key);
  auto profile = [&](const std::string& sid, DWORD type, const std::string& image) {
    HKEY handle = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, (key + "\\" + sid).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &handle, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(handle, "ProfileImagePath", 0, type, reinterpret_cast<const BYTE*>(image.c_str()),
                   static_cast<DWORD>(image.size() + 1));
    RegCloseKey(handle);
  };
  testing_support::ScopedEnvironment drive("TESTDRIVE", "E:");
  profile("S-1-5-21-1-2-3-1001", REG_EXPAND_SZ, "%TESTDRIVE%\\Users\\ada");
  profile("S-1-5-21-1-2-3-1002", REG_SZ, "C:\\Users\\grace\\");
  profile("S-1-5-21-1-2-3-1003", REG_DWORD, "");
  HKEY handle = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, &handle), ERROR_SUCCESS);
  const std::vector<std::wstring> folders =
      cleardata::ProfileDataFolders(handle, L"Drearigrams", L"c:\\users\\GRACE\\AppData\\Local\\");
  const std::vector<std::wstring> more = cleardata::ProfileDataFolders(handle, L"Drearigrams", L"D:\\Redirected");
  RegCloseKey(handle);
  EXPECT_EQ(folders, (std::vector<std::wstring>{L"E:\\Users\\ada\\AppData\\Local\\Drearigrams",
                                                L"C:\\Users\\grace\\AppData\\Local\\Drearigrams"}));
  ASSERT_EQ(more.size(), 3u);
  EXPECT_EQ(more[2], L"D:\\Redirected\\Drearigrams");
}

TEST(ClearDataCommand, AnythingElseIsAUsageError) {
  std::wostringstream out;
  for (const std::vector<std::wstring>& args :
       {std::vector<std::wstring>{}, {L"tree"}, {L"names", L"C:\\x"}, {L"profiles", L"..\\Windows"}, {L"purge", L"x"}}) {
    EXPECT_EQ(cleardata::Run(args, out), cleardata::kUsage);
  }
  EXPECT_NE(out.str().find(L"usage: cleardata"), std::wstring::npos);
}

namespace {

// AnotherAccountMay on the rights an SDDL text describes; "self" is an
// account of its own (the administrator running the setup).
std::wstring WhoElse(const wchar_t* sddl, ACCESS_MASK rights) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, nullptr)) return L"(bad SDDL)";
  PSID self = nullptr;
  ConvertStringSidToSidW(L"S-1-5-21-1-2-3-500", &self);
  std::wstring other = cleardata::AnotherAccountMay(sd, self, rights);
  LocalFree(self);
  LocalFree(sd);
  return other;
}

}  // namespace

// Where the program folder may go: folders whose owner and rights leave them
// to administrators, the system, the system's installer and the account
// running the setup; not one that another account owns or may change.
TEST(ProgramFolderParent, OnlyAFolderNoOtherAccountMayChangeIsTaken) {
  using cleardata::kChangeRights;
  using cleardata::kReplaceRights;
  // The system drive's root: every user may make folders there (AD), and
  // what they make is theirs (inherit-only), but the root is not theirs.
  EXPECT_EQ(WhoElse(L"O:SYD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)(A;OICIIO;SDGXGWGR;;;AU)"
                    L"(A;;LC;;;AU)",
                    kReplaceRights),
            L"");
  // Program Files, owned by the system's installer account.
  EXPECT_EQ(WhoElse(L"O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464D:PAI(A;CIIO;GA;;;CO)"
                    L"(A;;0x1301bf;;;SY)(A;;0x1301bf;;;BA)(A;;0x1200a9;;;BU)(A;;FA;;;S-1-5-80-956008885-"
                    L"3418522649-1831038044-1853292631-2271478464)(A;;0x1200a9;;;AC)",
                    kReplaceRights),
            L"");
  // A folder the administrator made for tools of its own.
  EXPECT_EQ(WhoElse(L"O:S-1-5-21-1-2-3-500D:AI(A;OICIID;FA;;;S-1-5-21-1-2-3-500)(A;OICIID;0x1200a9;;;BU)",
                    kReplaceRights),
            L"");
  // A folder another user made in the root: owned by that user, and every
  // authenticated user may change it.
  EXPECT_EQ(WhoElse(L"O:S-1-5-21-1-2-3-1001D:AI(A;OICIID;FA;;;BA)(A;OICIID;FA;;;SY)(A;OICIID;0x1301bf;;;AU)",
                    kReplaceRights),
            L"S-1-5-21-1-2-3-1001");
  EXPECT_EQ(WhoElse(L"O:BAD:AI(A;OICIID;FA;;;BA)(A;OICIID;0x1301bf;;;AU)", kReplaceRights), L"S-1-5-11");
  // No rights at all (a null DACL, built here: Wine reads
  // "D:NO_ACCESS_CONTROL" as an empty one): everyone may do everything.
  SECURITY_DESCRIPTOR open{};
  InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorDacl(&open, TRUE, nullptr, FALSE);
  EXPECT_EQ(cleardata::AnotherAccountMay(&open, nullptr, kReplaceRights), L"S-1-1-0");
  // Making files in a folder is no change of its place in the one above, but
  // it is a change of what the folder holds: the one-folder layout, where
  // every user could write, is not an installation of this setup's.
  const wchar_t* oneFolder = L"O:BAD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200af;;;BU)";
  EXPECT_EQ(WhoElse(oneFolder, kReplaceRights), L"");
  EXPECT_EQ(WhoElse(oneFolder, kChangeRights), L"S-1-5-32-545");
  // The rights the setup gives the program folder leave it to administrators.
  EXPECT_EQ(WhoElse(L"O:BAD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)", kChangeRights), L"");
}
