// Movies below the player's window: what the file's bytes say it is, the
// colour conversion and the bars, the system's decoders on the test movies
// (made at build time by make_movies.sh), and the playback's timing and
// failures with a source of the test's own on a clock the test moves.
#include <windows.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "base/handles.h"
#include "tests/support/testing.h"
#include "tests/tools/movie_testing.h"
#include "tools/skitplay/filekind.h"
#include "tools/skitplay/isofile.h"
#include "tools/skitplay/mfsource.h"
#include "tools/skitplay/picture.h"
#include "tools/skitplay/playback.h"

namespace {

using movie::Picture;
using movie::Playback;
using movie::Sample;

std::string Movie(const char* name) { return movie_testing::MoviePath(name); }

#define NEED_MOVIES()                                                     \
  do {                                                                    \
    const std::string why = movie_testing::WhyNoMovies();                 \
    if (!why.empty()) GTEST_SKIP() << why;                                \
  } while (0)

// The screen colour of a picture's centre.
uint32_t Centre(const Picture& picture) {
  std::vector<uint32_t> bits(static_cast<size_t>(picture.Width) * picture.Height);
  movie::ToScreenColours(picture, bits.data());
  return bits[static_cast<size_t>(picture.Height / 2) * picture.Width + picture.Width / 2];
}

bool Near(uint32_t colour, uint32_t expected, int tolerance = 24) {
  for (int shift = 0; shift < 24; shift += 8)
    if (std::abs(static_cast<int>((colour >> shift) & 0xFF) - static_cast<int>((expected >> shift) & 0xFF)) > tolerance)
      return false;
  return true;
}

Picture Solid(int width, int height, uint8_t y, uint8_t u, uint8_t v) {
  Picture picture;
  picture.Allocate(width, height);
  std::fill(picture.Y.begin(), picture.Y.end(), y);
  std::fill(picture.U.begin(), picture.U.end(), u);
  std::fill(picture.V.begin(), picture.V.end(), v);
  return picture;
}

}  // namespace

TEST(MovieFile, TheBytesTellAMovieFromAScene) {
  using skit::FileKind;
  using skit::KindOfBytes;
  EXPECT_EQ(KindOfBytes(""), FileKind::Empty);
  EXPECT_EQ(KindOfBytes("skit 1\nlength 3\n"), FileKind::Scene);
  EXPECT_EQ(KindOfBytes("\xEF\xBB\xBF# a free scene\r\nskti 1\n"), FileKind::Scene);  // a typo still gets the parser's reason
  EXPECT_EQ(KindOfBytes(std::string("\0\0\0\x20" "ftypisom", 12)), FileKind::Movie);
  EXPECT_EQ(KindOfBytes("\x1A\x45\xDF\xA3 webm"), FileKind::Movie);
  EXPECT_EQ(KindOfBytes(std::string("\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9", 10)), FileKind::Movie);
  EXPECT_EQ(KindOfBytes("RIFF\x10\0\0\0AVI LIST"), FileKind::Movie);
  EXPECT_EQ(KindOfBytes(std::string("\x89PNG\r\n\x1A\n", 8)), FileKind::Movie);  // unknown binary: the system may know it
}

