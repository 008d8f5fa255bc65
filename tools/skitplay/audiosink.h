// Where a movie's sound goes: the system's audio output (the waveform
// audio calls), or nowhere.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "tools/skitplay/moviesource.h"

namespace movie {

class AudioSink {
 public:
  virtual ~AudioSink() = default;
  // Queues PCM bytes. Waits while about a second of sound is queued, until
  // some has played or stop is set.
  virtual void Write(const std::string& pcm, const std::atomic<bool>& stop) = 0;
  // A sink starts paused, so that sound can be queued before the movie's
  // time runs; Start lets it play.
  virtual void Start() = 0;
};

// Makes the sink for a movie's sound; a null result plays the movie silent.
using SinkMaker = std::function<std::unique_ptr<AudioSink>(const AudioFormat&)>;

// The system's default audio output, or null where there is none.
std::unique_ptr<AudioSink> OpenSystemAudio(const AudioFormat& format);

}  // namespace movie
