// The connection state changes in one place, DoStateChange, whatever moved
// it: a WinINet status callback on the transfer thread, a disconnect, a
// failed connect, or the HTTP layer's request bracket. Entering the current
// state again is a no-op, so OnStateChange fires once per real change.
//
// Abort runs Disconnect on an auxiliary thread and waits for that thread:
// closing the handles is what makes a blocking WinINet call on the transfer
// thread return with a failure. The handles are atomic because the abort
// thread takes them while the transfer thread may be about to use them; each
// is taken with an exchange, so no handle is ever closed twice.
//
// Before that, Abort asks the transfer to stop and gives a send or read in
// progress a moment to return by itself (one that is receiving data returns
// within a read). Closing a request is then never the transfer thread's last
// act on it: Wine's WinINet, when the last reference to a request whose body
// was not read to its end goes, reads the rest of the body off the socket
// for as long as the server keeps sending, which from a fast server takes as
// long as the download would have. Such a request is closed on a thread of
// its own that nobody waits for (TSimpleHTTP::CloseRequest).
#include "net/wininet_control.h"

#include <commctrl.h>

#include <vector>

#include "net/net_texts.h"

TWinInetControl::TWinInetControl() {
  FRequestFlags.store(0);
  SetEnableCache(false);
}

TWinInetControl::~TWinInetControl() {
  FDestroying = true;
  TWinInetControl::Disconnect();
}

DWORD TWinInetControl::GetConnectRetries() const {
  HINTERNET handle = FInternetHandle.load();
  if (handle == nullptr) return FConnectRetries;
  DWORD value = 0, length = sizeof value;
  if (!InternetQueryOptionA(handle, INTERNET_OPTION_CONNECT_RETRIES, &value, &length)) return kDefaultConnectRetries;
  return value;
}

void TWinInetControl::SetConnectRetries(DWORD Value) {
  FConnectRetries = Value;
  HINTERNET handle = FInternetHandle.load();
  if (handle != nullptr) InternetSetOptionA(handle, INTERNET_OPTION_CONNECT_RETRIES, &FConnectRetries, sizeof(DWORD));
}

DWORD TWinInetControl::GetConnectTimeOut() const {
  HINTERNET handle = FInternetHandle.load();
  if (handle == nullptr) return FConnectTimeout;
  DWORD value = 0, length = sizeof value;
  if (!InternetQueryOptionA(handle, INTERNET_OPTION_CONNECT_TIMEOUT, &value, &length)) return kDefaultConnectTimeout;
  return value;
}

void TWinInetControl::SetConnectTimeout(DWORD Value) {
  FConnectTimeout = Value == 0 ? kDefaultConnectTimeout : Value;
  HINTERNET handle = FInternetHandle.load();
  if (handle != nullptr) InternetSetOptionA(handle, INTERNET_OPTION_CONNECT_TIMEOUT, &FConnectTimeout, sizeof(DWORD));
}

void TWinInetControl::SetReceiveTimeout(DWORD Value) {
  FReceiveTimeout = Value;
  HINTERNET handle = FInternetHandle.load();
  if (handle != nullptr && Value != 0) {
    InternetSetOptionA(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, &FReceiveTimeout, sizeof(DWORD));
  }
}

void TWinInetControl::SetRequestFlag(DWORD Flag, bool On) {
  DWORD flags = FRequestFlags.load();
  FRequestFlags.store(On ? (flags | Flag) : (flags & ~Flag));
}

// Without the cache a request both reloads from the server and keeps its
// body out of the cache: downloaded files are not copied a second time.
void TWinInetControl::SetEnableCache(bool Value) {
  FEnableCache = Value;
  SetRequestFlag(INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, !Value);
}

void TWinInetControl::SetProxyBypassList(const std::vector<std::string>& Value) { FProxyBypassList = Value; }

void TWinInetControl::SetResolveNames(TResolveNames Value) {
  FResolveNames = Value;
  switch (Value) {
    case rnLocal: FAccessType = INTERNET_OPEN_TYPE_DIRECT; break;
    case rnPreConfig: FAccessType = INTERNET_OPEN_TYPE_PRECONFIG; break;
    case rnProxy: FAccessType = INTERNET_OPEN_TYPE_PROXY; break;
    default: break;
  }
}

