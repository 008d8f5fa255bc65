#include "tools/skitplay/isofile.h"

#include <windows.h>

#include <cstdint>

#include "base/handles.h"
#include "tools/skitplay/moviesource.h"
#include "tools/skitplay/skitanim.h"

namespace movie {

namespace {

constexpr int kMaxBoxes = 10000;

uint32_t Big32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}

bool IsTypeCharacter(unsigned char c) { return c >= 0x20 && c <= 0x7E; }

std::string Type(const unsigned char* p) { return std::string(reinterpret_cast<const char*>(p), 4); }

// The boxes an ISO file starts with (as filekind.cpp tells a movie).
bool IsFirstBox(const unsigned char* header) {
  if (header[0] != 0) return false;
  const std::string type = Type(header + 4);
  for (const char* first : {"ftyp", "moov", "mdat", "free", "wide", "skip"})
    if (type == first) return true;
  return false;
}

}  // namespace

// ISO base media files are a chain of boxes from the first byte to the last;
// each box starts:
//   offset size field
//   0      4    the box's size in bytes, big-endian, header included;
//               1: a 64-bit size follows the type; 0: the box runs to the
//               end of the file
//   4      4    its type, four characters ("ftyp", "moov", "mdat", ...)
//   8      8    the 64-bit size, big-endian, when the size is 1
// Only the top level is walked; the movie header box ("moov") must be among
// its boxes. Fewer than 8 bytes after the last box are left alone.
std::string IsoFileProblem(const std::string& path) {
  handles::UniqueFile file(
      CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) throw MovieError("cannot open " + path + ": " + skit::SystemErrorText(GetLastError()));
  LARGE_INTEGER size;
  if (GetFileType(file.get()) != FILE_TYPE_DISK || !GetFileSizeEx(file.get(), &size))
    throw MovieError("cannot read " + path);
  const uint64_t length = static_cast<uint64_t>(size.QuadPart);

  uint64_t at = 0;
  bool movieHeader = false;
  for (int boxes = 0; at + 8 <= length; ++boxes) {
    if (boxes == kMaxBoxes) return "the file is damaged: it has more than " + std::to_string(kMaxBoxes) + " boxes";
    unsigned char header[16];
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(at);
    DWORD got = 0;
    if (!SetFilePointerEx(file.get(), position, nullptr, FILE_BEGIN) ||
        !ReadFile(file.get(), header, sizeof header, &got, nullptr) || got < 8)
      throw MovieError("cannot read " + path + ": " + skit::SystemErrorText(GetLastError()));
    // Not an ISO file at all: the system's reader decides.
    if (at == 0 && !IsFirstBox(header)) return {};
    bool typed = true;
    for (int i = 4; i < 8; ++i) typed = typed && IsTypeCharacter(header[i]);
    if (!typed) return "the file is damaged: no box starts at byte " + std::to_string(at);
    uint64_t box = Big32(header);
    uint64_t headerBytes = 8;
    if (box == 1) {
      if (got < 16) return "the file is cut short: its " + Type(header + 4) + " box has no size";
      box = static_cast<uint64_t>(Big32(header + 8)) << 32 | Big32(header + 12);
      headerBytes = 16;
    } else if (box == 0) {
      box = length - at;
    }
    if (box < headerBytes) return "the file is damaged: the " + Type(header + 4) + " box at byte " + std::to_string(at) +
                                  " is smaller than its header";
    if (Type(header + 4) == "moov") movieHeader = true;
    if (box > length - at)
      return "the file is cut short: its " + Type(header + 4) + " box runs to byte " + std::to_string(at + box) +
             " of a file of " + std::to_string(length) + " bytes";
    at += box;
  }
  if (!movieHeader) return "the file is cut short or damaged: it has no movie header (moov box)";
  return {};
}

}  // namespace movie
