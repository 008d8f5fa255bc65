#include "tools/skitplay/playback.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace movie {

// What the decoding thread and the window's side share, under Lock. The
// thread holds it too, so a thread left behind by Finish never reads freed
// memory.
struct Playback::Shared {
  std::mutex Lock;
  std::condition_variable Changed;
  std::deque<Sample> Pictures;
  // Pictures shown or dropped, kept for the thread to decode into again: a
  // picture of the same size then costs no allocation (a full HD one is 3 MB
  // the system would otherwise map, fault in and unmap 30 times a second).
  std::vector<Picture> Spare;
  std::atomic<bool> Stop{false};
  bool Done = false;      // the source has ended or failed
  bool Exited = false;    // the thread has let go of the source and the sink
  std::string Problem;    // why the movie cannot play on
  double EndAt = 0;       // the movie's end, seconds of its own time
  double BusySince = -1;  // clock seconds at which the source's current call began, -1 when none runs
  double PixelAspect = 1;
  AudioSink* Sink = nullptr;  // the thread's, while it runs
  bool SoundStarted = false;
};

namespace {

double Seconds(int64_t units) { return static_cast<double>(units) / kUnitsPerSecond; }

// Under Lock.
void Recycle(Playback::Shared& s, Picture&& picture) {
  if (s.Spare.size() < 2 && !picture.Y.empty()) s.Spare.push_back(std::move(picture));
}

std::string Shortfall(double end, double duration) {
  char text[128];
  std::snprintf(text, sizeof text, "the movie stops at %.1f s of its %.1f s: the file is cut short or damaged", end,
                duration);
  return text;
}

}  // namespace

namespace {

// The decoding thread: the source and the sink are made, used and destroyed
// here, so that whatever the system ties to a thread stays on this one.
void Decode(std::shared_ptr<Playback::Shared> shared, SourceMaker make, SinkMaker sinks, Clock clock,
            PlaybackLimits limits);

}  // namespace

Playback::Playback(SourceMaker source, SinkMaker sinks, Clock clock, PlaybackLimits limits)
    : Shared_(std::make_shared<Shared>()), Clock_(std::move(clock)), Limits_(limits) {
  Thread_ = std::thread(Decode, Shared_, std::move(source), std::move(sinks), Clock_, Limits_);
}

Playback::~Playback() {
  if (Thread_.joinable()) Finish(2);
}

void Playback::Begin() { Begun_ = true; }

double Playback::PixelAspect() const {
  std::lock_guard<std::mutex> lock(Shared_->Lock);
  return Shared_->PixelAspect;
}

Playback::Step Playback::Advance() {
  Step step;
  const double now = Clock_();
  Shared& s = *Shared_;
  std::lock_guard<std::mutex> lock(s.Lock);
  if (s.Problem.empty() && s.BusySince >= 0 && now - s.BusySince > Limits_.DecoderSeconds) {
    char text[96];
    std::snprintf(text, sizeof text, "the decoder stopped answering (nothing for %.0f s)", Limits_.DecoderSeconds);
    s.Problem = text;
  }
  if (!s.Problem.empty()) {
    step.Problem = s.Problem;
    return step;
  }
  if (!Running_) {
    if (!Begun_ || s.Pictures.empty()) return step;
    Running_ = true;
    First_ = Seconds(s.Pictures.front().Time);
    Origin_ = now;
    s.SoundStarted = true;
    if (s.Sink) s.Sink->Start();
  }
  const double t = First_ + (now - Origin_);
  while (!s.Pictures.empty() && Seconds(s.Pictures.front().Time) <= t) {
    if (s.Pictures.size() >= 2 && Seconds(s.Pictures[1].Time) <= t) {
      Recycle(s, std::move(s.Pictures.front().Frame));
      s.Pictures.pop_front();
      ++Dropped_;
      continue;
    }
    const Sample& due = s.Pictures.front();
    // A picture that does not say how long it stands counts as one of 30 a second.
    const double span = due.Duration > 0 ? Seconds(due.Duration) : 1.0 / 30;
    if (t - Seconds(due.Time) <= span) ++OnTime_;
    Recycle(s, std::move(Current_));
    Current_ = std::move(s.Pictures.front().Frame);
    s.Pictures.pop_front();
    ++Shown_;
    step.Show = &Current_;
    s.Changed.notify_all();
    break;
  }
  step.Ended = s.Done && s.Pictures.empty() && t >= s.EndAt;
  return step;
}

