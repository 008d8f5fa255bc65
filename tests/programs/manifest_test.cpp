// Windows reads a program's manifest before it starts it. Without one it
// virtualises the program's writes below Program Files and to the machine's
// registry, treats it as made for Windows Vista, and asks to elevate any
// program whose name says "install" or "setup" (test_installer.exe among
// them). Every program this build makes carries one: it runs as its
// invoker, names the Windows versions it was made for, and its own
// processor; every program but the setups runs with UTF-8 as its code page.
// The setups alone ask for administrator rights.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "tests/support/testing.h"

namespace {

// The Windows path of a folder of the build.
std::string BuildFolder(const std::string& below) {
  std::string path = std::string(DG_BUILD_DIR) + "/" + below;
  if (!path.empty() && path[0] == '/') path = "Z:" + path;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

// The entries directly in a folder (not "." and ".."): its folders, or its
// programs (.exe, .scr).
std::vector<std::string> EntriesIn(const std::string& folder, bool folders) {
  std::vector<std::string> found;
  WIN32_FIND_DATAA entry;
  HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) return found;
  do {
    const std::string name = entry.cFileName;
    const bool isFolder = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (name == "." || name == ".." || isFolder != folders) continue;
    std::string extension = name.size() > 4 ? name.substr(name.size() - 4) : std::string();
    CharLowerBuffA(extension.data(), static_cast<DWORD>(extension.size()));
    if (folders || extension == ".exe" || extension == ".scr") found.push_back(folder + "\\" + name);
  } while (FindNextFileA(search, &entry));
  FindClose(search);
  return found;
}

// The text of a program's manifest (resource 1 of type RT_MANIFEST); empty
// when it carries none.
std::string ManifestOf(const std::string& path) {
  HMODULE image = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (image == nullptr) return {};
  std::string text;
  if (HRSRC found = FindResourceA(image, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24))) {
    HGLOBAL loaded = LoadResource(image, found);
    const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (bytes != nullptr) text.assign(static_cast<const char*>(bytes), SizeofResource(image, found));
  }
  FreeLibrary(image);
  return text;
}

// The value of attribute `name` in the first `element` of the text.
std::string AttributeOf(const std::string& text, const std::string& element, const std::string& name) {
  const size_t start = text.find("<" + element);
  if (start == std::string::npos) return {};
  const size_t end = text.find('>', start);
  const size_t at = text.find(" " + name + "=\"", start);
  if (at == std::string::npos || at > end) return {};
  const size_t value = at + name.size() + 3;
  return text.substr(value, text.find('"', value) - value);
}

bool IsSetup(const std::string& path) {
  return path.find("\\DrearigramsSetup") != std::string::npos;
}

}  // namespace

TEST(ProgramManifests, EveryProgramRunsAsItsInvokerOnTheWindowsItWasMadeForAndItsOwnProcessor) {
  std::vector<std::string> programs = EntriesIn(BuildFolder("bin"), false);
  for (const std::string& folder : EntriesIn(BuildFolder("tests"), true)) {
    for (const std::string& program : EntriesIn(folder, false)) programs.push_back(program);
  }
  ASSERT_GE(programs.size(), 10u) << "the build's programs were not found below " << BuildFolder("");

  // Windows 7, 8, 8.1, and 10 and 11.
  const char* versions[] = {"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
                            "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"};
  bool sawThisProgram = false, sawTheSaver = false;
  for (const std::string& program : programs) {
    SCOPED_TRACE(program);
    sawThisProgram |= program.find("\\test_programs.exe") != std::string::npos;
    sawTheSaver |= program.find("\\drearigrams.scr") != std::string::npos;
    const std::string manifest = ManifestOf(program);
    ASSERT_FALSE(manifest.empty()) << "no manifest";
    EXPECT_EQ(AttributeOf(manifest, "requestedExecutionLevel", "level"),
              IsSetup(program) ? "requireAdministrator" : "asInvoker");
    for (const char* version : versions) EXPECT_NE(manifest.find(version), std::string::npos) << version;
    if (IsSetup(program)) continue;  // NSIS names no processor in the setups' manifests
    const size_t codePage = manifest.find("<activeCodePage");
    EXPECT_TRUE(codePage != std::string::npos && manifest.compare(manifest.find('>', codePage) + 1, 6, "UTF-8<") == 0)
        << "UTF-8 as the code page";
    const WORD machine = testing_support::ProgramMachine(program);
    const char* processor = machine == IMAGE_FILE_MACHINE_AMD64 ? "amd64"
                            : machine == IMAGE_FILE_MACHINE_I386 ? "x86"
                                                                 : "unknown";
    EXPECT_EQ(AttributeOf(manifest, "assemblyIdentity", "processorArchitecture"), processor);
  }
  EXPECT_TRUE(sawThisProgram);
  EXPECT_TRUE(sawTheSaver);
  EXPECT_EQ(GetACP(), static_cast<UINT>(CP_UTF8)) << "this program's manifest is honoured";
}
