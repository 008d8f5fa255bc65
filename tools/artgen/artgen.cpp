// artgen: draws the program's artwork and the demo skits' preview pictures at
// build time, so that no picture has to be kept in the repository.
//
//   artgen [--artwork DIR] [--previews DIR SKIT...] [--check SKIT...]
//
// --artwork writes DIR\preview.bmp (152 x 112, the display-settings preview),
// DIR\aboutbox.bmp (360 x 216, the about box) and DIR\drearigrams.ico
// (48, 32 and 16 pixels). The pictures are skit scenes themselves, drawn by
// the player's own renderer. --previews writes, for every SKIT, a 128 x 128
// picture of its frame at its preview moment, named like the skit with the
// extension ".bmp", into DIR. --check only parses each SKIT. Every skit
// named is parsed strictly, so a broken demo skit fails the build.
//
// A console tool: it reports on standard error and by its exit status (0 done,
// 1 failed, 2 wrong usage), never with a message box.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/handles.h"
#include "base/library_search.h"
#include "base/little_endian.h"
#include "tools/skitplay/skitanim.h"

namespace {

const char kPreviewScene[] = R"(skit 1
length 2
background #0B1D3A #4A3A6A
ellipse 76 24 15 20 #F3E3B0
ellipse 17 58 6 9 #FFC857
ellipse 35 40 5 7 #FF9F68
ellipse 58 50 5 8 #FFD98E
ellipse 88 62 4 6 #FFB870
ellipse 22 96 60 26 #14213D
ellipse 78 98 70 30 #1B2B4B
text 50 78 14 #FFFFFF "Drearigrams" bold
)";

const char kAboutScene[] = R"(skit 1
length 2
background #0B1D3A #5A3F6E
ellipse 82 22 10 17 #F3E3B0
ellipse 10 40 3 5 #FFC857
ellipse 24 26 2.5 4 #FF9F68
ellipse 66 30 2.5 4.5 #FFD98E
ellipse 92 52 2 3.5 #FFB870
ellipse 16 100 50 30 #14213D
ellipse 70 104 80 34 #1B2B4B
text 50 46 17 #FFFFFF "Drearigrams" bold
text 50 62 8 #E8D9B5 "Screensaver"
text 50 92 5 #AFC3DA "Brindlecove"
)";

// Magenta is the icon's see-through colour: nothing else in it may use it.
constexpr COLORREF kIconKey = RGB(255, 0, 255);
const char kIconScene[] = R"(skit 1
length 2
background #FF00FF
ellipse 50 50 94 94 #1E3C64
ellipse 50 50 80 80 #27496D
ellipse 58 40 42 42 #FFC857
ellipse 30 66 22 22 #FF9F68
)";

