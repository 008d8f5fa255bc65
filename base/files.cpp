#include "base/files.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <vector>

#include "base/errors.h"
#include "base/text.h"

void cFile::Open(const std::string& name, DWORD access, DWORD shareMode) {
  Handle = CreateFileA(name.c_str(), access, shareMode, nullptr, OPEN_EXISTING,
                       FILE_FLAG_RANDOM_ACCESS | FILE_ATTRIBUTE_NORMAL, nullptr);
  if (Handle == INVALID_HANDLE_VALUE) ThrowLastError(name);
}

void cFile::Create(const std::string& name, DWORD flagsAndAttributes, DWORD shareMode) {
  Handle = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, shareMode, nullptr, CREATE_ALWAYS,
                       flagsAndAttributes, nullptr);
  if (Handle == INVALID_HANDLE_VALUE) ThrowLastError(name);
}

int cFile::Close() {
  if (Handle == INVALID_HANDLE_VALUE) return -1;
  BOOL closed = CloseHandle(Handle);
  Handle = INVALID_HANDLE_VALUE;
  return closed;
}

void cFile::Read(void* buffer, DWORD count) {
  SetLastError(0);
  DWORD got = 0;
  if (ReadFile(Handle, buffer, count, &got, nullptr)) {
    if (got == count) return;
    // A short read is reported by the system as success: make it end-of-file.
    if (GetLastError() == 0) SetLastError(ERROR_HANDLE_EOF);
  }
  ThrowLastError();
}

cFile::WriteSeamFn cFile::WriteSeam;

// A write that the system reports as done but cut short ran out of room.
void cFile::Write(const void* buffer, DWORD count) {
  const DWORD allowed = WriteSeam ? std::min(count, WriteSeam(Handle, buffer, count)) : count;
  DWORD written = 0;
  if (allowed > 0 && !WriteFile(Handle, buffer, allowed, &written, nullptr)) ThrowLastError();
  if (written != count) {
    SetLastError(ERROR_DISK_FULL);
    ThrowLastError();
  }
}

DWORD cFile::Seek(LONG distance, DWORD method) {
  DWORD position = SetFilePointer(Handle, distance, nullptr, method);
  if (position == INVALID_SET_FILE_POINTER) ThrowLastError();
  return position;
}

void cFile::Truncate() {
  if (!SetEndOfFile(Handle)) ThrowLastError();
}

uint64_t cFile::GetSize() {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(Handle, &size)) ThrowLastError();
  return static_cast<uint64_t>(size.QuadPart);
}

void cFile::Flush() {
  if (!FlushFileBuffers(Handle)) ThrowLastError();
}

void CopyFileData(cFile& source, cFile& target, DWORD length) {
  if (length == 0) return;
  const DWORD size = length < 8192 ? length : 8192;
  std::unique_ptr<char[]> buffer(new char[size]);
  for (DWORD remaining = length; remaining > 0;) {
    DWORD n = remaining < size ? remaining : size;
    source.Read(buffer.get(), n);
    target.Write(buffer.get(), n);
    remaining -= n;
  }
}

// The name is the folder's own: "~dg" and eight hex digits from the process,
// the time and a count, tried again whenever one is taken.
cStagedFile::cStagedFile(const std::string& folder) {
  static std::atomic<uint32_t> count{0};
  for (int attempt = 0; attempt < 64; ++attempt) {
    char name[16];
    const uint32_t tag = GetCurrentProcessId() * 2654435761u ^ GetTickCount() ^ count.fetch_add(1) * 40503u;
    std::snprintf(name, sizeof name, "~dg%08lx.new", static_cast<unsigned long>(tag));
    const std::string path = JoinPath(folder, name);
    File.Handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (File.Handle != INVALID_HANDLE_VALUE) {
      Path_ = path;
      return;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
      SetLastError(error);
      ThrowLastError(folder);
    }
  }
  ThrowCode(ERROR_FILE_EXISTS, folder);
}

// Marked for deletion through the handle, so that the name goes whatever
// else now has a name like it.
cStagedFile::~cStagedFile() {
  if (!Placed_ && File.Handle != INVALID_HANDLE_VALUE) {
    FILE_DISPOSITION_INFO disposition{TRUE};
    SetFileInformationByHandle(File.Handle, FileDispositionInfo, &disposition, sizeof disposition);
  }
  File.Close();
}

// A file already under the target name is deleted first, and only then is
// the staged file renamed, never over it: a read-only file or a folder
// refuses to go, as they would refuse a copy, on every system alike.
void cStagedFile::Place(const std::string& target) {
  const std::wstring wide = WideFromUtf8(target);
  std::vector<uint8_t> buffer(sizeof(FILE_RENAME_INFO) + (wide.size() + 1) * sizeof(WCHAR));
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = FALSE;
  rename->RootDirectory = nullptr;
  std::copy(wide.begin(), wide.end(), rename->FileName);
  rename->FileName[wide.size()] = L'\0';
  rename->FileNameLength = static_cast<DWORD>(wide.size() * sizeof(WCHAR));
  const auto renamed = [&] {
    return SetFileInformationByHandle(File.Handle, FileRenameInfo, rename, static_cast<DWORD>(buffer.size())) != FALSE;
  };
  if (!renamed()) {
    const DWORD error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) {
      SetLastError(error);
      ThrowLastError(target);
    }
    if (!DeleteFileA(target.c_str()) || !renamed()) ThrowLastError(target);
  }
  Placed_ = true;
  Path_ = target;
}

