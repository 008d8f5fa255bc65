// The skit format: what a good scene reads as, every kind of fault with the
// line it is reported on, hostile input, and frames drawn into memory.
#include "tools/skitplay/skitanim.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>

#include "base/little_endian.h"
#include "tests/support/testing.h"

namespace {

using skit::ParseError;
using skit::ParseScene;
using skit::Scene;
using skit::Shape;

// Parses text that must fail; returns the error.
ParseError FailureOf(const std::string& text) {
  try {
    ParseScene(text);
  } catch (const ParseError& error) {
    return error;
  }
  ADD_FAILURE() << "parsed without error:\n" << text;
  return ParseError(-1, "");
}

bool Near(COLORREF a, COLORREF b, int tolerance) {
  return std::abs(GetRValue(a) - GetRValue(b)) <= tolerance && std::abs(GetGValue(a) - GetGValue(b)) <= tolerance &&
         std::abs(GetBValue(a) - GetBValue(b)) <= tolerance;
}

uint32_t Read32(const std::string& bytes, size_t at) { return GetLe32(bytes.data() + at); }

}  // namespace

TEST(SkitParser, ReadsEveryStatementAndClause) {
  const std::string text =
      "\xEF\xBB\xBF# a comment before the header\r\n"
      "skit 1\r\n"
      "\r\n"
      "   # an indented comment with \"quotes\r\n"
      "background #0b1D3a #FFFFFF\r\n"
      "rect 10 20 30 40 #FF0000\r\n"
      "ellipse\t-5.5  100.25 1 2 #00ff00 to 90 -10 during 1 3.5 ease fade\r\n"
      "text 50 50 8 #FFFFFF \"Good evening, \xE9t\xE9\" fade bold during 0 2\r\n"
      "preview 2.5\r\n"
      "length 4\r\n";
  Scene scene = ParseScene(text);
  EXPECT_EQ(scene.Length, 4);
  EXPECT_EQ(scene.Preview, 2.5);
  EXPECT_EQ(scene.Top, RGB(0x0B, 0x1D, 0x3A));
  EXPECT_EQ(scene.Bottom, RGB(0xFF, 0xFF, 0xFF));
  ASSERT_EQ(scene.Items.size(), 3u);

  const skit::Item& rect = scene.Items[0];
  EXPECT_EQ(rect.Kind, Shape::Rect);
  EXPECT_EQ(rect.Line, 6);
  EXPECT_EQ(rect.X, 10);
  EXPECT_EQ(rect.Y, 20);
  EXPECT_EQ(rect.ToX, 10);  // no "to": it stays where it is
  EXPECT_EQ(rect.ToY, 20);
  EXPECT_EQ(rect.Width, 30);
  EXPECT_EQ(rect.Height, 40);
  EXPECT_EQ(rect.Colour, RGB(255, 0, 0));
  EXPECT_EQ(rect.From, 0);
  EXPECT_EQ(rect.Until, 4);  // the whole skit, though the length came later
  EXPECT_FALSE(rect.Ease || rect.Fade || rect.Bold);

  const skit::Item& ellipse = scene.Items[1];
  EXPECT_EQ(ellipse.Kind, Shape::Ellipse);
  EXPECT_DOUBLE_EQ(ellipse.X, -5.5);
  EXPECT_DOUBLE_EQ(ellipse.Y, 100.25);
  EXPECT_EQ(ellipse.ToX, 90);
  EXPECT_EQ(ellipse.ToY, -10);
  EXPECT_EQ(ellipse.From, 1);
  EXPECT_EQ(ellipse.Until, 3.5);
  EXPECT_TRUE(ellipse.Ease && ellipse.Fade);

  const skit::Item& words = scene.Items[2];
  EXPECT_EQ(words.Kind, Shape::Text);
  EXPECT_EQ(words.Text, "Good evening, \xE9t\xE9");
  EXPECT_EQ(words.Height, 8);
  EXPECT_TRUE(words.Bold && words.Fade);
  EXPECT_EQ(words.Until, 2);
}

TEST(SkitParser, OptionalStatementsHaveTheirDefaults) {
  Scene scene = ParseScene("skit 1\nlength 7\nellipse 50 50 10 10 #123456");  // no final line break
  EXPECT_EQ(scene.Top, RGB(0, 0, 0));
  EXPECT_EQ(scene.Bottom, RGB(0, 0, 0));
  EXPECT_EQ(scene.Preview, 3.5);
  ASSERT_EQ(scene.Items.size(), 1u);
  EXPECT_EQ(scene.Items[0].Until, 7);

  Scene flat = ParseScene("skit 1\nlength 1\nbackground #102030\n");
  EXPECT_EQ(flat.Top, RGB(0x10, 0x20, 0x30));
  EXPECT_EQ(flat.Bottom, flat.Top);
}

