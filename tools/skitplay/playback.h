// A movie's playback, below the window: a decoding thread that reads the
// source ahead into a short queue of pictures (and hands the sound to its
// sink), and the choice, at each tick of the window, of the picture due at
// that moment. The movie's time is the clock's: a picture that comes late is
// dropped, never the clock slowed. Nothing here makes a window; the clock is
// given, so that tests can drive it.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "tools/skitplay/audiosink.h"
#include "tools/skitplay/moviesource.h"

namespace movie {

// Made on the decoding thread, which also destroys it.
using SourceMaker = std::function<std::unique_ptr<MovieSource>()>;
// Seconds on a steady clock.
using Clock = std::function<double()>;

struct PlaybackLimits {
  size_t Pictures = 8;          // decoded ahead at most
  double DecoderSeconds = 10;   // the longest one call of the source may take
  double ShortBySeconds = 0.5;  // the least shortfall against the header's length that counts as cut short
};

class Playback {
 public:
  // Starts the decoding thread at once. sinks may be empty: then no sound
  // sink is ever made.
  Playback(SourceMaker source, SinkMaker sinks, Clock clock, PlaybackLimits limits = {});
  // Asks the thread to stop and waits for it at most a moment (see Finish).
  ~Playback();
  Playback(const Playback&) = delete;
  Playback& operator=(const Playback&) = delete;

  // The movie's time may run: from the first picture on, at once when it is
  // already decoded, else the moment it is.
  void Begin();

  struct Step {
    const Picture* Show = nullptr;  // a new picture to show now, else null
    bool Ended = false;             // the movie has played to its end
    std::string Problem;            // why it cannot play on, else empty
  };
  // Called at each tick of the window.
  Step Advance();

  // Waits at most seconds until as many pictures as may be decoded ahead
  // are, or the source has ended or failed; true then.
  bool WaitReady(double seconds);

  // The picture shown last, or null before the first; it stays until the
  // next Advance that shows another.
  const Picture* Current() const { return Shown_ > 0 ? &Current_ : nullptr; }

  double PixelAspect() const;
  // Pictures shown and dropped so far, and of those shown how many came at
  // most one picture's time after their own.
  size_t Shown() const { return Shown_; }
  size_t Dropped() const { return Dropped_; }
  size_t OnTime() const { return OnTime_; }

  // Stops the decoding and waits for its thread to end, at most seconds:
  // false when a call of the source does not return by then (the thread is
  // left to itself).
  bool Finish(double seconds);

  // What this side shares with the decoding thread.
  struct Shared;

 private:
  std::shared_ptr<Shared> Shared_;
  // Joined once it has let go of the source: a thread still on its way out
  // when the process ends is killed in the middle of its exit, and Wine has
  // then crashed the process now and then.
  std::thread Thread_;
  Clock Clock_;
  PlaybackLimits Limits_;
  bool Begun_ = false;
  bool Running_ = false;  // the movie's time runs
  double Origin_ = 0;     // clock seconds at the first picture's time
  double First_ = 0;      // the first picture's time, seconds
  Picture Current_;
  size_t Shown_ = 0;
  size_t Dropped_ = 0;
  size_t OnTime_ = 0;
};

}  // namespace movie
