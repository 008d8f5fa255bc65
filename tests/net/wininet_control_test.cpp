#include "net/wininet_control.h"

#include <gtest/gtest.h>

#include <commctrl.h>

#include <chrono>
#include <string>
#include <vector>

#include "net/simphttp.h"
#include "tests/support/testing.h"

namespace {

// The base component is abstract only in DoQuickProgress.
class TBareControl : public TWinInetControl {
 public:
  ~TBareControl() override {
    FDestroying = true;
    Disconnect();
  }
  void DoQuickProgress() override {}
};

// Records every state change and disconnect event of a component.
struct EventLog {
  std::vector<TWinInetState> States;
  int Disconnects = 0;
  void Attach(TWinInetControl& control) {
    control.OnStateChange = [this](TWinInetControl*, TWinInetState state) { States.push_back(state); };
    control.OnDisconnected = [this](TWinInetControl*) { ++Disconnects; };
  }
};

std::string ThrownMessage(TWinInetControl& control, DWORD code) {
  try {
    control.HandleConnectError(code);
  } catch (const EWinInetError& e) {
    return e.what();
  }
  return "<nothing thrown>";
}

}  // namespace

TEST(WinInetControl, OptionsAreStoredUntilTheHandleExistsAndAppliedByConnect) {
  TBareControl control;
  control.HostName = "127.0.0.1";
  EXPECT_EQ(control.GetConnectTimeOut(), 300000u);
  EXPECT_EQ(control.GetConnectRetries(), 3u);

  control.SetConnectTimeout(0);
  EXPECT_EQ(control.GetConnectTimeOut(), 300000u) << "0 means the default";
  control.SetConnectTimeout(4321);
  control.SetConnectRetries(7);
  EXPECT_EQ(control.GetInternetHandle(), nullptr) << "setting an option opens nothing";
  EXPECT_EQ(control.GetConnectTimeOut(), 4321u);

  // Connect opens the handle but reports false unless already connected.
  EXPECT_FALSE(control.Connect());
  ASSERT_NE(control.GetInternetHandle(), nullptr);
  EXPECT_EQ(control.GetConnectTimeOut(), 4321u) << "now read back from the handle";
  // (Wine keeps no connect-retry count on the handle, so that one is not read back.)

  HINTERNET first = control.GetInternetHandle();
  EXPECT_FALSE(control.Connect());
  EXPECT_EQ(control.GetInternetHandle(), first) << "the handle is reused";
}

TEST(WinInetControl, ConnectWhileConnectedTouchesNothing) {
  TBareControl control;
  control.DoStateChange(fsConnected);
  EXPECT_TRUE(control.Connect());
  EXPECT_EQ(control.GetInternetHandle(), nullptr);
}

TEST(WinInetControl, CacheSslAndAccessTypeLiveInTheirFlagWords) {
  TSimpleHTTP http;
  // No logon is answered and no redirect followed by WinINet itself, whatever
  // else is set.
  const DWORD ours = INTERNET_FLAG_NO_AUTH | INTERNET_FLAG_NO_AUTO_REDIRECT;
  EXPECT_EQ(http.GetRequestFlags() & ours, ours);
  const DWORD noCache = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | ours;
  EXPECT_EQ(http.GetRequestFlags() & noCache, noCache) << "the cache is off by default";
  http.SetEnableCache(true);
  EXPECT_EQ(http.GetRequestFlags() & (noCache & ~ours), 0u);
  http.SetEnableSSL(true);
  EXPECT_EQ(http.GetRequestFlags(), static_cast<DWORD>(INTERNET_FLAG_SECURE) | ours);
  http.SetEnableCache(false);
  http.SetEnableSSL(false);
  EXPECT_EQ(http.GetRequestFlags(), noCache);

  EXPECT_EQ(http.GetAccessType(), static_cast<DWORD>(INTERNET_OPEN_TYPE_DIRECT));
  http.SetResolveNames(rnPreConfig);
  EXPECT_EQ(http.GetAccessType(), static_cast<DWORD>(INTERNET_OPEN_TYPE_PRECONFIG));
  http.SetResolveNames(rnProxy);
  EXPECT_EQ(http.GetAccessType(), static_cast<DWORD>(INTERNET_OPEN_TYPE_PROXY));
  http.SetResolveNames(static_cast<TResolveNames>(9));
  EXPECT_EQ(http.GetAccessType(), static_cast<DWORD>(INTERNET_OPEN_TYPE_PROXY)) << "out of range changes nothing";
}