TEST(SkitParser, EveryFaultNamesItsLine) {
  struct Case {
    const char* body;  // follows "skit 1\nlength 5\n" (lines 1 and 2)
    int line;
    const char* fragment;
  };
  const Case cases[] = {
      {"circle 1 2 3 4 #000000", 3, "unknown statement \"circle\""},
      {"Rect 1 2 3 4 #000000", 3, "unknown statement \"Rect\""},
      {"\n\nrect 1 2 3 #000000", 5, "the height must be a number, not \"#000000\""},
      {"rect 1 2 3 4", 3, "rect: missing the colour"},
      {"rect", 3, "rect: missing the x position"},
      {"rect 1 2 wide 4 #000000", 3, "the width must be a number, not \"wide\""},
      {"rect 1 2 0 4 #000000", 3, "the width 0 is out of range (above 0, at most 400)"},
      {"rect 1 2 401 4 #000000", 3, "the width 401 is out of range"},
      {"rect 1 -101 3 4 #000000", 3, "the y position -101 is out of range (from -100 to 200)"},
      {"rect 1 2 3 4 #12345", 3, "the colour must look like #RRGGBB, not \"#12345\""},
      {"rect 1 2 3 4 #12345G", 3, "must look like #RRGGBB"},
      {"rect 1 2 3 4 \"#123456\"", 3, "colour must look like #RRGGBB, not a quoted text"},
      {"rect 1 2 3 4 #123456 to 5", 3, "missing the y position after \"to\""},
      {"rect 1 2 3 4 #123456 to 5 6 to 7 8", 3, "\"to\" given twice"},
      {"rect 1 2 3 4 #123456 spin", 3, "rect: unexpected \"spin\""},
      {"rect 1 2 3 4 #123456 bold", 3, "rect: unexpected \"bold\""},
      {"rect 1 2 3 4 #123456 \"hello\"", 3, "unexpected quoted text"},
      {"rect 1 2 3 4 #123456 during 3 2", 3, "the end time 2 must come after the start time 3"},
      {"rect 1 2 3 4 #123456 during 1 6", 3, "ends at 6 s, after the skit's length of 5 s"},
      {"text 1 2 3 #FFFFFF hello", 3, "the text must stand between double quotes, not \"hello\""},
      {"text 1 2 3 #FFFFFF \"\"", 3, "the text is empty"},
      {"text 1 2 3 #FFFFFF \"unfinished", 3, "the text has no closing quote"},
      {"text 1 2 3 #FFFFFF \"a\"b", 3, "expected a blank after the closing quote"},
      {"text 1 2 3 #FFFFFF", 3, "text: missing the text"},
      {"text 1 2 0 #FFFFFF \"a\"", 3, "the text size 0 is out of range"},
      {"rect 1 2 3 4 #12\"34", 3, "unexpected quote in \"#12\"34\""},
      {"\"rect\" 1 2 3 4 #123456", 3, "expected a statement, found a quoted text"},
      {"length 6", 3, "length: given twice"},
      {"background #000000\nbackground #000000", 4, "background: given twice"},
      {"background #000000 #111111 #222222", 3, "background: unexpected \"#222222\""},
      {"preview 6", 3, "preview: the moment 6 s lies after the skit's length of 5 s"},
      {"skit 1", 3, "skit: given twice"},
      {"rect 1e3 2 3 4 #000000", 3, "the x position must be a number, not \"1e3\""},
      {"rect 1 2 3 4.1234567 #000000", 3, "the height must be a number, not \"4.1234567\""},
      {"rect 1 2 3 . #000000", 3, "not \".\""},
      {"rect 1 2 3 4 #000000\x01", 3, "unexpected control character 0x01 in column 21"},
      {"# fine\n\x7F", 4, "unexpected control character 0x7F in column 1"},
      {"rect 1 2 3 4 #000000\r\r", 3, "unexpected control character 0x0D"},
  };
  for (const Case& c : cases) {
    std::string text = std::string("skit 1\nlength 5\n") + c.body + "\n";
    SCOPED_TRACE(text);
    ParseError error = FailureOf(text);
    EXPECT_EQ(error.Line(), c.line);
    EXPECT_NE(std::string(error.what()).find(c.fragment), std::string::npos) << error.what();
    EXPECT_EQ(std::string(error.what()).rfind("line " + std::to_string(c.line) + ": ", 0), 0u) << error.what();
  }
}

