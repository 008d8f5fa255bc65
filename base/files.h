// Strict wrappers over the Win32 file and directory calls. A cFile turns
// every failed or short operation into std::runtime_error with the system's
// text; the name-based look-ups never throw.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

// One Win32 file handle. Deliberately not closed by the destructor: the owner
// calls Close(), which is always safe, also after a failed Open or Create.
class cFile {
 public:
  cFile() = default;
  cFile(const cFile&) = delete;
  cFile& operator=(const cFile&) = delete;
  ~cFile() = default;

  void Open(const std::string& name, DWORD access, DWORD shareMode);
  void Create(const std::string& name, DWORD flagsAndAttributes, DWORD shareMode);
  int Close();
  void Read(void* buffer, DWORD count);
  void Write(const void* buffer, DWORD count);
  DWORD Seek(LONG distance, DWORD method);
  void Truncate();
  // The whole size, in 64 bits (GetFileSizeEx).
  uint64_t GetSize();
  // Pushes the file's data to the disk (FlushFileBuffers); throws on failure.
  void Flush();

  // Where tests make a disk fill up or a machine stop: when set, it is asked
  // before every Write with the handle, the bytes and their count, and
  // answers how many of them reach the file; when that is fewer, the write
  // fails after them with ERROR_DISK_FULL, as a full disk's would.
  using WriteSeamFn = std::function<DWORD(HANDLE file, const void* buffer, DWORD count)>;
  static WriteSeamFn WriteSeam;

  HANDLE Handle = INVALID_HANDLE_VALUE;
};

// A new file under a name of its own in a folder, to be renamed into place
// once it is complete and checked. It is made new (never an existing file
// or a link someone put there) and held from its creation to its rename
// without sharing, so what is checked is what lands under the final name;
// unless it was renamed into place it is deleted with its handle.
class cStagedFile {
 public:
  // Throws the system's text with the folder when no file can be made there.
  explicit cStagedFile(const std::string& folder);
  ~cStagedFile();
  cStagedFile(const cStagedFile&) = delete;
  cStagedFile& operator=(const cStagedFile&) = delete;

  // Renames the file, through its handle, to target in the same folder,
  // replacing a file of that name unless that is read-only (or a folder);
  // throws the system's text with target.
  void Place(const std::string& target);
  const std::string& Path() const { return Path_; }

  cFile File;  // open for reading and writing

 private:
  std::string Path_;
  bool Placed_ = false;
};

// Copies length bytes between the current positions of two open files, in
// pieces of at most 8192 bytes.
void CopyFileData(cFile& source, cFile& target, DWORD length);

// Attributes accepted by the name-based look-ups: read-only, system, archive,
// normal and compressed. The normal bit stands for every file that is not a
// folder, whatever its attributes; plain folders do not match.
constexpr DWORD FIND_ANY_FILE = 0x8A5;

// Whether the scanner takes a directory entry under an attribute mask: never
// "." or ".."; an entry sharing a bit with the mask; with
// FILE_ATTRIBUTE_NORMAL in the mask, any entry that is not a folder.
bool FindEntryPasses(DWORD mask, const WIN32_FIND_DATAA& entry);

class cFindFile {
 public:
  cFindFile() = default;
  cFindFile(const cFindFile&) = delete;
  cFindFile& operator=(const cFindFile&) = delete;
  ~cFindFile() { Close(); }

  bool First(DWORD mask, const std::string& pattern);
  bool Next();
  void Close();

  std::string Name;       // as stored in the directory, no folder
  std::string ShortName;  // 8.3 alternate name, empty when there is none
  DWORD Attributes = 0;
  DWORD SizeLow = 0;
  DWORD SizeHigh = 0;
  FILETIME CreationTime{};
  FILETIME LastAccessTime{};
  FILETIME LastWriteTime{};
  HANDLE Handle = INVALID_HANDLE_VALUE;
  DWORD AttributeMask = 0;
  WIN32_FIND_DATAW FindData{};

 private:
  // Also sets Name and ShortName.
  bool Accept();
  void CopyEntry();
};

bool FileExists(const std::string& path);
bool FindFileEntry(cFindFile& scanner, const std::string& path);
// The entry's whole size, both halves; 0 when nothing is found.
uint64_t GetFileSizeByName(const std::string& path);
// The entry's name as stored (long name for a short-name path), or path
// itself when nothing is found.
bool FileFindName(std::string& target, const std::string& path);

// "\", ":" and "/" all separate. Either output may be null.
void SplitPath(const std::string& path, std::string* folder, std::string* name);
// folder + "\" + name; no separator is added after a folder of fewer than two
// characters or one that already ends in a separator.
std::string JoinPath(const std::string& folder, const std::string& name);
bool IsPathSeparator(char c);

// The running program's full path; throws std::runtime_error when UTF-8
// cannot represent it.
std::string ModuleFileName();
// The text called name in a program file's version information, in the
// first language the file lists; false when the file has no such text.
bool ReadVersionText(const std::string& file, const char* name, std::string& value);
// path with everything from its last "." replaced by extension, or with
// extension appended when it has no "." at all (the whole path is searched,
// so a dot in a folder name counts).
std::string ReplaceExtension(const std::string& path, const std::string& extension);