TEST(MoviePicture, StudioColoursBecomeScreenColoursAndTheShapeIsKept) {
  EXPECT_EQ(Centre(Solid(4, 4, 16, 128, 128)), 0x000000u);
  EXPECT_EQ(Centre(Solid(4, 4, 235, 128, 128)), 0xFFFFFFu);
  EXPECT_TRUE(Near(Centre(Solid(4, 4, 81, 90, 240)), 0xFF0000, 3)) << std::hex << Centre(Solid(4, 4, 81, 90, 240));
  EXPECT_TRUE(Near(Centre(Solid(4, 4, 145, 54, 34)), 0x00FF00, 3)) << std::hex << Centre(Solid(4, 4, 145, 54, 34));
  EXPECT_TRUE(Near(Centre(Solid(4, 4, 41, 240, 110)), 0x0000FF, 3)) << std::hex << Centre(Solid(4, 4, 41, 240, 110));
  // Chroma is shared by 2 x 2 pixels, also at an odd edge.
  Picture odd = Solid(3, 3, 235, 128, 128);
  odd.U[3] = 0;  // the bottom right pixel's
  std::vector<uint32_t> bits(9);
  movie::ToScreenColours(odd, bits.data());
  EXPECT_EQ(bits[0], 0xFFFFFFu);
  EXPECT_NE(bits[8], 0xFFFFFFu);

  // Scaled up, down, and cut by the frame's edges: each pixel shows the
  // nearest picture pixel in the rule's colours, and nothing outside changes.
  Picture mixed;  // every byte value, and rows of more than one 8-pixel step
  mixed.Allocate(37, 9);
  for (size_t i = 0; i < mixed.Y.size(); ++i) mixed.Y[i] = static_cast<uint8_t>(i * 37 % 256);
  for (size_t i = 0; i < mixed.U.size(); ++i) {
    mixed.U[i] = static_cast<uint8_t>(i * 53 % 256);
    mixed.V[i] = static_cast<uint8_t>(255 - i * 29 % 256);
  }
  auto rule = [&](int px, int py) {
    const int cw = mixed.ChromaWidth();
    const int c = 298 * (mixed.Y[py * 37 + px] - 16) + 128;
    const int u = mixed.U[(py / 2) * cw + px / 2] - 128, v = mixed.V[(py / 2) * cw + px / 2] - 128;
    auto clamp = [](int x) { return static_cast<uint32_t>(std::clamp(x >> 8, 0, 255)); };
    return clamp(c + 409 * v) << 16 | clamp(c - 100 * u - 208 * v) << 8 | clamp(c + 516 * u);
  };
  for (const RECT to : {RECT{-5, 2, 75, 22}, RECT{3, 1, 30, 8}, RECT{0, 0, 37, 9}, RECT{50, 10, 100, 30}}) {
    SCOPED_TRACE(testing::Message() << to.left << "," << to.top << "," << to.right << "," << to.bottom);
    std::vector<uint32_t> frame(80 * 24, 0xABCDEF);
    movie::DrawScaled(mixed, frame.data(), 80, 24, to);
    int wrong = 0;
    for (int row = 0; row < 24; ++row)
      for (int col = 0; col < 80; ++col) {
        const bool inside = col >= to.left && col < to.right && row >= to.top && row < to.bottom;
        const int px = static_cast<int>((2 * (col - to.left) + 1) * 37 / (2 * (to.right - to.left)));
        const int py = static_cast<int>((2 * (row - to.top) + 1) * 9 / (2 * (to.bottom - to.top)));
        const uint32_t expected = inside ? rule(px, py) : 0xABCDEF;
        if (frame[row * 80 + col] != expected && ++wrong < 4)
          ADD_FAILURE() << col << "," << row << ": " << std::hex << frame[row * 80 + col] << " for " << expected;
      }
    EXPECT_EQ(wrong, 0);
  }

  auto fits = [](RECT r, LONG left, LONG top, LONG right, LONG bottom) {
    return r.left == left && r.top == top && r.right == right && r.bottom == bottom;
  };
  EXPECT_TRUE(fits(movie::FitRect(320, 240, 1, 1280, 800), 106, 0, 1173, 800));   // bars left and right
  EXPECT_TRUE(fits(movie::FitRect(1920, 800, 1, 1280, 800), 0, 133, 1280, 666));  // bars above and below
  EXPECT_TRUE(fits(movie::FitRect(640, 800, 2, 1280, 800), 0, 0, 1280, 800));     // wide pixels
  EXPECT_TRUE(fits(movie::FitRect(0, 0, 1, 1280, 800), 0, 0, 1280, 800));
}

