// The player reads movies with Media Foundation's source reader, which picks
// the demultiplexer and the decoders the system has for the file. It asks
// for pictures in 4:2:0 Y'CbCr (NV12 or I420, what decoders give anyway:
// Wine's source reader, decoding through GStreamer, refuses RGB32 with
// MF_E_TOPO_CODEC_NOT_FOUND) and converts them to screen colours itself
// (picture.h), and for sound as 16-bit PCM.
//
// The Media Foundation libraries are loaded by name from the system folder
// rather than imported: the player is started in a folder every user may
// write to, where an imported library that is not one of the system's known
// ones could be planted (see skitplay.cpp). They are never unloaded.
#include "tools/skitplay/mfsource.h"

#include <windows.h>
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mfreadwrite.h>

#include <cstdio>
#include <utility>
#include <vector>

#include "tools/skitplay/isofile.h"
#include "tools/skitplay/skitanim.h"

namespace movie {

namespace {

// The calls the player needs, from the system's libraries.
struct MediaFoundationCalls {
  HRESULT(WINAPI* CoInitializeEx)(void*, DWORD) = nullptr;
  void(WINAPI* CoUninitialize)() = nullptr;
  HRESULT(WINAPI* MFStartup)(ULONG, DWORD) = nullptr;
  HRESULT(WINAPI* MFShutdown)() = nullptr;
  HRESULT(WINAPI* MFCreateMediaType)(IMFMediaType**) = nullptr;
  HRESULT(WINAPI* MFCreateSourceReaderFromURL)(LPCWSTR, IMFAttributes*, IMFSourceReader**) = nullptr;
  std::string Missing;  // the first library or call not found

  template <typename F>
  void Find(HMODULE library, const char* library_name, const char* name, F& call) {
    if (library) call = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(library, name)));
    if (!call && Missing.empty()) Missing = std::string(name) + " in " + library_name;
  }

  MediaFoundationCalls() {
    HMODULE ole = LoadLibraryA("ole32.dll");
    HMODULE plat = LoadLibraryA("mfplat.dll");
    HMODULE readwrite = LoadLibraryA("mfreadwrite.dll");
    Find(ole, "ole32.dll", "CoInitializeEx", CoInitializeEx);
    Find(ole, "ole32.dll", "CoUninitialize", CoUninitialize);
    Find(plat, "mfplat.dll", "MFStartup", MFStartup);
    Find(plat, "mfplat.dll", "MFShutdown", MFShutdown);
    Find(plat, "mfplat.dll", "MFCreateMediaType", MFCreateMediaType);
    Find(readwrite, "mfreadwrite.dll", "MFCreateSourceReaderFromURL", MFCreateSourceReaderFromURL);
  }
};

const MediaFoundationCalls& Calls() {
  static const MediaFoundationCalls calls;
  return calls;
}

template <typename T>
class ComRef {
 public:
  ComRef() = default;
  ~ComRef() { reset(); }
  ComRef(const ComRef&) = delete;
  ComRef& operator=(const ComRef&) = delete;
  T* get() const { return Object_; }
  T* operator->() const { return Object_; }
  T** put() {
    reset();
    return &Object_;
  }
  void reset() {
    if (Object_) Object_->Release();
    Object_ = nullptr;
  }
  explicit operator bool() const { return Object_ != nullptr; }

 private:
  T* Object_ = nullptr;
};

std::string Hex(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
  return text;
}

// The reason for a failed call, in words; the code follows for whoever
// reports it further.
std::string Reason(HRESULT hr) {
  switch (hr) {
    case MF_E_UNSUPPORTED_BYTESTREAM_TYPE:
    case MF_E_INVALID_FILE_FORMAT:
    case MF_E_CANNOT_PARSE_BYTESTREAM:
    case MF_E_UNSUPPORTED_FORMAT:
    case MF_E_INVALID_FORMAT:
    case E_FAIL:  // what Wine's GStreamer reader says of a damaged file
      return "it is damaged or of a kind this system has no reader for (" + Hex(hr) + ")";
    case MF_E_TOPO_CODEC_NOT_FOUND:
      return "this system has no decoder for it (" + Hex(hr) + ")";
    case MF_E_INVALIDMEDIATYPE:
    case MF_E_NO_MORE_TYPES:
      return "its decoder gives no pictures this player can show (" + Hex(hr) + ")";
    default:
      break;
  }
  std::string text = skit::SystemErrorText(static_cast<DWORD>(hr));
  if (text.rfind("error ", 0) == 0) return "Media Foundation failed (" + Hex(hr) + ")";
  return text + " (" + Hex(hr) + ")";
}

