#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <icmpapi.h>
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

constexpr int ECHO_PASSES = 3;
constexpr DWORD ECHO_TIMEOUT_MS = 5000;
constexpr DWORD REPLY_BUFFER = 256;
constexpr DWORD STATUS_TIMED_OUT = 11010;

// The socket layer is started once, before the first resolution, and cleaned up when the process
// ends: the probe is its only user.
void StartSockets() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) == 0) std::atexit([] { WSACleanup(); });
  });
}

struct IcmpTraits {
  using Handle = HANDLE;
  static Handle Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Handle h) { IcmpCloseHandle(h); }
};

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

bool EchoTimes(const std::vector<std::uint32_t>& addresses, std::vector<std::uint32_t>& times) {
  UniqueWinHandle<IcmpTraits> icmp(IcmpCreateFile());
  if (!icmp.valid()) return false;
  const std::size_t n = addresses.size();
  times.assign(n, ECHO_NO_ANSWER_MS);
  std::vector<UniqueKernelHandle> events(n);
  std::vector<std::vector<unsigned char>> replies(n, std::vector<unsigned char>(REPLY_BUFFER));
  char payload[32];
  std::memset(payload, 'a', sizeof payload);
  for (int pass = 0; pass < ECHO_PASSES; ++pass) {
    std::vector<HANDLE> waiting;
    std::vector<std::size_t> sent;
    for (std::size_t i = 0; i < n; ++i) {
      if (times[i] != ECHO_NO_ANSWER_MS) continue;
      // A fresh event each pass: a late answer of the last pass must not count for this one.
      events[i].reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
      auto* reply = reinterpret_cast<ICMP_ECHO_REPLY*>(replies[i].data());
      reply->Status = STATUS_TIMED_OUT;
      DWORD result = IcmpSendEcho2(icmp.get(), events[i].get(), nullptr, nullptr, addresses[i], payload,
                                   sizeof payload, nullptr, replies[i].data(), REPLY_BUFFER, ECHO_TIMEOUT_MS);
      if (result == 0 && GetLastError() != ERROR_IO_PENDING) continue;
      waiting.push_back(events[i].get());
      sent.push_back(i);
    }
    if (waiting.empty()) break;
    WaitForMultipleObjects(static_cast<DWORD>(waiting.size()), waiting.data(), TRUE, ECHO_TIMEOUT_MS);
    for (std::size_t i : sent) {
      auto* reply = reinterpret_cast<ICMP_ECHO_REPLY*>(replies[i].data());
      if (reply->Status == IP_SUCCESS) times[i] = reply->RoundTripTime;
    }
  }
  return true;
}

bool CheckInternetConnection(const std::wstring& host) {
  // Through a proxy, the proxy is what must answer: the host may be out of direct reach.
  const std::wstring proxy = ProxyFor(HostRootUrl(host));
  const std::wstring url = HostRootUrl(proxy.empty() ? host : proxy);
  return !url.empty() && InternetCheckConnectionW(url.c_str(), FLAG_ICC_FORCE_CONNECTION, 0) != FALSE;
}
