#include "tools/skitplay/skitanim.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include "base/little_endian.h"

namespace skit {

ParseError::ParseError(int line, const std::string& message)
    : std::runtime_error(line > 0 ? "line " + std::to_string(line) + ": " + message : message), Line_(line) {}

std::string SystemErrorText(DWORD code) {
  char buffer[512] = {};
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buffer,
                           sizeof buffer, nullptr);
  std::string text(buffer, n);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  if (text.empty()) text = "error " + std::to_string(code);
  return text;
}

namespace {

// A token quoted back in an error message: printable ASCII only, and short,
// so that a line of binary junk cannot turn into a screenful of junk.
std::string Shown(const std::string& token) {
  std::string shown;
  for (char c : token) {
    if (shown.size() == 24) {
      shown += "...";
      break;
    }
    auto u = static_cast<unsigned char>(c);
    shown += (u >= 32 && u < 127) ? c : '?';
  }
  return "\"" + shown + "\"";
}

std::string Number(double value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%g", value);
  return buffer;
}

struct Token {
  std::string Text;
  bool Quoted = false;
};

std::vector<Token> Tokenize(const std::string& text, int line) {
  std::vector<Token> tokens;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == ' ' || text[i] == '\t') {
      ++i;
      continue;
    }
    Token token;
    if (text[i] == '"') {
      size_t close = text.find('"', i + 1);
      if (close == std::string::npos) throw ParseError(line, "the text has no closing quote");
      token.Text = text.substr(i + 1, close - i - 1);
      token.Quoted = true;
      i = close + 1;
      if (i < text.size() && text[i] != ' ' && text[i] != '\t')
        throw ParseError(line, "expected a blank after the closing quote");
    } else {
      size_t end = text.find_first_of(" \t", i);
      if (end == std::string::npos) end = text.size();
      token.Text = text.substr(i, end - i);
      if (token.Text.find('"') != std::string::npos) throw ParseError(line, "unexpected quote in " + Shown(token.Text));
      i = end;
    }
    tokens.push_back(std::move(token));
  }
  return tokens;
}

// Decimal numbers without exponents or locale: "-"? digits ("." digits)?,
// at most six digits on each side of the point.
bool ReadNumber(const std::string& text, double& value) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && text[i] == '-') {
    negative = true;
    ++i;
  }
  double whole = 0;
  size_t digits = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    whole = whole * 10 + (text[i++] - '0');
    if (++digits > 6) return false;
  }
  if (digits == 0) return false;
  double fraction = 0;
  if (i < text.size() && text[i] == '.') {
    ++i;
    double scale = 0.1;
    size_t places = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      fraction += (text[i++] - '0') * scale;
      scale /= 10;
      if (++places > 6) return false;
    }
    if (places == 0) return false;
  }
  if (i != text.size()) return false;
  value = negative ? -(whole + fraction) : whole + fraction;
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The words of one statement, taken from the front. Every failure names the
// statement and what was expected.
class Statement {
 public:
  Statement(std::vector<Token> tokens, int line) : Tokens_(std::move(tokens)), Line_(line) {}

  const std::string& Keyword() const { return Tokens_[0].Text; }
  int Line() const { return Line_; }
  bool AtEnd() const { return Next_ >= Tokens_.size(); }

  [[noreturn]] void Fail(const std::string& message) const { throw ParseError(Line_, Keyword() + ": " + message); }

  const Token& Take(const std::string& what) {
    if (AtEnd()) Fail("missing the " + what);
    return Tokens_[Next_++];
  }

  // A number within [low, high], or above low when lowIsOpen.
  double Number(const std::string& what, double low, double high, bool lowIsOpen = false) {
    const Token& token = Take(what);
    double value = 0;
    if (token.Quoted) Fail("the " + what + " must be a number, not a quoted text");
    if (!ReadNumber(token.Text, value)) Fail("the " + what + " must be a number, not " + Shown(token.Text));
    if ((lowIsOpen ? value <= low : value < low) || value > high)
      Fail("the " + what + " " + skit::Number(value) + " is out of range (" + (lowIsOpen ? "above " : "from ") +
           skit::Number(low) + (lowIsOpen ? ", at most " : " to ") + skit::Number(high) + ")");
    return value;
  }