// An entry whose name UTF-8 cannot carry cannot be named by the program
// either: it does not pass.
bool cFindFile::Accept() {
  WIN32_FIND_DATAA entry{};
  entry.dwFileAttributes = FindData.dwFileAttributes;
  try {
    Name = Utf8FromWide(FindData.cFileName);
    ShortName = Utf8FromWide(FindData.cAlternateFileName);
  } catch (const std::exception&) {
    return false;
  }
  const size_t length = Name.size() < MAX_PATH ? Name.size() : MAX_PATH - 1;
  Name.copy(entry.cFileName, length);
  return FindEntryPasses(AttributeMask, entry);
}

// A mask with FILE_ATTRIBUTE_NORMAL asks for files: every entry that is not
// a folder passes, whatever other bits it carries. Windows sets NORMAL only
// on a file with no other attribute, so a file marked only not-indexed,
// sparse, offline, hidden or temporary shares no bit with FIND_ANY_FILE and
// would otherwise count as missing (Wine gives every file the archive bit,
// which hides this).
bool FindEntryPasses(DWORD mask, const WIN32_FIND_DATAA& entry) {
  const char* name = entry.cFileName;
  if ((name[0] == '.' && name[1] == '\0') || (name[0] == '.' && name[1] == '.' && name[2] == '\0')) return false;
  if (mask == 0) return false;
  if (entry.dwFileAttributes & mask) return true;
  return (mask & FILE_ATTRIBUTE_NORMAL) && !(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

void cFindFile::CopyEntry() {
  Attributes = FindData.dwFileAttributes;
  SizeLow = FindData.nFileSizeLow;
  SizeHigh = FindData.nFileSizeHigh;
  CreationTime = FindData.ftCreationTime;
  LastAccessTime = FindData.ftLastAccessTime;
  LastWriteTime = FindData.ftLastWriteTime;
}

// Through the wide calls: a name of more than 259 bytes in UTF-8 may still
// be a valid name. A pattern that is not valid UTF-8 finds nothing.
bool cFindFile::First(DWORD mask, const std::string& pattern) {
  Close();
  AttributeMask = mask;
  std::wstring wide;
  try {
    wide = WideFromUtf8(pattern);
  } catch (const std::exception&) {
    return false;
  }
  Handle = FindFirstFileW(wide.c_str(), &FindData);
  if (Handle == INVALID_HANDLE_VALUE) return false;
  if (Accept()) {
    CopyEntry();
    return true;
  }
  return Next();
}

bool cFindFile::Next() {
  if (Handle == INVALID_HANDLE_VALUE) return false;
  while (FindNextFileW(Handle, &FindData)) {
    if (Accept()) {
      CopyEntry();
      return true;
    }
  }
  return false;
}

void cFindFile::Close() {
  if (Handle != INVALID_HANDLE_VALUE) {
    FindClose(Handle);
    Handle = INVALID_HANDLE_VALUE;
  }
}

bool FindFileEntry(cFindFile& scanner, const std::string& path) {
  bool found = scanner.First(FIND_ANY_FILE, path);
  scanner.Close();
  return found;
}

bool FileExists(const std::string& path) {
  cFindFile scanner;
  return FindFileEntry(scanner, path);
}

uint64_t GetFileSizeByName(const std::string& path) {
  cFindFile scanner;
  if (!FindFileEntry(scanner, path)) return 0;
  return static_cast<uint64_t>(scanner.SizeHigh) << 32 | scanner.SizeLow;
}

bool FileFindName(std::string& target, const std::string& path) {
  cFindFile scanner;
  bool found = FindFileEntry(scanner, path);
  target = found ? scanner.Name : path;
  return found;
}

bool IsPathSeparator(char c) { return c == '\\' || c == ':' || c == '/'; }

// Through the wide call: a path of more than 259 bytes in UTF-8 may still be
// a valid path, and one that UTF-8 cannot carry is an error, not a guess.
std::string ModuleFileName() {
  std::wstring module(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, module.data(), static_cast<DWORD>(module.size()));
    if (n < module.size() || module.size() >= 32768) {
      module.resize(n < module.size() ? n : 0);
      break;
    }
    module.resize(module.size() * 2);
  }
  return Utf8FromWide(module, "The program's path");
}

std::string ReplaceExtension(const std::string& path, const std::string& extension) {
  size_t dot = path.rfind('.');
  return (dot == std::string::npos ? path : path.substr(0, dot)) + extension;
}

void SplitPath(const std::string& path, std::string* folder, std::string* name) {
  for (size_t i = path.size(); i-- > 0;) {
    if (IsPathSeparator(path[i])) {
      if (name) *name = path.substr(i + 1);
      if (folder) *folder = path.substr(0, i);
      return;
    }
  }
  if (name) *name = path;
  if (folder) folder->clear();
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  std::string target = folder;
  if (target.size() >= 2 && !IsPathSeparator(target.back())) target += '\\';
  target += name;
  return target;
}

bool ReadVersionText(const std::string& file, const char* name, std::string& value) {
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeA(file.c_str(), &handle);
  if (size == 0) return false;
  std::vector<char> info(size);
  if (!GetFileVersionInfoA(file.c_str(), 0, size, info.data())) return false;
  struct Translation {
    WORD Language;
    WORD CodePage;
  };
  Translation* translations = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(info.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translations), &length) ||
      translations == nullptr || length < sizeof(Translation))
    return false;
  char query[128];
  std::snprintf(query, sizeof query, "\\StringFileInfo\\%04x%04x\\%s", translations[0].Language,
                translations[0].CodePage, name);
  char* text = nullptr;
  if (!VerQueryValueA(info.data(), query, reinterpret_cast<void**>(&text), &length) || text == nullptr) return false;
  value.assign(text, strnlen(text, length));
  return true;
}