void Check(HRESULT hr, const std::string& what) {
  if (FAILED(hr)) throw MovieError(what + ": " + Reason(hr));
}

// A FOURCC subtype as its four letters, for the reasons shown.
std::string SubtypeName(const GUID& subtype) {
  std::string name;
  for (int shift = 0; shift < 32; shift += 8) {
    const char c = static_cast<char>((subtype.Data1 >> shift) & 0xFF);
    if (c < 32 || c > 126) return "format " + Hex(static_cast<HRESULT>(subtype.Data1));
    name += c;
  }
  while (!name.empty() && name.back() == ' ') name.pop_back();
  return name;
}

std::wstring Wide(const std::string& text) {
  const int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return wide;
}

// COM and Media Foundation for the thread, while the object lives.
class Session {
 public:
  Session() {
    const MediaFoundationCalls& calls = Calls();
    if (!calls.Missing.empty())
      throw MovieError("this system has no movie decoders (Media Foundation is missing: " + calls.Missing + ")");
    const HRESULT com = calls.CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    Com_ = SUCCEEDED(com);
    const HRESULT started = calls.MFStartup(MF_VERSION, MFSTARTUP_LITE);
    if (FAILED(started)) {
      if (Com_) calls.CoUninitialize();
      Check(started, "Media Foundation does not start");
    }
  }
  ~Session() {
    Calls().MFShutdown();
    if (Com_) Calls().CoUninitialize();
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

 private:
  bool Com_ = false;
};

// The layout of the pictures the reader gives.
struct VideoLayout {
  GUID Subtype = GUID_NULL;
  UINT32 FrameWidth = 0, FrameHeight = 0;  // the buffer's picture, coded size
  LONG Stride = 0;                         // 0: as wide as the frame
  LONG Left = 0, Top = 0;                  // the shown part of it
  LONG Width = 0, Height = 0;
  double PixelAspect = 1;
};

// The bytes of a 4:2:0 picture of rows pitch bytes apart: the luma plane,
// then one interleaved chroma plane as wide, or two of half the pitch.
size_t BytesOf(LONG pitch, UINT32 height, bool interleaved) {
  const size_t rows = (height + 1) / 2;
  const size_t luma = static_cast<size_t>(pitch) * height;
  return luma + (interleaved ? static_cast<size_t>(pitch) * rows : 2 * static_cast<size_t>(pitch / 2) * rows);
}

// The rows' step of a picture that fills its buffer exactly, or 0. The type
// does not always say: Wine's GStreamer decoders pad each row to a multiple
// of 4 bytes (a 322 pixel wide picture comes in rows of 324) and give no
// default stride, and a buffer locked whole holds its rows as close as they
// go whatever stride the type gives.
LONG ExactPitch(DWORD length, UINT32 width, UINT32 height, bool interleaved) {
  const size_t rows = height + (height + 1) / 2;
  const LONG guess = static_cast<LONG>(length / rows);
  for (LONG pitch : {guess, guess + 1})
    if (pitch >= static_cast<LONG>(width) && pitch < static_cast<LONG>(width) + 64 &&
        BytesOf(pitch, height, interleaved) == length)
      return pitch;
  return 0;
}

class SystemMovie : public MovieSource {
 public:
  SystemMovie(const std::string& path, bool withSound) {
    const std::wstring url = Wide(path);
    Check(Calls().MFCreateSourceReaderFromURL(url.c_str(), nullptr, Reader_.put()), "the file does not open");
    FindStreams();
    if (VideoStream_ == kNone) throw MovieError("the file holds no pictures (it has no video stream)");
    Check(Reader_->SetStreamSelection(MF_SOURCE_READER_ALL_STREAMS, FALSE), "the file does not open");
    Check(Reader_->SetStreamSelection(VideoStream_, TRUE), "the file does not open");
    ChooseVideoType();
    if (withSound && AudioStream_ != kNone) ChooseAudioType();

    PROPVARIANT duration;
    PropVariantInit(&duration);
    if (SUCCEEDED(Reader_->GetPresentationAttribute(MF_SOURCE_READER_MEDIASOURCE, MF_PD_DURATION, &duration)) &&
        duration.vt == VT_UI8)
      Duration_ = static_cast<double>(duration.uhVal.QuadPart) / kUnitsPerSecond;
  }