bool Playback::WaitReady(double seconds) {
  Shared& s = *Shared_;
  std::unique_lock<std::mutex> lock(s.Lock);
  return s.Changed.wait_for(lock, std::chrono::duration<double>(seconds),
                            [&] { return s.Done || s.Pictures.size() >= Limits_.Pictures; });
}

bool Playback::Finish(double seconds) {
  Shared& s = *Shared_;
  std::unique_lock<std::mutex> lock(s.Lock);
  s.Stop = true;
  s.Changed.notify_all();
  const bool exited = s.Changed.wait_for(lock, std::chrono::duration<double>(seconds), [&s] { return s.Exited; });
  lock.unlock();
  if (Thread_.joinable()) {
    // Past Exited the thread only returns.
    if (exited)
      Thread_.join();
    else
      Thread_.detach();
  }
  return exited;
}

namespace {

void Decode(std::shared_ptr<Playback::Shared> shared, SourceMaker make, SinkMaker sinks, Clock clock,
            PlaybackLimits limits) {
  Playback::Shared& s = *shared;
  std::string problem;
  {
    std::unique_ptr<MovieSource> source;
    std::unique_ptr<AudioSink> sink;
    try {
      {
        std::lock_guard<std::mutex> lock(s.Lock);
        s.BusySince = clock();
      }
      source = make();
      const double duration = source->Duration();
      const std::optional<AudioFormat> sound = source->Sound();
      if (sound && sinks) sink = sinks(*sound);
      {
        std::lock_guard<std::mutex> lock(s.Lock);
        s.BusySince = -1;
        s.PixelAspect = source->PixelAspect();
        s.Sink = sink.get();
        if (sink && s.SoundStarted) sink->Start();
      }
      double end = 0;
      bool pictures = false;
      for (;;) {
        Sample sample;
        {
          std::unique_lock<std::mutex> lock(s.Lock);
          s.Changed.wait(lock, [&] { return s.Stop || s.Pictures.size() < limits.Pictures; });
          if (s.Stop) break;
          s.BusySince = clock();
          if (!s.Spare.empty()) {
            sample.Frame = std::move(s.Spare.back());
            s.Spare.pop_back();
          }
        }
        const bool more = source->Next(sample);
        std::unique_lock<std::mutex> lock(s.Lock);
        s.BusySince = -1;
        if (!more) {
          if (!pictures)
            problem = "the movie holds no pictures";
          else if (duration > 0 && end < duration - limits.ShortBySeconds)
            problem = Shortfall(end, duration);
          s.EndAt = end;
          break;
        }
        end = std::max(end, Seconds(sample.Time + std::max<int64_t>(0, sample.Duration)));
        if (sample.What == Sample::Kind::Video) {
          pictures = true;
          s.Pictures.push_back(std::move(sample));
          s.Changed.notify_all();
        } else {
          Recycle(s, std::move(sample.Frame));
          if (!sink) continue;
          // Written outside the lock: the sink may wait for its device.
          lock.unlock();
          sink->Write(sample.Sound, s.Stop);
        }
      }
    } catch (const std::exception& error) {
      problem = error.what();
      if (problem.empty()) problem = "unknown failure";
    } catch (...) {
      problem = "unexpected failure";
    }
    {
      std::lock_guard<std::mutex> lock(s.Lock);
      s.BusySince = -1;
      s.Sink = nullptr;
      s.Done = true;
      if (s.Problem.empty()) s.Problem = problem;
      s.Changed.notify_all();
    }
    // The sink goes first, then the source and with it the system's decoders.
    sink.reset();
    source.reset();
  }
  std::lock_guard<std::mutex> lock(s.Lock);
  s.Exited = true;
  s.Changed.notify_all();
}

}  // namespace

}  // namespace movie
