// The texts of the Internet transport (the connection component and the HTTP
// requests), kept in one table under their string-table ids so that a
// translation replaces them in one place; the agent name it sends; and its
// exception type. The transport knows nothing of the forms above it.
#pragma once

#include <cstdio>
#include <stdexcept>
#include <string>

namespace net {

// A failure of the transport, its text meant for the user, with the WinINet
// or system error code behind it (0 when there was none).
class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& text, unsigned long code = 0) : std::runtime_error(text), Code_(code) {}
  std::string Message() const { return what(); }
  unsigned long Code() const { return Code_; }

 private:
  unsigned long Code_;
};

// What a WinINet or system error code means, for the user: the system's own
// text when it has one (Windows keeps WinINet's in wininet.dll; Wine has
// none), else ours for the common codes; empty when neither knows the code.
std::string ErrorDescription(unsigned long code);
// The description with the code behind it, "The server's certificate is not
// trusted (12045)", or "Error 12345" for a code without a description.
std::string ErrorCodeText(unsigned long code);

// The agent name every Internet session opens with: the program's title,
// "Drearigrams Screensaver", unless a program sets another before its first
// connection.
std::string AgentText();
void SetAgentText(const std::string& text);

enum TextId : int {
  SConnectTimedOut = 65504,
  SNoErrorDescription = 65506,
  SSendRequestFailed = 65507,
  SHeaderQueryFailed = 65508,
  SCrackUrlFailed = 65509,
  SReadUrlFailed = 65510,
  SAddHeadersFailed = 65511,
  SStateDisconnecting = 65521,
  SStateNoConnection = 65522,
  SStateConnecting = 65523,
  SStateConnected = 65524,
  SStateResolving = 65525,
  SStateResolved = 65526,
  SStateUnknown = 65527,
  SGeneralConnectError = 65528,
  SBadUserName = 65530,
  SBadPassword = 65531,
  SUnableToConnect = 65532,
  SNameNotResolved = 65534,
  SInternalError = 65535,
};

// The text of an id; empty for an id that has none.
const char* LoadText(int id);

// The text of id with printf-style arguments (%s takes a const char*, %d an int).
template <typename... Args>
std::string FormatText(int id, Args... args) {
  const char* format = LoadText(id);
  if constexpr (sizeof...(Args) == 0) {
    return format;
  } else {
    int length = std::snprintf(nullptr, 0, format, args...);
    if (length <= 0) return std::string();
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::snprintf(text.data(), text.size(), format, args...);
    text.resize(static_cast<size_t>(length));
    return text;
  }
}

}  // namespace net
