#include <windows.h>
#include <wininet.h>

#include <vector>

#include "services/probe.h"
#include "services/proxy.h"
#include "services/proxy_auto_win.h"
#include "services/text.h"

// The system's settings are what a WinINet session opened with INTERNET_OPEN_TYPE_PRECONFIG
// reads (the Internet Settings of the user): a fixed proxy with its bypass list, else what the
// automatic configuration (a PAC script, auto-detection) names for the URL.
std::wstring ProxyFor(const std::wstring& url) {
  std::wstring chosen;
  if (ChosenProxy(chosen)) return chosen;
  std::string name, port;
  if (!SplitHost(url, name, port)) return L"";
  HINTERNET session = InternetOpenW(nullptr, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  if (session == nullptr) return L"";
  // Asked in ANSI: the structure's texts are plain host names and ports.
  DWORD size = 0;
  InternetQueryOptionA(session, INTERNET_OPTION_PROXY, nullptr, &size);
  std::vector<unsigned char> buffer(size > sizeof(INTERNET_PROXY_INFO) ? size : sizeof(INTERNET_PROXY_INFO) + 1024);
  size = static_cast<DWORD>(buffer.size());
  std::string proxy;
  bool fixedProxy = false;
  if (InternetQueryOptionA(session, INTERNET_OPTION_PROXY, buffer.data(), &size)) {
    const auto* info = reinterpret_cast<const INTERNET_PROXY_INFO*>(buffer.data());
    fixedProxy = info->dwAccessType == INTERNET_OPEN_TYPE_PROXY;
    const auto* list = reinterpret_cast<const char*>(info->lpszProxy);
    const auto* bypass = reinterpret_cast<const char*>(info->lpszProxyBypass);
    if (fixedProxy && list != nullptr &&
        !ExemptByBypassList(name, bypass != nullptr ? bypass : "")) {
      proxy = ProxyFromList(list, IsSecureHostText(url) ? "https" : "http");
    }
  }
  InternetCloseHandle(session);
  if (fixedProxy) return Latin1ToWide(proxy);
  return AutoConfiguredProxyFor(url);
}
