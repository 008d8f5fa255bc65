// Sockets are non-blocking and every wait is a select() of at most kSlice ms
// followed by a look at the stop flag: a client that stops reading, never
// sends its request or keeps a stalled connection open cannot hold the server
// past Stop().
//
// Run in a program of its own (loopback_host.exe, see the header), the
// server and the test program talk over the helper's standard streams: one
// command a line, each answered by its length, a line feed and its bytes.
#include "tests/support/http_server.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <stdexcept>

namespace testing_support {

namespace {

constexpr unsigned kSlice = 50;                // ms between looks at the stop flag
constexpr unsigned kRequestPatience = 10000;   // ms for a whole request to arrive
constexpr size_t kMaxRequestHead = 64 * 1024;  // a larger request head is refused
constexpr size_t kChunk = 64 * 1024;

using Clock = std::chrono::steady_clock;

const char* ReasonPhrase(int code) {
  switch (code) {
    case 200: return "OK";
    case 206: return "Partial Content";
    case 302: return "Found";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 416: return "Range Not Satisfiable";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Unknown Status";
  }
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return text;
}

// Winsock stays initialised while any server lives.
class WinsockUse {
 public:
  WinsockUse() {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) throw std::runtime_error("WSAStartup failed");
  }
  ~WinsockUse() { WSACleanup(); }
};

// The socket side of one connection.
class Peer {
 public:
  Peer(SOCKET socket, const std::atomic<bool>& stopping) : Socket_(socket), Stopping_(stopping) {}

  // Waits until the socket is readable (or writable); false on stop, error or deadline.
  bool Wait(bool forWrite, Clock::time_point deadline = Clock::time_point::max()) const {
    while (!Stopping_.load()) {
      if (Clock::now() >= deadline) return false;
      fd_set set;
      FD_ZERO(&set);
      FD_SET(Socket_, &set);
      timeval slice{0, static_cast<long>(kSlice * 1000)};
      int n = forWrite ? select(0, nullptr, &set, nullptr, &slice) : select(0, &set, nullptr, nullptr, &slice);
      if (n == SOCKET_ERROR) return false;
      if (n > 0) return true;
    }
    return false;
  }

  bool SendAll(const char* data, size_t length) const {
    while (length > 0) {
      int chunk = static_cast<int>(length < kChunk ? length : kChunk);
      int sent = send(Socket_, data, chunk, 0);
      if (sent == SOCKET_ERROR) {
        if (WSAGetLastError() != WSAEWOULDBLOCK || !Wait(true)) return false;
        continue;
      }
      data += sent;
      length -= static_cast<size_t>(sent);
    }
    return true;
  }
  bool SendAll(const std::string& text) const { return SendAll(text.data(), text.size()); }

  // Reads at most one piece into out; false when the peer closed, failed or the deadline passed.
  bool ReceiveSome(std::string& out, Clock::time_point deadline) const {
    char buffer[4096];
    for (;;) {
      int n = recv(Socket_, buffer, sizeof buffer, 0);
      if (n > 0) {
        out.append(buffer, static_cast<size_t>(n));
        return true;
      }
      if (n == 0) return false;
      if (WSAGetLastError() != WSAEWOULDBLOCK || !Wait(false, deadline)) return false;
    }
  }

  // Holds a stalled connection until the client goes away or the server stops.
  void WaitForClientToLeave() const {
    std::string ignored;
    while (ReceiveSome(ignored, Clock::time_point::max())) ignored.clear();
  }

  void Close() const {
    shutdown(Socket_, SD_SEND);
    closesocket(Socket_);
  }

