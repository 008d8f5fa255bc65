// Pictures read from files for TImage. The form library's own.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "base/handles.h"

namespace forms {

// The pictures a file may hold for LoadPictureFile: a BMP or a PNG of at most
// kPictureSideLimit pixels a side in a file of at most kPictureFileLimit
// bytes, told by the file's first bytes (its name says nothing). Pictures
// come from the content server: nothing else reaches a decoder.
constexpr int64_t kPictureFileLimit = 8 * 1024 * 1024;
constexpr int64_t kPictureSideLimit = 4096;
enum class PictureKind { None, Bmp, Png };
PictureKind ReadPictureKind(const std::string& path);

// A BMP file, or a PNG file through GDI+ flattened onto the dialog colour; no
// bitmap when the file is neither, is over the limits, or cannot be read.
handles::UniqueBitmap LoadPictureFile(const std::string& path);

}  // namespace forms
