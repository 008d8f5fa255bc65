#include "tools/skitplay/filekind.h"

#include <windows.h>

#include <stdexcept>

#include "base/handles.h"
#include "tools/skitplay/skitanim.h"

namespace skit {

namespace {

bool StartsWith(const std::string& head, size_t at, const char* bytes, size_t count) {
  return head.size() >= at + count && head.compare(at, count, bytes, count) == 0;
}

bool LooksLikeMovie(const std::string& head) {
  // ISO base media (MP4, MOV, 3GP): a big-endian box size far below 16 MiB,
  // then "ftyp" (or an older file's first box).
  for (const char* box : {"ftyp", "moov", "mdat", "free", "wide", "skip"})
    if (head[0] == '\0' && StartsWith(head, 4, box, 4)) return true;
  static const char kAsf[] = "\x30\x26\xB2\x75\x8E\x66\xCF\x11";  // ASF header object
  if (StartsWith(head, 0, kAsf, 8)) return true;
  if (StartsWith(head, 0, "\x1A\x45\xDF\xA3", 4)) return true;  // EBML: Matroska, WebM
  if (StartsWith(head, 0, "RIFF", 4) && StartsWith(head, 8, "AVI ", 4)) return true;
  if (StartsWith(head, 0, "\x00\x00\x01\xBA", 4)) return true;  // MPEG program stream
  if (head.size() > 188 && head[0] == 0x47 && head[188] == 0x47) return true;  // MPEG transport stream
  return false;
}

bool LooksLikeText(const std::string& head) {
  for (char c : head) {
    auto u = static_cast<unsigned char>(c);
    if ((u < 32 && u != '\t' && u != '\r' && u != '\n') || u == 127) return false;
  }
  return true;
}

}  // namespace

FileKind KindOfBytes(const std::string& head) {
  if (head.empty()) return FileKind::Empty;
  const std::string probe = head.substr(0, kKindProbeBytes);
  if (LooksLikeMovie(probe)) return FileKind::Movie;
  return LooksLikeText(probe) ? FileKind::Scene : FileKind::Movie;
}

FileKind KindOfFile(const std::string& path) {
  handles::UniqueFile file(
      CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) throw std::runtime_error("cannot open " + path + ": " + SystemErrorText(GetLastError()));
  // A device or a pipe could keep a read waiting for ever: only disk files.
  if (GetFileType(file.get()) != FILE_TYPE_DISK) throw std::runtime_error(path + " is not a file");
  std::string head(kKindProbeBytes, '\0');
  DWORD got = 0;
  if (!ReadFile(file.get(), head.data(), static_cast<DWORD>(head.size()), &got, nullptr))
    throw std::runtime_error("cannot read " + path + ": " + SystemErrorText(GetLastError()));
  head.resize(got);
  return KindOfBytes(head);
}

}  // namespace skit