TEST(WinInetControl, StatusCallbacksDriveTheStateAndUnknownOnesAreIgnored) {
  TBareControl control;
  EventLog log;
  log.Attach(control);
  const struct {
    DWORD Status;
    TWinInetState State;
  } steps[] = {{10, fsResolvingName}, {11, fsNameResolved}, {20, fsConnecting},
               {21, fsConnected},     {50, fsDisconnecting}, {51, fsNoconnection}};
  for (const auto& step : steps) {
    control.HandleStatusCallback(step.Status, nullptr, 0);
    EXPECT_EQ(control.GetState(), step.State) << "status " << step.Status;
  }
  ASSERT_EQ(log.States.size(), 6u);

  control.HandleStatusCallback(30, nullptr, 0);  // sending request: not a state
  control.HandleStatusCallback(51, nullptr, 0);  // the state it already has
  EXPECT_EQ(log.States.size(), 6u);
  EXPECT_FALSE(control.DoStateChange(fsNoconnection));
  EXPECT_TRUE(control.DoStateChange(fsConnected));

  // The free callback finds the component through the context.
  TWinInetControl::RegisteredStatusCallback(nullptr, reinterpret_cast<DWORD_PTR>(&control), 10, nullptr, 0);
  EXPECT_EQ(control.GetState(), fsResolvingName);
  TWinInetControl::RegisteredStatusCallback(nullptr, 0, 51, nullptr, 0);  // no context: ignored
  EXPECT_EQ(control.GetState(), fsResolvingName);
}

TEST(WinInetControl, StateTextsNameTheHostAndGoToTheStatusBar) {
  TBareControl control;
  control.HostName = "files.example.com";
  EXPECT_EQ(control.TranslateStateText(fsDisconnecting), "Disconnecting from files.example.com");
  EXPECT_EQ(control.TranslateStateText(fsNoconnection), "No connection");
  EXPECT_EQ(control.TranslateStateText(fsConnecting), "Connecting to files.example.com");
  EXPECT_EQ(control.TranslateStateText(fsConnected), "Connected to files.example.com");
  EXPECT_EQ(control.TranslateStateText(fsResolvingName), "Resolving name files.example.com");
  EXPECT_EQ(control.TranslateStateText(fsNameResolved), "Resolved name files.example.com");
  EXPECT_EQ(control.TranslateStateText(static_cast<TWinInetState>(9)), "Unknown state!  Contact support ...");

  INITCOMMONCONTROLSEX init{sizeof init, ICC_BAR_CLASSES};
  InitCommonControlsEx(&init);
  HWND parent = CreateWindowExA(0, "STATIC", "", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200, nullptr, nullptr, nullptr,
                                nullptr);
  HWND bar = CreateWindowExA(0, STATUSCLASSNAMEA, "", WS_CHILD, 0, 0, 0, 0, parent, nullptr, nullptr, nullptr);
  ASSERT_NE(bar, nullptr);
  auto barText = [bar](int part) {
    char text[256] = {};
    SendMessageA(bar, SB_GETTEXTA, part, reinterpret_cast<LPARAM>(text));
    return std::string(text);
  };
  control.QuickStatus = bar;
  control.DoStateChange(fsConnecting);
  EXPECT_EQ(barText(0), "") << "only with QuickProgress";

  control.QuickProgress = true;
  control.DoStateChange(fsConnected);
  EXPECT_EQ(barText(0), "Connected to files.example.com") << "first panel";
  SendMessageA(bar, SB_SIMPLE, TRUE, 0);
  control.DoStateChange(fsResolvingName);
  std::string simple = barText(SB_SIMPLEID);
  if (simple.empty()) simple = barText(0);  // Wine answers the simple text for part 0 only
  EXPECT_EQ(simple, "Resolving name files.example.com") << "simple text";
  SendMessageA(bar, SB_SIMPLE, FALSE, 0);
  EXPECT_EQ(barText(0), "Connected to files.example.com") << "the panel kept its text";
  DestroyWindow(parent);
}

