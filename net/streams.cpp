#include "net/streams.h"

#include <cstring>

#include "base/errors.h"

TFileStream::TFileStream(const std::string& fileName) : FileName_(fileName) {
  File_.Create(fileName, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ);
}

TFileStream::~TFileStream() { File_.Close(); }

void TFileStream::SetPosition(int64_t position) {
  LARGE_INTEGER distance;
  distance.QuadPart = position;
  if (!SetFilePointerEx(File_.Handle, distance, nullptr, FILE_BEGIN)) ThrowLastError(FileName_);
}

void TFileStream::WriteBuffer(const void* buffer, size_t count) {
  const char* bytes = static_cast<const char*>(buffer);
  while (count > 0) {
    DWORD piece = count > 0x40000000 ? 0x40000000 : static_cast<DWORD>(count);
    DWORD written = 0;
    if (!WriteFile(File_.Handle, bytes, piece, &written, nullptr) || written != piece) ThrowLastError(FileName_);
    bytes += piece;
    count -= piece;
  }
}

void TMemoryStream::SetPosition(int64_t position) {
  Position = position < 0 ? 0 : static_cast<size_t>(position);
  if (Position > Data.size()) Data.resize(Position, '\0');
}

void TMemoryStream::WriteBuffer(const void* buffer, size_t count) {
  if (count == 0) return;
  if (Position + count > Data.size()) Data.resize(Position + count);
  std::memcpy(&Data[Position], buffer, count);
  Position += count;
}