  // An abortive close: the client sees a reset, not an end of data.
  void Reset() const {
    linger hard{1, 0};
    setsockopt(Socket_, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
    closesocket(Socket_);
  }

 private:
  SOCKET Socket_;
  const std::atomic<bool>& Stopping_;
};

// Parses "METHOD TARGET HTTP/1.x" and the header lines; reads a body of Content-Length.
bool ReadRequest(const Peer& peer, ServedRequest& request) {
  auto deadline = Clock::now() + std::chrono::milliseconds(kRequestPatience);
  std::string data;
  size_t headEnd;
  while ((headEnd = data.find("\r\n\r\n")) == std::string::npos) {
    if (data.size() > kMaxRequestHead || !peer.ReceiveSome(data, deadline)) return false;
  }
  std::string head = data.substr(0, headEnd);
  std::string rest = data.substr(headEnd + 4);
  size_t lineEnd = head.find("\r\n");
  std::string requestLine = head.substr(0, lineEnd);
  request.Headers = lineEnd == std::string::npos ? std::string() : head.substr(lineEnd + 2);
  size_t space1 = requestLine.find(' ');
  size_t space2 = requestLine.find(' ', space1 + 1);
  if (space1 == std::string::npos || space2 == std::string::npos) return false;
  request.Method = requestLine.substr(0, space1);
  request.Target = requestLine.substr(space1 + 1, space2 - space1 - 1);

  size_t contentLength = 0;
  std::string lowered = Lower(request.Headers);
  size_t at = lowered.find("content-length:");
  if (at != std::string::npos) contentLength = std::strtoul(lowered.c_str() + at + 15, nullptr, 10);
  while (rest.size() < contentLength) {
    if (!peer.ReceiveSome(rest, deadline)) return false;
  }
  request.Body = rest.substr(0, contentLength);
  return true;
}

std::string StatusLine(int code) {
  return "HTTP/1.1 " + std::to_string(code) + " " + ReasonPhrase(code) + "\r\n";
}

std::string Head(int code, long long contentLength, const std::string& extra = {}) {
  std::string head = StatusLine(code) + "Server: LoopbackServer\r\nConnection: close\r\n";
  if (contentLength >= 0) head += "Content-Length: " + std::to_string(contentLength) + "\r\n";
  return head + extra + "\r\n";
}

bool ReadWholeFile(const std::string& path, std::string& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

// The value of a request header, case-insensitive in its name; empty when absent.
std::string RequestHeader(const ServedRequest& request, const std::string& name) {
  const std::string wanted = Lower(name) + ":";
  size_t at = 0;
  while (at < request.Headers.size()) {
    size_t end = request.Headers.find("\r\n", at);
    if (end == std::string::npos) end = request.Headers.size();
    const std::string line = request.Headers.substr(at, end - at);
    if (Lower(line.substr(0, wanted.size())) == wanted) {
      size_t value = wanted.size();
      while (value < line.size() && line[value] == ' ') ++value;
      return line.substr(value);
    }
    at = end + 2;
  }
  return {};
}

uint32_t Fnv1a(const std::string& bytes) {
  uint32_t hash = 2166136261u;
  for (unsigned char c : bytes) hash = (hash ^ c) * 16777619u;
  return hash;
}

// /ranged and its kin. A body is sent from `first`; CutAt may end it early.
void ServeValidated(const Peer& peer, const ServedRequest& request, const std::string& mode, const std::string& bytes,
                    std::atomic<long long>& cutAt, bool holdAfterCut, std::atomic<unsigned long long>& bodyBytes) {
  const bool withBody = request.Method != "HEAD";
  const std::string etag = mode == "lastmod" ? std::string() : LoopbackServer::ETagOf(bytes);
  const std::string modified = LoopbackServer::LastModifiedOf(bytes);
  std::string validators = "Last-Modified: " + modified + "\r\n";
  if (!etag.empty()) validators += "ETag: " + etag + "\r\n";
  const bool ranges = mode != "noranges";
  if (ranges) validators += "Accept-Ranges: bytes\r\n";

  if (ranges) {
    const std::string noneMatch = RequestHeader(request, "If-None-Match");
    const std::string modifiedSince = RequestHeader(request, "If-Modified-Since");
    if ((!noneMatch.empty() && noneMatch == etag) || (noneMatch.empty() && !modifiedSince.empty() &&
                                                      modifiedSince == modified)) {
      peer.SendAll(Head(304, -1, validators));
      peer.Close();
      return;
    }
  }
  size_t first = 0;
  const std::string range = RequestHeader(request, "Range");
  const std::string ifRange = RequestHeader(request, "If-Range");
  const bool sameFile = ifRange.empty() || ifRange == etag || ifRange == modified;
  if (ranges && range.rfind("bytes=", 0) == 0 && range.back() == '-' && sameFile) {
    first = static_cast<size_t>(std::strtoull(range.c_str() + 6, nullptr, 10));
    if (first >= bytes.size()) {
      peer.SendAll(Head(416, 0, "Content-Range: bytes */" + std::to_string(bytes.size()) + "\r\n"));
      peer.Close();
      return;
    }
    const size_t named = mode == "badrange" ? first + 1 : first;
    peer.SendAll(Head(206, static_cast<long long>(bytes.size() - first),
                      validators + "Content-Range: bytes " + std::to_string(named) + "-" +
                          std::to_string(bytes.size() - 1) + "/" + std::to_string(bytes.size()) + "\r\n"));
  } else {
    peer.SendAll(Head(200, static_cast<long long>(bytes.size()), validators));
  }
  if (withBody) {
    size_t end = bytes.size();
    long long cut = cutAt.load();
    if (cut >= 0 && static_cast<size_t>(cut) > first && static_cast<size_t>(cut) < end &&
        cutAt.compare_exchange_strong(cut, -1)) {
      end = static_cast<size_t>(cut);
    }
    if (peer.SendAll(bytes.data() + first, end - first)) bodyBytes += end - first;
    if (end < bytes.size() && holdAfterCut) peer.WaitForClientToLeave();
  }
  peer.Close();
}

}  // namespace

std::string LoopbackServer::ETagOf(const std::string& bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "\"%08x-%zx\"", Fnv1a(bytes), bytes.size());
  return text;
}

// A date from the bytes, so that a changed file has another one.
std::string LoopbackServer::LastModifiedOf(const std::string& bytes) {
  const time_t when = static_cast<time_t>(784111777 + Fnv1a(bytes) % 100000000u);
  std::tm parts = *std::gmtime(&when);
  char text[64];
  std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &parts);
  return text;
}