TEST(WinInetControl, ConnectErrorsRaiseTheirMessageWithTheCodeOrOnlyDisconnectWhenSilent) {
  TBareControl control;
  control.HostName = "files.example.com";
  control.UserName = "lucinda";
  control.SilentExceptions = false;
  EXPECT_EQ(ThrownMessage(control, ERROR_INTERNET_TIMEOUT), "Connection to files.example.com timed out (12002)");
  EXPECT_EQ(ThrownMessage(control, ERROR_INTERNET_INTERNAL_ERROR), "Internal WININET error (12004)");
  EXPECT_EQ(ThrownMessage(control, ERROR_INTERNET_NAME_NOT_RESOLVED),
            "Unable to resolve host name 'files.example.com' (12007)");
  EXPECT_EQ(ThrownMessage(control, ERROR_INTERNET_INCORRECT_USER_NAME),
            "Bad user name: 'lucinda' connecting to files.example.com (12013)");
  EXPECT_EQ(ThrownMessage(control, ERROR_INTERNET_INCORRECT_PASSWORD),
            "Bad password connecting to files.example.com (12014)");
  EXPECT_EQ(ThrownMessage(control, ERROR_INTERNET_LOGIN_FAILURE), "Unable to connect to files.example.com (12015)");
  EXPECT_EQ(ThrownMessage(control, ERROR_INTERNET_CANNOT_CONNECT), "Unable to connect to files.example.com (12029)");
  EXPECT_EQ(ThrownMessage(control, ERROR_ACCESS_DENIED), "General Connection Error to files.example.com (5)");
  try {
    control.HandleConnectError(ERROR_INTERNET_CANNOT_CONNECT);
  } catch (const EWinInetError& e) {
    EXPECT_EQ(e.Code(), static_cast<unsigned long>(ERROR_INTERNET_CANNOT_CONNECT));
  }

  control.DoStateChange(fsConnected);
  control.SilentExceptions = true;
  EXPECT_NO_THROW(control.HandleConnectError(ERROR_INTERNET_LOGIN_FAILURE));
  EXPECT_EQ(control.GetState(), fsNoconnection);
}

TEST(WinInetControl, DisconnectReportsOnceAndNothingDuringDestruction) {
  EventLog log;
  {
    TBareControl control;
    log.Attach(control);
    control.Connect();
    control.DoStateChange(fsConnected);
    log.States.clear();

    EXPECT_TRUE(control.Disconnect());
    EXPECT_EQ(control.GetInternetHandle(), nullptr);
    EXPECT_EQ(log.States, std::vector<TWinInetState>{fsNoconnection});
    EXPECT_EQ(log.Disconnects, 1);

    EXPECT_TRUE(control.Disconnect()) << "a second disconnect";
    EXPECT_EQ(log.States.size(), 1u);
    EXPECT_EQ(log.Disconnects, 1);

    // Destroyed while connected: the handle closes, no event fires.
    control.Connect();
    control.DoStateChange(fsConnected);
    log.States.clear();
  }
  EXPECT_TRUE(log.States.empty());
  EXPECT_EQ(log.Disconnects, 1);

  EventLog httpLog;
  {
    TSimpleHTTP http;
    http.HostName = "127.0.0.1";
    httpLog.Attach(http);
    http.Connect();
    ASSERT_NE(http.GetConnectHandle(), nullptr);
    http.DoStateChange(fsConnected);
    httpLog.States.clear();
  }
  EXPECT_TRUE(httpLog.States.empty());
  EXPECT_EQ(httpLog.Disconnects, 0);
}

TEST(WinInetControl, DisconnectThatRaisesInsideReturnsFalse) {
  TSimpleHTTP http;
  http.HostName = "127.0.0.1";
  http.Connect();
  http.DoStateChange(fsConnected);
  http.OnDisconnected = [](TWinInetControl*) { throw net::Exception("handler failed"); };
  EXPECT_FALSE(http.Disconnect());
  EXPECT_EQ(http.GetInternetHandle(), nullptr);
  EXPECT_EQ(http.GetConnectHandle(), nullptr);
}

