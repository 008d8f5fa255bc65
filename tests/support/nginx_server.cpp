// nginx must not outlive the test even when the test process is killed:
// the shell that runs it reads a loopback connection it made to this
// process, and stops nginx when this end closes, which the system does for
// a process that dies. The connection is made after the shell has started,
// so no Linux process started from here holds a copy of this end. Every
// wait here is bounded.
#include "tests/support/nginx_server.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <stdexcept>
#include <vector>

namespace testing_support {

namespace {

constexpr DWORD kPatienceMs = 10000;  // for nginx to start or stop
constexpr unsigned kSliceMs = 50;      // between looks at a stop flag
const char kNginxUnixPath[] = "/usr/sbin/nginx";

using Clock = std::chrono::steady_clock;


// The Linux path of a Windows path: Wine says, where it can; otherwise the
// build tree is on drive Z:, Wine's view of the Linux root.
std::string UnixPath(const std::string& path) {
  using Convert = char*(CDECL*)(const wchar_t*);
  static const Convert convert = reinterpret_cast<Convert>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
  char full[MAX_PATH * 2];
  DWORD n = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
  std::string windows = n > 0 && n < sizeof full ? std::string(full, n) : path;
  if (convert != nullptr) {
    std::wstring wide(windows.size() + 1, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, windows.c_str(), -1, wide.data(), static_cast<int>(wide.size()));
    if (char* unix = convert(wide.c_str())) {
      std::string result = unix;
      HeapFree(GetProcessHeap(), 0, unix);
      return result;
    }
  }
  if (windows.size() >= 2 && (windows[0] == 'Z' || windows[0] == 'z') && windows[1] == ':') windows.erase(0, 2);
  for (char& c : windows) {
    if (c == '\\') c = '/';
  }
  return windows;
}

// Single-quoted for the shell.
std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// A socket listening on 127.0.0.1 at a port the system picks; throws
// std::runtime_error naming what it was for when it cannot.
SOCKET ListenOnLoopback(int backlog, uint16_t& port, const char* what) {
  UseWinsock();
  const SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, backlog) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    closesocket(listener);
    throw std::runtime_error(std::string("cannot listen on 127.0.0.1 for ") + what);
  }
  port = ntohs(address.sin_port);
  return listener;
}

// A port nobody listens on now, for nginx to take.
uint16_t FreeLoopbackPort() {
  uint16_t port = 0;
  closesocket(ListenOnLoopback(1, port, "a port for nginx"));
  return port;
}

bool Answers(uint16_t port) {
  UseWinsock();
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  const bool connected = connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  closesocket(s);
  return connected;
}

void WriteText(const std::string& path, const std::string& text) { WriteFileBytes(path, text); }

uint32_t Crc32(const std::string& data) {
  uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char byte : data) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void PutLittle32(std::string& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

}  // namespace

// ---------------------------------------------------------------------------
// NginxServer

std::string NginxServer::ProgramPath() {
  const std::string path = std::string("Z:") + kNginxUnixPath;
  std::string windows = path;
  for (char& c : windows) {
    if (c == '/') c = '\\';
  }
  const DWORD attributes = GetFileAttributesA(windows.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return std::string();
  return windows;
}

NginxServer::NginxServer(const std::string& folder) : Folder_(folder) {
  if (ProgramPath().empty()) {
    throw std::runtime_error(std::string("nginx is not installed (") + kNginxUnixPath +
                             "; Debian's nginx-light, which ./run installs)");
  }
  // A port picked now may be taken before nginx binds it: then another.
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (Start()) return;
    if (ErrorLog().find("Address already in use") == std::string::npos) break;
  }
  throw std::runtime_error("nginx did not start: " + ErrorLog() + ReadFileBytes(Work_.File("nginx.out")));
}

NginxServer::~NginxServer() { Stop(); }

std::string NginxServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(Port_) + path;
}

std::string NginxServer::ErrorLog() const { return ReadFileBytes(Work_.File("error.log")); }

