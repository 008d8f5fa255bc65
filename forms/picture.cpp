#include "forms/picture.h"

#include <cstdint>
#include <cstring>

#include "base/little_endian.h"

#include <objidl.h>  // before gdiplus.h, which needs it and WIN32_LEAN_AND_MEAN leaves out
#include <gdiplus.h>

namespace forms {

namespace {

void DisposeImage(Gdiplus::GpBitmap* picture) { Gdiplus::DllExports::GdipDisposeImage(picture); }
using UniqueGdiPlusBitmap = handles::UniqueAny<Gdiplus::GpBitmap*, &DisposeImage>;

// GDI+ is started on first use and left running until the process ends:
// shutting it down from a static destructor races with its own threads.
bool StartGdiPlus() {
  static bool started = [] {
    Gdiplus::GdiplusStartupInput input;
    ULONG_PTR token = 0;
    return Gdiplus::GdiplusStartup(&token, &input, nullptr) == Gdiplus::Ok;
  }();
  return started;
}

// A PNG through the platform's codecs, flattened onto the dialog colour.
handles::UniqueBitmap LoadCodecPicture(const std::string& path) {
  if (!StartGdiPlus()) return {};
  // The path is UTF-8 (the process code page); one that is not valid UTF-8
  // names no picture.
  int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.c_str(), -1, nullptr, 0);
  if (length <= 0) return {};
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.c_str(), -1, wide.data(), length);
  UniqueGdiPlusBitmap picture;
  if (Gdiplus::DllExports::GdipCreateBitmapFromFile(wide.c_str(), picture.put()) != Gdiplus::Ok || !picture)
    return {};
  const COLORREF face = GetSysColor(COLOR_BTNFACE);
  const Gdiplus::ARGB background = 0xFF000000u | (GetRValue(face) << 16) | (GetGValue(face) << 8) | GetBValue(face);
  HBITMAP bitmap = nullptr;
  if (Gdiplus::DllExports::GdipCreateHBITMAPFromBitmap(picture.get(), &bitmap, background) != Gdiplus::Ok)
    return {};
  return handles::UniqueBitmap(bitmap);
}

}  // namespace

PictureKind ReadPictureKind(const std::string& path) {
  const handles::UniqueFile file(
      CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return PictureKind::None;
  LARGE_INTEGER size = {};
  unsigned char head[32] = {};
  DWORD read = 0;
  if (!GetFileSizeEx(file.get(), &size) || !ReadFile(file.get(), head, sizeof head, &read, nullptr) ||
      size.QuadPart > kPictureFileLimit || read < 26)
    return PictureKind::None;
  const auto little = [&](int at) { return static_cast<int32_t>(GetLe32(head + at)); };
  const auto big = [&](int at) {
    return static_cast<uint32_t>(head[at]) << 24 | head[at + 1] << 16 | head[at + 2] << 8 | head[at + 3];
  };
  const auto fits = [](int64_t width, int64_t height) {
    return width > 0 && height > 0 && width <= kPictureSideLimit && height <= kPictureSideLimit;
  };
  if (head[0] == 'B' && head[1] == 'M') {
    const int64_t height = little(22);
    return fits(little(18), height < 0 ? -height : height) ? PictureKind::Bmp : PictureKind::None;
  }
  static const unsigned char kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  if (std::memcmp(head, kPngSignature, 8) == 0 && std::memcmp(head + 12, "IHDR", 4) == 0)
    return fits(big(16), big(20)) ? PictureKind::Png : PictureKind::None;
  return PictureKind::None;
}

handles::UniqueBitmap LoadPictureFile(const std::string& path) {
  if (path.empty()) return {};
  switch (ReadPictureKind(path)) {
    case PictureKind::Bmp:
      return handles::UniqueBitmap(static_cast<HBITMAP>(
          LoadImageA(nullptr, path.c_str(), IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE | LR_CREATEDIBSECTION)));
    case PictureKind::Png: return LoadCodecPicture(path);
    default: return {};
  }
}

}  // namespace forms