  COLORREF Colour(const std::string& what) {
    const Token& token = Take(what);
    const std::string& t = token.Text;
    if (token.Quoted) Fail("the " + what + " must look like #RRGGBB, not a quoted text");
    bool good = t.size() == 7 && t[0] == '#';
    int v[6] = {};
    for (size_t i = 0; good && i < 6; ++i) good = (v[i] = HexDigit(t[i + 1])) >= 0;
    if (!good) Fail("the " + what + " must look like #RRGGBB, not " + Shown(t));
    return RGB(v[0] * 16 + v[1], v[2] * 16 + v[3], v[4] * 16 + v[5]);
  }

  std::string Text() {
    const Token& token = Take("text");
    if (!token.Quoted) Fail("the text must stand between double quotes, not " + Shown(token.Text));
    if (token.Text.empty()) Fail("the text is empty");
    if (token.Text.size() > kMaxTextChars) Fail("the text is longer than " + std::to_string(kMaxTextChars) + " characters");
    return token.Text;
  }

  const Token& Word() { return Take("word"); }

  void ExpectEnd() const {
    if (!AtEnd()) Fail("unexpected " + Shown(Tokens_[Next_].Text));
  }

 private:
  std::vector<Token> Tokens_;
  size_t Next_ = 1;
  int Line_;
};

constexpr double kMaxLength = 600;
constexpr double kPositionLow = -100, kPositionHigh = 200;
constexpr double kSizeHigh = 400;
constexpr double kTextSizeHigh = 100;

Item ParseItem(Statement& s, Shape kind) {
  Item item;
  item.Kind = kind;
  item.Line = s.Line();
  item.X = s.Number("x position", kPositionLow, kPositionHigh);
  item.Y = s.Number("y position", kPositionLow, kPositionHigh);
  if (kind == Shape::Text) {
    item.Height = s.Number("text size", 0, kTextSizeHigh, true);
  } else {
    item.Width = s.Number("width", 0, kSizeHigh, true);
    item.Height = s.Number("height", 0, kSizeHigh, true);
  }
  item.Colour = s.Colour("colour");
  if (kind == Shape::Text) item.Text = s.Text();
  item.ToX = item.X;
  item.ToY = item.Y;
  item.From = 0;
  item.Until = -1;  // the whole skit, filled in once the length is known

  bool seenTo = false, seenDuring = false, seenEase = false, seenFade = false, seenBold = false;
  auto once = [&](bool& seen, const std::string& name) {
    if (seen) s.Fail(Shown(name) + " given twice");
    seen = true;
  };
  while (!s.AtEnd()) {
    const Token& clause = s.Word();
    const std::string& name = clause.Text;
    if (clause.Quoted) {
      s.Fail("unexpected quoted text");
    } else if (name == "to") {
      once(seenTo, name);
      item.ToX = s.Number("x position after \"to\"", kPositionLow, kPositionHigh);
      item.ToY = s.Number("y position after \"to\"", kPositionLow, kPositionHigh);
    } else if (name == "during") {
      once(seenDuring, name);
      item.From = s.Number("start time", 0, kMaxLength);
      item.Until = s.Number("end time", 0, kMaxLength);
      if (item.Until <= item.From)
        s.Fail("the end time " + Number(item.Until) + " must come after the start time " + Number(item.From));
    } else if (name == "ease") {
      once(seenEase, name);
      item.Ease = true;
    } else if (name == "fade") {
      once(seenFade, name);
      item.Fade = true;
    } else if (name == "bold" && kind == Shape::Text) {
      once(seenBold, name);
      item.Bold = true;
    } else {
      s.Fail("unexpected " + Shown(name));
    }
  }
  return item;
}

}  // namespace

