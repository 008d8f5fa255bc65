// skitplay, the reference skit player.
//
// The screensaver starts it with no arguments, in its own folder, after
// writing the argument file beside it (skitplay.arg for skitplay.exe, named
// after whatever the program file is called). The player reads the pairs
// from that file, loads the skit that "SS_Swf" names, and plays it full
// screen on the primary monitor in one top-level window made by its main
// thread, drawing each frame into a memory bitmap and copying it to the
// window. The run count, the date and the sound flag it was given stand in
// the bottom right corner; a key that reaches the window is shown for a
// moment at the bottom.
//
// A skit is one of our scripted scenes (skitanim.h), drawn about thirty
// times a second, or a movie, which the system's own decoders read
// (mfsource.h) on a thread of its own (playback.h); the file's first bytes
// say which (filekind.h). A movie's pictures are shown at their times, a
// late one dropped rather than the clock slowed, scaled to the screen with
// their shape kept and black bars beside or above them. Its sound plays only
// when the screensaver says SS_Sound=1, and only where the system has an
// audio output. The player never asks the system to keep the display on.
//
// The window closes on WM_CLOSE, and by itself when the skit has played to
// its end; both end the program with 0. A skit that cannot be played (no
// argument file, no "SS_Swf", a file that is missing, empty or does not
// parse, a movie that is cut short, damaged, of a codec the system lacks or
// without pictures, a decoder that stops answering) is not a crash: the
// player shows the reason for a few seconds, puts it in its window title,
// and ends with 2. A program that cannot make its window at all ends with 3.
//
// The screensaver takes the first top-level window of the player's main
// thread as the player's window. The system would give that thread a hidden
// "Default IME" window of its own, which can come first; the player takes no
// text input, so it turns the input method off before it makes any window.
//
// The player is installed in the screensaver's data folder, where every user
// may create files, and is started with that folder as its current one. So
// it imports only libraries the system always takes from its own folder, and
// before anything else it tells the loader to look for every library it
// loads later in the system folder only.
//
// Given one command-line argument, the player plays that skit file instead,
// which is handy for trying a skit by hand.
//
// Standby: given SS_Standby=1, the player makes its window hidden, reads the
// skit and waits, its clock stopped, until the screensaver's registered
// begin message reaches the window; then it shows the window and plays. Its
// version resource says that it can (see base/player_protocol.h).
//
// For the benchmarks: where DG_FRAME_STAMPS names a file, the player appends
// "FIRST pid time" once its first frame is on the window and "LAST pid time"
// for its last one as the window goes (precise system time, 100 ns units);
// after a movie, also "PICTURES pid shown dropped on-time" (on time: shown
// at most one picture's time after its own).
#include <windows.h>
#include <imm.h>

#include <cstdio>
#include <exception>
#include <memory>
#include <string>

#include "base/handles.h"
#include "base/library_search.h"
#include "base/player_protocol.h"
#include "tools/skitplay/audiosink.h"
#include "tools/skitplay/filekind.h"
#include "tools/skitplay/mfsource.h"
#include "tools/skitplay/picture.h"
#include "tools/skitplay/playback.h"
#include "tools/skitplay/playerargs.h"
#include "tools/skitplay/skitanim.h"

