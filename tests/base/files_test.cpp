#include "base/files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/errors.h"
#include "base/text.h"
#include "tests/support/testing.h"

using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return bytes;
}

// The message of the runtime error that action throws.
template <typename Action>
std::string ThrownText(Action action) {
  try {
    action();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  ADD_FAILURE() << "no runtime_error thrown";
  return {};
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// A cFile opened on a message-mode pipe: each WriteFile arrives as one
// message, so the reader sees the size of every write.
class WriteRecorder {
 public:
  explicit WriteRecorder(cFile& target) {
    static std::atomic<int> counter{0};
    std::string name = "\\\\.\\pipe\\dg-writes-" + std::to_string(GetCurrentProcessId()) + "-" +
                       std::to_string(counter++);
    Pipe_ = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                             1, 0, 65536, 0, nullptr);
    target.Open(name, GENERIC_WRITE, 0);
    Reader_ = std::thread([this] {
      std::vector<char> buffer(65536);
      DWORD got = 0;
      while (ReadFile(Pipe_, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
        Sizes.push_back(got);
        Data.append(buffer.data(), got);
      }
    });
  }
  ~WriteRecorder() {
    if (Reader_.joinable()) Reader_.join();
    CloseHandle(Pipe_);
  }
  // Call after the target is closed.
  void Finish() { Reader_.join(); }

  std::vector<DWORD> Sizes;
  std::string Data;

 private:
  HANDLE Pipe_;
  std::thread Reader_;
};

}  // namespace

TEST(cFile, ShortReadIsEndOfFileWithThePositionAdvanced) {
  TempDir dir;
  WriteFileBytes(dir.File("short.bin"), "abcdefghijklmn");
  cFile file;
  file.Open(dir.File("short.bin"), GENERIC_READ, FILE_SHARE_READ);
  file.Seek(10, FILE_BEGIN);
  char buffer[10] = {};
  // The text alone: a failed read names no file.
  EXPECT_EQ(ThrownText([&] { file.Read(buffer, 10); }), ErrorText(ERROR_HANDLE_EOF));
  EXPECT_EQ(std::string(buffer, 4), "klmn");
  EXPECT_EQ(file.Seek(0, FILE_CURRENT), 14u);
  EXPECT_EQ(ThrownText([&] { file.Read(buffer, 1); }), ErrorText(ERROR_HANDLE_EOF)) << "at the very end";
  file.Close();
}

TEST(cFile, FailuresCarryTheSystemTextAndTheName) {
  TempDir dir;
  cFile file;
  const std::string missing = dir.File("missing.pak");
  EXPECT_EQ(ThrownText([&] { file.Open(missing, GENERIC_READ, 0); }), ErrorText(ERROR_FILE_NOT_FOUND) + " " + missing);
  EXPECT_EQ(file.Handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(file.Close(), -1) << "Close after a failed Open does nothing";

  for (const std::string& name : {dir.File("no-folder\\new.pak"), dir.File(std::string(1000, 'n'))}) {
    std::string text = ThrownText([&] { file.Create(name, FILE_ATTRIBUTE_NORMAL, 0); });
    EXPECT_TRUE(text.size() > name.size() + 1 && EndsWith(text, " " + name)) << text;
    EXPECT_EQ(file.Handle, INVALID_HANDLE_VALUE);
  }

  WriteFileBytes(dir.File("ro.bin"), "abc");
  file.Open(dir.File("ro.bin"), GENERIC_READ, FILE_SHARE_READ);
  EXPECT_EQ(ThrownText([&] { file.Write("x", 1); }), ErrorText(ERROR_ACCESS_DENIED));
  EXPECT_EQ(ThrownText([&] { file.Seek(-10, FILE_BEGIN); }), ErrorText(ERROR_NEGATIVE_SEEK));
  EXPECT_NE(file.Close(), -1);
  EXPECT_EQ(file.Close(), -1) << "second Close";
}

// Both halves of the size count: a file of 4 GiB + 5 bytes is not a file
// of 5 bytes (sparse, so it takes no room).
TEST(cFile, SizesOfFourGigabytesAndMoreAreWhole) {
  TempDir dir;
  const uint64_t size = (uint64_t{4} << 30) + 5;
  testing_support::WriteSparseFile(dir.File("large.bin"), "head", size);
  cFile file;
  file.Open(dir.File("large.bin"), GENERIC_READ, FILE_SHARE_READ);
  EXPECT_EQ(file.GetSize(), size);
  file.Close();
  EXPECT_EQ(GetFileSizeByName(dir.File("large.bin")), size);
}

// A staged file is made new under a name of its own, held so that no one
// else can open it, and either renamed over its target through its handle
// or gone.
TEST(cStagedFile, IsHeldAloneThenRenamedIntoPlaceOrGone) {
  TempDir dir;
  WriteFileBytes(dir.File("skit.mov"), "the old file");
  std::string staged;
  {
    cStagedFile file(dir.Path());
    staged = file.Path();
    std::string folder, name;
    SplitPath(staged, &folder, &name);
    EXPECT_EQ(folder, dir.Path());
    EXPECT_EQ(name.rfind("~dg", 0), 0u) << name;
    HANDLE other = CreateFileA(staged.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(other, INVALID_HANDLE_VALUE) << "nobody else opens it while it is held";
    if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
    file.File.Write("the new file", 12);
    file.Place(dir.File("skit.mov"));
    EXPECT_EQ(file.Path(), dir.File("skit.mov"));
  }
  EXPECT_EQ(testing_support::ReadFileBytes(dir.File("skit.mov")), "the new file");
  EXPECT_FALSE(FileExists(staged));

  {
    cStagedFile dropped(dir.Path());
    staged = dropped.Path();
    dropped.File.Write("never placed", 12);
  }
  EXPECT_FALSE(FileExists(staged)) << "a file not placed goes with its handle";

  SetFileAttributesA(dir.File("skit.mov").c_str(), FILE_ATTRIBUTE_READONLY);
  {
    cStagedFile refused(dir.Path());
    staged = refused.Path();
    EXPECT_EQ(ThrownText([&] { refused.Place(dir.File("skit.mov")); }),
              ErrorText(ERROR_ACCESS_DENIED) + " " + dir.File("skit.mov"));
  }
  EXPECT_FALSE(FileExists(staged));
  EXPECT_EQ(testing_support::ReadFileBytes(dir.File("skit.mov")), "the new file");
  SetFileAttributesA(dir.File("skit.mov").c_str(), FILE_ATTRIBUTE_NORMAL);

  EXPECT_EQ(ThrownText([&] { cStagedFile nowhere(dir.File("no such folder")); }),
            ErrorText(ERROR_PATH_NOT_FOUND) + " " + dir.File("no such folder"));
}

TEST(CopyFileData, CopiesInPiecesOf8192) {
  TempDir dir;
  const std::string bytes = Pattern(30000);
  WriteFileBytes(dir.File("source.bin"), bytes);
  cFile source, target;
  source.Open(dir.File("source.bin"), GENERIC_READ, FILE_SHARE_READ);
  source.Seek(100, FILE_BEGIN);
  WriteRecorder recorder(target);

  CopyFileData(source, target, 0);
  EXPECT_EQ(source.Seek(0, FILE_CURRENT), 100u) << "length 0 reads nothing";
  CopyFileData(source, target, 20000);
  EXPECT_EQ(source.Seek(0, FILE_CURRENT), 20100u);
  CopyFileData(source, target, 50);
  target.Close();
  source.Close();
  recorder.Finish();

  EXPECT_EQ(recorder.Sizes, (std::vector<DWORD>{8192, 8192, 3616, 50}));
  EXPECT_TRUE(recorder.Data == bytes.substr(100, 20050)) << "copied bytes differ";
}

TEST(CopyFileData, ShortSourceStopsWithEndOfFile) {
  TempDir dir;
  WriteFileBytes(dir.File("source.bin"), Pattern(10000));
  cFile source, target;
  source.Open(dir.File("source.bin"), GENERIC_READ, FILE_SHARE_READ);
  target.Create(dir.File("target.bin"), FILE_ATTRIBUTE_NORMAL, 0);
  EXPECT_EQ(ThrownText([&] { CopyFileData(source, target, 20000); }), ErrorText(ERROR_HANDLE_EOF));
  // The first piece arrived; the short second one was not written.
  EXPECT_EQ(target.GetSize(), 8192u);
  EXPECT_EQ(source.Seek(0, FILE_CURRENT), 10000u);
  source.Close();
  target.Close();
}

TEST(cFindFile, AttributeFilter) {
  TempDir dir;
  auto folder = [&](const char* name, DWORD extra) {
    std::string path = dir.File(name);
    CreateDirectoryA(path.c_str(), nullptr);
    if (extra != 0) SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_DIRECTORY | extra);
    return path;
  };
  auto file = [&](const char* name, DWORD attributes) {
    std::string path = dir.File(name);
    WriteFileBytes(path, "x");
    SetFileAttributesA(path.c_str(), attributes);
    return path;
  };

  EXPECT_FALSE(FileExists(folder("plain", 0))) << "a plain folder is not a file";
  EXPECT_FALSE(FileExists(folder("hidden", FILE_ATTRIBUTE_HIDDEN))) << "hidden shares no bit with the filter";
  EXPECT_TRUE(FileExists(folder("system", FILE_ATTRIBUTE_SYSTEM)));
  EXPECT_TRUE(FileExists(file("readonly.txt", FILE_ATTRIBUTE_READONLY)));
  EXPECT_TRUE(FileExists(file("normal.txt", FILE_ATTRIBUTE_NORMAL)));

  // Wine keeps neither read-only nor archive on a folder and gives every file
  // the archive bit: check each case the file system can hold.
  for (DWORD extra : {FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_ARCHIVE}) {
    std::string path = folder(extra == FILE_ATTRIBUTE_READONLY ? "readonly" : "archive", extra);
    if (GetFileAttributesA(path.c_str()) & extra) {
      EXPECT_TRUE(FileExists(path)) << path;
    }
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_DIRECTORY);
  }
  // A file is a file whatever its attributes (Wine adds the archive bit to
  // each, so the entries below check the rule without it).
  for (DWORD only : {DWORD{FILE_ATTRIBUTE_HIDDEN}, DWORD{FILE_ATTRIBUTE_NOT_CONTENT_INDEXED},
                     DWORD{FILE_ATTRIBUTE_OFFLINE}, DWORD{FILE_ATTRIBUTE_TEMPORARY}}) {
    std::string path = file(("only" + std::to_string(only) + ".txt").c_str(), only);
    EXPECT_TRUE(FileExists(path)) << "attributes " << GetFileAttributesA(path.c_str());
  }

  cFindFile scanner;
  EXPECT_FALSE(scanner.First(0, dir.File("*"))) << "mask 0 passes nothing";
  // Folders by their own bit: "." and ".." are never entries.
  std::vector<std::string> folders;
  for (bool more = scanner.First(FILE_ATTRIBUTE_DIRECTORY, dir.File("*")); more; more = scanner.Next())
    folders.push_back(scanner.Name);
  std::sort(folders.begin(), folders.end());
  EXPECT_EQ(folders, (std::vector<std::string>{"archive", "hidden", "plain", "readonly", "system"}));
  EXPECT_FALSE(scanner.Next()) << "stays at the end";
  scanner.Close();
  EXPECT_FALSE(scanner.Next()) << "no search open";
}

// The rule itself, on entries as FindFirstFile gives them on Windows, where
// a file may carry no bit of FIND_ANY_FILE at all.
TEST(cFindFile, EveryFileThatIsNoFolderPassesFindAnyFile) {
  auto entry = [](const char* name, DWORD attributes) {
    WIN32_FIND_DATAA data{};
    data.dwFileAttributes = attributes;
    lstrcpynA(data.cFileName, name, MAX_PATH);
    return data;
  };
  const DWORD files[] = {0,
                         FILE_ATTRIBUTE_NORMAL,
                         FILE_ATTRIBUTE_NOT_CONTENT_INDEXED,
                         FILE_ATTRIBUTE_SPARSE_FILE,
                         FILE_ATTRIBUTE_OFFLINE,
                         FILE_ATTRIBUTE_HIDDEN,
                         FILE_ATTRIBUTE_TEMPORARY,
                         FILE_ATTRIBUTE_REPARSE_POINT,
                         FILE_ATTRIBUTE_ENCRYPTED,
                         FILE_ATTRIBUTE_SPARSE_FILE | FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_HIDDEN};
  for (DWORD only : files) {
    EXPECT_TRUE(FindEntryPasses(FIND_ANY_FILE, entry("a.pak", only))) << only;
    EXPECT_FALSE(FindEntryPasses(FILE_ATTRIBUTE_DIRECTORY, entry("a.pak", only))) << only;
  }
  // Folders pass by the bits they share with the mask only.
  EXPECT_FALSE(FindEntryPasses(FIND_ANY_FILE, entry("sub", FILE_ATTRIBUTE_DIRECTORY)));
  EXPECT_FALSE(FindEntryPasses(FIND_ANY_FILE, entry("sub", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN)));
  EXPECT_TRUE(FindEntryPasses(FIND_ANY_FILE, entry("sub", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_SYSTEM)));
  EXPECT_TRUE(FindEntryPasses(FILE_ATTRIBUTE_DIRECTORY, entry("sub", FILE_ATTRIBUTE_DIRECTORY)));
  for (const char* dots : {".", ".."}) EXPECT_FALSE(FindEntryPasses(FIND_ANY_FILE, entry(dots, 0)));
  EXPECT_FALSE(FindEntryPasses(0, entry("a.pak", FILE_ATTRIBUTE_ARCHIVE)));
  // Files with only read-only or compressed pass by their bit, as before.
  EXPECT_FALSE(FindEntryPasses(FILE_ATTRIBUTE_READONLY, entry("a.pak", FILE_ATTRIBUTE_ARCHIVE)));
  EXPECT_TRUE(FindEntryPasses(FILE_ATTRIBUTE_READONLY, entry("a.pak", FILE_ATTRIBUTE_READONLY)));
}

TEST(cFindFile, NameBasedLookUps) {
  TempDir dir;
  WriteFileBytes(dir.File("one.pak"), std::string(1234, 'x'));
  WriteFileBytes(dir.File("empty.pak"), "");
  WriteFileBytes(dir.File("Drearigrams Long Name.scr"), "x");
  CreateDirectoryA(dir.File("sub.pak").c_str(), nullptr);

  EXPECT_TRUE(FileExists(dir.File("*.pak")));
  EXPECT_FALSE(FileExists(dir.File("*.bmp")));
  EXPECT_FALSE(FileExists(dir.File("no-folder\\one.pak")));
  EXPECT_EQ(GetFileSizeByName(dir.File("one.pak")), 1234u);
  EXPECT_EQ(GetFileSizeByName(dir.File("empty.pak")), 0u);
  EXPECT_EQ(GetFileSizeByName(dir.File("missing.pak")), 0u);

  cFindFile entry;
  EXPECT_TRUE(FindFileEntry(entry, dir.File("o?e.pak")));
  EXPECT_EQ(entry.Name, "one.pak");
  EXPECT_EQ(entry.SizeLow, 1234u);
  EXPECT_NE(entry.LastWriteTime.dwHighDateTime, 0u);
  EXPECT_EQ(entry.Handle, INVALID_HANDLE_VALUE) << "the search is closed again";

  // The name as stored, also for a differently cased or short (8.3) path.
  const std::string stored = "Drearigrams Long Name.scr";
  std::string name;
  EXPECT_TRUE(FileFindName(name, dir.File("DREARIGRAMS long NAME.SCR")));
  EXPECT_EQ(name, stored);
  char shortPath[MAX_PATH];
  DWORD n = GetShortPathNameA(dir.File(stored).c_str(), shortPath, MAX_PATH);
  ASSERT_TRUE(n > 0 && n < MAX_PATH);
  EXPECT_TRUE(FileFindName(name, shortPath)) << shortPath;
  EXPECT_EQ(name, stored);

  // Not found: the path itself, however long.
  for (const std::string& missing : {dir.File("gone.scr"), dir.File(std::string(1000, 'q'))}) {
    EXPECT_FALSE(FileFindName(name, missing));
    EXPECT_EQ(name, missing);
    EXPECT_FALSE(FileExists(missing));
  }
}

TEST(PathStrings, SplitPathTable) {
  const std::string longFolder = "C:\\" + std::string(1000, 'f'), longName(1000, 'n');
  struct Case {
    std::string path, folder, name;
  } cases[] = {
      {"C:\\dir\\file.ext", "C:\\dir", "file.ext"},
      {"C:file", "C", "file"},
      {"C:\\file", "C:", "file"},
      {"file", "", "file"},
      {"dir\\", "dir", ""},
      {"dir/sub/file", "dir/sub", "file"},
      {"", "", ""},
      {longFolder + "\\" + longName, longFolder, longName},
      {longName, "", longName},
  };
  for (const Case& c : cases) {
    std::string folder = "stale", name = "stale";
    SplitPath(c.path, &folder, &name);
    EXPECT_EQ(folder, c.folder) << c.path;
    EXPECT_EQ(name, c.name) << c.path;
  }
  std::string only;
  SplitPath("C:\\dir\\file.ext", nullptr, &only);
  EXPECT_EQ(only, "file.ext");
  SplitPath("C:\\dir\\file.ext", &only, nullptr);
  EXPECT_EQ(only, "C:\\dir");
}

TEST(PathStrings, JoinPathTable) {
  const std::string longFolder = "C:\\" + std::string(1000, 'f'), longName(1000, 'n');
  struct Case {
    std::string folder, name, joined;
  } cases[] = {
      {"dir", "x", "dir\\x"}, {"dir\\", "x", "dir\\x"}, {"dir/", "x", "dir/x"}, {"C:", "x", "C:x"},
      {"", "x", "x"},         {"a", "x", "ax"},         {"ab", "x", "ab\\x"},   {longFolder, longName, longFolder + "\\" + longName},
  };
  for (const Case& c : cases) EXPECT_EQ(JoinPath(c.folder, c.name), c.joined) << c.folder << " + " << c.name;
}

// Names of any alphabet: the process runs in UTF-8, the conversions the code
// makes by hand lose nothing, and what cannot be converted is an error that
// shows it, never a look-alike.
TEST(Texts, EveryNameGoesThroughWholeAndWhatCannotIsRefusedByName) {
  for (const std::wstring& wide : {std::wstring(L"Café au lait"), std::wstring(L"Żółw"), std::wstring(L"Привет"),
                                   std::wstring(L"日本の夏"), std::wstring(L"\U0001F600 \u00B9")}) {
    const std::string utf8 = Utf8FromWide(wide);
    EXPECT_TRUE(IsValidUtf8(utf8));
    EXPECT_EQ(WideFromUtf8(utf8), wide);
    EXPECT_EQ(Utf16Length(utf8), wide.size());
  }
  EXPECT_EQ(GetACP(), static_cast<UINT>(CP_UTF8)) << "the test program's manifest makes UTF-8 its code page";
  EXPECT_EQ(CodePageProblem(), "");

  try {
    Utf8FromWide(L"C:\\Users\\Ann\xD800" L"e", "The folder");
    ADD_FAILURE() << "an unpaired surrogate went through";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()),
              "The folder holds a character that cannot be represented (an unpaired surrogate): C:\\Users\\Ann<U+D800>e");
  }
  for (const char* bad : {"\xC5", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "a\xE6\x97"}) {
    EXPECT_FALSE(IsValidUtf8(bad)) << bad;
    EXPECT_THROW(WideFromUtf8(bad), std::runtime_error) << bad;
  }
  EXPECT_EQ(Utf8FromWindows1252("Caf\xE9 \x80 \x9F \x81"), "Café € Ÿ \xC2\x81");

  // A file by a name no 8-bit code page holds, made, found and renamed into.
  testing_support::TempDir dir;
  const std::string folder = dir.File("张伟 Łukasz");
  ASSERT_TRUE(CreateDirectoryW(WideFromUtf8(folder).c_str(), nullptr));
  {
    cStagedFile staged(folder);
    staged.File.Write("x", 1);
    staged.Place(JoinPath(folder, "日本の夏.skit"));
  }
  EXPECT_EQ(GetFileAttributesW((WideFromUtf8(folder) + L"\\日本の夏.skit").c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
  std::string stored;
  EXPECT_TRUE(FileFindName(stored, JoinPath(folder, "*.skit")));
  EXPECT_EQ(stored, "日本の夏.skit");
  EXPECT_EQ(GetFileSizeByName(JoinPath(folder, "日本の夏.skit")), 1u);
}
