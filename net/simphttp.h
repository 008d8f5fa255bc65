// HTTP requests over the connection component: one server connection and one
// request at a time. TSimpleHTTP splits a URL into host, port, credentials
// and object path, sends GET, HEAD or POST, and copies the response body into
// a stream in blocks while it reports progress. It is a plain transport: the
// status code is the caller's business (THTTPHeaderInfo reads it).
#pragma once

#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/net_texts.h"
#include "net/streams.h"
#include "net/wininet_control.h"

class ESimpleHTTPError : public net::Exception {
 public:
  using net::Exception::Exception;
};

// A date and time as the class library keeps it: days since 30 December
// 1899, the time of day as the fraction. 0 is the empty value.
using TDateTime = double;
TDateTime SystemTimeToDateTime(const SYSTEMTIME& Time);

// 64-bit: a body of 2 GiB and more is counted and checked like any other.
struct THTTPProgressInfo {
  int64_t BytesTransferred = 0;
  int64_t TotalBytes = 0;  // the response's Content-Length, 0 when it sent none
};

class TSimpleHTTP;
using THTTPTransferProgressEvent = std::function<void(TSimpleHTTP* Sender, THTTPProgressInfo& ProgressInfo)>;

// The size of the header buffer, and of the one read buffer of a transfer
// with the component's default block size.
constexpr int32_t kHTTPReadBufferSize = 16384;
// The largest read, and so the largest read buffer a BlockSize can ask for.
constexpr int32_t kHTTPMaxBlockSize = 1024 * 1024;
// Reads are sized to what the line brings in about this many ms (see
// simphttp.cpp), never below kHTTPMinRead bytes.
constexpr int32_t kHTTPReadSliceMs = 40;
constexpr int32_t kHTTPMinRead = 512;
// Redirects followed for one request, and the longest address one may name.
constexpr int kHTTPMaxRedirects = 5;
constexpr int32_t kHTTPMaxAddress = 2083;

// Reads the headers of the owner's last response. With no request yet every
// accessor returns 0, an empty date-time or an empty string.
class THTTPHeaderInfo {
 public:
  explicit THTTPHeaderInfo(TSimpleHTTP* Owner);
  THTTPHeaderInfo(const THTTPHeaderInfo&) = delete;
  THTTPHeaderInfo& operator=(const THTTPHeaderInfo&) = delete;

  // The whole Content-Length, read as text: the platform's number query
  // gives only 32 bits. A value that is no decimal number within 64 bits
  // fails like a missing header.
  int64_t GetContentLength();
  std::string GetContentType();
  TDateTime GetDate();
  TDateTime GetExpires();
  TDateTime GetLastModified();
  std::string GetRawHeader();  // all headers, lines separated by CR LF
  int32_t GetStatusCode();
  // The Location header; empty where there is none.
  std::string GetLocation();
  std::string GetStatusText();
  std::string GetCustomHeader(const std::string& Name);

 protected:
  int32_t RetrieveANumber(DWORD Level);
  TDateTime RetrieveADate(DWORD Level);
  std::string RetrieveAString(DWORD Level);

 private:
  HINTERNET Request() const;
  std::string QueryString(DWORD Level);
  [[noreturn]] void RaiseQueryError(DWORD code) const;

  SYSTEMTIME FSystemTime{};
  std::unique_ptr<char[]> FBuffer;
  DWORD FBufferLength = 0;
  DWORD FHeaderIndex = 0;
  TSimpleHTTP* FOwner;
};

class TSimpleHTTP : public TWinInetControl {
 public:
  TSimpleHTTP();
  ~TSimpleHTTP() override;

  // Published properties added, in their stored order.
  int32_t GetBlockSize() const { return FBlockSize; }
  void SetBlockSize(int32_t Value);
  bool GetEnableSSL() const { return FEnableSSL; }
  void SetEnableSSL(bool Value);
  const std::vector<std::string>& GetOptionalHeaders() const { return FOptionalHeaders; }
  void SetOptionalHeaders(const std::vector<std::string>& Value);
  THTTPTransferProgressEvent OnTransferProgress;
  const std::vector<std::string>& GetPostData() const { return FPostData; }
  void SetPostData(const std::vector<std::string>& Value);
  std::string Referrer;

  // Fetches URL into Stream (GET).
  void Get(const std::string& URL, TStream& Stream);
  // Sends a HEAD request; the headers are then readable through HeaderInfo.
  void Head(const std::string& URL);
  // Sends PostData as the body and writes the response body into Stream.
  void Post(const std::string& URL, TStream& Stream);

  bool MakeRequest(const std::string& URL, const std::string& Verb);
  bool MakeOneRequest(const std::string& URL, const std::string& Verb);
  static std::string CombineAddress(const std::string& base, const std::string& relative);
  bool SendRequest(const std::string& Verb);
  bool FillResponseStream(TStream& Stream);
  // Splits an absolute URL into the properties and leaves the object path
  // (with its query string) in URL; false when URL has no "://".
  bool CrackURL(std::string& URL);

  bool Connect() override;
  bool Disconnect() override;
  void DoQuickProgress() override;
  // True between a send that brought a response with a body and the end of
  // that body: closing the request then takes the whole session with it, in
  // the background (see CloseRequest).
  bool IsBodyPending() const { return FBodyPending.load(); }

  THTTPHeaderInfo* HeaderInfo() const { return FHeaderInfo.get(); }
  const THTTPProgressInfo& GetProgressInfo() const { return FProgressInfo; }
  HINTERNET GetRequestHandle() const { return FRequestHandle.load(); }
  HINTERNET GetConnectHandle() const { return FConnectHandle.load(); }

 protected:
  std::atomic<HINTERNET> FConnectHandle{nullptr};
  // Stays open after a request so that its headers can be read, until the
  // next request or Disconnect.
  std::atomic<HINTERNET> FRequestHandle{nullptr};
  std::unique_ptr<THTTPHeaderInfo> FHeaderInfo;
  THTTPProgressInfo FProgressInfo;

 private:
  // Brackets a front operation: whatever happens, it ends in fsNoconnection.
  template <typename Body>
  void RunRequest(Body body);
  void CloseRequest();
  // Reading the body: see the comment at the top of simphttp.cpp.
  DWORD ReadBlock(char* Buffer, DWORD Size, DWORD& Error);
  [[noreturn]] void ThrowReadError(DWORD Code) const;

  int32_t FBlockSize = 8192;
  bool FEnableSSL = false;
  std::vector<std::string> FOptionalHeaders;
  std::vector<std::string> FPostData;
  std::string FCurrentURL;
  DWORD FSendError = 0;  // why the last send failed; 0 when it went out
  std::atomic<bool> FBodyPending{false};
};
