#include "tests/support/testing.h"

#include <winioctl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <utility>
#include <vector>

#include "base/files.h"
#include "base/little_endian.h"

namespace testing_support {

namespace {

std::string CurrentFolder() {
  char buffer[MAX_PATH * 2];
  DWORD n = GetCurrentDirectoryA(sizeof buffer, buffer);
  return std::string(buffer, n);
}

std::string SanitisedTestName() {
  std::string name = "test";
  if (const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info()) {
    name = std::string(info->test_suite_name()) + "." + info->name();
  }
  for (char& c : name) {
    if (!isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-') c = '_';
  }
  return name;
}

thread_local MessageBoxCatcher* ActiveCatcher = nullptr;
thread_local int FailingDepth = 0;
thread_local int AllowedDepth = 0;

std::string WindowText(HWND window) {
  char buffer[4096];
  int n = GetWindowTextA(window, buffer, sizeof buffer);
  return std::string(buffer, n > 0 ? n : 0);
}

BOOL CALLBACK CollectStatic(HWND child, LPARAM param) {
  char cls[32];
  GetClassNameA(child, cls, sizeof cls);
  if (lstrcmpiA(cls, "Static") == 0) {
    try {
      std::string text = WindowText(child);
      if (!text.empty()) {
        auto* out = reinterpret_cast<std::string*>(param);
        if (!out->empty()) *out += "\n";
        *out += text;
      }
    } catch (...) {
      return FALSE;  // the box's text stays incomplete; the test compares it
    }
  }
  return TRUE;
}

void CatchBox(int code, WPARAM wParam) {
  MessageBoxCatcher* catcher = ActiveCatcher;
  // The catcher's own records may be kept while the code under test is
  // being refused memory.
  AllowedAllocations bookkeeping;
  if (code == HCBT_ACTIVATE && catcher != nullptr) {
    HWND box = reinterpret_cast<HWND>(wParam);
    char cls[32];
    GetClassNameA(box, cls, sizeof cls);
    // A message box: a dialog with its text in the static control 0xFFFF;
    // each box is answered once, however often it is activated.
    if (lstrcmpA(cls, "#32770") == 0 && GetDlgItem(box, 0xFFFF) != nullptr && GetPropA(box, "CaughtBox") == nullptr) {
      CaughtBox caught;
      caught.Caption = WindowText(box);
      EnumChildWindows(box, CollectStatic, reinterpret_cast<LPARAM>(&caught.Text));
      catcher->Boxes.push_back(caught);
      // A box with no owner can be activated before its text is set: the
      // text is read again when the box goes.
      SetPropA(box, "CaughtBox", reinterpret_cast<HANDLE>(catcher->Boxes.size()));
      if (catcher->OnBox) catcher->OnBox(box);
      PostMessageA(box, WM_COMMAND, MAKEWPARAM(catcher->Answer, BN_CLICKED), 0);
    }
  }
  if (code == HCBT_DESTROYWND && catcher != nullptr) {
    HWND box = reinterpret_cast<HWND>(wParam);
    const size_t index = reinterpret_cast<size_t>(GetPropA(box, "CaughtBox"));
    if (index != 0 && index <= catcher->Boxes.size() && catcher->Boxes[index - 1].Text.empty())
      EnumChildWindows(box, CollectStatic, reinterpret_cast<LPARAM>(&catcher->Boxes[index - 1].Text));
    if (index != 0) RemovePropA(box, "CaughtBox");
  }
}

LRESULT CALLBACK CatcherHook(int code, WPARAM wParam, LPARAM lParam) {
  try {
    CatchBox(code, wParam);
  } catch (const std::exception& error) {
    ADD_FAILURE() << "the message box catcher failed: " << error.what();
  } catch (...) {
    ADD_FAILURE() << "the message box catcher failed";
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

}  // namespace

TempDir::TempDir() {
  static std::atomic<int> counter{0};
  std::string base = CurrentFolder() + "\\scratch";
  CreateDirectoryA(base.c_str(), nullptr);
  Path_ = base + "\\" + SanitisedTestName() + "-" + std::to_string(GetCurrentProcessId()) + "-" +
          std::to_string(counter++);
  RemoveTree(Path_);
  if (!CreateDirectoryA(Path_.c_str(), nullptr)) throw std::runtime_error("cannot create " + Path_);
}

TempDir::~TempDir() { RemoveTree(Path_); }

std::string TempDir::File(const std::string& name) const { return Path_ + "\\" + name; }

void RemoveTree(const std::string& path) {
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((path + "\\*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      std::string name = data.cFileName;
      if (name == "." || name == "..") continue;
      std::string full = path + "\\" + name;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(full);
      } else {
        SetFileAttributesA(full.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(full.c_str());
      }
    } while (FindNextFileA(find, &data));
    FindClose(find);
  }
  RemoveDirectoryA(path.c_str());
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// MS-DOS header ("MZ", the PE header's offset at 0x3C), then the PE header:
// "PE\0\0" and the 16-bit machine.
WORD ProgramMachine(const std::string& path) {
  const std::string bytes = ReadFileBytes(path);
  if (bytes.size() < 0x40 || bytes.compare(0, 2, "MZ") != 0) return 0;
  const uint32_t header = GetLe32(bytes.data() + 0x3C);
  if (bytes.size() < static_cast<size_t>(header) + 6 || bytes.compare(header, 4, std::string("PE\0\0", 4)) != 0)
    return 0;
  return GetLe16(bytes.data() + header + 4);
}

void WriteSparseFile(const std::string& path, const std::string& bytes, uint64_t size) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot create " + path);
  DWORD returned = 0;
  // NTFS would otherwise reserve the whole size; a file system without
  // sparse files refuses, and the file is merely large.
  DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
  DWORD written = 0;
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(size);
  const bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                  written == bytes.size() && SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
  CloseHandle(file);
  if (!ok) throw std::runtime_error("cannot make " + path + " " + std::to_string(size) + " bytes long");
}

MessageBoxCatcher::MessageBoxCatcher(int answer) : Answer(answer) {
  Previous_ = ActiveCatcher;
  ActiveCatcher = this;
  Hook_ = SetWindowsHookExA(WH_CBT, CatcherHook, nullptr, GetCurrentThreadId());
}

MessageBoxCatcher::~MessageBoxCatcher() {
  if (Hook_) UnhookWindowsHookEx(Hook_);
  ActiveCatcher = Previous_;
}

bool MakeFolderLink(const std::string& link, const std::string& target) {
  if (!CreateSymbolicLinkA(link.c_str(), target.c_str(),
                           SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE))
    return false;
  const DWORD attributes = GetFileAttributesA(link.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

ScopedEnvironment::ScopedEnvironment(std::string name, const char* value) : Name_(std::move(name)) {
  DWORD size = GetEnvironmentVariableA(Name_.c_str(), nullptr, 0);
  if (size > 0) {
    std::vector<char> buffer(size + 1, '\0');
    GetEnvironmentVariableA(Name_.c_str(), buffer.data(), size + 1);
    Previous_ = buffer.data();
    HadValue_ = true;
  }
  SetEnvironmentVariableA(Name_.c_str(), value);
}

ScopedEnvironment::~ScopedEnvironment() {
  SetEnvironmentVariableA(Name_.c_str(), HadValue_ ? Previous_.c_str() : nullptr);
}

ScopedRegistryKey::ScopedRegistryKey(HKEY root, std::string path, REGSAM view)
    : Root_(root), Path_(std::move(path)), View_(view) {
  Remove();
}

ScopedRegistryKey::~ScopedRegistryKey() { Remove(); }

void ScopedRegistryKey::Remove() const {
  HKEY key;
  if (RegOpenKeyExA(Root_, Path_.c_str(), 0, KEY_ALL_ACCESS | View_, &key) != ERROR_SUCCESS) return;
  RegDeleteTreeA(key, nullptr);
  RegCloseKey(key);
  RegDeleteKeyExA(Root_, Path_.c_str(), View_, 0);
}

void ScopedRegistryKey::SetString(const std::string& name, const std::string& value) const {
  HKEY key;
  if (RegCreateKeyExA(Root_, Path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | View_, nullptr, &key, nullptr) !=
      ERROR_SUCCESS)
    throw std::runtime_error("cannot create key " + Path_);
  RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                 static_cast<DWORD>(value.size() + 1));
  RegCloseKey(key);
}

void ScopedRegistryKey::SetDword(const std::string& name, DWORD value) const {
  HKEY key;
  if (RegCreateKeyExA(Root_, Path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | View_, nullptr, &key, nullptr) !=
      ERROR_SUCCESS)
    throw std::runtime_error("cannot create key " + Path_);
  RegSetValueExA(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
  RegCloseKey(key);
}

bool ScopedRegistryKey::GetDword(const std::string& name, DWORD& value) const {
  HKEY key;
  if (RegOpenKeyExA(Root_, Path_.c_str(), 0, KEY_QUERY_VALUE | View_, &key) != ERROR_SUCCESS) return false;
  DWORD size = sizeof value;
  const LONG result = RegGetValueA(key, nullptr, name.c_str(), RRF_RT_REG_DWORD, nullptr, &value, &size);
  RegCloseKey(key);
  return result == ERROR_SUCCESS;
}

namespace {

// A 32-bit top-down DIB section selected into a memory DC.
class DibCanvas {
 public:
  DibCanvas(int width, int height) : Width_(width), Height_(height) {
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    Dc_ = CreateCompatibleDC(nullptr);
    Bitmap_ = CreateDIBSection(Dc_, &info, DIB_RGB_COLORS, &Bits_, nullptr, 0);
    if (Dc_ == nullptr || Bitmap_ == nullptr) throw std::runtime_error("cannot make a DIB");
    Old_ = SelectObject(Dc_, Bitmap_);
  }
  ~DibCanvas() {
    SelectObject(Dc_, Old_);
    DeleteObject(Bitmap_);
    DeleteDC(Dc_);
  }
  DibCanvas(const DibCanvas&) = delete;
  DibCanvas& operator=(const DibCanvas&) = delete;

  HDC Dc() const { return Dc_; }
  Pixels Read() const {
    GdiFlush();
    Pixels pixels;
    pixels.Width = Width_;
    pixels.Height = Height_;
    const auto* bits = static_cast<const uint32_t*>(Bits_);
    pixels.Data.assign(bits, bits + static_cast<size_t>(Width_) * static_cast<size_t>(Height_));
    for (uint32_t& pixel : pixels.Data) pixel &= 0x00FFFFFFu;
    return pixels;
  }

 private:
  int Width_, Height_;
  HDC Dc_ = nullptr;
  HBITMAP Bitmap_ = nullptr;
  HGDIOBJ Old_ = nullptr;
  void* Bits_ = nullptr;
};

}  // namespace

Pixels CaptureWindow(HWND window, const RECT& area) {
  const int width = area.right - area.left, height = area.bottom - area.top;
  DibCanvas canvas(width, height);
  GdiFlush();
  HDC source = GetDC(window);
  BitBlt(canvas.Dc(), 0, 0, width, height, source, area.left, area.top, SRCCOPY);
  ReleaseDC(window, source);
  return canvas.Read();
}

Pixels DrawPixels(int width, int height, const std::function<void(HDC)>& draw) {
  DibCanvas canvas(width, height);
  draw(canvas.Dc());
  return canvas.Read();
}

size_t DifferentPixels(const Pixels& a, const Pixels& b, int tolerance) {
  if (a.Width != b.Width || a.Height != b.Height) return std::max(a.Data.size(), b.Data.size());
  size_t different = 0;
  for (size_t i = 0; i < a.Data.size(); ++i) {
    for (int shift = 0; shift < 24; shift += 8) {
      const int x = static_cast<int>((a.Data[i] >> shift) & 0xFF), y = static_cast<int>((b.Data[i] >> shift) & 0xFF);
      if (std::abs(x - y) > tolerance) {
        ++different;
        break;
      }
    }
  }
  return different;
}

std::string ModuleFolder() {
  char buffer[MAX_PATH * 2];
  DWORD n = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
  std::string path(buffer, n);
  return path.substr(0, path.find_last_of("\\/"));
}

bool EmulatedOneThreadAtATime() {
  if (sizeof(void*) != 4) return false;
  char value[8] = {};
  const DWORD n = GetEnvironmentVariableA("DG_EMULATED_32", value, sizeof value);
  return n > 0 && n < sizeof value && value[0] == '1';
}

namespace {

bool SameFile(HANDLE file, const std::string& path) {
  HANDLE other = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (other == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION a{}, b{};
  const bool same = GetFileInformationByHandle(file, &a) && GetFileInformationByHandle(other, &b) &&
                    a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
                    a.nFileIndexLow == b.nFileIndexLow;
  CloseHandle(other);
  return same;
}

}  // namespace

FileFaults::FileFaults() {
  cFile::WriteSeam = [this](HANDLE file, const void* buffer, DWORD count) -> DWORD {
    ++Writes;
    if (!CutsOf.empty()) {
      const std::string before = ReadFileBytes(CutsOf);
      Cuts.push_back(before);
      LARGE_INTEGER at{};
      if (SameFile(file, CutsOf) && SetFilePointerEx(file, LARGE_INTEGER{}, &at, FILE_CURRENT)) {
        std::string torn = before;
        const size_t from = static_cast<size_t>(at.QuadPart), half = count / 2;
        if (torn.size() < from + half) torn.resize(from + half, '\0');
        torn.replace(from, half, static_cast<const char*>(buffer), half);
        Cuts.push_back(torn);
      }
    }
    if (FailFrom != 0 && Writes >= FailFrom) return 0;
    const DWORD allowed = static_cast<DWORD>(std::min<uint64_t>(count, BytesLeft));
    BytesLeft -= allowed;
    return allowed;
  };
}

FileFaults::~FileFaults() { cFile::WriteSeam = nullptr; }

}  // namespace testing_support

namespace testing_support {

FailingAllocations::FailingAllocations() { ++FailingDepth; }
FailingAllocations::~FailingAllocations() { --FailingDepth; }
AllowedAllocations::AllowedAllocations() { ++AllowedDepth; }
AllowedAllocations::~AllowedAllocations() { --AllowedDepth; }
bool AllocationsFail() noexcept { return FailingDepth > 0 && AllowedDepth == 0; }

}  // namespace testing_support