// Skit scene files
//
// A scene is 8-bit text of at most 64 KiB: one statement per line, lines
// ending in LF or CR LF, at most 400 characters each, words separated by
// blanks or tabs. Empty lines and lines whose first non-blank character is
// "#" are comments. A leading UTF-8 byte-order mark is skipped. Keywords are
// lower case. Control characters (other than the tab) are an error anywhere.
//
//   skit 1                       the first statement: format and version
//   length SECONDS               required, once: how long the skit plays
//                                (above 0, at most 600)
//   background COLOUR [COLOUR]   optional, once: one colour, or a gradient
//                                from the top colour to the bottom one
//                                (default black)
//   preview SECONDS              optional, once: the moment a still picture
//                                of the skit shows (default half the length)
//   rect    X Y W H COLOUR [clauses]
//   ellipse X Y W H COLOUR [clauses]
//   text    X Y SIZE COLOUR "TEXT" [clauses]
//
// Items are drawn in the order they are listed, later ones on top; a scene
// holds at most 200. X and Y are the item's centre in percent of the frame's
// width and height (-100 to 200, so an item may enter from off stage); W and
// H its size in percent of the width and height (above 0, at most 400); SIZE
// the letter height in percent of the frame height (above 0, at most 100).
// A number is decimal: an optional "-", one to six digits, and optionally a
// "." with one to six more. A COLOUR is #RRGGBB in hexadecimal. TEXT stands
// between double quotes, 1 to 120 characters, with no double quote inside;
// it is drawn centred on X, Y.
//
// Clauses follow an item's fixed words, each at most once, in any order:
//   to X Y          the centre travels in a straight line to X Y over the
//                   item's time
//   during FROM TO  the item is on stage from FROM until TO seconds; the
//                   default is the whole skit; FROM < TO <= length
//   ease            the travel starts and ends gently instead of at an even
//                   speed
//   fade            the item fades in at the start of its time and out at
//                   the end (a quarter of its time, at most one second each)
//   bold            (text only) heavy letters
//
// Example:
//   skit 1
//   length 8
//   background #0B1D3A #27496D
//   ellipse 10 90 6 8 #FFC857 to 80 15 ease fade
//   text 50 50 8 #FFFFFF "Good evening" during 1 7 fade bold
//
// Any fault stops the parse with a ParseError naming the line and what was
// wrong there; a scene is either read whole or not at all.
Scene ParseScene(const std::string& input) {
  if (input.size() > kMaxFileBytes) throw ParseError(0, "the skit is larger than 64 KiB");
  Scene scene;
  bool seenHeader = false, seenLength = false, seenBackground = false, seenPreview = false;
  int previewLine = 0;
  size_t pos = input.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  int line = 0;
  for (;;) {
    size_t end = input.find('\n', pos);
    bool last = end == std::string::npos;
    if (last) end = input.size();
    std::string text = input.substr(pos, end - pos);
    pos = end + 1;
    ++line;
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (text.size() > kMaxLineChars)
      throw ParseError(line, "the line is longer than " + std::to_string(kMaxLineChars) + " characters");
    for (size_t i = 0; i < text.size(); ++i) {
      auto u = static_cast<unsigned char>(text[i]);
      if ((u < 32 && u != '\t') || u == 127) {
        char message[80];
        std::snprintf(message, sizeof message, "unexpected control character 0x%02X in column %u", u,
                      static_cast<unsigned>(i + 1));
        throw ParseError(line, message);
      }
    }
    size_t first = text.find_first_not_of(" \t");
    if (first != std::string::npos && text[first] != '#') {
      std::vector<Token> tokens = Tokenize(text, line);
      if (tokens[0].Quoted) throw ParseError(line, "expected a statement, found a quoted text");
      Statement s(std::move(tokens), line);
      const std::string& keyword = s.Keyword();
      if (!seenHeader) {
        if (keyword != "skit") throw ParseError(line, "expected \"skit 1\" before anything else, found " + Shown(keyword));
        double version = s.Number("version", 0, 999999);
        if (version != 1) s.Fail("version " + Number(version) + " is not supported; this player reads version 1");
        seenHeader = true;
      } else if (keyword == "skit") {
        s.Fail("given twice");
      } else if (keyword == "length") {
        if (seenLength) s.Fail("given twice");
        seenLength = true;
        scene.Length = s.Number("number of seconds", 0, kMaxLength, true);
      } else if (keyword == "background") {
        if (seenBackground) s.Fail("given twice");
        seenBackground = true;
        scene.Top = scene.Bottom = s.Colour("colour");
        if (!s.AtEnd()) scene.Bottom = s.Colour("second colour");
      } else if (keyword == "preview") {
        if (seenPreview) s.Fail("given twice");
        seenPreview = true;
        previewLine = line;
        scene.Preview = s.Number("number of seconds", 0, kMaxLength);
      } else if (keyword == "rect" || keyword == "ellipse" || keyword == "text") {
        if (scene.Items.size() == kMaxItems) s.Fail("more than " + std::to_string(kMaxItems) + " items");
        Shape kind = keyword == "rect" ? Shape::Rect : keyword == "ellipse" ? Shape::Ellipse : Shape::Text;
        scene.Items.push_back(ParseItem(s, kind));
      } else {
        throw ParseError(line, "unknown statement " + Shown(keyword));
      }
      s.ExpectEnd();
    }
    if (last) break;
  }

  if (!seenHeader) throw ParseError(0, "the skit is empty: no \"skit 1\" line");
  if (!seenLength) throw ParseError(0, "the skit has no \"length\" line");
  // Times are checked against the length only now: the length may come last.
  for (Item& item : scene.Items) {
    if (item.Until < 0) {
      item.Until = scene.Length;
    } else if (item.Until > scene.Length) {
      throw ParseError(item.Line, "the item's time ends at " + Number(item.Until) + " s, after the skit's length of " +
                                      Number(scene.Length) + " s");
    }
  }
  if (!seenPreview) {
    scene.Preview = scene.Length / 2;
  } else if (scene.Preview > scene.Length) {
    throw ParseError(previewLine, "preview: the moment " + Number(scene.Preview) + " s lies after the skit's length of " +
                                      Number(scene.Length) + " s");
  }
  return scene;
}

