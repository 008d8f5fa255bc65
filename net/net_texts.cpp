#include "net/net_texts.h"

#include <windows.h>
#include <wininet.h>

#include <mutex>

namespace net {

namespace {

std::mutex AgentLock;
std::string& Agent() {
  static std::string agent = "Drearigrams Screensaver";
  return agent;
}

}  // namespace

std::string AgentText() {
  std::lock_guard<std::mutex> hold(AgentLock);
  return Agent();
}

void SetAgentText(const std::string& text) {
  std::lock_guard<std::mutex> hold(AgentLock);
  Agent() = text;
}

namespace {

struct TextEntry {
  int Id;
  const char* Text;
};

const TextEntry kTexts[] = {
    {SConnectTimedOut, "Connection to %s timed out"},
    {SNoErrorDescription, "No error description available"},
    {SSendRequestFailed, "Unable to send request to %s: %s"},
    {SHeaderQueryFailed, "Error %d (%s) querying HTTP response header"},
    {SCrackUrlFailed, "Error %d (%s) cracking URL %s"},
    {SReadUrlFailed, "Error %d (%s) reading URL %s"},
    {SAddHeadersFailed, "Error %d (%s) adding post headers"},
    {SStateDisconnecting, "Disconnecting from %s"},
    {SStateNoConnection, "No connection"},
    {SStateConnecting, "Connecting to %s"},
    {SStateConnected, "Connected to %s"},
    {SStateResolving, "Resolving name %s"},
    {SStateResolved, "Resolved name %s"},
    {SStateUnknown, "Unknown state!  Contact support ..."},
    {SGeneralConnectError, "General Connection Error to %s"},
    {SBadUserName, "Bad user name: '%s' connecting to %s"},
    {SBadPassword, "Bad password connecting to %s"},
    {SUnableToConnect, "Unable to connect to %s"},
    {SNameNotResolved, "Unable to resolve host name '%s'"},
    {SInternalError, "Internal WININET error"},
};

}  // namespace

const char* LoadText(int id) {
  for (const TextEntry& entry : kTexts) {
    if (entry.Id == id) return entry.Text;
  }
  return "";
}

namespace {

// The codes a download meets in practice, said the way a user can act on.
// The system's own text wins where it has one.
const TextEntry kErrorTexts[] = {
    {ERROR_INTERNET_TIMEOUT, "The server did not answer in time"},
    {ERROR_INTERNET_INTERNAL_ERROR, "An internal error occurred in the Internet functions"},
    {ERROR_INTERNET_INVALID_URL, "The address is not valid"},
    {ERROR_INTERNET_UNRECOGNIZED_SCHEME, "The address names an unsupported protocol"},
    {ERROR_INTERNET_NAME_NOT_RESOLVED, "The server name could not be resolved"},
    {ERROR_INTERNET_OPERATION_CANCELLED, "The operation was cancelled"},
    {ERROR_INTERNET_CANNOT_CONNECT, "Cannot connect to the server"},
    {ERROR_INTERNET_CONNECTION_ABORTED, "The connection was aborted"},
    {ERROR_INTERNET_CONNECTION_RESET, "The connection was reset"},
    {ERROR_INTERNET_SEC_CERT_DATE_INVALID, "The server's certificate has expired or is not yet valid"},
    {ERROR_INTERNET_SEC_CERT_CN_INVALID, "The server's certificate was issued for another name"},
    {ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED, "The server asks for a client certificate"},
    {ERROR_INTERNET_INVALID_CA, "The server's certificate is not trusted"},
    {ERROR_INTERNET_SEC_CERT_ERRORS, "The server's certificate has errors"},
    {ERROR_INTERNET_SEC_CERT_NO_REV, "The server's certificate could not be checked for revocation"},
    {ERROR_INTERNET_SEC_CERT_REV_FAILED, "The server's certificate could not be checked for revocation"},
    {ERROR_INTERNET_SEC_INVALID_CERT, "The server's certificate is not valid"},
    {ERROR_INTERNET_SEC_CERT_REVOKED, "The server's certificate has been revoked"},
    {ERROR_INTERNET_SECURITY_CHANNEL_ERROR, "A secure connection to the server could not be made"},
    {ERROR_HTTP_INVALID_SERVER_RESPONSE, "The server's answer could not be understood"},
    {ERROR_HTTP_REDIRECT_FAILED, "The server's redirection could not be followed"},
    {ERROR_INTERNET_DISCONNECTED, "The computer is not connected to the Internet"},
    {ERROR_INTERNET_SERVER_UNREACHABLE, "The server cannot be reached"},
    {ERROR_INTERNET_PROXY_SERVER_UNREACHABLE, "The proxy server cannot be reached"},
    // Wine's WinINet passes some socket codes on as they are.
    {10053, "The connection was aborted"},             // WSAECONNABORTED
    {10054, "The connection was reset"},               // WSAECONNRESET
    {10060, "The server did not answer in time"},      // WSAETIMEDOUT
    {10061, "The server refused the connection"},      // WSAECONNREFUSED
};

// One line, without the blanks, line breaks and full stop the system ends with.
std::string SystemText(unsigned long code) {
  const bool inet = code >= INTERNET_ERROR_BASE && code < INTERNET_ERROR_BASE + 1000;
  HMODULE module = inet ? GetModuleHandleA("wininet.dll") : nullptr;
  if (inet && module == nullptr) return std::string();
  char buffer[512];
  const DWORD flags = (inet ? FORMAT_MESSAGE_FROM_HMODULE : FORMAT_MESSAGE_FROM_SYSTEM) |
                      FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK;
  DWORD length = FormatMessageA(flags, module, code, 0, buffer, sizeof buffer, nullptr);
  if (length >= sizeof buffer) length = sizeof buffer - 1;
  std::string text(buffer, length);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\r' || text.back() == '\n' || text.back() == '.')) {
    text.pop_back();
  }
  return text;
}

}  // namespace

std::string ErrorDescription(unsigned long code) {
  if (code == 0) return std::string();
  std::string text = SystemText(code);
  if (!text.empty()) return text;
  for (const TextEntry& entry : kErrorTexts) {
    if (static_cast<unsigned long>(entry.Id) == code) return entry.Text;
  }
  return std::string();
}

std::string ErrorCodeText(unsigned long code) {
  const std::string description = ErrorDescription(code);
  if (description.empty()) return "Error " + std::to_string(code);
  return description + " (" + std::to_string(code) + ")";
}

}  // namespace net