TEST(SkitParser, FaultsOfTheWholeFile) {
  struct Case {
    std::string text;
    int line;
    const char* fragment;
  };
  const Case cases[] = {
      {"", 0, "the skit is empty"},
      {"# only a comment\n\n", 0, "the skit is empty"},
      {"skit 1\nrect 1 2 3 4 #000000\n", 0, "no \"length\" line"},
      {"length 5\nskit 1\n", 1, "expected \"skit 1\" before anything else, found \"length\""},
      {"skit 2\nlength 5\n", 1, "version 2 is not supported"},
      {"skit one\n", 1, "the version must be a number"},
      {"skit 1 extra\n", 1, "skit: unexpected \"extra\""},
      {"skit 1\nlength 0\n", 2, "the number of seconds 0 is out of range (above 0, at most 600)"},
      {"skit 1\nlength 601\n", 2, "out of range"},
      {"skit 1\nlength 5\n" + std::string(401, ' ') + "\n", 3, "the line is longer than 400 characters"},
      {"skit 1\nlength 5\n" + std::string(70 * 1024, '#'), 0, "larger than 64 KiB"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 60));
    ParseError error = FailureOf(c.text);
    EXPECT_EQ(error.Line(), c.line);
    EXPECT_NE(std::string(error.what()).find(c.fragment), std::string::npos) << error.what();
  }

  std::string many = "skit 1\nlength 5\n";
  for (size_t i = 0; i < skit::kMaxItems; ++i) many += "rect 1 2 3 4 #000000\n";
  EXPECT_EQ(ParseScene(many).Items.size(), skit::kMaxItems);
  ParseError tooMany = FailureOf(many + "rect 1 2 3 4 #000000\n");
  EXPECT_EQ(tooMany.Line(), static_cast<int>(skit::kMaxItems) + 3);
  EXPECT_NE(std::string(tooMany.what()).find("more than 200 items"), std::string::npos);

  std::string longText = "skit 1\nlength 5\ntext 1 2 3 #000000 \"" + std::string(skit::kMaxTextChars, 'x') + "\"\n";
  EXPECT_EQ(ParseScene(longText).Items[0].Text.size(), skit::kMaxTextChars);
  longText.insert(longText.find('"') + 1, "x");
  EXPECT_EQ(FailureOf(longText).Line(), 3);
}

TEST(SkitParser, HostileInputIsRefusedWithoutHarm) {
  // Numbers meant to overflow or trick a converter.
  for (const char* number : {"99999999999999999999", "1e309", "-", "--1", "+1", ".5", "1.", "nan", "inf", "0x10",
                             "1,5", "\xFF\xFE"}) {
    SCOPED_TRACE(number);
    ParseError error = FailureOf(std::string("skit 1\nlength ") + number + "\n");
    EXPECT_EQ(error.Line(), 2);
  }
  // Seeded random junk, and random damage to a good scene: either a scene or
  // a ParseError, never anything else; what parses also draws.
  const std::string good =
      "skit 1\nlength 3\nbackground #102030 #405060\nrect 10 20 30 40 #FF0000 to 90 80 during 0 2 ease\n"
      "ellipse 50 50 10 10 #00FF00 fade\ntext 50 50 8 #FFFFFF \"Hello\" bold\n";
  skit::Canvas canvas(64, 48);
  std::mt19937 random(20240607);
  int parsed = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    if (round % 3 == 0) {
      text.resize(random() % 300);
      for (char& c : text) c = static_cast<char>(random());
    } else {
      text = good;
      for (int edits = 1 + random() % 4; edits > 0; --edits) {
        size_t at = random() % text.size();
        switch (random() % 3) {
          case 0: text[at] = static_cast<char>(random()); break;
          case 1: text.erase(at, 1 + random() % 5); break;
          default: text.insert(at, 1, static_cast<char>(random())); break;
        }
        if (text.empty()) text = "x";
      }
    }
    try {
      Scene scene = ParseScene(text);
      ++parsed;
      for (double t : {0.0, 1.0, 2.999, 10.0}) skit::RenderFrame(canvas.Dc(), 64, 48, scene, t);
    } catch (const ParseError&) {
    }
  }
  EXPECT_GT(parsed, 0);  // some damage is harmless, and that path ran too
}