bool TWinInetControl::Connect() {
  if (FState.load() == fsConnected) return true;
  if (FInternetHandle.load() == nullptr) {
    std::string bypass;
    for (const std::string& line : FProxyBypassList) bypass += line + "\r\n";
    const std::string agent = net::AgentText();
    FInternetHandle.store(InternetOpenA(agent.c_str(), FAccessType,
                                        FResolveNames == rnProxy ? ProxyName.c_str() : nullptr,
                                        bypass.empty() ? nullptr : bypass.c_str(), 0));
  }
  // The callback and the options go to the handle at every connect.
  RegisterStatusCallback();
  SetConnectRetries(FConnectRetries);
  SetConnectTimeout(FConnectTimeout);
  SetReceiveTimeout(FReceiveTimeout);
  return false;
}

bool TWinInetControl::Disconnect() {
  CloseOwnHandle(FInternetHandle);
  if (!FDestroying && DoStateChange(fsNoconnection) && OnDisconnected) OnDisconnected(this);
  return true;
}

bool TWinInetControl::EnterCall() {
  FInCall.store(true);
  if (!FStopRequested.load()) return true;
  FInCall.store(false);
  return false;
}

void TWinInetControl::Abort() {
  FStopRequested.store(true);
  const DWORD started = GetTickCount();
  while (FInCall.load() && GetTickCount() - started < kAbortGrace) Sleep(1);
  TInetAbortThread thread(this);
  try {
    thread.Start();
  } catch (...) {
    // No thread to be had (no memory): the handles are closed here instead.
    // An abort never throws: it runs in destructors.
    try {
      Disconnect();
    } catch (...) {
    }
  }
  // The thread object's end waits for the thread: once it is gone the
  // handles are closed and the blocked call on the transfer thread fails.
}

void TWinInetControl::SafeCloseHandle(HINTERNET& Handle) {
  HINTERNET handle = Handle;
  Handle = nullptr;
  if (handle != nullptr) InternetCloseHandle(handle);
}

void TWinInetControl::SafeCloseHandle(std::atomic<HINTERNET>& Handle) {
  HINTERNET handle = Handle.exchange(nullptr);
  if (handle != nullptr) InternetCloseHandle(handle);
}

void TWinInetControl::CloseInBackground(std::vector<HINTERNET> Handles) {
  for (HINTERNET handle : Handles) {
    if (handle != nullptr) InternetSetStatusCallbackA(handle, nullptr);
  }
  try {
    std::thread([handles = std::move(Handles)] {
      for (HINTERNET handle : handles) {
        if (handle != nullptr) InternetCloseHandle(handle);
      }
    }).detach();
  } catch (...) {
    // No thread to spare: the handles are left to the end of the process.
  }
}

void TWinInetControl::CloseOwnHandle(std::atomic<HINTERNET>& Handle) {
  HINTERNET handle = Handle.exchange(nullptr);
  if (handle == nullptr) return;
  if (FDestroying) InternetSetStatusCallbackA(handle, nullptr);
  InternetCloseHandle(handle);
}

bool TWinInetControl::DoStateChange(TWinInetState NewState) {
  if (FState.exchange(NewState) == NewState) return false;
  if (OnStateChange) OnStateChange(this, NewState);
  if (QuickProgress && QuickStatus != nullptr) {
    std::string text = TranslateStateText(NewState);
    bool simple = SendMessageA(QuickStatus, SB_ISSIMPLE, 0, 0) != 0;
    SendMessageA(QuickStatus, SB_SETTEXTA, simple ? SB_SIMPLEID : 0, reinterpret_cast<LPARAM>(text.c_str()));
  }
  return true;
}

std::string TWinInetControl::TranslateStateText(TWinInetState State) const {
  const char* host = HostName.c_str();
  switch (State) {
    case fsDisconnecting: return net::FormatText(net::SStateDisconnecting, host);
    case fsNoconnection: return net::FormatText(net::SStateNoConnection);
    case fsConnecting: return net::FormatText(net::SStateConnecting, host);
    case fsConnected: return net::FormatText(net::SStateConnected, host);
    case fsResolvingName: return net::FormatText(net::SStateResolving, host);
    case fsNameResolved: return net::FormatText(net::SStateResolved, host);
    default: return net::FormatText(net::SStateUnknown);
  }
}