TEST(WinInetControl, AbortClosesEveryHandleFromItsOwnThread) {
  TSimpleHTTP http;
  http.HostName = "127.0.0.1";
  DWORD callerThread = GetCurrentThreadId();
  DWORD disconnectThread = 0;
  http.OnDisconnected = [&](TWinInetControl*) { disconnectThread = GetCurrentThreadId(); };

  auto started = std::chrono::steady_clock::now();
  http.Abort();  // no handle at all: returns once the abort thread ran
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));

  http.Connect();
  http.DoStateChange(fsConnected);
  ASSERT_NE(http.GetInternetHandle(), nullptr);
  http.Abort();
  EXPECT_EQ(http.GetInternetHandle(), nullptr);
  EXPECT_EQ(http.GetConnectHandle(), nullptr);
  EXPECT_EQ(http.GetState(), fsNoconnection);
  EXPECT_NE(disconnectThread, 0u);
  EXPECT_NE(disconnectThread, callerThread);

  // Without memory for its thread the abort closes the handles itself, and
  // throws nothing: it runs in the worker's destructor.
  http.Connect();
  ASSERT_NE(http.GetInternetHandle(), nullptr);
  {
    testing_support::FailingAllocations none;
    EXPECT_NO_THROW(http.Abort());
  }
  EXPECT_EQ(http.GetInternetHandle(), nullptr);
}

TEST(WinInetControl, WithoutAServerResponseTheCodeDescribesTheError) {
  TBareControl control;
  EXPECT_EQ(control.GetLastErrorString(), "No error description available");
  EXPECT_EQ(control.GetLastErrorString(ERROR_INTERNET_CONNECTION_RESET),
            net::ErrorDescription(ERROR_INTERNET_CONNECTION_RESET));
  EXPECT_EQ(control.GetLastErrorString(12999), "No error description available") << "a code nobody knows";
}

// Wine has no texts for the WinINet codes, Windows keeps them in wininet.dll:
// ours stand in only where the system has none.
TEST(ErrorTexts, TheCommonWinInetCodesSayWhatHappenedAndKeepTheirCode) {
  // The programs import WinINet late: by the time a code is described, the
  // call that failed with it has loaded the library.
  HMODULE wininet = LoadLibraryExA("wininet.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  ASSERT_NE(wininet, nullptr);
  const struct {
    DWORD Code;
    const char* Ours;
  } cases[] = {
      {ERROR_INTERNET_NAME_NOT_RESOLVED, "The server name could not be resolved"},
      {ERROR_INTERNET_CANNOT_CONNECT, "Cannot connect to the server"},
      {ERROR_INTERNET_TIMEOUT, "The server did not answer in time"},
      {ERROR_INTERNET_CONNECTION_RESET, "The connection was reset"},
      {ERROR_INTERNET_CONNECTION_ABORTED, "The connection was aborted"},
      {ERROR_INTERNET_INVALID_CA, "The server's certificate is not trusted"},
      {ERROR_INTERNET_SEC_CERT_CN_INVALID, "The server's certificate was issued for another name"},
      {ERROR_INTERNET_SEC_CERT_DATE_INVALID, "The server's certificate has expired or is not yet valid"},
      {ERROR_INTERNET_SEC_CERT_REVOKED, "The server's certificate has been revoked"},
      {ERROR_INTERNET_SEC_INVALID_CERT, "The server's certificate is not valid"},
      {ERROR_INTERNET_SECURITY_CHANNEL_ERROR, "A secure connection to the server could not be made"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Code);
    char system[512];
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
                       wininet, c.Code, 0, system, sizeof system, nullptr);
    const std::string text = net::ErrorCodeText(c.Code);
    const std::string code = " (" + std::to_string(c.Code) + ")";
    ASSERT_GT(text.size(), code.size());
    EXPECT_EQ(text.substr(text.size() - code.size()), code);
    if (length == 0) {
      EXPECT_EQ(text, c.Ours + code);
    } else {
      EXPECT_EQ(std::string(system).rfind(text.substr(0, text.size() - code.size()), 0), 0u) << "the system's text";
    }
  }
  EXPECT_EQ(net::ErrorCodeText(12999), "Error 12999");
  EXPECT_EQ(net::ErrorCodeText(ERROR_FILE_NOT_FOUND).back(), ')') << "system codes keep the system's text";
}