TEST(SystemMovie, DecodesEachSegmentAtItsTimeAndReadsSoundOnlyWhenAsked) {
  NEED_MOVIES();
  for (bool sound : {false, true}) {
    SCOPED_TRACE(sound ? "sound on" : "sound off");
    std::unique_ptr<movie::MovieSource> source = movie::OpenSystemMovie(Movie("segments.mp4"), sound);
    EXPECT_NEAR(source->Duration(), 3, 0.1);
    EXPECT_EQ(source->PixelAspect(), 1);
    ASSERT_EQ(source->Sound().has_value(), sound);
    if (sound) {
      EXPECT_EQ(source->Sound()->Rate, 44100);
      EXPECT_EQ(source->Sound()->Channels, 1);
    }
    int pictures = 0, wrong = 0;
    size_t soundBytes = 0;
    int64_t last = -1, first = -1;
    Sample sample;
    while (source->Next(sample)) {
      if (sample.What == Sample::Kind::Audio) {
        soundBytes += sample.Sound.size();
        continue;
      }
      ++pictures;
      EXPECT_EQ(sample.Frame.Width, 320);
      EXPECT_EQ(sample.Frame.Height, 240);
      EXPECT_GT(sample.Time, last);
      last = sample.Time;
      // The movie's time counts from its first picture (Wine's reader gives
      // x264's first picture a time after 0, its decoding delay).
      if (first < 0) first = sample.Time;
      const double at = static_cast<double>(sample.Time - first) / movie::kUnitsPerSecond;
      const uint32_t expected = at < 1 ? 0xFF0000 : at < 2 ? 0x00FF00 : 0x0000FF;
      if (!Near(Centre(sample.Frame), expected) && ++wrong < 5)
        ADD_FAILURE() << "at " << at << " s the colour is " << std::hex << Centre(sample.Frame);
    }
    EXPECT_EQ(pictures, 90);
    EXPECT_EQ(wrong, 0);
    if (sound)
      EXPECT_NEAR(static_cast<double>(soundBytes), 3 * 44100 * 2, 44100 * 2 / 10);  // 3 s of 16-bit mono
    else
      EXPECT_EQ(soundBytes, 0u);
  }
}

// 322 pixels wide: Wine's decoders pad its rows to 324 bytes and say nothing
// of it in the type; the picture still comes out straight.
TEST(SystemMovie, PaddedRowsComeOutStraight) {
  NEED_MOVIES();
  std::unique_ptr<movie::MovieSource> source = movie::OpenSystemMovie(Movie("narrow.mp4"), false);
  Sample sample;
  ASSERT_TRUE(source->Next(sample));
  const Picture& picture = sample.Frame;
  ASSERT_EQ(picture.Width, 322);
  ASSERT_EQ(picture.Height, 242);
  std::vector<uint32_t> bits(static_cast<size_t>(picture.Width) * picture.Height);
  movie::ToScreenColours(picture, bits.data());
  for (int y : {0, 121, 241}) {
    const uint32_t* row = bits.data() + static_cast<size_t>(y) * picture.Width;
    EXPECT_TRUE(Near(row[2], 0xFF0000)) << y << ": " << std::hex << row[2];     // the red left part, 162 wide
    EXPECT_TRUE(Near(row[319], 0x0000FF)) << y << ": " << std::hex << row[319];  // the blue right part
  }
}

// The outline of an MP4: boxes of 32-bit sizes, a 64-bit one, one that runs
// to the end; cut short in each, or broken.
TEST(MovieFile, AnIsoFileIsCheckedBoxByBox) {
  testing_support::TempDir dir;
  auto box = [](const char* type, uint32_t size) {
    std::string bytes = {static_cast<char>(size >> 24), static_cast<char>(size >> 16), static_cast<char>(size >> 8),
                         static_cast<char>(size)};
    return bytes + type + std::string(size > 8 ? size - 8 : 0, '\x01');
  };
  const std::string ftyp = box("ftyp", 16), moov = box("moov", 12);
  const std::string wide = std::string("\0\0\0\x01mdat\0\0\0\0\0\0\0\x18", 16) + std::string(8, '\x02');
  auto problem = [&dir](const std::string& bytes) {
    const std::string path = dir.File("probe.mp4");
    testing_support::WriteFileBytes(path, bytes);
    return movie::IsoFileProblem(path);
  };
  EXPECT_EQ(problem(ftyp + moov + wide), "");
  EXPECT_EQ(problem(ftyp + moov + std::string("\0\0\0\0mdat", 8) + "to the end"), "");
  EXPECT_EQ(problem(ftyp + moov + wide + "1234567"), "");  // a few bytes after the last box
  EXPECT_EQ(problem("skit 1\nlength 3\n"), "");             // not an ISO file
  EXPECT_EQ(problem(ftyp + moov + wide.substr(0, 20)), "the file is cut short: its mdat box runs to byte 52 of a file of 48 bytes");
  EXPECT_EQ(problem(ftyp + moov + wide.substr(0, 12)), "the file is cut short: its mdat box has no size");
  EXPECT_EQ(problem(ftyp + wide), "the file is cut short or damaged: it has no movie header (moov box)");
  EXPECT_EQ(problem(ftyp + std::string("\xFF\xFF\xFF\xF0\x90\x91\x92\x93", 8) + moov), "the file is damaged: no box starts at byte 16");
  EXPECT_EQ(problem(ftyp + box("moov", 4)), "the file is damaged: the moov box at byte 16 is smaller than its header");
}