std::vector<std::string> NginxServer::AccessLog(size_t atLeast) const {
  const auto deadline = Clock::now() + std::chrono::milliseconds(kPatienceMs);
  for (;;) {
    std::vector<std::string> lines;
    const std::string text = ReadFileBytes(Work_.File("access.log"));
    for (size_t at = 0; at < text.size();) {
      size_t end = text.find('\n', at);
      if (end == std::string::npos) break;  // a line still being written
      lines.push_back(text.substr(at, end - at));
      at = end + 1;
    }
    if (lines.size() >= atLeast || Clock::now() >= deadline) return lines;
    Sleep(20);
  }
}

bool NginxServer::Start() {
  Port_ = FreeLoopbackPort();
  const std::string work = UnixPath(Work_.Path());
  const std::string root = UnixPath(Folder_);
  const std::string port = std::to_string(Port_);
  // Every path nginx writes is in the scratch folder: no root needed.
  WriteText(Work_.File("nginx.conf"),
            "worker_processes 1;\n"
            "pid " + work + "/nginx.pid;\n"
            "error_log " + work + "/error.log info;\n"
            "events { worker_connections 64; }\n"
            "http {\n"
            "  log_format tests escape=none '$status $uri range=\"$http_range\" if_range=\"$http_if_range\" '\n"
            "                   'if_none_match=\"$http_if_none_match\" if_modified_since=\"$http_if_modified_since\" '\n"
            "                   'sent=$body_bytes_sent';\n"
            "  access_log " + work + "/access.log tests;\n"
            "  client_body_temp_path " + work + "/body;\n"
            "  proxy_temp_path " + work + "/proxy;\n"
            "  fastcgi_temp_path " + work + "/fastcgi;\n"
            "  uwsgi_temp_path " + work + "/uwsgi;\n"
            "  scgi_temp_path " + work + "/scgi;\n"
            "  default_type application/octet-stream;\n"
            "  server {\n"
            "    listen 127.0.0.1:" + port + ";\n"
            "    root " + root + ";\n"
            "    location /chunked/ { alias " + root + "/; sub_filter_types *; sub_filter '@never@' ''; }\n"
            "    location /gzip/ { alias " + root + "/; gzip_static always; }\n"
            "    location /slow/ { alias " + root + "/; limit_rate 200k; }\n"
            "    location /noetag/ { alias " + root + "/; etag off; }\n"
            "  }\n"
            "}\n");
  // The lifeline: a loopback connection from the script to this process.
  // Wine gives a Linux process none of the Windows standard handles it was
  // asked to, so the script makes its own way back.
  uint16_t lifelinePort = 0;
  const SOCKET listener = ListenOnLoopback(1, lifelinePort, "nginx's lifeline");
  const std::string lifeline = std::to_string(lifelinePort);
  WriteText(Work_.File("run.sh"),
            "# nginx until the test's end of the lifeline closes.\n"
            "exec </dev/null >" + Quoted(work + "/nginx.out") + " 2>&1\n"
            "exec 3<>/dev/tcp/127.0.0.1/" + lifeline + " || exit 1\n" +
            std::string(kNginxUnixPath) + " -p " + Quoted(work + "/") + " -c " + Quoted(work + "/nginx.conf") +
            " -e " + Quoted(work + "/error.log") + " -g 'daemon off;' 3>&- &\n"
            "pid=$!\n"
            "cat <&3 >/dev/null\n"
            "kill $pid\n"
            "wait $pid\n");

  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  // A Windows command line: double quotes, which Wine takes apart into the arguments.
  std::string command = "bash \"" + work + "/run.sh\"";
  const BOOL started = CreateProcessA("Z:\\bin\\bash", command.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS,
                                      nullptr, nullptr, &startup, &process);
  if (!started) {
    closesocket(listener);
    throw std::runtime_error("cannot start the shell that runs nginx");
  }
  // A Linux process has no Windows handles; there may be none to close.
  if (process.hThread != nullptr) CloseHandle(process.hThread);
  if (process.hProcess != nullptr) CloseHandle(process.hProcess);
  fd_set set;
  FD_ZERO(&set);
  FD_SET(listener, &set);
  timeval patience{static_cast<long>(kPatienceMs / 1000), 0};
  const SOCKET connection = select(0, &set, nullptr, nullptr, &patience) > 0 ? accept(listener, nullptr, nullptr)
                                                                             : INVALID_SOCKET;
  closesocket(listener);
  if (connection == INVALID_SOCKET) {
    throw std::runtime_error("the shell that runs nginx did not call back: " +
                             ReadFileBytes(Work_.File("nginx.out")));
  }
  Lifeline_ = connection;

  const auto deadline = Clock::now() + std::chrono::milliseconds(kPatienceMs);
  while (Clock::now() < deadline) {
    if (Answers(Port_)) return true;
    if (ErrorLog().find("[emerg]") != std::string::npos) break;
      if (!ReadFileBytes(Work_.File("nginx.out")).empty()) break;  // the shell or nginx complained
    Sleep(20);
  }
  Stop();
  return false;
}

