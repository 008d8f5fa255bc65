#include "forms/picture.h"

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

// PNG, JPEG, GIF (its first frame) and whatever else the platform's codecs
// read, flattened onto the dialog colour.
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

handles::UniqueBitmap LoadPictureFile(const std::string& path) {
  if (path.empty()) return {};
  handles::UniqueBitmap bitmap(static_cast<HBITMAP>(
      LoadImageA(nullptr, path.c_str(), IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE | LR_CREATEDIBSECTION)));
  if (!bitmap && GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) bitmap = LoadCodecPicture(path);
  return bitmap;
}

}  // namespace forms