namespace {

// Records the sinks asked for and the sound written into them.
struct SinkLog {
  std::mutex Lock;
  int Made = 0;
  size_t Bytes = 0;
  bool Started = false;
};

class LoggedSink : public movie::AudioSink {
 public:
  explicit LoggedSink(std::shared_ptr<SinkLog> log) : Log_(std::move(log)) {}
  void Write(const std::string& pcm, const std::atomic<bool>&) override {
    std::lock_guard<std::mutex> lock(Log_->Lock);
    Log_->Bytes += pcm.size();
  }
  void Start() override {
    std::lock_guard<std::mutex> lock(Log_->Lock);
    Log_->Started = true;
  }

 private:
  std::shared_ptr<SinkLog> Log_;
};

// A clock only the test moves.
struct ManualClock {
  std::shared_ptr<double> Now = std::make_shared<double>(100);
  movie::Clock Get() const {
    auto now = Now;
    return [now] { return *now; };
  }
};

}  // namespace

// Sound off opens no sound stream and asks for no output: seen through the
// sink maker, since Wine here has no audio device to show a stream on.
TEST(SystemMoviePlayback, SoundOffAsksForNoOutputAndSoundOnFeedsOne) {
  NEED_MOVIES();
  for (bool sound : {false, true}) {
    SCOPED_TRACE(sound ? "sound on" : "sound off");
    auto log = std::make_shared<SinkLog>();
    const std::string path = Movie("segments.mp4");
    ManualClock clock;
    Playback playback([path, sound] { return movie::OpenSystemMovie(path, sound); },
                      [log](const movie::AudioFormat&) -> std::unique_ptr<movie::AudioSink> {
                        {
                          std::lock_guard<std::mutex> lock(log->Lock);
                          ++log->Made;
                        }
                        return std::make_unique<LoggedSink>(log);
                      },
                      clock.Get());
    playback.Begin();
    // Played through on the test's clock, a tenth of a second a step.
    bool ended = false;
    for (int step = 0; step < 400 && !ended; ++step) {
      ASSERT_TRUE(playback.WaitReady(20));
      const Playback::Step at = playback.Advance();
      ASSERT_EQ(at.Problem, "");
      ended = at.Ended;
      if (playback.Shown() > 0) *clock.Now += 0.1;
    }
    EXPECT_TRUE(ended);
    EXPECT_TRUE(playback.Finish(10));
    std::lock_guard<std::mutex> lock(log->Lock);
    EXPECT_EQ(log->Made, sound ? 1 : 0);
    EXPECT_EQ(log->Started, sound);
    EXPECT_EQ(log->Bytes > 0, sound);
  }
}

TEST(SystemMoviePlayback, UnplayableMoviesGiveTheirReason) {
  NEED_MOVIES();
  struct Case {
    const char* File;
    const char* Reason;
  } cases[] = {
      {"flipped.mp4", "the file is damaged: no box starts at byte 32"},
      {"cut.mp4", "the file is cut short: its mdat box runs to byte "},
      {"soundonly.mp4", "it has no video stream"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.File);
    const std::string path = Movie(c.File);
    ManualClock clock;
    Playback playback([path] { return movie::OpenSystemMovie(path, false); }, {}, clock.Get());
    playback.Begin();
    std::string problem;
    for (int step = 0; step < 400 && problem.empty(); ++step) {
      ASSERT_TRUE(playback.WaitReady(20));
      const Playback::Step at = playback.Advance();
      ASSERT_FALSE(at.Ended);
      problem = at.Problem;
      *clock.Now += 0.1;
    }
    EXPECT_NE(problem.find(c.Reason), std::string::npos) << problem;
    EXPECT_TRUE(playback.Finish(10));
  }
}