void NginxServer::Stop() {
  if (Lifeline_ == INVALID_SOCKET) return;
  closesocket(static_cast<SOCKET>(Lifeline_));
  Lifeline_ = INVALID_SOCKET;
  const auto deadline = Clock::now() + std::chrono::milliseconds(kPatienceMs);
  while (Clock::now() < deadline && Answers(Port_)) Sleep(20);
}

std::string GzipStored(const std::string& data) {
  std::string out("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff", 10);
  size_t at = 0;
  do {
    const size_t n = data.size() - at < 65535 ? data.size() - at : 65535;
    const bool last = at + n == data.size();
    out += static_cast<char>(last ? 1 : 0);
    out += static_cast<char>(n & 0xFF);
    out += static_cast<char>(n >> 8);
    out += static_cast<char>(~n & 0xFF);
    out += static_cast<char>((~n >> 8) & 0xFF);
    out.append(data, at, n);
    at += n;
  } while (at < data.size());
  PutLittle32(out, Crc32(data));
  PutLittle32(out, static_cast<uint32_t>(data.size()));
  return out;
}

// ---------------------------------------------------------------------------
// CuttingProxy

CuttingProxy::CuttingProxy(uint16_t target)
    : Target_(target), Listener_(ListenOnLoopback(16, Port_, "the cutting proxy")) {
  Acceptor_ = std::thread([this] { AcceptLoop(); });
}

CuttingProxy::~CuttingProxy() {
  Stopping_.store(true);
  if (Acceptor_.joinable()) Acceptor_.join();
  Relays_.JoinAll();
  closesocket(static_cast<SOCKET>(Listener_));
}

std::string CuttingProxy::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(Port_) + path;
}

void CuttingProxy::AcceptLoop() {
  const SOCKET listener = static_cast<SOCKET>(Listener_);
  while (!Stopping_.load()) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(listener, &set);
    timeval slice{0, static_cast<long>(kSliceMs * 1000)};
    if (select(0, &set, nullptr, nullptr, &slice) <= 0) continue;
    SOCKET client = accept(listener, nullptr, nullptr);
    if (client == INVALID_SOCKET) continue;
    Relays_.Start([this, client] { Pump(client); });
  }
}

// Both ways until either side closes, the cut comes, or the proxy stops.
void CuttingProxy::Pump(uintptr_t rawClient) {
  const SOCKET client = static_cast<SOCKET>(rawClient);
  const SOCKET server = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(Target_);
  if (connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    closesocket(server);
    closesocket(client);
    return;
  }
  long long answered = 0;
  std::vector<char> buffer(64 * 1024);
  bool open = true;
  while (open && !Stopping_.load()) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(client, &set);
    FD_SET(server, &set);
    timeval slice{0, static_cast<long>(kSliceMs * 1000)};
    if (select(0, &set, nullptr, nullptr, &slice) <= 0) continue;
    if (FD_ISSET(client, &set)) {
      const int n = recv(client, buffer.data(), static_cast<int>(buffer.size()), 0);
      open = n > 0 && send(server, buffer.data(), n, 0) == n;
    }
    if (open && FD_ISSET(server, &set)) {
      int n = recv(server, buffer.data(), static_cast<int>(buffer.size()), 0);
      long long cut = CutAfter.load();
      bool cutting = false;
      if (n > 0 && cut >= 0 && answered + n >= cut && CutAfter.compare_exchange_strong(cut, -1)) {
        n = static_cast<int>(cut - answered);
        cutting = true;
      }
      open = n > 0 && send(client, buffer.data(), n, 0) == n;
      answered += n > 0 ? n : 0;
      if (cutting) {
        ++Cuts;
        open = false;
      }
    }
  }
  shutdown(client, SD_SEND);
  closesocket(client);
  closesocket(server);
}

}  // namespace testing_support