  double Duration() const override { return Duration_; }
  double PixelAspect() const override { return Layout_.PixelAspect; }
  std::optional<AudioFormat> Sound() const override { return Sound_; }

  bool Next(Sample& sample) override {
    for (;;) {
      if (VideoEnded_ && (!Sound_ || AudioEnded_)) return false;
      DWORD stream = 0, flags = 0;
      LONGLONG time = 0;
      ComRef<IMFSample> got;
      const HRESULT hr = Reader_->ReadSample(MF_SOURCE_READER_ANY_STREAM, 0, &stream, &flags, &time, got.put());
      if (FAILED(hr) || (flags & MF_SOURCE_READERF_ERROR))
        throw MovieError(At() + "the movie cannot be decoded: " + Reason(FAILED(hr) ? hr : E_FAIL));
      if (flags & MF_SOURCE_READERF_ENDOFSTREAM) {
        if (stream == VideoStream_) VideoEnded_ = true;
        if (stream == AudioStream_) AudioEnded_ = true;
      }
      if ((flags & MF_SOURCE_READERF_CURRENTMEDIATYPECHANGED) && stream == VideoStream_) ReadVideoLayout();
      if (!got) continue;
      LONGLONG duration = 0;
      if (FAILED(got->GetSampleDuration(&duration))) duration = 0;
      sample.Time = time;
      sample.Duration = duration;
      if (stream == VideoStream_) {
        sample.What = Sample::Kind::Video;
        ReadPicture(got.get(), sample.Frame);
        LastTime_ = time;
        return true;
      }
      if (Sound_ && stream == AudioStream_) {
        sample.What = Sample::Kind::Audio;
        ReadSound(got.get(), sample.Sound);
        return true;
      }
    }
  }

 private:
  static constexpr DWORD kNone = 0xFFFFFFFF;

  std::string At() const {
    char text[48];
    std::snprintf(text, sizeof text, "at %.1f s, ", static_cast<double>(LastTime_) / kUnitsPerSecond);
    return LastTime_ > 0 ? text : "";
  }

  void FindStreams() {
    for (DWORD index = 0; index < 64; ++index) {
      ComRef<IMFMediaType> type;
      const HRESULT hr = Reader_->GetNativeMediaType(index, 0, type.put());
      if (hr == MF_E_INVALIDSTREAMNUMBER) break;
      if (FAILED(hr)) continue;
      GUID major = GUID_NULL;
      if (FAILED(type->GetGUID(MF_MT_MAJOR_TYPE, &major))) continue;
      if (major == MFMediaType_Video && VideoStream_ == kNone) {
        VideoStream_ = index;
        if (FAILED(type->GetGUID(MF_MT_SUBTYPE, &NativeVideo_))) NativeVideo_ = GUID_NULL;
      }
      if (major == MFMediaType_Audio && AudioStream_ == kNone) AudioStream_ = index;
    }
  }