TEST(SkitParser, LoadSceneReadsOnlyFilesAndNamesAMissingOne) {
  testing_support::TempDir dir;
  std::string path = dir.File("absent.skit");
  try {
    skit::LoadScene(path);
    FAIL() << "no error";
  } catch (const ParseError& error) {
    EXPECT_EQ(error.Line(), 0);
    EXPECT_NE(std::string(error.what()).find(path), std::string::npos) << error.what();
  }
  EXPECT_THROW(skit::LoadScene("NUL"), ParseError);  // a device, not a file
  testing_support::WriteFileBytes(dir.File("good.skit"), "skit 1\nlength 2\n");
  EXPECT_EQ(skit::LoadScene(dir.File("good.skit")).Length, 2);
}

TEST(SkitMotion, PlacementFollowsTheItemsTimeWindow) {
  Scene scene = ParseScene(
      "skit 1\nlength 10\n"
      "rect 10 20 1 1 #000000 to 30 60 during 2 6\n"
      "rect 10 20 1 1 #000000 to 30 60 during 2 6 ease\n"
      "rect 50 50 1 1 #000000 during 0 8 fade\n");
  const skit::Item& linear = scene.Items[0];
  const skit::Item& eased = scene.Items[1];
  const skit::Item& fading = scene.Items[2];
  double x, y, opacity;

  EXPECT_FALSE(skit::Placement(linear, 1.99, x, y, opacity));
  ASSERT_TRUE(skit::Placement(linear, 2, x, y, opacity));
  EXPECT_DOUBLE_EQ(x, 10);
  EXPECT_DOUBLE_EQ(y, 20);
  ASSERT_TRUE(skit::Placement(linear, 3, x, y, opacity));
  EXPECT_DOUBLE_EQ(x, 15);
  EXPECT_DOUBLE_EQ(y, 30);
  EXPECT_EQ(opacity, 1);
  EXPECT_FALSE(skit::Placement(linear, 6, x, y, opacity));  // the end is not included

  // Easing keeps the middle and slows the ends.
  ASSERT_TRUE(skit::Placement(eased, 4, x, y, opacity));
  EXPECT_DOUBLE_EQ(x, 20);
  ASSERT_TRUE(skit::Placement(eased, 3, x, y, opacity));
  EXPECT_LT(x, 15);

  // Fading over one second at each end of an eight-second window.
  ASSERT_TRUE(skit::Placement(fading, 0, x, y, opacity));
  EXPECT_EQ(opacity, 0);
  ASSERT_TRUE(skit::Placement(fading, 0.5, x, y, opacity));
  EXPECT_DOUBLE_EQ(opacity, 0.5);
  ASSERT_TRUE(skit::Placement(fading, 4, x, y, opacity));
  EXPECT_EQ(opacity, 1);
  ASSERT_TRUE(skit::Placement(fading, 7.75, x, y, opacity));
  EXPECT_DOUBLE_EQ(opacity, 0.25);
}

TEST(SkitRender, ShapesStandWhereTheSceneSaysAtThatMoment) {
  Scene scene = ParseScene(
      "skit 1\nlength 2\nbackground #000080\n"
      "rect 25 50 10 20 #FF0000\n"
      "ellipse 10 50 10 20 #00FF00 to 90 50\n"
      "rect 80 20 10 20 #FFFF00 during 1.5 2\n"
      "rect 25 50 4 4 #FFFFFF\n");  // later items cover earlier ones
  skit::Canvas canvas(200, 100);
  skit::RenderFrame(canvas.Dc(), 200, 100, scene, 1.0);
  EXPECT_EQ(canvas.Pixel(0, 0), RGB(0, 0, 0x80));
  EXPECT_EQ(canvas.Pixel(199, 99), RGB(0, 0, 0x80));
  EXPECT_EQ(canvas.Pixel(45, 45), RGB(255, 0, 0));     // inside the red rect (40..60 x 40..60)
  EXPECT_EQ(canvas.Pixel(61, 50), RGB(0, 0, 0x80));    // just right of it
  EXPECT_EQ(canvas.Pixel(50, 50), RGB(255, 255, 255));  // the white square on top
  EXPECT_EQ(canvas.Pixel(100, 50), RGB(0, 255, 0));    // the ellipse half way from 10% to 90%
  EXPECT_EQ(canvas.Pixel(20, 50), RGB(0, 0, 0x80));    // where it started
  EXPECT_EQ(canvas.Pixel(160, 20), RGB(0, 0, 0x80));   // the yellow rect comes at 1.5 s

  skit::RenderFrame(canvas.Dc(), 200, 100, scene, 0.0);
  EXPECT_EQ(canvas.Pixel(20, 50), RGB(0, 255, 0));
  EXPECT_EQ(canvas.Pixel(100, 50), RGB(0, 0, 0x80));
  skit::RenderFrame(canvas.Dc(), 200, 100, scene, 1.75);
  EXPECT_EQ(canvas.Pixel(160, 20), RGB(255, 255, 0));
}