std::string GeneratedBytes(size_t count) {
  std::string bytes(count, '\0');
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return bytes;
}

void ConnectionThreads::Start(std::function<void()> body) {
  Entries_.remove_if([](const std::unique_ptr<Entry>& entry) {
    if (!entry->Done.load()) return false;
    entry->Thread.join();
    return true;
  });
  auto entry = std::make_unique<Entry>();
  Entry* raw = entry.get();
  entry->Thread = std::thread([raw, body = std::move(body)] {
    body();
    raw->Done.store(true);
  });
  Entries_.push_back(std::move(entry));
}

void ConnectionThreads::JoinAll() {
  for (auto& entry : Entries_) {
    if (entry->Thread.joinable()) entry->Thread.join();
  }
  Entries_.clear();
}

void UseWinsock() { static WinsockUse winsock; }

namespace {

// Exact reads and whole writes on a pipe; false when it broke.
bool ReadExactly(HANDLE pipe, char* data, size_t length) {
  while (length > 0) {
    DWORD got = 0;
    if (!ReadFile(pipe, data, static_cast<DWORD>(length), &got, nullptr) || got == 0) return false;
    data += got;
    length -= got;
  }
  return true;
}

bool WriteWhole(HANDLE pipe, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    DWORD put = 0;
    if (!WriteFile(pipe, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &put, nullptr)) return false;
    done += put;
  }
  return true;
}

bool ReadLine(HANDLE pipe, std::string& line) {
  line.clear();
  char c;
  while (ReadExactly(pipe, &c, 1)) {
    if (c == '\n') return true;
    line += c;
  }
  return false;
}

// An answer: its length, a line feed, its bytes.
bool ReadAnswer(HANDLE pipe, std::string& answer) {
  std::string length;
  if (!ReadLine(pipe, length)) return false;
  answer.assign(static_cast<size_t>(std::strtoull(length.c_str(), nullptr, 10)), '\0');
  return ReadExactly(pipe, answer.data(), answer.size());
}