  void ChooseVideoType() {
    HRESULT last = MF_E_INVALIDMEDIATYPE;
    for (const GUID& subtype : {MFVideoFormat_NV12, MFVideoFormat_I420, MFVideoFormat_IYUV, MFVideoFormat_YV12}) {
      ComRef<IMFMediaType> type;
      Check(Calls().MFCreateMediaType(type.put()), "Media Foundation failed");
      type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
      type->SetGUID(MF_MT_SUBTYPE, subtype);
      last = Reader_->SetCurrentMediaType(VideoStream_, nullptr, type.get());
      if (SUCCEEDED(last)) {
        ReadVideoLayout();
        return;
      }
    }
    throw MovieError("its pictures (" + SubtypeName(NativeVideo_) + ") cannot be decoded: " + Reason(last));
  }

  void ReadVideoLayout() {
    ComRef<IMFMediaType> type;
    Check(Reader_->GetCurrentMediaType(VideoStream_, type.put()), "the movie cannot be decoded");
    VideoLayout layout;
    type->GetGUID(MF_MT_SUBTYPE, &layout.Subtype);
    UINT64 size = 0;
    Check(type->GetUINT64(MF_MT_FRAME_SIZE, &size), "the movie's pictures have no size");
    layout.FrameWidth = static_cast<UINT32>(size >> 32);
    layout.FrameHeight = static_cast<UINT32>(size);
    if (layout.FrameWidth == 0 || layout.FrameHeight == 0 || layout.FrameWidth > 16384 || layout.FrameHeight > 16384)
      throw MovieError("its pictures have an impossible size");
    UINT32 stride = 0;
    if (SUCCEEDED(type->GetUINT32(MF_MT_DEFAULT_STRIDE, &stride))) layout.Stride = static_cast<LONG>(stride);
    layout.Width = static_cast<LONG>(layout.FrameWidth);
    layout.Height = static_cast<LONG>(layout.FrameHeight);
    MFVideoArea area = {};
    UINT32 got = 0;
    if (SUCCEEDED(type->GetBlob(MF_MT_MINIMUM_DISPLAY_APERTURE, reinterpret_cast<UINT8*>(&area), sizeof area, &got)) &&
        got == sizeof area && area.OffsetX.value >= 0 && area.OffsetY.value >= 0 && area.Area.cx > 0 &&
        area.Area.cy > 0 && area.OffsetX.value + area.Area.cx <= layout.Width &&
        area.OffsetY.value + area.Area.cy <= layout.Height) {
      layout.Left = area.OffsetX.value & ~1;
      layout.Top = area.OffsetY.value & ~1;
      layout.Width = area.Area.cx;
      layout.Height = area.Area.cy;
    }
    UINT64 aspect = 0;
    if (SUCCEEDED(type->GetUINT64(MF_MT_PIXEL_ASPECT_RATIO, &aspect)) && static_cast<UINT32>(aspect) != 0 &&
        (aspect >> 32) != 0)
      layout.PixelAspect = static_cast<double>(aspect >> 32) / static_cast<UINT32>(aspect);
    Layout_ = layout;
  }

