// The waveform audio calls are loaded by name from the system folder, as the
// Media Foundation ones are (see mfsource.cpp); where they or an output
// device are missing, the movie plays silent.
#include "tools/skitplay/audiosink.h"

#include <windows.h>
#include <mmsystem.h>

#include <deque>

#include "base/handles.h"

namespace movie {

namespace {

struct WaveCalls {
  MMRESULT(WINAPI* Open)(LPHWAVEOUT, UINT, LPCWAVEFORMATEX, DWORD_PTR, DWORD_PTR, DWORD) = nullptr;
  MMRESULT(WINAPI* Close)(HWAVEOUT) = nullptr;
  MMRESULT(WINAPI* Prepare)(HWAVEOUT, LPWAVEHDR, UINT) = nullptr;
  MMRESULT(WINAPI* Unprepare)(HWAVEOUT, LPWAVEHDR, UINT) = nullptr;
  MMRESULT(WINAPI* Write)(HWAVEOUT, LPWAVEHDR, UINT) = nullptr;
  MMRESULT(WINAPI* Reset)(HWAVEOUT) = nullptr;
  MMRESULT(WINAPI* Pause)(HWAVEOUT) = nullptr;
  MMRESULT(WINAPI* Restart)(HWAVEOUT) = nullptr;
  bool Complete = false;

  template <typename F>
  bool Find(HMODULE library, const char* name, F& call) {
    call = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(library, name)));
    return call != nullptr;
  }

  WaveCalls() {
    HMODULE winmm = LoadLibraryA("winmm.dll");
    if (!winmm) return;
    Complete = Find(winmm, "waveOutOpen", Open) && Find(winmm, "waveOutClose", Close) &&
               Find(winmm, "waveOutPrepareHeader", Prepare) && Find(winmm, "waveOutUnprepareHeader", Unprepare) &&
               Find(winmm, "waveOutWrite", Write) && Find(winmm, "waveOutReset", Reset) &&
               Find(winmm, "waveOutPause", Pause) && Find(winmm, "waveOutRestart", Restart);
  }
};

const WaveCalls& Wave() {
  static const WaveCalls calls;
  return calls;
}

class WaveOutput : public AudioSink {
 public:
  WaveOutput(HWAVEOUT device, handles::UniqueHandle done, size_t bytesPerSecond)
      : Device_(device), Done_(std::move(done)), Limit_(bytesPerSecond) {}

  ~WaveOutput() override {
    Wave().Reset(Device_);
    Reclaim();
    Wave().Close(Device_);
  }

  void Write(const std::string& pcm, const std::atomic<bool>& stop) override {
    if (Broken_ || pcm.empty()) return;
    Reclaim();
    // The device signals the event as each block ends; the bounded wait
    // keeps a stop request from waiting on a device that never answers.
    while (Queued_ > Limit_ && !stop) {
      WaitForSingleObject(Done_.get(), 100);
      Reclaim();
    }
    if (stop) return;
    auto block = std::make_unique<Block>();
    block->Bytes = pcm;
    block->Header.lpData = block->Bytes.data();
    block->Header.dwBufferLength = static_cast<DWORD>(block->Bytes.size());
    if (Wave().Prepare(Device_, &block->Header, sizeof block->Header) != MMSYSERR_NOERROR) {
      Broken_ = true;
      return;
    }
    if (Wave().Write(Device_, &block->Header, sizeof block->Header) != MMSYSERR_NOERROR) {
      Wave().Unprepare(Device_, &block->Header, sizeof block->Header);
      Broken_ = true;
      return;
    }
    Queued_ += block->Bytes.size();
    Blocks_.push_back(std::move(block));
  }

  void Start() override { Wave().Restart(Device_); }

 private:
  struct Block {
    WAVEHDR Header = {};
    std::string Bytes;
  };

  // Blocks the device has played, in the order they were written.
  void Reclaim() {
    while (!Blocks_.empty() && (Blocks_.front()->Header.dwFlags & WHDR_DONE)) {
      Wave().Unprepare(Device_, &Blocks_.front()->Header, sizeof(WAVEHDR));
      Queued_ -= Blocks_.front()->Bytes.size();
      Blocks_.pop_front();
    }
  }

  HWAVEOUT Device_;
  handles::UniqueHandle Done_;
  size_t Limit_;
  size_t Queued_ = 0;
  bool Broken_ = false;
  std::deque<std::unique_ptr<Block>> Blocks_;
};

}  // namespace

std::unique_ptr<AudioSink> OpenSystemAudio(const AudioFormat& format) {
  if (!Wave().Complete || format.Rate <= 0 || format.Channels <= 0) return nullptr;
  WAVEFORMATEX wave = {};
  wave.wFormatTag = WAVE_FORMAT_PCM;
  wave.nChannels = static_cast<WORD>(format.Channels);
  wave.nSamplesPerSec = static_cast<DWORD>(format.Rate);
  wave.wBitsPerSample = 16;
  wave.nBlockAlign = static_cast<WORD>(format.Channels * 2);
  wave.nAvgBytesPerSec = wave.nSamplesPerSec * wave.nBlockAlign;
  handles::UniqueHandle done(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  if (!done) return nullptr;
  HWAVEOUT device = nullptr;
  if (Wave().Open(&device, WAVE_MAPPER, &wave, reinterpret_cast<DWORD_PTR>(done.get()), 0, CALLBACK_EVENT) !=
      MMSYSERR_NOERROR)
    return nullptr;
  Wave().Pause(device);
  return std::make_unique<WaveOutput>(device, std::move(done), wave.nAvgBytesPerSec);
}

}  // namespace movie