std::string Extensionless(const std::string& path) {
  size_t slash = path.find_last_of("\\/:");
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  size_t dot = name.rfind('.');
  return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

std::string Join(const std::string& folder, const std::string& name) {
  if (folder.empty() || folder.back() == '\\' || folder.back() == '/') return folder + name;
  return folder + "\\" + name;
}

void WriteWholeFile(const std::string& path, const std::string& bytes) {
  handles::UniqueFile file(
      CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) throw std::runtime_error("cannot create " + path + ": " + skit::SystemErrorText(GetLastError()));
  DWORD written = 0;
  BOOL ok = WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  DWORD error = GetLastError();
  file.reset();
  if (!ok || written != bytes.size()) throw std::runtime_error("cannot write " + path + ": " + skit::SystemErrorText(error));
}

// Icon file (.ico), little-endian:
//   offset  size  field
//   0       2     0 (reserved)
//   2       2     1 (icon)
//   4       2     number of images N
//   6       16*N  one entry per image: width (1 byte, 0 means 256), height
//                 (1), colour count 0 (1), reserved 0 (1), planes 1 (2),
//                 bits per pixel 32 (2), image bytes (4), image offset (4)
//   ...           the images, each a BITMAPINFOHEADER (40 bytes; its height
//                 counts both masks, so twice the icon's), the colour pixels
//                 bottom-up as B, G, R, A, then the AND mask bottom-up, one bit
//                 per pixel (1 = see-through), rows padded to 4 bytes
std::string IconFile(const std::vector<const skit::Canvas*>& images) {
  std::string head, body;
  AppendLe16(head, 0);
  AppendLe16(head, 1);
  AppendLe16(head, static_cast<uint16_t>(images.size()));
  uint32_t offset = 6 + 16 * static_cast<uint32_t>(images.size());
  for (const skit::Canvas* canvas : images) {
    const int size = canvas->Width();
    const uint32_t maskStride = ((static_cast<uint32_t>(size) + 31) / 32) * 4;
    std::string image;
    AppendLe32(image, 40);
    AppendLe32(image, static_cast<uint32_t>(size));
    AppendLe32(image, static_cast<uint32_t>(size) * 2);
    AppendLe16(image, 1);
    AppendLe16(image, 32);
    AppendLe32(image, BI_RGB);
    AppendLe32(image, static_cast<uint32_t>(size * size * 4) + maskStride * size);
    AppendLe32(image, 0);
    AppendLe32(image, 0);
    AppendLe32(image, 0);
    AppendLe32(image, 0);
    const uint32_t* bits = canvas->Bits();
    std::string mask;
    for (int row = size - 1; row >= 0; --row) {
      std::string maskRow(maskStride, '\0');
      for (int x = 0; x < size; ++x) {
        uint32_t pixel = bits[static_cast<size_t>(row) * size + x] & 0xFFFFFF;
        bool clear = pixel == ((GetRValue(kIconKey) << 16) | (GetGValue(kIconKey) << 8) | GetBValue(kIconKey));
        AppendLe32(image, clear ? 0 : (pixel | 0xFF000000u));
        if (clear) maskRow[x / 8] = static_cast<char>(maskRow[x / 8] | (0x80 >> (x % 8)));
      }
      mask += maskRow;
    }
    image += mask;
    head += static_cast<char>(size >= 256 ? 0 : size);
    head += static_cast<char>(size >= 256 ? 0 : size);
    head += '\0';
    head += '\0';
    AppendLe16(head, 1);
    AppendLe16(head, 32);
    AppendLe32(head, static_cast<uint32_t>(image.size()));
    AppendLe32(head, offset);
    offset += static_cast<uint32_t>(image.size());
    body += image;
  }
  return head + body;
}

void DrawScene(skit::Canvas& canvas, const skit::Scene& scene) {
  skit::RenderFrame(canvas.Dc(), canvas.Width(), canvas.Height(), scene, scene.Preview);
}

void WriteArtwork(const std::string& folder) {
  {
    skit::Canvas canvas(152, 112);
    DrawScene(canvas, skit::ParseScene(kPreviewScene));
    canvas.SaveBmp24(Join(folder, "preview.bmp"));
  }
  {
    skit::Canvas canvas(360, 216);
    DrawScene(canvas, skit::ParseScene(kAboutScene));
    canvas.SaveBmp24(Join(folder, "aboutbox.bmp"));
  }
  skit::Scene icon = skit::ParseScene(kIconScene);
  skit::Canvas large(48, 48), medium(32, 32), small(16, 16);
  for (skit::Canvas* canvas : {&large, &medium, &small}) DrawScene(*canvas, icon);
  WriteWholeFile(Join(folder, "drearigrams.ico"), IconFile({&large, &medium, &small}));
}

// A skit's preview: its frame at the preview moment in a 4:3 picture, the
// shape of the skit on a screen, set in a 128 x 128 square on a dark ground.
void WritePreview(const std::string& folder, const std::string& skitPath) {
  skit::Scene scene = skit::LoadScene(skitPath);
  skit::Canvas square(128, 128);
  RECT all = {0, 0, 128, 128};
  const handles::UniqueBrush ground(CreateSolidBrush(RGB(24, 24, 28)));
  FillRect(square.Dc(), &all, ground.get());
  skit::Canvas frame(128, 96);
  DrawScene(frame, scene);
  BitBlt(square.Dc(), 0, 16, 128, 96, frame.Dc(), 0, 0, SRCCOPY);
  square.SaveBmp24(Join(folder, Extensionless(skitPath) + ".bmp"));
}

int Usage() {
  std::fprintf(stderr, "usage: artgen [--artwork DIR] [--previews DIR SKIT...] [--check SKIT...]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  UseSystemFolderForLibraries();
  std::string artworkFolder, previewFolder;
  std::vector<std::string> previews, checks;
  std::vector<std::string>* list = nullptr;
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    if (argument == "--artwork" || argument == "--previews") {
      if (i + 1 >= argc) return Usage();
      (argument == "--artwork" ? artworkFolder : previewFolder) = argv[++i];
      list = argument == "--previews" ? &previews : nullptr;
    } else if (argument == "--check") {
      list = &checks;
    } else if (list && argument.rfind("--", 0) != 0) {
      list->push_back(argument);
    } else {
      return Usage();
    }
  }
  if (artworkFolder.empty() && previewFolder.empty() && checks.empty()) return Usage();

  int failures = 0;
  auto attempt = [&failures](const char* what, auto action) {
    try {
      action();
    } catch (const std::exception& error) {
      std::fprintf(stderr, "artgen: %s: %s\n", what, error.what());
      ++failures;
    }
  };
  if (!artworkFolder.empty()) attempt("artwork", [&] { WriteArtwork(artworkFolder); });
  for (const std::string& path : previews) attempt(path.c_str(), [&] { WritePreview(previewFolder, path); });
  for (const std::string& path : checks) attempt(path.c_str(), [&] { skit::LoadScene(path); });
  return failures == 0 ? 0 : 1;
}
