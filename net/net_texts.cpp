#include "net/net_texts.h"

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
    {SSendRequestFailed, "Unable to send request to %s (%s)"},
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

}  // namespace net
