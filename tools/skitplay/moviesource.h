// What the player's movie playback reads from: decoded pictures and sound in
// file order, whatever decodes them. The system's decoders are one source
// (mfsource.h); tests give their own.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "tools/skitplay/picture.h"

namespace movie {

// A movie that cannot be played; what() is the reason, in words for the
// screen.
class MovieError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Signed 16-bit PCM, samples interleaved.
struct AudioFormat {
  int Rate = 0;
  int Channels = 0;
};

struct Sample {
  enum class Kind { Video, Audio };
  Kind What = Kind::Video;
  int64_t Time = 0;      // 100 ns units from the movie's start
  int64_t Duration = 0;  // 100 ns units, 0 when the source does not say
  Picture Frame;         // Video
  std::string Sound;     // Audio: PCM bytes
};

constexpr double kUnitsPerSecond = 1e7;

class MovieSource {
 public:
  virtual ~MovieSource() = default;
  // Seconds, as the file's header says; 0 when it does not.
  virtual double Duration() const = 0;
  // The width of one picture pixel over its height.
  virtual double PixelAspect() const = 0;
  // Present when sound was asked for and the movie has a sound this source
  // gives as PCM; no sound is read otherwise.
  virtual std::optional<AudioFormat> Sound() const = 0;
  // The next picture or piece of sound; false once every stream read has
  // ended. Throws MovieError. May block while the decoder works.
  virtual bool Next(Sample& sample) = 0;
};

}  // namespace movie
