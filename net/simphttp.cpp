// Handles nest: the Internet handle (kept from request to request) holds a
// server connection, the connection holds one request. Every request closes
// the previous request and connection and opens both anew. The body goes
// from WinINet through one buffer per transfer (BlockSize bytes, at most
// 1 MB) straight into the stream: nothing is allocated per block and the
// body is never held whole.
//
// Reading is what decides the speed: each WinINet call costs far more
// than copying the bytes (under Wine, several trips to its server), so the
// body must come in large reads. But a read waits until it has all it asked
// for (or the end), and the progress displays must move every 100 ms or so
// and a cancel must be seen soon, on any line. So each read asks for what
// the line brought in about kHTTPReadSliceMs at the pace the last read
// measured: a few KB on a slow line, the whole buffer on a fast one. The
// first read is small, and the pace is taken again after every read.
// (InternetQueryDataAvailable, which the reads once waited on, announces
// no more than WinINet's own 8 KB buffer under Wine, and reading what it
// announces moves 8 KB a call.)
#include "net/simphttp.h"

#include <commctrl.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

#include "net/net_texts.h"

namespace {

// Each line followed by CR LF.
std::string LinesText(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

const char* NullIfEmpty(const std::string& text) { return text.empty() ? nullptr : text.c_str(); }

// Days from 1 January 1601 (where FILETIME counts from) to 30 December 1899.
constexpr double kFileTimeDaysToDateTime = 109205.0;
constexpr double kFileTimeUnitsPerDay = 864000000000.0;

}  // namespace

TDateTime SystemTimeToDateTime(const SYSTEMTIME& Time) {
  FILETIME fileTime;
  if (!SystemTimeToFileTime(&Time, &fileTime)) return 0;
  ULARGE_INTEGER units;
  units.LowPart = fileTime.dwLowDateTime;
  units.HighPart = fileTime.dwHighDateTime;
  return static_cast<double>(units.QuadPart) / kFileTimeUnitsPerDay - kFileTimeDaysToDateTime;
}

// ---------------------------------------------------------------------------
// THTTPHeaderInfo

THTTPHeaderInfo::THTTPHeaderInfo(TSimpleHTTP* Owner)
    : FBuffer(new char[kHTTPReadBufferSize]()), FOwner(Owner) {}

HINTERNET THTTPHeaderInfo::Request() const { return FOwner->GetRequestHandle(); }

void THTTPHeaderInfo::RaiseQueryError(DWORD code) const {
  throw ESimpleHTTPError(
      net::FormatText(net::SHeaderQueryFailed, static_cast<int>(code), FOwner->GetLastErrorString(code).c_str()),
      code);
}

int32_t THTTPHeaderInfo::RetrieveANumber(DWORD Level) {
  HINTERNET request = Request();
  if (request == nullptr) return 0;
  DWORD number = 0;
  FBufferLength = sizeof number;
  FHeaderIndex = 0;
  if (!HttpQueryInfoA(request, Level | HTTP_QUERY_FLAG_NUMBER, &number, &FBufferLength, &FHeaderIndex)) {
    DWORD code = GetLastError();
    if (!FOwner->SilentExceptions) RaiseQueryError(code);
    return 0;
  }
  return static_cast<int32_t>(number);
}

TDateTime THTTPHeaderInfo::RetrieveADate(DWORD Level) {
  HINTERNET request = Request();
  if (request == nullptr) return 0;
  FSystemTime = SYSTEMTIME{};
  FBufferLength = sizeof FSystemTime;
  FHeaderIndex = 0;
  if (!HttpQueryInfoA(request, Level | HTTP_QUERY_FLAG_SYSTEMTIME, &FSystemTime, &FBufferLength, &FHeaderIndex)) {
    DWORD code = GetLastError();
    if (!FOwner->SilentExceptions) RaiseQueryError(code);
    return 0;
  }
  return SystemTimeToDateTime(FSystemTime);
}

// The buffer holds the query's input (a header name, or nothing) on entry.
std::string THTTPHeaderInfo::QueryString(DWORD Level) {
  HINTERNET request = Request();
  FBufferLength = kHTTPReadBufferSize;
  FHeaderIndex = 0;
  if (!HttpQueryInfoA(request, Level, FBuffer.get(), &FBufferLength, &FHeaderIndex)) {
    DWORD code = GetLastError();
    if (!FOwner->SilentExceptions) RaiseQueryError(code);
    return std::string();
  }
  FBuffer[kHTTPReadBufferSize - 1] = '\0';
  return std::string(FBuffer.get(), strnlen(FBuffer.get(), kHTTPReadBufferSize));
}

std::string THTTPHeaderInfo::RetrieveAString(DWORD Level) {
  if (Request() == nullptr) return std::string();
  FBuffer[0] = '\0';
  return QueryString(Level);
}

std::string THTTPHeaderInfo::GetCustomHeader(const std::string& Name) {
  if (Request() == nullptr) return std::string();
  size_t n = std::min(Name.size(), static_cast<size_t>(kHTTPReadBufferSize - 1));
  std::memcpy(FBuffer.get(), Name.data(), n);
  FBuffer[n] = '\0';
  return QueryString(HTTP_QUERY_CUSTOM);
}

int64_t THTTPHeaderInfo::GetContentLength() {
  if (Request() == nullptr) return 0;
  const std::string text = RetrieveAString(HTTP_QUERY_CONTENT_LENGTH);
  if (text.empty() && FOwner->SilentExceptions) return 0;
  int64_t length = 0;
  for (const char c : text) {
    if (c < '0' || c > '9' || length > (INT64_MAX - (c - '0')) / 10) {
      if (FOwner->SilentExceptions) return 0;
      RaiseQueryError(ERROR_HTTP_INVALID_HEADER);
    }
    length = length * 10 + (c - '0');
  }
  if (text.empty()) RaiseQueryError(ERROR_HTTP_INVALID_HEADER);
  return length;
}
std::string THTTPHeaderInfo::GetContentType() { return RetrieveAString(HTTP_QUERY_CONTENT_TYPE); }
std::string THTTPHeaderInfo::GetLocation() {
  // Where there is none, the query fails: that is no error here.
  const bool silent = FOwner->SilentExceptions;
  FOwner->SilentExceptions = true;
  std::string location = RetrieveAString(HTTP_QUERY_LOCATION);
  FOwner->SilentExceptions = silent;
  return location;
}
TDateTime THTTPHeaderInfo::GetDate() { return RetrieveADate(HTTP_QUERY_DATE); }
TDateTime THTTPHeaderInfo::GetExpires() { return RetrieveADate(HTTP_QUERY_EXPIRES); }
TDateTime THTTPHeaderInfo::GetLastModified() { return RetrieveADate(HTTP_QUERY_LAST_MODIFIED); }
std::string THTTPHeaderInfo::GetRawHeader() { return RetrieveAString(HTTP_QUERY_RAW_HEADERS_CRLF); }
int32_t THTTPHeaderInfo::GetStatusCode() { return RetrieveANumber(HTTP_QUERY_STATUS_CODE); }
std::string THTTPHeaderInfo::GetStatusText() { return RetrieveAString(HTTP_QUERY_STATUS_TEXT); }

// ---------------------------------------------------------------------------
// TSimpleHTTP

TSimpleHTTP::TSimpleHTTP() : FHeaderInfo(std::make_unique<THTTPHeaderInfo>(this)) {
  Port = INTERNET_DEFAULT_HTTP_PORT;
  SilentExceptions = false;
  // WinINet would otherwise answer a server's request for a logon with the
  // user's Windows logon, to any server a redirect points at, and follow
  // redirects without asking: MakeRequest follows them by its own rule.
  SetRequestFlag(INTERNET_FLAG_NO_AUTH | INTERNET_FLAG_NO_AUTO_REDIRECT, true);
}

TSimpleHTTP::~TSimpleHTTP() {
  FDestroying = true;
  TSimpleHTTP::Disconnect();
}

void TSimpleHTTP::SetBlockSize(int32_t Value) {
  FBlockSize = Value;
  HINTERNET handle = FInternetHandle.load();
  if (handle != nullptr) {
    DWORD size = static_cast<DWORD>(Value);
    InternetSetOptionA(handle, INTERNET_OPTION_READ_BUFFER_SIZE, &size, sizeof size);
  }
}

void TSimpleHTTP::SetEnableSSL(bool Value) {
  FEnableSSL = Value;
  SetRequestFlag(INTERNET_FLAG_SECURE, Value);
}

void TSimpleHTTP::SetOptionalHeaders(const std::vector<std::string>& Value) { FOptionalHeaders = Value; }
void TSimpleHTTP::SetPostData(const std::vector<std::string>& Value) { FPostData = Value; }

bool TSimpleHTTP::CrackURL(std::string& URL) {
  if (URL.find("://") == std::string::npos) return false;
  // No part can be longer than the whole address.
  DWORD size = static_cast<DWORD>(std::max<size_t>(512, URL.size() + 1));
  std::vector<char> scheme(size), host(size), user(size), password(size), path(size), extra(size);
  URL_COMPONENTSA parts = {};
  parts.dwStructSize = sizeof parts;
  parts.lpszScheme = scheme.data();
  parts.dwSchemeLength = size;
  parts.lpszHostName = host.data();
  parts.dwHostNameLength = size;
  parts.lpszUserName = user.data();
  parts.dwUserNameLength = size;
  parts.lpszPassword = password.data();
  parts.dwPasswordLength = size;
  parts.lpszUrlPath = path.data();
  parts.dwUrlPathLength = size;
  parts.lpszExtraInfo = extra.data();
  parts.dwExtraInfoLength = size;
  if (!InternetCrackUrlA(URL.c_str(), 0, 0, &parts)) {
    DWORD code = GetLastError();
    if (SilentExceptions) return false;
    throw ESimpleHTTPError(
        net::FormatText(net::SCrackUrlFailed, static_cast<int>(code), GetLastErrorString(code).c_str(), URL.c_str()),
        code);
  }
  Port = parts.nPort;
  if (parts.nScheme == INTERNET_SCHEME_HTTP)
    SetEnableSSL(false);
  else if (parts.nScheme == INTERNET_SCHEME_HTTPS)
    SetEnableSSL(true);
  if (host[0] != '\0') HostName = host.data();
  // The user name and password belong to this address alone.
  UserName = user.data();
  Password = password.data();
  if (path[0] != '\0') URL = std::string(path.data()) + extra.data();
  return true;
}

bool TSimpleHTTP::Connect() {
  bool result = TWinInetControl::Connect();
  SafeCloseHandle(FConnectHandle);  // every request gets a new server connection
  HINTERNET internet = FInternetHandle.load();
  if (internet != nullptr) {
    FConnectHandle.store(InternetConnectA(internet, HostName.c_str(), static_cast<INTERNET_PORT>(Port),
                                          NullIfEmpty(UserName), NullIfEmpty(Password), INTERNET_SERVICE_HTTP, 0,
                                          reinterpret_cast<DWORD_PTR>(this)));
  }
  DWORD code = GetLastError();
  if (FConnectHandle.load() != nullptr) return true;
  SafeCloseHandle(FInternetHandle);
  HandleConnectError(code);
  return result;
}

// A request whose body was not read to its end goes with its whole session,
// closed in the background: Wine's WinINet reads the rest of such a body
// before it lets the request go (see wininet_control.cpp), and nobody may
// wait for that. The next request opens a session of its own.
void TSimpleHTTP::CloseRequest() {
  if (FBodyPending.exchange(false)) {
    HINTERNET request = FRequestHandle.exchange(nullptr);
    if (request != nullptr) {
      CloseInBackground({request, FConnectHandle.exchange(nullptr), FInternetHandle.exchange(nullptr)});
      return;
    }
  }
  CloseOwnHandle(FRequestHandle);
}

bool TSimpleHTTP::Disconnect() {
  try {
    CloseRequest();
    CloseOwnHandle(FConnectHandle);
    TWinInetControl::Disconnect();
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

// Redirects are followed here, at most kHTTPMaxRedirects of them, never from
// https to http nor to another scheme, never to an address longer than
// kHTTPMaxAddress; a 303, and a 301 or 302 answering a POST, go on as a GET.
// A redirect without a Location is the answer as it stands.
bool TSimpleHTTP::MakeRequest(const std::string& URL, const std::string& Verb) {
  std::string address = URL;
  std::string verb = Verb;
  for (int redirects = 0;; ++redirects) {
    const bool sent = MakeOneRequest(address, verb);
    if (!sent) return false;
    const int32_t status = FHeaderInfo->GetStatusCode();
    if (status != 301 && status != 302 && status != 303 && status != 307 && status != 308) return true;
    const std::string location = FHeaderInfo->GetLocation();
    if (location.empty()) return true;
    const std::string next = CombineAddress(address, location);
    const auto refuse = [&](const std::string& why) {
      throw ESimpleHTTPError("Redirect from " + address + " refused: " + why, ERROR_INTERNET_INVALID_URL);
    };
    if (redirects >= kHTTPMaxRedirects) refuse("more than " + std::to_string(kHTTPMaxRedirects) + " redirects");
    if (next.size() > static_cast<size_t>(kHTTPMaxAddress))
      refuse("the address it names is longer than " + std::to_string(kHTTPMaxAddress) + " characters");
    const bool toHttps = _strnicmp(next.c_str(), "https://", 8) == 0;
    if (!toHttps && _strnicmp(next.c_str(), "http://", 7) != 0) refuse("it leads to " + next);
    if (FEnableSSL && !toHttps) refuse("it leads from https to " + next);
    if (status == 303 || ((status == 301 || status == 302) && verb == "POST")) verb.clear();
    address = next;
    // The unread body of the redirect took its session with it: the next
    // request connects anew.
    DoStateChange(fsNoconnection);
  }
}

std::string TSimpleHTTP::CombineAddress(const std::string& base, const std::string& relative) {
  DWORD size = static_cast<DWORD>(base.size() + relative.size() + 64);
  std::vector<char> combined(size);
  if (!InternetCombineUrlA(base.c_str(), relative.c_str(), combined.data(), &size, ICU_NO_ENCODE)) {
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return relative;
    combined.resize(size + 1);
    if (!InternetCombineUrlA(base.c_str(), relative.c_str(), combined.data(), &size, ICU_NO_ENCODE)) return relative;
  }
  return std::string(combined.data(), strnlen(combined.data(), combined.size()));
}

bool TSimpleHTTP::MakeOneRequest(const std::string& URL, const std::string& Verb) {
  CloseRequest();
  FCurrentURL = URL;
  std::string object = URL;
  CrackURL(object);
  Connect();
  FRequestHandle.store(HttpOpenRequestA(FConnectHandle.load(), NullIfEmpty(Verb), object.c_str(), nullptr,
                                        NullIfEmpty(Referrer), nullptr, FRequestFlags.load(),
                                        reinterpret_cast<DWORD_PTR>(this)));
  DWORD receiveTimeout = FReceiveTimeout;
  if (receiveTimeout != 0 && FRequestHandle.load() != nullptr) {
    // Not every WinINet hands the Internet handle's value down to its requests.
    InternetSetOptionA(FRequestHandle.load(), INTERNET_OPTION_RECEIVE_TIMEOUT, &receiveTimeout, sizeof receiveTimeout);
  }
  std::string headers = LinesText(FOptionalHeaders);
  if (!headers.empty() && !HttpAddRequestHeadersA(FRequestHandle.load(), headers.c_str(), static_cast<DWORD>(-1), 0)) {
    DWORD code = GetLastError();
    if (!SilentExceptions) {
      throw ESimpleHTTPError(
          net::FormatText(net::SAddHeadersFailed, static_cast<int>(code), GetLastErrorString(code).c_str()), code);
    }
  }
  return SendRequest(Verb);
}

bool TSimpleHTTP::SendRequest(const std::string& Verb) {
  std::string body;
  if (Verb == "POST" || Verb == "PUT") {
    body = LinesText(FPostData);
    if (body.size() >= 2) body.resize(body.size() - 2);  // no CR LF after the last line
  }
  BOOL sent = FALSE;
  if (EnterCall()) {
    sent = HttpSendRequestA(FRequestHandle.load(), nullptr, 0, body.empty() ? nullptr : body.data(),
                            static_cast<DWORD>(body.size()));
    FSendError = sent ? 0 : GetLastError();
    LeaveCall();
  } else {
    FSendError = ERROR_INTERNET_OPERATION_CANCELLED;
  }
  if (FSendError == 0 && !sent) FSendError = ERROR_INTERNET_INTERNAL_ERROR;
  FBodyPending.store(sent && Verb != "HEAD");
  if (sent && OnConnected) OnConnected(this);
  DoStateChange(fsConnected);
  if (!sent && !SilentExceptions) {
    // The code is what tells a refused connection from an untrusted certificate.
    const std::string detail = GetLastErrorString(FSendError) + " (" + std::to_string(FSendError) + ")";
    throw ESimpleHTTPError(net::FormatText(net::SSendRequestFailed, HostName.c_str(), detail.c_str()), FSendError);
  }
  return sent != FALSE;
}

bool TSimpleHTTP::FillResponseStream(TStream& Stream) {
  // A read never exceeds the one buffer of the transfer; a block size
  // outside 1 .. the largest block reads the largest.
  const DWORD size = FBlockSize >= 1 && FBlockSize <= kHTTPMaxBlockSize ? static_cast<DWORD>(FBlockSize)
                                                                         : static_cast<DWORD>(kHTTPMaxBlockSize);
  std::unique_ptr<char[]> buffer(new char[size + 1]);
  FProgressInfo = THTTPProgressInfo{};
  try {
    FProgressInfo.TotalBytes = FHeaderInfo->GetContentLength();
  } catch (const std::exception&) {
    // No Content-Length: the total stays unknown.
  }
  Stream.SetPosition(0);
  // A request that never went out has no body to read (silent mode goes on
  // to here after a failed send).
  if (FSendError != 0) ThrowReadError(FSendError);

  using Clock = std::chrono::steady_clock;
  DWORD ask = std::min<DWORD>(size, kHTTPMinRead);
  for (;;) {
    buffer[0] = '\0';
    const Clock::time_point started = Clock::now();
    DWORD error = 0;
    const DWORD read = ReadBlock(buffer.get(), ask, error);
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    if (read == 0 && error == 0) FBodyPending.store(false);
    // What a failed read brought before it failed is the body's too.
    Stream.WriteBuffer(buffer.get(), read);
    FProgressInfo.BytesTransferred += read;
    if (error != 0) ThrowReadError(error);
    if (OnTransferProgress) OnTransferProgress(this, FProgressInfo);
    if (QuickProgress) DoQuickProgress();
    if (read == 0) break;
    // What the line brings in a slice at the pace of this read.
    const double pace = read / std::max(seconds, 0.0005);
    ask = static_cast<DWORD>(std::clamp(pace * kHTTPReadSliceMs / 1000.0, static_cast<double>(kHTTPMinRead),
                                        static_cast<double>(size)));
  }
  return true;
}

// Waits for Size bytes of the body or its end (fewer, down to 0 at the
// end). A read that fails (a time-out, a closed handle) is a failed read,
// not the end of the body: Error says why, and the bytes it counts before
// the failure are good.
DWORD TSimpleHTTP::ReadBlock(char* Buffer, DWORD Size, DWORD& Error) {
  Error = 0;
  if (!EnterCall()) {
    Error = ERROR_INTERNET_OPERATION_CANCELLED;
    return 0;
  }
  DWORD read = 0;
  const BOOL ok = InternetReadFile(FRequestHandle.load(), Buffer, Size, &read);
  if (!ok) {
    const DWORD code = GetLastError();
    Error = code != 0 ? code : ERROR_INTERNET_INTERNAL_ERROR;
  }
  LeaveCall();
  return std::min(read, Size);
}

void TSimpleHTTP::ThrowReadError(DWORD Code) const {
  throw EWinInetError(net::FormatText(net::SReadUrlFailed, static_cast<int>(Code), GetLastErrorString(Code).c_str(),
                                      FCurrentURL.c_str()),
                      Code);
}

void TSimpleHTTP::DoQuickProgress() {
  if (QuickProgressMinor == nullptr) return;
  int position = 0;
  if (FProgressInfo.TotalBytes > 0) {
    position = static_cast<int>(
        std::lround(static_cast<double>(FProgressInfo.BytesTransferred) / FProgressInfo.TotalBytes * 100.0));
  }
  SendMessageA(QuickProgressMinor, PBM_SETRANGE32, 0, 100);
  SendMessageA(QuickProgressMinor, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

template <typename Body>
void TSimpleHTTP::RunRequest(Body body) {
  try {
    body();
  } catch (...) {
    try {
      DoStateChange(fsNoconnection);
    } catch (...) {
      // The request's own failure is the one to report.
    }
    throw;
  }
  DoStateChange(fsNoconnection);
}

void TSimpleHTTP::Get(const std::string& URL, TStream& Stream) {
  RunRequest([&] {
    MakeRequest(URL, std::string());
    FillResponseStream(Stream);
  });
}

void TSimpleHTTP::Head(const std::string& URL) {
  RunRequest([&] { MakeRequest(URL, "HEAD"); });
}

void TSimpleHTTP::Post(const std::string& URL, TStream& Stream) {
  RunRequest([&] {
    MakeRequest(URL, "POST");
    FillResponseStream(Stream);
  });
}