TEST(SkitRender, GradientAndFadeBlendTheColours) {
  Scene scene = ParseScene(
      "skit 1\nlength 4\nbackground #000000 #FFFFFF\n"
      "rect 50 50 20 20 #FF0000 fade\n");
  skit::Canvas canvas(100, 100);
  skit::RenderFrame(canvas.Dc(), 100, 100, scene, 0.0);
  EXPECT_TRUE(Near(canvas.Pixel(5, 0), RGB(0, 0, 0), 8));
  EXPECT_TRUE(Near(canvas.Pixel(5, 99), RGB(255, 255, 255), 8));
  COLORREF middle = canvas.Pixel(5, 50);
  EXPECT_TRUE(Near(middle, RGB(128, 128, 128), 12));
  // At the start of its fade the rect is the background behind it...
  EXPECT_TRUE(Near(canvas.Pixel(50, 50), middle, 8));
  // ... half way through the fade, half red ...
  skit::RenderFrame(canvas.Dc(), 100, 100, scene, 0.5);
  EXPECT_TRUE(Near(canvas.Pixel(50, 50), RGB(192, 64, 64), 10));
  // ... and fully red in the middle of its time.
  skit::RenderFrame(canvas.Dc(), 100, 100, scene, 2.0);
  EXPECT_EQ(canvas.Pixel(50, 50), RGB(255, 0, 0));
}

TEST(SkitRender, TextIsCentredOnItsPosition) {
  Scene scene = ParseScene("skit 1\nlength 1\ntext 50 50 20 #FFFFFF \"HHHH\" bold\n");
  skit::Canvas canvas(200, 100);
  skit::RenderFrame(canvas.Dc(), 200, 100, scene, 0.5);
  int left = 200, right = -1, top = 100, bottom = -1;
  for (int y = 0; y < 100; ++y)
    for (int x = 0; x < 200; ++x)
      if (GetRValue(canvas.Pixel(x, y)) > 128) {
        left = std::min(left, x);
        right = std::max(right, x);
        top = std::min(top, y);
        bottom = std::max(bottom, y);
      }
  ASSERT_GE(right, 0) << "no text drawn";
  EXPECT_NEAR((left + right) / 2.0, 100, 6);
  EXPECT_NEAR((top + bottom) / 2.0, 50, 8);
  EXPECT_LT(bottom - top, 30);  // letters about 20 pixels high
}

TEST(SkitCanvas, SavesA24BitBmpBottomUpWithPaddedRows) {
  testing_support::TempDir dir;
  skit::Canvas canvas(3, 2);  // 9 bytes a row, padded to 12
  RECT top = {0, 0, 3, 1}, bottom = {0, 1, 3, 2};
  HBRUSH red = CreateSolidBrush(RGB(255, 0, 0)), blue = CreateSolidBrush(RGB(0, 0, 255));
  FillRect(canvas.Dc(), &top, red);
  FillRect(canvas.Dc(), &bottom, blue);
  DeleteObject(red);
  DeleteObject(blue);
  canvas.SaveBmp24(dir.File("tiny.bmp"));

  std::string bytes = testing_support::ReadFileBytes(dir.File("tiny.bmp"));
  ASSERT_EQ(bytes.size(), 54u + 2 * 12);
  EXPECT_EQ(bytes.substr(0, 2), "BM");
  EXPECT_EQ(Read32(bytes, 2), bytes.size());
  EXPECT_EQ(Read32(bytes, 10), 54u);
  EXPECT_EQ(Read32(bytes, 18), 3u);
  EXPECT_EQ(Read32(bytes, 22), 2u);
  EXPECT_EQ(Read32(bytes, 28) & 0xFFFF, 24u);
  // The first stored row is the bottom one (blue), in B, G, R order.
  EXPECT_EQ(bytes.substr(54, 3), std::string("\xFF\x00\x00", 3));
  EXPECT_EQ(bytes.substr(54 + 12, 3), std::string("\x00\x00\xFF", 3));
  EXPECT_EQ(bytes.substr(54 + 9, 3), std::string(3, '\0'));  // padding

  EXPECT_THROW(canvas.SaveBmp24(dir.File("no such folder\\x.bmp")), std::runtime_error);
  EXPECT_THROW(skit::Canvas(0, 10), std::runtime_error);
  EXPECT_THROW(skit::Canvas(10, 100000), std::runtime_error);
}
