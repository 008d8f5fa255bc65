// Pictures read from files for TImage. The form library's own.
#pragma once

#include <windows.h>

#include <string>

#include "base/handles.h"

namespace forms {

// A BMP file, or a PNG, JPEG or GIF file (its first frame) through GDI+,
// flattened onto the dialog colour; no bitmap when the file cannot be read
// as a picture.
handles::UniqueBitmap LoadPictureFile(const std::string& path);

}  // namespace forms
