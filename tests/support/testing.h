// Shared test fixtures: scratch folders inside the build tree, registry keys
// that are removed again, and a catcher for the message boxes a test provokes.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace testing_support {

// A fresh, empty folder under the test program's working directory (inside
// the build folder), removed with everything in it at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return Path_; }
  std::string File(const std::string& name) const;

 private:
  std::string Path_;
};

void RemoveTree(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
std::string ReadFileBytes(const std::string& path);
// The machine field of a program file's PE header (IMAGE_FILE_MACHINE_I386,
// _AMD64, ...): the processor Windows starts it for. 0 when the file is no
// program or cannot be read.
WORD ProgramMachine(const std::string& path);
// bytes, then zeros up to size bytes in all, as a sparse file where the
// file system allows it: a file of some gigabytes that takes no room.
void WriteSparseFile(const std::string& path, const std::string& bytes, uint64_t size);

// A message box seen by MessageBoxCatcher.
struct CaughtBox {
  std::string Caption;
  std::string Text;
};

// While alive, every message box (or dialog) that this thread shows is read
// and answered at once with Answer (IDOK, IDYES, IDNO, IDCANCEL ...), so
// that code under test never blocks on a box.
class MessageBoxCatcher {
 public:
  explicit MessageBoxCatcher(int answer = IDOK);
  ~MessageBoxCatcher();
  MessageBoxCatcher(const MessageBoxCatcher&) = delete;
  MessageBoxCatcher& operator=(const MessageBoxCatcher&) = delete;

  std::vector<CaughtBox> Boxes;
  int Answer;
  // Called with each box as it appears, before the answer is posted: what
  // it posts is handled inside the box's own message loop, first.
  std::function<void(HWND box)> OnBox;

 private:
  HHOOK Hook_ = nullptr;
  MessageBoxCatcher* Previous_ = nullptr;
};

// Memory refused on demand, for the walls at the callbacks from Windows:
// while a FailingAllocations lives on a thread, operator new on that thread
// throws std::bad_alloc, unless an AllowedAllocations (the test's own
// bookkeeping, such as MessageBoxCatcher's) lives there too. Only programs
// that link tests/support/failing_new.cpp replace operator new; elsewhere
// these change nothing.
class FailingAllocations {
 public:
  FailingAllocations();
  ~FailingAllocations();
  FailingAllocations(const FailingAllocations&) = delete;
  FailingAllocations& operator=(const FailingAllocations&) = delete;
};
class AllowedAllocations {
 public:
  AllowedAllocations();
  ~AllowedAllocations();
  AllowedAllocations(const AllowedAllocations&) = delete;
  AllowedAllocations& operator=(const AllowedAllocations&) = delete;
};
bool AllocationsFail() noexcept;

// A disk that fills and a machine that stops, in the file layer (every
// cFile::Write), while one lives. Writes are counted from 1. From write
// FailFrom on (0: never), and once BytesLeft bytes have gone through, every
// write fails as a full disk's. With CutsOf set, Cuts collects what a
// machine stopping at each write would leave of the file at that path: the
// file as it is before the write, and as it would be with the first half
// of the write done when the write is to that file.
class FileFaults {
 public:
  FileFaults();
  ~FileFaults();
  FileFaults(const FileFaults&) = delete;
  FileFaults& operator=(const FileFaults&) = delete;

  uint32_t Writes = 0;
  uint32_t FailFrom = 0;
  uint64_t BytesLeft = UINT64_MAX;
  std::string CutsOf;
  std::vector<std::string> Cuts;
};

// Deletes the registry key (and everything below it) on construction and on
// destruction, so each test starts and ends without it. `view` is 0 for this
// program's own registry view, or KEY_WOW64_32KEY or KEY_WOW64_64KEY for the
// one a 32-bit or 64-bit program sees on 64-bit Windows (32-bit Windows
// ignores both).
class ScopedRegistryKey {
 public:
  ScopedRegistryKey(HKEY root, std::string path, REGSAM view = 0);
  ~ScopedRegistryKey();
  ScopedRegistryKey(const ScopedRegistryKey&) = delete;
  ScopedRegistryKey& operator=(const ScopedRegistryKey&) = delete;

  void SetString(const std::string& name, const std::string& value) const;
  void SetDword(const std::string& name, DWORD value) const;
  bool GetDword(const std::string& name, DWORD& value) const;

 private:
  void Remove() const;

  HKEY Root_;
  std::string Path_;
  REGSAM View_;
};

// Sets an environment variable of this process (null: removes it) and puts
// back what was there before on destruction. Programs started meanwhile
// inherit it.
class ScopedEnvironment {
 public:
  ScopedEnvironment(std::string name, const char* value);
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  std::string Name_;
  bool HadValue_ = false;
  std::string Previous_;
};

// Makes `link` a symbolic link to the folder `target`; false when the system
// made none. Wine 8 reports success without making anything, so the link is
// looked for as well.
bool MakeFolderLink(const std::string& link, const std::string& target);

// Pixels as 0x00RRGGBB, row by row from the top.
struct Pixels {
  int Width = 0;
  int Height = 0;
  std::vector<uint32_t> Data;
};
// What the window shows in area (client coordinates), read from its DC.
Pixels CaptureWindow(HWND window, const RECT& area);
// A fresh width x height picture: draw paints it into a 32-bit memory DC.
Pixels DrawPixels(int width, int height, const std::function<void(HDC)>& draw);
// How many pixels differ by more than tolerance in some colour channel
// (every pixel, when the sizes differ).
size_t DifferentPixels(const Pixels& a, const Pixels& b, int tolerance = 0);

// Full path of the running test program's folder.
std::string ModuleFolder();

// Whether this 32-bit test program runs under a user-mode emulator
// (qemu-user on a machine whose kernel runs no 32-bit programs; ./run says
// so through DG_EMULATED_32). There a 32-bit Wine process dies as soon as two
// of its threads are in system calls at the same time, so a case that needs
// two threads at work at once cannot run: it skips with
// DG_SKIP_WHERE_EMULATED, giving its reason. Windows runs those cases, and
// so does every native run of either edition.
bool EmulatedOneThreadAtATime();

#define DG_SKIP_WHERE_EMULATED(why)                                                              \
  do {                                                                                           \
    if (::testing_support::EmulatedOneThreadAtATime())                                          \
      GTEST_SKIP() << "emulated 32-bit process: two threads in system calls at once crash it; " \
                   << (why);                                                                     \
  } while (false)

}  // namespace testing_support