namespace {

constexpr char kClassName[] = "DrearigramsSkitPlayer";
constexpr char kTitle[] = "Skit player";
constexpr UINT_PTR kFrameTimer = 1;
constexpr UINT kFrameMilliseconds = 33;
// A movie's pictures are looked for more often than they come, so that each
// is shown close to its time (the system rounds this up to its timer tick).
constexpr UINT kMovieTickMilliseconds = 10;
// How long the end of the program waits for the decoding thread.
constexpr double kDecoderStopSeconds = 2;
constexpr double kProblemSeconds = 3;
constexpr double kKeySeconds = 2.5;
constexpr int kExitProblem = 2;
constexpr int kExitNoWindow = 3;

std::string ModulePath() {
  std::string path(MAX_PATH, '\0');
  for (;;) {
    DWORD n = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

std::string FileNameOf(const std::string& path) {
  size_t slash = path.find_last_of("\\/:");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The command line after the program name, blanks and one pair of quotes removed.
std::string CommandLineSkit(const char* commandLine) {
  std::string text = commandLine ? commandLine : "";
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  size_t last = text.find_last_not_of(" \t");
  text = text.substr(first, last - first + 1);
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') text = text.substr(1, text.size() - 2);
  return text;
}

// Seconds on the steady clock, for the movie's time.
double SteadySeconds() {
  static const LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

class Player {
 public:
  Player() {
    QueryPerformanceFrequency(&Frequency_);
    QueryPerformanceCounter(&Start_);
  }

  // Reads the small argument file: whether to wait in standby, and which
  // skit. Whatever goes wrong becomes the problem the window shows instead.
  void ReadArguments(const std::string& commandLineSkit) {
    SkitPath_ = commandLineSkit;
    try {
      if (SkitPath_.empty()) {
        Arguments_ = skit::ReadArgumentFile(skit::ArgumentFileFor(ModulePath()));
        auto standby = Arguments_.find(player_protocol::kStandbyVariable);
        Standby_ = standby != Arguments_.end() && standby->second == "1";
        auto found = Arguments_.find("SS_Swf");
        if (found == Arguments_.end() || found->second.empty())
          throw std::runtime_error("the argument file names no skit (SS_Swf)");
        SkitPath_ = found->second;
        auto sound = Arguments_.find("SS_Sound");
        Sound_ = sound != Arguments_.end() && sound->second == "1";
      }
      SkitName_ = FileNameOf(SkitPath_);
    } catch (const std::exception& error) {
      SetProblem(error.what());
    }
    Corner_ = skit::CornerText(Arguments_);
  }

  // Reads the skit itself, once the window exists; a movie starts decoding
  // (its time runs only once the player plays).
  void LoadSkit() {
    if (!Problem_.empty()) return;
    try {
      switch (skit::KindOfFile(SkitPath_)) {
        case skit::FileKind::Empty:
          SetProblem(SkitName_ + ": the file is empty");
          break;
        case skit::FileKind::Scene:
          Scene_ = skit::LoadScene(SkitPath_);
          break;
        case skit::FileKind::Movie: {
          const std::string path = SkitPath_;
          const bool sound = Sound_;
          movie::SinkMaker sinks;
          if (sound) sinks = movie::OpenSystemAudio;
          Movie_ = std::make_unique<movie::Playback>([path, sound] { return movie::OpenSystemMovie(path, sound); },
                                                     sinks, SteadySeconds);
          break;
        }
      }
    } catch (const std::exception& error) {
      SetProblem(SkitName_ + ": " + error.what());
    }
  }

  // Stops a movie's decoding; false when the decoder does not let go in time.
  bool FinishMovie() { return !Movie_ || Movie_->Finish(kDecoderStopSeconds); }

  // The window comes before the skit is read: the screensaver looks for it
  // as soon as the program has gone idle. In standby it stays hidden until
  // the begin message.
  bool CreateMainWindow(HINSTANCE instance) {
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursor(nullptr, IDC_ARROW);
    windowClass.lpszClassName = kClassName;
    if (!RegisterClassA(&windowClass)) return false;
    const DWORD style = WS_POPUP | (Standby_ ? 0 : WS_VISIBLE);
    return CreateWindowExA(0, kClassName, kTitle, style, 0, 0, GetSystemMetrics(SM_CXSCREEN),
                           GetSystemMetrics(SM_CYSCREEN), nullptr, nullptr, instance, this) != nullptr;
  }

  // The skit's time starts once it has been read, or, in standby, when the
  // screensaver says so.
  void Start() {
    if (Standby_) {
      BeginMessage_ = RegisterWindowMessageA(player_protocol::kBeginMessage);
      SetWindowTextA(Window_, Title().c_str());
      return;
    }
    Play();
  }

 private:
  void Begin() {
    if (!Standby_) return;
    Standby_ = false;
    ShowWindow(Window_, SW_SHOW);
    Play();
    UpdateWindow(Window_);
  }

  void Play() {
    SetWindowTextA(Window_, Title().c_str());
    QueryPerformanceCounter(&Start_);
    ProblemAt_ = 0;
    const bool movie = Movie_ && Problem_.empty();
    SetTimer(Window_, kFrameTimer, movie ? kMovieTickMilliseconds : kFrameMilliseconds, nullptr);
    if (movie) Movie_->Begin();
  }

  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
      auto* self = static_cast<Player*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
      self->Window_ = window;
      SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<Player*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (message == WM_NCDESTROY) SetWindowLongPtrA(window, GWLP_USERDATA, 0);
    if (!self) return DefWindowProcA(window, message, wParam, lParam);
    // Nothing thrown while drawing may leave the window procedure: it turns
    // into the problem shown on screen, and the program still ends on time.
    try {
      return self->Handle(message, wParam, lParam);
    } catch (...) {
      self->Fail();
    }
    return DefWindowProcA(window, message, wParam, lParam);
  }

  // Inside a catch block: the exception becomes the problem on screen. When
  // even its text cannot be kept (no memory), the skit ends at once, with
  // the problem's exit status.
  void Fail() noexcept {
    try {
      try {
        throw;
      } catch (const std::exception& error) {
        SetProblem(error.what());
      } catch (...) {
        SetProblem("unexpected failure");
      }
    } catch (...) {
      Failed_ = true;
      if (Window_) DestroyWindow(Window_);
    }
  }

  LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == BeginMessage_ && BeginMessage_ != 0) {
      Begin();
      return 0;
    }
    switch (message) {
      case WM_TIMER:
        if (wParam == kFrameTimer) Tick();
        return 0;
      case WM_PAINT:
        Paint();
        return 0;
      case WM_ERASEBKGND:
        return 1;
      case WM_KEYDOWN:
      case WM_SYSKEYDOWN:
        Key_ = "Key: " + skit::KeyLabel(wParam);
        KeyAt_ = Elapsed();
        InvalidateRect(Window_, nullptr, FALSE);
        break;
      case WM_DESTROY:
        KillTimer(Window_, kFrameTimer);
        if (LastFrameAt_ != 0) StampFrame("LAST", LastFrameAt_);
        if (Movie_) StampPictures();
        PostQuitMessage(Problem_.empty() && !Failed_ ? 0 : kExitProblem);
        return 0;
      default:
        break;
    }
    return DefWindowProcA(Window_, message, wParam, lParam);
  }

  double Elapsed() const {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart - Start_.QuadPart) / static_cast<double>(Frequency_.QuadPart);
  }

  void SetProblem(const std::string& text) {
    if (!Problem_.empty()) return;
    Problem_ = text.empty() ? "unknown failure" : text;
    ProblemAt_ = Elapsed();
    if (Window_) SetWindowTextA(Window_, Title().c_str());
    if (Window_ && Movie_) SetTimer(Window_, kFrameTimer, kFrameMilliseconds, nullptr);
  }

  std::string Title() const {
    if (!Problem_.empty()) return std::string(kTitle) + " - " + Problem_;
    return SkitName_.empty() ? kTitle : std::string(kTitle) + " - " + SkitName_;
  }

  void Tick() {
    double now = Elapsed();
    if (Movie_ && Problem_.empty()) {
      MovieTick(now);
      return;
    }
    double end = Problem_.empty() ? Scene_.Length : ProblemAt_ + kProblemSeconds;
    if (now >= end)
      DestroyWindow(Window_);
    else
      InvalidateRect(Window_, nullptr, FALSE);
  }

  void MovieTick(double now) {
    const movie::Playback::Step step = Movie_->Advance();
    if (!step.Problem.empty()) {
      SetProblem(SkitName_ + ": " + step.Problem);
      InvalidateRect(Window_, nullptr, FALSE);
      return;
    }
    if (step.Show) InvalidateRect(Window_, nullptr, FALSE);
    if (KeyAt_ >= 0 && now - KeyAt_ >= kKeySeconds) {
      KeyAt_ = -1;
      InvalidateRect(Window_, nullptr, FALSE);
    }
    if (step.Ended) DestroyWindow(Window_);
  }

  // The latest picture, scaled into the frame with its shape kept; black
  // around it. Only the pixels that show are converted.
  void DrawMovie(skit::Canvas& canvas) {
    const int width = canvas.Width(), height = canvas.Height();
    const movie::Picture* picture = Movie_->Current();
    if (!picture) {
      PatBlt(canvas.Dc(), 0, 0, width, height, BLACKNESS);
      return;
    }
    const RECT fit = movie::FitRect(picture->Width, picture->Height, Movie_->PixelAspect(), width, height);
    const HDC dc = canvas.Dc();
    PatBlt(dc, 0, 0, width, fit.top, BLACKNESS);
    PatBlt(dc, 0, fit.bottom, width, height - fit.bottom, BLACKNESS);
    PatBlt(dc, 0, fit.top, fit.left, fit.bottom - fit.top, BLACKNESS);
    PatBlt(dc, fit.right, fit.top, width - fit.right, fit.bottom - fit.top, BLACKNESS);
    movie::DrawScaled(*picture, canvas.Bits(), width, height, fit);
  }

  void Paint() {
    // EndPaint follows BeginPaint even when drawing fails.
    const handles::PaintScope paint(Window_);
    const HDC dc = paint.get();
    RECT client;
    GetClientRect(Window_, &client);
    int width = client.right, height = client.bottom;
    if (width <= 0 || height <= 0) return;
    if (!Back_ || Back_->Width() != width || Back_->Height() != height) {
      Back_.reset();
      Back_ = std::make_unique<skit::Canvas>(width, height);
    }
    HDC back = Back_->Dc();
    double now = Elapsed();
    if (Problem_.empty() && Movie_)
      DrawMovie(*Back_);
    else if (Problem_.empty())
      skit::RenderFrame(back, width, height, Scene_, now);
    else
      skit::DrawProblem(back, width, height, "This skit cannot be played", Problem_);
    skit::DrawCornerText(back, width, height, Corner_);
    if (KeyAt_ >= 0 && now - KeyAt_ < kKeySeconds) skit::DrawBanner(back, width, height, Key_);
    BitBlt(dc, 0, 0, width, height, back, 0, 0, SRCCOPY);
    if (!StampPath_.empty()) {
      GdiFlush();
      LastFrameAt_ = PreciseNow();
      if (!FirstStamped_) {
        FirstStamped_ = true;
        StampFrame("FIRST", LastFrameAt_);
      }
    }
  }

  static unsigned long long PreciseNow() {
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    return (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  }

  void StampFrame(const char* what, unsigned long long at) const {
    if (StampPath_.empty()) return;
    if (FILE* file = std::fopen(StampPath_.c_str(), "ab")) {
      std::fprintf(file, "%s %lu %llu\n", what, GetCurrentProcessId(), at);
      std::fclose(file);
    }
  }

  void StampPictures() const {
    if (StampPath_.empty()) return;
    if (FILE* file = std::fopen(StampPath_.c_str(), "ab")) {
      std::fprintf(file, "PICTURES %lu %zu %zu %zu\n", GetCurrentProcessId(), Movie_->Shown(), Movie_->Dropped(),
                   Movie_->OnTime());
      std::fclose(file);
    }
  }

  static std::string StampPathFromEnvironment() {
    char path[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableA("DG_FRAME_STAMPS", path, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::string(path, length) : std::string();
  }

  HWND Window_ = nullptr;
  LARGE_INTEGER Frequency_{};
  LARGE_INTEGER Start_{};
  skit::Arguments Arguments_;
  skit::Scene Scene_;
  std::string SkitName_;
  std::string Corner_;
  std::string Problem_;  // empty while the skit can play
  bool Failed_ = false;  // a failure whose text could not be kept
  double ProblemAt_ = 0;
  std::string Key_;
  double KeyAt_ = -1;
  std::unique_ptr<skit::Canvas> Back_;
  std::string SkitPath_;
  bool Sound_ = false;
  std::unique_ptr<movie::Playback> Movie_;
  bool Standby_ = false;
  UINT BeginMessage_ = 0;
  std::string StampPath_ = StampPathFromEnvironment();
  bool FirstStamped_ = false;
  unsigned long long LastFrameAt_ = 0;
};

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
  UseSystemFolderForLibraries();
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  SetProcessDPIAware();
  ImmDisableIME(static_cast<DWORD>(-1));
  try {
    Player player;
    player.ReadArguments(CommandLineSkit(commandLine));
    if (!player.CreateMainWindow(instance)) return kExitNoWindow;
    player.LoadSkit();
    player.Start();
    MSG message;
    BOOL got;
    while ((got = GetMessageA(&message, nullptr, 0, 0)) != 0) {
      if (got == -1) return kExitNoWindow;
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
    const int code = static_cast<int>(message.wParam);
    // A decoder that does not let go keeps its thread inside the system's
    // libraries, whose teardown at exit could wait for it or crash: the
    // program ends here instead, with its status.
    if (!player.FinishMovie()) TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
    return code;
  } catch (...) {
    return kExitNoWindow;
  }
}
