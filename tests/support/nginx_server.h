// A real web server for the transfer tests: nginx (Debian's nginx-light),
// started by the test itself on a loopback port the system picked, as the
// user running the tests, with a configuration written into a scratch
// folder of the build tree, and stopped by the test. The test programs are
// Windows programs under Wine; nginx is a Linux program, which Wine starts
// like any other. Wine gives no handle for such a process, so nginx runs
// under a small shell that holds a loopback connection to the test
// process: when the test closes it (Stop, or the end of the test process,
// however it ends), the shell stops nginx.
//
// Paths served, from the folder given:
//   /NAME           the file as nginx serves static files: a strong ETag made
//                   of the file's modification time and size, Last-Modified,
//                   Accept-Ranges, answers to Range, If-Range,
//                   If-None-Match and If-Modified-Since; kept-alive
//                   connections
//   /chunked/NAME   the file through a filter that drops its length (and its
//                   validators): a chunked body
//   /gzip/NAME      the file NAME.gz with "Content-Encoding: gzip" whatever
//                   the client said it accepts
//   /slow/NAME      the file at 200 KB a second
//   /noetag/NAME    the file without an ETag: Last-Modified is its only validator
//
// Every request nginx has answered is a line of its access log (see
// AccessLog), with what the tests look at: the status, the path, the
// conditional headers it came with, and the body bytes sent.
//
// CuttingProxy stands between a client and a server and ends one
// connection after a given number of bytes of the server's answer: a
// transfer cut in the middle, at a byte the test chose.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>

#include "tests/support/http_server.h"
#include "tests/support/testing.h"

namespace testing_support {

class NginxServer {
 public:
  // Where nginx is installed, as a Windows path; empty when it is not.
  static std::string ProgramPath();

  // Starts nginx serving folder and waits until it answers; throws
  // std::runtime_error (with nginx's own complaint) when it cannot.
  explicit NginxServer(const std::string& folder);
  ~NginxServer();
  NginxServer(const NginxServer&) = delete;
  NginxServer& operator=(const NginxServer&) = delete;

  uint16_t Port() const { return Port_; }
  // "http://127.0.0.1:PORT" + path.
  std::string Url(const std::string& path) const;
  // Stops nginx and waits until its port is closed; safe to call twice.
  void Stop();
  // nginx's error log, for a failure message.
  std::string ErrorLog() const;
  // One line per request nginx finished, in order:
  //   STATUS PATH range="..." if_range="..." if_none_match="..." if_modified_since="..." sent=BYTES
  // (a header not sent reads "-"). nginx writes a line just after the
  // answer's last byte, so this waits (bounded) until there are at least
  // `atLeast` lines.
  std::vector<std::string> AccessLog(size_t atLeast = 0) const;

 private:
  bool Start();

  std::string Folder_;
  TempDir Work_;
  uint16_t Port_ = 0;
  uintptr_t Lifeline_ = ~uintptr_t(0);  // the socket whose closing stops nginx
};

// The bytes of a gzip file holding data uncompressed ("stored" blocks).
std::string GzipStored(const std::string& data);

class CuttingProxy {
 public:
  explicit CuttingProxy(uint16_t target);
  ~CuttingProxy();
  CuttingProxy(const CuttingProxy&) = delete;
  CuttingProxy& operator=(const CuttingProxy&) = delete;

  uint16_t Port() const { return Port_; }
  std::string Url(const std::string& path) const;

  // The next connection whose answer reaches this many bytes (status line
  // and headers included) is ended there, once; -1: none.
  std::atomic<long long> CutAfter{-1};
  // Connections that have been cut so far.
  std::atomic<int> Cuts{0};

 private:
  void AcceptLoop();
  void Pump(uintptr_t client);

  uint16_t Target_;
  uint16_t Port_ = 0;
  uintptr_t Listener_;
  std::atomic<bool> Stopping_{false};
  std::thread Acceptor_;
  ConnectionThreads Relays_;  // only the acceptor and the destructor touch it
};

}  // namespace testing_support