Scene LoadScene(const std::string& path) {
  handles::UniqueFile file(
      CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) throw ParseError(0, "cannot open " + path + ": " + SystemErrorText(GetLastError()));
  // A device or a pipe could keep a read waiting for ever: only disk files.
  if (GetFileType(file.get()) != FILE_TYPE_DISK) throw ParseError(0, path + " is not a file");
  std::string bytes(kMaxFileBytes + 1, '\0');
  DWORD got = 0;
  BOOL read = ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr);
  DWORD error = GetLastError();
  file.reset();
  if (!read) throw ParseError(0, "cannot read " + path + ": " + SystemErrorText(error));
  bytes.resize(got);
  return ParseScene(bytes);
}

bool Placement(const Item& item, double seconds, double& x, double& y, double& opacity) {
  if (!(seconds >= item.From && seconds < item.Until)) return false;
  double span = item.Until - item.From;
  double p = (seconds - item.From) / span;
  if (item.Ease) p = p * p * (3 - 2 * p);
  x = item.X + (item.ToX - item.X) * p;
  y = item.Y + (item.ToY - item.Y) * p;
  opacity = 1;
  if (item.Fade) {
    double ramp = std::min(1.0, span / 4);
    opacity = std::clamp(std::min(seconds - item.From, item.Until - seconds) / ramp, 0.0, 1.0);
  }
  return true;
}

namespace {


COLORREF Mix(COLORREF from, COLORREF to, double f) {
  auto channel = [f](int a, int b) { return static_cast<BYTE>(std::lround(a + (b - a) * f)); };
  return RGB(channel(GetRValue(from), GetRValue(to)), channel(GetGValue(from), GetGValue(to)),
             channel(GetBValue(from), GetBValue(to)));
}

// Percent of a frame dimension to pixels, kept well inside int range even
// for scenes that were not built by the parser.
int ToPixels(double percent, int dimension) {
  double pixels = percent * dimension / 100.0;
  double limit = 8.0 * dimension + 8;
  if (!(pixels > -limit)) pixels = -limit;
  if (pixels > limit) pixels = limit;
  return static_cast<int>(std::lround(pixels));
}

void FillSolid(HDC dc, const RECT& rect, COLORREF colour) {
  const handles::UniqueGdiObject brush(CreateSolidBrush(colour));
  FillRect(dc, &rect, static_cast<HBRUSH>(brush.get()));
}

HFONT MakeFont(int pixelHeight, bool bold) {
  return CreateFontA(-std::max(1, pixelHeight), 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE,
                     ANSI_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY,
                     DEFAULT_PITCH | FF_SWISS, "Tahoma");
}

// Text on a dark plate; centreX/bottom place the plate, or its right edge
// when alignRight.
void DrawPlate(HDC dc, const std::string& text, int pixelHeight, int anchorX, int bottom, bool alignRight,
               COLORREF plate, COLORREF ink) {
  if (text.empty()) return;
  const handles::UniqueGdiObject font(MakeFont(pixelHeight, false));
  const handles::SelectObjectScope selected(dc, font.get());
  SIZE size = {};
  GetTextExtentPoint32A(dc, text.data(), static_cast<int>(text.size()), &size);
  int pad = std::max(2, pixelHeight / 3);
  int left = alignRight ? anchorX - size.cx - 2 * pad : anchorX - size.cx / 2 - pad;
  RECT rect = {left, bottom - size.cy - 2 * pad, left + size.cx + 2 * pad, bottom};
  FillSolid(dc, rect, plate);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, ink);
  TextOutA(dc, left + pad, rect.top + pad, text.data(), static_cast<int>(text.size()));
}

}  // namespace