std::string TWinInetControl::GetLastErrorString() const { return GetLastErrorString(0); }

std::string TWinInetControl::GetLastErrorString(DWORD Code) const {
  std::vector<char> buffer(2048, '\0');
  DWORD code = 0, length = static_cast<DWORD>(buffer.size());
  if (InternetGetLastResponseInfoA(&code, buffer.data(), &length) && length > 0 && buffer[0] != '\0') {
    buffer.back() = '\0';
    return buffer.data();
  }
  const std::string description = net::ErrorDescription(Code);
  return description.empty() ? net::LoadText(net::SNoErrorDescription) : description;
}

// The code goes with the text: the texts name the host, not the cause.
void TWinInetControl::HandleConnectError(DWORD ErrorCode) {
  DoStateChange(fsNoconnection);
  if (SilentExceptions) return;
  const char* host = HostName.c_str();
  std::string message;
  switch (ErrorCode) {
    case ERROR_INTERNET_TIMEOUT: message = net::FormatText(net::SConnectTimedOut, host); break;
    case ERROR_INTERNET_INTERNAL_ERROR: message = net::FormatText(net::SInternalError); break;
    case ERROR_INTERNET_NAME_NOT_RESOLVED: message = net::FormatText(net::SNameNotResolved, host); break;
    case ERROR_INTERNET_INCORRECT_USER_NAME:
      message = net::FormatText(net::SBadUserName, UserName.c_str(), host);
      break;
    case ERROR_INTERNET_INCORRECT_PASSWORD: message = net::FormatText(net::SBadPassword, host); break;
    case ERROR_INTERNET_LOGIN_FAILURE:
    case ERROR_INTERNET_CANNOT_CONNECT: message = net::FormatText(net::SUnableToConnect, host); break;
    default: message = net::FormatText(net::SGeneralConnectError, host); break;
  }
  throw EWinInetError(message + " (" + std::to_string(ErrorCode) + ")", ErrorCode);
}

void TWinInetControl::HandleStatusCallback(DWORD Status, void* /*Info*/, DWORD /*InfoLength*/) {
  if (FDestroying) return;
  switch (Status) {
    case INTERNET_STATUS_RESOLVING_NAME: DoStateChange(fsResolvingName); break;
    case INTERNET_STATUS_NAME_RESOLVED: DoStateChange(fsNameResolved); break;
    case INTERNET_STATUS_CONNECTING_TO_SERVER: DoStateChange(fsConnecting); break;
    case INTERNET_STATUS_CONNECTED_TO_SERVER: DoStateChange(fsConnected); break;
    case INTERNET_STATUS_CLOSING_CONNECTION: DoStateChange(fsDisconnecting); break;
    case INTERNET_STATUS_CONNECTION_CLOSED: DoStateChange(fsNoconnection); break;
    default: break;
  }
}

void TWinInetControl::RegisterStatusCallback() {
  HINTERNET handle = FInternetHandle.load();
  if (handle != nullptr) InternetSetStatusCallbackA(handle, &TWinInetControl::RegisteredStatusCallback);
}

// Called by WinINet with the context given when a handle was opened: the
// component itself. Nothing may unwind into WinINet.
void CALLBACK TWinInetControl::RegisteredStatusCallback(HINTERNET /*Handle*/, DWORD_PTR Context, DWORD Status,
                                                         LPVOID Info, DWORD InfoLength) {
  if (Context == 0) return;
  try {
    reinterpret_cast<TWinInetControl*>(Context)->HandleStatusCallback(Status, Info, InfoLength);
  } catch (...) {
  }
}

TInetAbortThread::~TInetAbortThread() {
  if (FThread.joinable()) FThread.join();
}

void TInetAbortThread::Start() {
  FThread = std::thread([this] {
    try {
      Execute();
    } catch (...) {
      // Disconnect never fails; nothing leaves a thread.
    }
    FFinished.store(true);
  });
}

void TInetAbortThread::Execute() {
  if (FControl != nullptr) FControl->Disconnect();
}
