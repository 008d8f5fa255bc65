// Handles nest: the Internet handle (kept from request to request) holds a
// server connection, the connection holds one request. Every request closes
// the previous request and connection and opens both anew. The body goes
// from WinINet through one 16 KB buffer per transfer straight into the
// stream: nothing is allocated per block and the body is never held whole.
#include "net/simphttp.h"

#include <commctrl.h>

#include <algorithm>
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
      net::FormatText(net::SHeaderQueryFailed, static_cast<int>(code), FOwner->GetLastErrorString().c_str()));
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
        net::FormatText(net::SCrackUrlFailed, static_cast<int>(code), GetLastErrorString().c_str(), URL.c_str()));
  }
  Port = parts.nPort;
  if (parts.nScheme == INTERNET_SCHEME_HTTP)
    SetEnableSSL(false);
  else if (parts.nScheme == INTERNET_SCHEME_HTTPS)
    SetEnableSSL(true);
  if (host[0] != '\0') HostName = host.data();
  if (user[0] != '\0') UserName = user.data();
  if (password[0] != '\0') Password = password.data();
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

bool TSimpleHTTP::Disconnect() {
  try {
    CloseOwnHandle(FRequestHandle);
    CloseOwnHandle(FConnectHandle);
    TWinInetControl::Disconnect();
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

bool TSimpleHTTP::MakeRequest(const std::string& URL, const std::string& Verb) {
  SafeCloseHandle(FRequestHandle);
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
          net::FormatText(net::SAddHeadersFailed, static_cast<int>(code), GetLastErrorString().c_str()));
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
  BOOL sent = HttpSendRequestA(FRequestHandle.load(), nullptr, 0, body.empty() ? nullptr : body.data(),
                               static_cast<DWORD>(body.size()));
  FSendError = sent ? 0 : GetLastError();
  if (FSendError == 0 && !sent) FSendError = ERROR_INTERNET_INTERNAL_ERROR;
  if (sent && OnConnected) OnConnected(this);
  DoStateChange(fsConnected);
  if (!sent && !SilentExceptions) {
    throw ESimpleHTTPError(net::FormatText(net::SSendRequestFailed, HostName.c_str(), GetLastErrorString().c_str()));
  }
  return sent != FALSE;
}

bool TSimpleHTTP::FillResponseStream(TStream& Stream) {
  std::unique_ptr<char[]> buffer(new char[kHTTPReadBufferSize + 1]);
  FProgressInfo = THTTPProgressInfo{};
  try {
    FProgressInfo.TotalBytes = FHeaderInfo->GetContentLength();
  } catch (const std::exception&) {
    // No Content-Length: the total stays unknown.
  }
  Stream.SetPosition(0);
  // A request that never went out has no body to read (silent mode goes on
  // to here after a failed send).
  if (FSendError != 0) {
    throw EWinInetError(net::FormatText(net::SReadUrlFailed, static_cast<int>(FSendError),
                                        GetLastErrorString().c_str(), FCurrentURL.c_str()));
  }

  // A read never exceeds the one buffer of the transfer; a block size
  // outside 1 .. buffer size reads whole buffers.
  DWORD limit = FBlockSize >= 1 && FBlockSize <= kHTTPReadBufferSize ? static_cast<DWORD>(FBlockSize)
                                                                      : static_cast<DWORD>(kHTTPReadBufferSize);
  DWORD available = 0;
  for (;;) {
    buffer[0] = '\0';
    HINTERNET request = FRequestHandle.load();
    // A wait that fails (a time-out, a closed handle) is a failed read, not
    // the end of the body.
    BOOL ok = InternetQueryDataAvailable(request, &available, 0, 0);
    DWORD read = 0;
    if (ok) ok = InternetReadFile(request, buffer.get(), std::min(limit, available), &read);
    if (!ok) {
      DWORD code = GetLastError();
      throw EWinInetError(net::FormatText(net::SReadUrlFailed, static_cast<int>(code), GetLastErrorString().c_str(),
                                          FCurrentURL.c_str()));
    }
    Stream.WriteBuffer(buffer.get(), read);
    FProgressInfo.BytesTransferred += read;
    if (OnTransferProgress) OnTransferProgress(this, FProgressInfo);
    if (QuickProgress) DoQuickProgress();
    if (read == 0) break;
  }
  return true;
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