std::string Framed(const std::string& bytes) { return std::to_string(bytes.size()) + "\n" + bytes; }

// The requests as one answer, and back.
std::string EncodeRequests(const std::vector<ServedRequest>& requests) {
  std::string out;
  for (const ServedRequest& r : requests) out += Framed(r.Method) + Framed(r.Target) + Framed(r.Headers) + Framed(r.Body);
  return out;
}

std::vector<ServedRequest> DecodeRequests(const std::string& in) {
  std::vector<ServedRequest> requests;
  size_t at = 0;
  auto field = [&](std::string& out) {
    const size_t end = in.find('\n', at);
    if (end == std::string::npos) return false;
    const size_t length = static_cast<size_t>(std::strtoull(in.c_str() + at, nullptr, 10));
    if (end + 1 + length > in.size()) return false;
    out = in.substr(end + 1, length);
    at = end + 1 + length;
    return true;
  };
  while (at < in.size()) {
    ServedRequest r;
    if (!field(r.Method) || !field(r.Target) || !field(r.Headers) || !field(r.Body)) break;
    requests.push_back(std::move(r));
  }
  return requests;
}

// The Windows path of a program named by a Linux path, as the build gives it.
std::string WindowsPath(std::string path) {
  if (!path.empty() && path[0] == '/') path = "Z:" + path;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

}  // namespace

// The test program's side of a server in loopback_host.exe.
class LoopbackServer::Host {
 public:
  Host(const std::string& program, const std::string& folder) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE childIn = nullptr, childOut = nullptr;
    if (!CreatePipe(&childIn, &In_, &inherit, 0) || !CreatePipe(&Out_, &childOut, &inherit, 0))
      throw std::runtime_error("cannot make the pipes to the loopback host");
    SetHandleInformation(In_, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(Out_, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childIn;
    startup.hStdOutput = childOut;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    std::string line = "\"" + WindowsPath(program) + "\" \"" + folder + "\"";
    const BOOL started = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                                        nullptr, &startup, &Process_);
    CloseHandle(childIn);
    CloseHandle(childOut);
    if (!started) throw std::runtime_error("cannot start the loopback host " + program);
    std::string port;
    if (!ReadAnswer(Out_, port)) throw std::runtime_error("the loopback host did not start its server");
    Port = static_cast<uint16_t>(std::strtoul(port.c_str(), nullptr, 10));
  }
  ~Host() {
    CloseHandle(In_);  // the host stops when its input ends
    if (Process_.hProcess != nullptr) {
      WaitForSingleObject(Process_.hProcess, 10000);
      CloseHandle(Process_.hThread);
      CloseHandle(Process_.hProcess);
    }
    CloseHandle(Out_);
  }
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  std::string Ask(const std::string& command) {
    std::lock_guard<std::mutex> hold(Lock_);
    std::string answer;
    if (!WriteWhole(In_, command + "\n") || !ReadAnswer(Out_, answer))
      throw std::runtime_error("the loopback host is gone (" + command + ")");
    return answer;
  }

  uint16_t Port = 0;

 private:
  HANDLE In_ = nullptr;   // the host's standard input, our end
  HANDLE Out_ = nullptr;  // its standard output, our end
  PROCESS_INFORMATION Process_{};
  std::mutex Lock_;
};

bool LoopbackServer::InHost = false;

std::string LoopbackServer::Ask(const std::string& command) const { return Remote_->Ask(command); }