void RenderFrame(HDC dc, int width, int height, const Scene& scene, double seconds) {
  if (width <= 0 || height <= 0) return;
  RECT all = {0, 0, width, height};
  if (scene.Top == scene.Bottom) {
    FillSolid(dc, all, scene.Top);
  } else {
    TRIVERTEX corners[2] = {
        {0, 0, static_cast<COLOR16>(GetRValue(scene.Top) << 8), static_cast<COLOR16>(GetGValue(scene.Top) << 8),
         static_cast<COLOR16>(GetBValue(scene.Top) << 8), 0},
        {width, height, static_cast<COLOR16>(GetRValue(scene.Bottom) << 8),
         static_cast<COLOR16>(GetGValue(scene.Bottom) << 8), static_cast<COLOR16>(GetBValue(scene.Bottom) << 8), 0},
    };
    GRADIENT_RECT span = {0, 1};
    // gdi32's own entry, which msimg32's GradientFill forwards to: the player
    // imports no library that could be found beside it (see skitplay.cpp).
    if (!GdiGradientFill(dc, corners, 2, &span, 1, GRADIENT_FILL_RECT_V)) FillSolid(dc, all, scene.Top);
  }

  SetBkMode(dc, TRANSPARENT);
  for (const Item& item : scene.Items) {
    double x = 0, y = 0, opacity = 1;
    if (!Placement(item, seconds, x, y, opacity)) continue;
    int cx = ToPixels(x, width);
    int cy = ToPixels(y, height);
    COLORREF colour = item.Colour;
    if (opacity < 1) {
      // Fading blends towards the background behind the item's centre: exact
      // on the backdrop, which is what items mostly stand on.
      double row = std::clamp(static_cast<double>(cy) / height, 0.0, 1.0);
      colour = Mix(Mix(scene.Top, scene.Bottom, row), item.Colour, opacity);
    }
    if (item.Kind == Shape::Text) {
      const handles::UniqueGdiObject font(MakeFont(ToPixels(item.Height, height), item.Bold));
      const handles::SelectObjectScope selected(dc, font.get());
      int n = static_cast<int>(item.Text.size());
      SIZE size = {};
      GetTextExtentPoint32A(dc, item.Text.data(), n, &size);
      SetTextColor(dc, colour);
      TextOutA(dc, cx - size.cx / 2, cy - size.cy / 2, item.Text.data(), n);
      continue;
    }
    int w = std::max(1, ToPixels(item.Width, width));
    int h = std::max(1, ToPixels(item.Height, height));
    RECT rect = {cx - w / 2, cy - h / 2, cx - w / 2 + w, cy - h / 2 + h};
    if (item.Kind == Shape::Rect) {
      FillSolid(dc, rect, colour);
    } else {
      const handles::UniqueGdiObject brush(CreateSolidBrush(colour));
      const handles::SelectObjectScope brushSelected(dc, brush.get());
      const handles::SelectObjectScope penSelected(dc, GetStockObject(NULL_PEN));
      // With no pen, Ellipse leaves out the right and bottom edge: one more.
      Ellipse(dc, rect.left, rect.top, rect.right + 1, rect.bottom + 1);
    }
  }
}

void DrawCornerText(HDC dc, int width, int height, const std::string& text) {
  int pixels = std::max(11, height / 50);
  int margin = std::max(4, height / 80);
  DrawPlate(dc, text, pixels, width - margin, height - margin, true, RGB(16, 16, 24), RGB(200, 200, 210));
}

void DrawBanner(HDC dc, int width, int height, const std::string& text) {
  int pixels = std::max(14, height / 18);
  DrawPlate(dc, text, pixels, width / 2, height * 7 / 8, false, RGB(24, 32, 56), RGB(255, 255, 255));
}

void DrawProblem(HDC dc, int width, int height, const std::string& heading, const std::string& reason) {
  if (width <= 0 || height <= 0) return;
  RECT all = {0, 0, width, height};
  FillSolid(dc, all, RGB(48, 16, 20));
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, RGB(255, 255, 255));
  {
    const handles::UniqueGdiObject font(MakeFont(std::max(14, height / 16), true));
    const handles::SelectObjectScope selected(dc, font.get());
    RECT top = {width / 10, height / 4, width - width / 10, height * 2 / 5};
    DrawTextA(dc, heading.data(), static_cast<int>(heading.size()), &top,
              DT_CENTER | DT_BOTTOM | DT_SINGLELINE | DT_NOPREFIX);
  }
  const handles::UniqueGdiObject font(MakeFont(std::max(11, height / 32), false));
  const handles::SelectObjectScope selected(dc, font.get());
  SetTextColor(dc, RGB(240, 200, 200));
  RECT body = {width / 10, height * 9 / 20, width - width / 10, height * 9 / 10};
  DrawTextA(dc, reason.data(), static_cast<int>(reason.size()), &body, DT_CENTER | DT_WORDBREAK | DT_NOPREFIX);
}

