// The connection component: one WinINet Internet handle, a small connection
// state machine fed by WinINet's status callbacks, readable exceptions for
// failed connects, and Abort, which closes the handles from another thread so
// that a blocking transfer returns. It knows nothing of HTTP; TSimpleHTTP
// (net/simphttp.h) derives from it.
//
// Written in the component style: properties that are plain fields are public
// members named by the property; properties with accessors keep an F field
// and GetName/SetName; events are std::function members.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "net/net_texts.h"

// A failed connect, or a failed read of a response body.
class EWinInetError : public net::Exception {
 public:
  using net::Exception::Exception;
};

// The ordinals are stored and compared: keep the order.
enum TWinInetState : uint8_t {
  fsDisconnecting = 0,
  fsNoconnection = 1,
  fsConnecting = 2,
  fsConnected = 3,
  fsResolvingName = 4,
  fsNameResolved = 5,
};

// How the Internet handle reaches the network.
enum TResolveNames : uint8_t {
  rnLocal = 0,      // INTERNET_OPEN_TYPE_DIRECT
  rnPreConfig = 1,  // INTERNET_OPEN_TYPE_PRECONFIG: the system's settings
  rnProxy = 2,      // INTERNET_OPEN_TYPE_PROXY: ProxyName
};

class TWinInetControl;
using TNotifyEvent = std::function<void(TWinInetControl* Sender)>;
using TStateChangeEvent = std::function<void(TWinInetControl* Sender, TWinInetState NewState)>;

constexpr DWORD kDefaultConnectTimeout = 300000;
// How long Abort lets a send or read in progress return by itself, in ms.
constexpr DWORD kAbortGrace = 500;
constexpr DWORD kDefaultConnectRetries = 3;

class TWinInetControl {
 public:
  TWinInetControl();
  TWinInetControl(const TWinInetControl&) = delete;
  TWinInetControl& operator=(const TWinInetControl&) = delete;
  virtual ~TWinInetControl();

  // Published properties, in their stored order.
  DWORD GetConnectRetries() const;
  void SetConnectRetries(DWORD Value);
  bool GetEnableCache() const { return FEnableCache; }
  void SetEnableCache(bool Value);
  std::string HostName;
  std::string UserName;
  std::string Password;
  int32_t Port = 0;
  std::string ProxyName;
  const std::vector<std::string>& GetProxyBypassList() const { return FProxyBypassList; }
  void SetProxyBypassList(const std::vector<std::string>& Value);
  bool QuickProgress = false;
  HWND QuickProgressMinor = nullptr;  // a progress-bar control; not owned
  HWND QuickStatus = nullptr;         // a status-bar control; not owned
  DWORD GetConnectTimeOut() const;
  void SetConnectTimeout(DWORD Value);
  // Milliseconds a read may wait for data; 0 keeps WinINet's own limit.
  DWORD GetReceiveTimeout() const { return FReceiveTimeout; }
  void SetReceiveTimeout(DWORD Value);
  TResolveNames GetResolveNames() const { return FResolveNames; }
  void SetResolveNames(TResolveNames Value);
  bool SilentExceptions = true;
  TNotifyEvent OnConnected;
  TStateChangeEvent OnStateChange;

  // Public, not published.
  TNotifyEvent OnDisconnected;
  TWinInetState GetState() const { return FState.load(); }
  DWORD GetAccessType() const { return FAccessType; }
  DWORD GetRequestFlags() const { return FRequestFlags.load(); }
  HINTERNET GetInternetHandle() const { return FInternetHandle.load(); }

  virtual void DoQuickProgress() = 0;
  virtual void HandleConnectError(DWORD ErrorCode);
  virtual void HandleStatusCallback(DWORD Status, void* Info, DWORD InfoLength);
  virtual bool Connect();
  virtual bool Disconnect();

  // Closes the handles from an auxiliary thread; returns when that is done.
  // A transfer inside a send or a read first gets a moment to come out of
  // WinINet by itself (see RequestStop); one that is waiting for data is
  // what closing the handles is for.
  void Abort();
  // An abort stays asked for, across every request, until the transfer's
  // owner clears it here as the next transfer begins, before the owner looks
  // at its own cancel flag: a cancel that comes just before a request starts
  // is then never lost.
  void ResetStop() { FStopRequested.store(false); }
  bool DoStateChange(TWinInetState NewState);
  std::string TranslateStateText(TWinInetState State) const;
  // The server's last response text, or "No error description available".
  std::string GetLastErrorString() const;
  // The same, but with no response text the description of code (see
  // net::ErrorDescription) comes before "No error description available".
  std::string GetLastErrorString(DWORD Code) const;
  void RegisterStatusCallback();

  static void SafeCloseHandle(HINTERNET& Handle);
  static void SafeCloseHandle(std::atomic<HINTERNET>& Handle);
  // Closes the handles, in this order, on a thread of its own that nobody
  // waits for; their status callback is removed first, so nothing of the
  // closing reaches a component. For handles whose closing may take long.
  static void CloseInBackground(std::vector<HINTERNET> Handles);
  static void CALLBACK RegisteredStatusCallback(HINTERNET Handle, DWORD_PTR Context, DWORD Status, LPVOID Info,
                                                DWORD InfoLength);

 protected:
  void SetRequestFlag(DWORD Flag, bool On);
  // SafeCloseHandle for the component's own handles: during destruction the
  // handle's status callback is removed first, so that the notifications a
  // close sends never reach a component that is going away.
  void CloseOwnHandle(std::atomic<HINTERNET>& Handle);
  // Set by the destructor of the most derived class before it disconnects:
  // a disconnect during destruction reports nothing.
  std::atomic<bool> FDestroying{false};

  // The transfer thread marks each WinINet call that may last (a send, a
  // read of the body) with EnterCall/LeaveCall. EnterCall refuses once Abort
  // has asked the transfer to stop, and Abort waits a moment for the mark to
  // clear: the mark is set before the request is looked at and the request
  // after it, so either the transfer sees the stop or Abort sees the mark.
  bool EnterCall();
  void LeaveCall() { FInCall.store(false); }
  bool StopRequested() const { return FStopRequested.load(); }
  std::atomic<bool> FStopRequested{false};
  std::atomic<bool> FInCall{false};

  DWORD FConnectRetries = kDefaultConnectRetries;
  bool FEnableCache = false;
  std::vector<std::string> FProxyBypassList;
  DWORD FConnectTimeout = kDefaultConnectTimeout;
  DWORD FReceiveTimeout = 0;
  TResolveNames FResolveNames = rnLocal;
  std::atomic<TWinInetState> FState{fsNoconnection};
  DWORD FAccessType = INTERNET_OPEN_TYPE_DIRECT;
  // Polled by Abort from another thread, and closed by the abort thread.
  std::atomic<HINTERNET> FInternetHandle{nullptr};
  std::atomic<DWORD> FRequestFlags{0};
};

// The auxiliary thread of Abort: it disconnects the component while the
// thread that called Abort waits.
class TInetAbortThread {
 public:
  explicit TInetAbortThread(TWinInetControl* Control) : FControl(Control) {}
  TInetAbortThread(const TInetAbortThread&) = delete;
  TInetAbortThread& operator=(const TInetAbortThread&) = delete;
  virtual ~TInetAbortThread();  // waits for the thread to end

  void Start();
  bool Finished() const { return FFinished.load(); }

 protected:
  virtual void Execute();

  TWinInetControl* FControl;

 private:
  std::thread FThread;
  std::atomic<bool> FFinished{false};
};