int LoopbackServer::RunHost(const std::string& folder) {
  InHost = true;
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE), out = GetStdHandle(STD_OUTPUT_HANDLE);
  LoopbackServer server(folder);
  if (!WriteWhole(out, Framed(std::to_string(server.Port())))) return 1;
  std::string line;
  while (ReadLine(in, line)) {
    char name[32] = {};
    unsigned long long a = 0, b = 0;
    std::string answer = "ok";
    if (line == "count") {
      answer = std::to_string(server.RequestCount());
    } else if (line == "requests") {
      answer = EncodeRequests(server.Requests());
    } else if (std::sscanf(line.c_str(), "wait %llu %llu", &a, &b) == 2) {
      answer = server.WaitForRequests(static_cast<size_t>(a), static_cast<unsigned>(b)) ? "1" : "0";
    } else if (std::sscanf(line.c_str(), "get %31s", name) == 1) {
      const std::string knob = name;
      if (knob == "trickle") answer = std::to_string(server.TrickleInterval.load());
      if (knob == "cutat") answer = std::to_string(server.CutAt.load());
      if (knob == "hold") answer = std::to_string(server.HoldAfterCut.load() ? 1 : 0);
      if (knob == "bodybytes") answer = std::to_string(server.BodyBytesSent.load());
    } else if (long long value = 0; std::sscanf(line.c_str(), "set %31s %lld", name, &value) == 2) {
      const std::string knob = name;
      if (knob == "trickle") server.TrickleInterval = static_cast<unsigned>(value);
      if (knob == "cutat") server.CutAt = value;
      if (knob == "hold") server.HoldAfterCut = value != 0;
      if (knob == "bodybytes") server.BodyBytesSent = static_cast<unsigned long long>(value);
    } else if (line == "stop") {
      server.Stop();
    }
    if (!WriteWhole(out, Framed(answer))) break;
  }
  server.Stop();
  return 0;
}

LoopbackServer::LoopbackServer(std::string folder) : Folder_(std::move(folder)), Listener_(INVALID_SOCKET) {
  const char* host = std::getenv("DG_LOOPBACK_HOST");
  if (!InHost && host != nullptr && *host != '\0') {
    Remote_ = std::make_unique<Host>(host, Folder_);
    Port_ = Remote_->Port;
    return;
  }
  UseWinsock();
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (listener == INVALID_SOCKET) throw std::runtime_error("cannot create the server socket");
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  int length = sizeof address;
  u_long nonBlocking = 1;
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 16) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      ioctlsocket(listener, FIONBIO, &nonBlocking) != 0) {
    closesocket(listener);
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  Listener_ = listener;
  Port_ = ntohs(address.sin_port);
  Acceptor_ = std::thread([this] { AcceptLoop(); });
}

LoopbackServer::~LoopbackServer() { Stop(); }

std::string LoopbackServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(Port_) + path;
}

std::vector<ServedRequest> LoopbackServer::Requests() const {
  if (Remote()) return DecodeRequests(Ask("requests"));
  std::lock_guard<std::mutex> hold(Lock_);
  return Requests_;
}

size_t LoopbackServer::RequestCount() const {
  if (Remote()) return static_cast<size_t>(std::stoull(Ask("count")));
  std::lock_guard<std::mutex> hold(Lock_);
  return Requests_.size();
}

bool LoopbackServer::WaitForRequests(size_t count, unsigned timeoutMs) const {
  if (Remote()) return Ask("wait " + std::to_string(count) + " " + std::to_string(timeoutMs)) == "1";
  std::unique_lock<std::mutex> hold(Lock_);
  return Changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] { return Requests_.size() >= count; });
}

void LoopbackServer::Stop() {
  {
    std::lock_guard<std::mutex> hold(Lock_);
    if (Stopped_) return;
    Stopped_ = true;
    Stopping_.store(true);
  }
  if (Remote()) {
    // Stop runs from the destructor too: a host already gone has stopped.
    try {
      Ask("stop");
    } catch (const std::exception& error) {
      std::fprintf(stderr, "loopback server: %s\n", error.what());
    }
    Remote_.reset();
    return;
  }
  Changed_.notify_all();
  if (Acceptor_.joinable()) Acceptor_.join();
  Connections_.JoinAll();
  closesocket(static_cast<SOCKET>(Listener_));
}

bool LoopbackServer::PauseOrStop(unsigned ms) {
  std::unique_lock<std::mutex> hold(Lock_);
  return Changed_.wait_for(hold, std::chrono::milliseconds(ms), [this] { return Stopping_.load(); });
}