namespace {

// Pictures every tenth of a second, numbered by their width; Next can be
// held, as a decoder that stops answering would.
class TestSource : public movie::MovieSource {
 public:
  struct Control {
    int Pictures = 10;
    double Duration = 0;
    int HoldAt = -1;  // the call of Next that waits for Release
    handles::UniqueHandle Held{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    handles::UniqueHandle Release{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
  };
  explicit TestSource(std::shared_ptr<Control> control) : Control_(std::move(control)) {}
  double Duration() const override { return Control_->Duration; }
  double PixelAspect() const override { return 1; }
  std::optional<movie::AudioFormat> Sound() const override { return std::nullopt; }
  bool Next(Sample& sample) override {
    if (Calls_++ == Control_->HoldAt) {
      SetEvent(Control_->Held.get());
      WaitForSingleObject(Control_->Release.get(), INFINITE);
    }
    if (Given_ == Control_->Pictures) return false;
    sample.What = Sample::Kind::Video;
    sample.Time = Given_ * 1000000LL;
    sample.Duration = 1000000;
    sample.Frame.Allocate(Given_ + 1, 1);
    ++Given_;
    return true;
  }

 private:
  std::shared_ptr<Control> Control_;
  int Calls_ = 0;
  int Given_ = 0;
};


}  // namespace

TEST(MoviePlayback, PicturesAtTheirTimesLateOnesDroppedThenTheEnd) {
  auto control = std::make_shared<TestSource::Control>();
  control->Pictures = 6;
  ManualClock clock;
  Playback playback([control] { return std::make_unique<TestSource>(control); }, {}, clock.Get());
  ASSERT_TRUE(playback.WaitReady(10));
  EXPECT_EQ(playback.Advance().Show, nullptr);  // the time runs only once it begins
  *clock.Now += 5;                               // however long the wait
  playback.Begin();
  const Playback::Step first = playback.Advance();
  ASSERT_NE(first.Show, nullptr);
  EXPECT_EQ(first.Show->Width, 1);
  *clock.Now += 0.05;
  EXPECT_EQ(playback.Advance().Show, nullptr);  // the next is not due yet
  *clock.Now += 0.3;                             // at 0.35 s: pictures 2 and 3 come too late
  const Playback::Step late = playback.Advance();
  ASSERT_NE(late.Show, nullptr);
  EXPECT_EQ(late.Show->Width, 4);
  EXPECT_EQ(playback.Dropped(), 2u);
  EXPECT_FALSE(late.Ended);
  *clock.Now += 0.2;  // at 0.55 s: picture 6, the last, shows until 0.6 s
  ASSERT_TRUE(playback.WaitReady(10));
  const Playback::Step last = playback.Advance();
  ASSERT_NE(last.Show, nullptr);
  EXPECT_EQ(last.Show->Width, 6);
  EXPECT_FALSE(last.Ended);
  *clock.Now += 0.1;
  EXPECT_TRUE(playback.Advance().Ended);
  EXPECT_EQ(playback.Shown(), 3u);
  EXPECT_EQ(playback.Dropped(), 3u);
  EXPECT_EQ(playback.OnTime(), 3u);  // each at most 0.05 s after its time
  EXPECT_TRUE(playback.Finish(10));
}

TEST(MoviePlayback, ShortOfItsLengthOrAStuckDecoderIsAProblem) {
  {
    auto control = std::make_shared<TestSource::Control>();
    control->Pictures = 5;
    control->Duration = 2;  // the header promised two seconds, half a second came
    ManualClock clock;
    Playback playback([control] { return std::make_unique<TestSource>(control); }, {}, clock.Get());
    ASSERT_TRUE(playback.WaitReady(10));
    playback.Begin();
    const Playback::Step step = playback.Advance();
    EXPECT_EQ(step.Problem, "the movie stops at 0.5 s of its 2.0 s: the file is cut short or damaged");
    EXPECT_TRUE(playback.Finish(10));
  }
  {
    auto control = std::make_shared<TestSource::Control>();
    control->HoldAt = 2;
    ManualClock clock;
    Playback playback([control] { return std::make_unique<TestSource>(control); }, {}, clock.Get());
    playback.Begin();
    ASSERT_EQ(WaitForSingleObject(control->Held.get(), 10000), WAIT_OBJECT_0);
    EXPECT_EQ(playback.Advance().Problem, "");
    *clock.Now += 9;
    EXPECT_EQ(playback.Advance().Problem, "");
    EXPECT_EQ(playback.Shown(), 2u);
    EXPECT_EQ(playback.OnTime(), 1u);  // the second came 8.9 s late: none followed it
    *clock.Now += 2;  // past the ten seconds a call may take
    EXPECT_EQ(playback.Advance().Problem, "the decoder stopped answering (nothing for 10 s)");
    EXPECT_FALSE(playback.Finish(0.1));  // the call is still held: the thread is left to itself
    SetEvent(control->Release.get());
  }
}

