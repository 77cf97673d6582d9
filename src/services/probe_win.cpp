#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <wininet.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "services/platform.h"
#include "services/probe.h"
#include "services/probe_internal.h"
#include "services/proxy.h"
#include "services/text.h"
#include "services/win_handle.h"

namespace {


// The socket layer is started once, before the first resolution, and cleaned up when the process
// ends: the probe is its only user.
void StartSockets() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) == 0) std::atexit([] { WSACleanup(); });
  });
}

}  // namespace

bool ResolveIPv4(const std::string& name, std::vector<std::uint32_t>& addresses, std::wstring& cause) {
  addresses.clear();
  StartSockets();
  hostent* found = gethostbyname(name.c_str());
  if (found == nullptr || found->h_addrtype != AF_INET) {
    cause = LastSystemErrorText();
    return false;
  }
  for (char** a = found->h_addr_list; *a != nullptr; ++a) {
    addresses.push_back(reinterpret_cast<in_addr*>(*a)->s_addr);
  }
  return !addresses.empty();
}

bool ParseIPv4(const std::string& text, std::uint32_t& address) {
  StartSockets();
  address = inet_addr(text.c_str());
  return address != INADDR_NONE;
}

bool CheckInternetConnection(const std::wstring& host) {
  // Through a proxy, the proxy is what must answer: the host may be out of direct reach.
  const std::wstring proxy = ProxyFor(HostRootUrl(host));
  const std::wstring url = HostRootUrl(proxy.empty() ? host : proxy);
  return !url.empty() && InternetCheckConnectionW(url.c_str(), FLAG_ICC_FORCE_CONNECTION, 0) != FALSE;
}