void LoopbackServer::Record(ServedRequest request) {
  {
    std::lock_guard<std::mutex> hold(Lock_);
    Requests_.push_back(std::move(request));
  }
  Changed_.notify_all();
}

void LoopbackServer::AcceptLoop() {
  SOCKET listener = static_cast<SOCKET>(Listener_);
  Peer listening(listener, Stopping_);
  while (listening.Wait(false)) {
    SOCKET client = accept(listener, nullptr, nullptr);
    if (client == INVALID_SOCKET) continue;
    u_long nonBlocking = 1;
    ioctlsocket(client, FIONBIO, &nonBlocking);
    Connections_.Start([this, client] { Serve(client); });
  }
}

void LoopbackServer::Serve(uintptr_t rawSocket) {
  Peer peer(static_cast<SOCKET>(rawSocket), Stopping_);
  ServedRequest request;
  if (!ReadRequest(peer, request)) {
    peer.Close();
    return;
  }
  Record(request);
  bool withBody = request.Method != "HEAD";
  std::string path = request.Target.substr(0, request.Target.find('?'));

  auto splitMode = [&path](const std::string& mode, std::string& rest) {
    std::string prefix = "/" + mode + "/";
    if (path.compare(0, prefix.size(), prefix) != 0) return false;
    rest = path.substr(prefix.size());
    return true;
  };
  auto fileBytes = [this](const std::string& name, std::string& bytes) {
    if (name.empty() || name.find("..") != std::string::npos) return false;
    std::string full = Folder_ + "\\" + name;
    for (char& c : full) {
      if (c == '/') c = '\\';
    }
    return !Folder_.empty() && ReadWholeFile(full, bytes);
  };
  auto errorPage = [&](int code) {
    std::string body = "<html><body><h1>" + std::to_string(code) + " " + ReasonPhrase(code) + "</h1></body></html>";
    peer.SendAll(Head(code, static_cast<long long>(body.size()), "Content-Type: text/html\r\n") +
                 (withBody ? body : std::string()));
    peer.Close();
  };

  std::string rest, bytes;
  if (splitMode("status", rest)) {
    errorPage(std::atoi(rest.c_str()));
  } else if (splitMode("nolength", rest)) {
    if (!fileBytes(rest, bytes)) return errorPage(404);
    peer.SendAll(Head(200, -1) + (withBody ? bytes : std::string()));
    peer.Close();
  } else if (splitMode("cut", rest)) {
    if (!fileBytes(rest, bytes)) return errorPage(404);
    peer.SendAll(Head(200, static_cast<long long>(bytes.size())) + (withBody ? bytes.substr(0, bytes.size() / 2) : ""));
    peer.Close();
  } else if (splitMode("overlong", rest)) {
    if (!fileBytes(rest, bytes)) return errorPage(404);
    peer.SendAll(Head(200, static_cast<long long>(bytes.size()) + 1000) + (withBody ? bytes : std::string()));
    peer.Close();
  } else if (splitMode("trickle", rest)) {
    if (!fileBytes(rest, bytes)) return errorPage(404);
    bool ok = peer.SendAll(Head(200, static_cast<long long>(bytes.size())));
    for (size_t at = 0; ok && withBody && at < bytes.size(); at += 16) {
      if (at > 0 && PauseOrStop(TrickleInterval.load())) break;
      ok = peer.SendAll(bytes.data() + at, bytes.size() - at < 16 ? bytes.size() - at : 16);
    }
    peer.Close();
  } else if (splitMode("stall", rest)) {
    if (!fileBytes(rest, bytes)) return errorPage(404);
    peer.SendAll(Head(200, static_cast<long long>(bytes.size())));
    peer.WaitForClientToLeave();
    peer.Close();
  } else if (path == "/endless") {
    bool ok = peer.SendAll(Head(200, -1));
    std::string block = GeneratedBytes(16384);
    while (ok && withBody) ok = peer.SendAll(block);
    peer.Close();
  } else if (splitMode("padded", rest)) {
    if (!fileBytes(rest, bytes)) return errorPage(404);
    const std::string more = GeneratedBytes(1024 * 1024);
    peer.SendAll(Head(200, static_cast<long long>(bytes.size() + more.size())) +
                 (withBody ? bytes + more : std::string()));
    peer.Close();
  } else if (splitMode("unbounded", rest)) {
    if (!fileBytes(rest, bytes)) return errorPage(404);
    bool ok = peer.SendAll(Head(200, -1) + (withBody ? bytes : std::string()));
    std::string block = GeneratedBytes(16384);
    while (ok && withBody) ok = peer.SendAll(block);
    peer.Close();
  } else if (splitMode("claims", rest)) {
    const size_t slash = rest.find('/');
    if (slash == std::string::npos || !fileBytes(rest.substr(slash + 1), bytes)) return errorPage(404);
    peer.SendAll(Head(200, std::strtoll(rest.c_str(), nullptr, 10)) + (withBody ? bytes : std::string()));
    peer.Close();
  } else if (splitMode("reset", rest)) {
    if (!fileBytes(rest, bytes)) return errorPage(404);
    peer.SendAll(Head(200, static_cast<long long>(bytes.size())) + (withBody ? bytes.substr(0, bytes.size() / 2) : ""));
    peer.Reset();
  } else if (splitMode("toftp", rest)) {
    peer.SendAll(Head(302, 0, "Location: ftp://127.0.0.1/" + rest + "\r\n"));
    peer.Close();
  } else if (splitMode("redirect", rest)) {
    std::string body = "moved";
    peer.SendAll(Head(302, static_cast<long long>(body.size()), "Location: /" + rest + "\r\n") +
                 (withBody ? body : std::string()));
    peer.Close();
  } else if (splitMode("gen", rest)) {
    // Streamed in pieces: a benchmark asks for hundreds of megabytes.
    unsigned long long total = std::strtoull(rest.c_str(), nullptr, 10);
    bool ok = peer.SendAll(Head(200, static_cast<long long>(total)));
    std::string block = GeneratedBytes(251 * 1024);  // the pattern repeats every 251 * 256 bytes
    unsigned long long sent = 0;
    while (ok && withBody && sent < total && !Stopping()) {
      size_t n = static_cast<size_t>(total - sent < block.size() ? total - sent : block.size());
      size_t offset = static_cast<size_t>(sent % (251 * 256));
      if (offset + n > block.size()) n = block.size() - offset;
      ok = peer.SendAll(block.data() + offset, n);
      sent += n;
      if (ok) BodyBytesSent += n;
    }
    peer.Close();
  } else if (splitMode("ranged", rest) || splitMode("lastmod", rest) || splitMode("noranges", rest) ||
             splitMode("badrange", rest)) {
    if (!fileBytes(rest, bytes)) return errorPage(404);
    ServeValidated(peer, request, path.substr(1, path.find('/', 1) - 1), bytes, CutAt, HoldAfterCut.load(), BodyBytesSent);
  } else if (path == "/headers") {
    std::string body = "header test";
    peer.SendAll(Head(200, static_cast<long long>(body.size()),
                      "Content-Type: text/plain\r\n"
                      "Date: Tue, 15 Nov 1994 08:12:31 GMT\r\n"
                      "Expires: Thu, 01 Dec 1994 16:00:00 GMT\r\n"
                      "Last-Modified: Mon, 14 Nov 1994 07:10:09 GMT\r\n"
                      "X-Skit: hello\r\n") +
                 (withBody ? body : std::string()));
    peer.Close();
  } else if (path == "/echo") {
    peer.SendAll(Head(200, static_cast<long long>(request.Body.size())) + (withBody ? request.Body : std::string()));
    peer.Close();
  } else {
    if (!fileBytes(path.substr(1), bytes)) return errorPage(404);
    peer.SendAll(Head(200, static_cast<long long>(bytes.size()), "Content-Type: application/octet-stream\r\n") +
                 (withBody ? bytes : std::string()));
    peer.Close();
  }
}

}  // namespace testing_support