Canvas::Canvas(int width, int height) : Width_(width), Height_(height) {
  if (width <= 0 || height <= 0 || width > 16384 || height > 16384)
    throw std::runtime_error("cannot make a picture of " + std::to_string(width) + " x " + std::to_string(height));
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // top-down rows
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  Dc_.reset(CreateCompatibleDC(nullptr));
  void* bits = nullptr;
  if (Dc_) Bitmap_.reset(CreateDIBSection(Dc_.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
  if (!Bitmap_) {
    DWORD error = GetLastError();
    throw std::runtime_error("cannot make a picture of " + std::to_string(width) + " x " + std::to_string(height) +
                             ": " + SystemErrorText(error));
  }
  Bits_ = static_cast<uint32_t*>(bits);
  Selected_.emplace(Dc_.get(), Bitmap_.get());
}

const uint32_t* Canvas::Bits() const {
  GdiFlush();
  return Bits_;
}

uint32_t* Canvas::Bits() {
  GdiFlush();
  return Bits_;
}

COLORREF Canvas::Pixel(int x, int y) const {
  if (x < 0 || y < 0 || x >= Width_ || y >= Height_) return CLR_INVALID;
  uint32_t word = Bits()[static_cast<size_t>(y) * Width_ + x];
  return RGB((word >> 16) & 0xFF, (word >> 8) & 0xFF, word & 0xFF);
}

// 24-bit BMP file, little-endian:
//   offset size  field
//   0      2     "BM"
//   2      4     file size
//   6      4     0 (reserved)
//   10     4     54, where the pixels start
//   14     40    BITMAPINFOHEADER: size 40, width, height (positive: rows
//                bottom-up), planes 1, 24 bits, BI_RGB, pixel bytes,
//                2835 x 2835 pixels per metre (72 dpi), 0 colours, 0 important
//   54     ...   rows from the bottom, each width * 3 bytes (B, G, R),
//                padded with zeros to a multiple of 4
void Canvas::SaveBmp24(const std::string& path) const {
  const uint32_t stride = (static_cast<uint32_t>(Width_) * 3 + 3) & ~3u;
  const uint32_t pixelBytes = stride * static_cast<uint32_t>(Height_);
  std::string file(54 + static_cast<size_t>(pixelBytes), '\0');
  auto put16 = [&file](size_t at, uint16_t v) { PutLe16(file.data() + at, v); };
  auto put32 = [&file](size_t at, uint32_t v) { PutLe32(file.data() + at, v); };
  file[0] = 'B';
  file[1] = 'M';
  put32(2, static_cast<uint32_t>(file.size()));
  put32(10, 54);
  put32(14, 40);
  put32(18, static_cast<uint32_t>(Width_));
  put32(22, static_cast<uint32_t>(Height_));
  put16(26, 1);
  put16(28, 24);
  put32(30, BI_RGB);
  put32(34, pixelBytes);
  put32(38, 2835);
  put32(42, 2835);
  const uint32_t* bits = Bits();
  for (int row = 0; row < Height_; ++row) {
    const uint32_t* source = bits + static_cast<size_t>(Height_ - 1 - row) * Width_;
    char* out = file.data() + 54 + static_cast<size_t>(row) * stride;
    for (int x = 0; x < Width_; ++x) {
      *out++ = static_cast<char>(source[x] & 0xFF);
      *out++ = static_cast<char>((source[x] >> 8) & 0xFF);
      *out++ = static_cast<char>((source[x] >> 16) & 0xFF);
    }
  }

  handles::UniqueFile handle(
      CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!handle) throw std::runtime_error("cannot create " + path + ": " + SystemErrorText(GetLastError()));
  DWORD written = 0;
  BOOL ok = WriteFile(handle.get(), file.data(), static_cast<DWORD>(file.size()), &written, nullptr);
  DWORD error = GetLastError();
  handle.reset();
  if (!ok || written != file.size()) throw std::runtime_error("cannot write " + path + ": " + SystemErrorText(error));
}

}  // namespace skit