  void ChooseAudioType() {
    ComRef<IMFMediaType> type;
    Check(Calls().MFCreateMediaType(type.put()), "Media Foundation failed");
    type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
    type->SetGUID(MF_MT_SUBTYPE, MFAudioFormat_PCM);
    type->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, 16);
    ComRef<IMFMediaType> current;
    UINT32 rate = 0, channels = 0, bits = 0;
    // A sound this system cannot decode leaves the movie silent, not unplayable.
    if (FAILED(Reader_->SetCurrentMediaType(AudioStream_, nullptr, type.get())) ||
        FAILED(Reader_->GetCurrentMediaType(AudioStream_, current.put())) ||
        FAILED(current->GetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, &rate)) ||
        FAILED(current->GetUINT32(MF_MT_AUDIO_NUM_CHANNELS, &channels)) ||
        FAILED(current->GetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, &bits)) || bits != 16 || rate == 0 || rate > 384000 ||
        channels == 0 || channels > 8 || FAILED(Reader_->SetStreamSelection(AudioStream_, TRUE)))
      return;
    Sound_ = AudioFormat{static_cast<int>(rate), static_cast<int>(channels)};
  }

  void ReadPicture(IMFSample* sample, Picture& out) {
    ComRef<IMFMediaBuffer> buffer;
    Check(sample->ConvertToContiguousBuffer(buffer.put()), At() + "the movie cannot be decoded");
    const VideoLayout& l = Layout_;
    const bool nv12 = l.Subtype == MFVideoFormat_NV12;
    const bool yv12 = l.Subtype == MFVideoFormat_YV12;
    if (!nv12 && !yv12 && l.Subtype != MFVideoFormat_I420 && l.Subtype != MFVideoFormat_IYUV)
      throw MovieError(At() + "its decoder changed to pictures of " + SubtypeName(l.Subtype) +
                       ", which this player cannot show");

    // Locked whole, a buffer holds the picture in its contiguous form (a
    // two-dimensional buffer converts); its rows' step is the one that fills
    // it exactly, else the type's default stride, else the width.
    BYTE* first = nullptr;
    DWORD max = 0, length = 0;
    Check(buffer->Lock(&first, &max, &length), At() + "the movie cannot be decoded");
    LONG pitch = ExactPitch(length, l.FrameWidth, l.FrameHeight, nv12);
    if (pitch == 0) pitch = l.Stride > 0 ? l.Stride : static_cast<LONG>(l.FrameWidth);
    struct Unlock {
      IMFMediaBuffer* Buffer;
      ~Unlock() { Buffer->Unlock(); }
    } unlock{buffer.get()};

    // The planes follow each other at the frame's coded height; every row
    // read must lie inside what the buffer holds.
    if (pitch < static_cast<LONG>(l.FrameWidth))
      throw MovieError(At() + "the decoder gave a picture narrower than its size");
    const size_t lumaBytes = static_cast<size_t>(pitch) * l.FrameHeight;
    if (length < BytesOf(pitch, l.FrameHeight, nv12))
      throw MovieError(At() + "the decoder gave a picture smaller than its size");
    const BYTE* chroma = first + lumaBytes;
    const PlaneView y{first + static_cast<size_t>(l.Top) * pitch + l.Left, pitch};
    if (nv12) {
      const PlaneView uv{chroma + static_cast<size_t>(l.Top / 2) * pitch + l.Left, pitch};
      CopyInterleaved(out, l.Width, l.Height, y, uv);
    } else {
      const LONG half = pitch / 2;
      const size_t planeBytes = static_cast<size_t>(half) * ((l.FrameHeight + 1) / 2);
      const BYTE* p1 = chroma;
      const BYTE* p2 = chroma + planeBytes;
      const size_t offset = static_cast<size_t>(l.Top / 2) * half + l.Left / 2;
      const PlaneView u{(yv12 ? p2 : p1) + offset, half};
      const PlaneView v{(yv12 ? p1 : p2) + offset, half};
      CopyPlanar(out, l.Width, l.Height, y, u, v);
    }
  }

  void ReadSound(IMFSample* sample, std::string& out) {
    ComRef<IMFMediaBuffer> buffer;
    Check(sample->ConvertToContiguousBuffer(buffer.put()), At() + "the sound cannot be decoded");
    BYTE* data = nullptr;
    DWORD max = 0, length = 0;
    Check(buffer->Lock(&data, &max, &length), At() + "the sound cannot be decoded");
    out.assign(reinterpret_cast<const char*>(data), length);
    buffer->Unlock();
  }

  // Declared first: Media Foundation is shut down only after the reader is
  // released.
  Session Session_;
  ComRef<IMFSourceReader> Reader_;
  DWORD VideoStream_ = kNone;
  DWORD AudioStream_ = kNone;
  GUID NativeVideo_ = GUID_NULL;
  VideoLayout Layout_;
  std::optional<AudioFormat> Sound_;
  double Duration_ = 0;
  bool VideoEnded_ = false;
  bool AudioEnded_ = false;
  LONGLONG LastTime_ = 0;
};

}  // namespace

std::unique_ptr<MovieSource> OpenSystemMovie(const std::string& path, bool withSound) {
  const std::string problem = IsoFileProblem(path);
  if (!problem.empty()) throw MovieError(problem);
  return std::make_unique<SystemMovie>(path, withSound);
}

}  // namespace movie
