#include "services/proxy_auto_win.h"

#include <windows.h>
#include <winhttp.h>

#include <map>
#include <mutex>

#include "services/probe.h"
#include "services/proxy.h"
#include "services/text.h"

namespace {

// Frees what WinHTTP allocated for a configuration.
struct IeProxyConfig : WINHTTP_CURRENT_USER_IE_PROXY_CONFIG {
  IeProxyConfig() : WINHTTP_CURRENT_USER_IE_PROXY_CONFIG{} {}
  ~IeProxyConfig() {
    for (LPWSTR text : {lpszAutoConfigUrl, lpszProxy, lpszProxyBypass}) {
      if (text != nullptr) GlobalFree(text);
    }
  }
};

std::wstring RunConfiguration(const std::wstring& url) {
  IeProxyConfig config;
  if (!WinHttpGetIEProxyConfigForCurrentUser(&config)) return L"";
  if (!config.fAutoDetect && config.lpszAutoConfigUrl == nullptr) return L"";
  WINHTTP_AUTOPROXY_OPTIONS options{};
  if (config.lpszAutoConfigUrl != nullptr) {
    options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
    options.lpszAutoConfigUrl = config.lpszAutoConfigUrl;
  } else {
    options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
    options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
  }
  options.fAutoLogonIfChallenged = TRUE;
  HINTERNET session = WinHttpOpen(L"zepo", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                  WINHTTP_NO_PROXY_BYPASS, 0);
  if (session == nullptr) return L"";
  WINHTTP_PROXY_INFO info{};
  std::wstring proxy;
  if (WinHttpGetProxyForUrl(session, url.c_str(), &options, &info)) {
    if (info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && info.lpszProxy != nullptr) {
      // A script may name several proxies ("a:1; b:2"); the first is taken, as WinINet would.
      proxy = Latin1ToWide(ProxyFromList(WideToUtf8(info.lpszProxy), IsSecureHostText(url) ? "https" : "http"));
    }
    if (info.lpszProxy != nullptr) GlobalFree(info.lpszProxy);
    if (info.lpszProxyBypass != nullptr) GlobalFree(info.lpszProxyBypass);
  }
  WinHttpCloseHandle(session);
  return proxy;
}

}  // namespace

std::wstring AutoConfiguredProxyFor(const std::wstring& url) {
  std::string name, port;
  if (!SplitHost(url, name, port)) return L"";
  const std::wstring key = (IsSecureHostText(url) ? L"https://" : L"http://") + Latin1ToWide(name) +
                           (port.empty() ? L"" : L":" + Latin1ToWide(port));
  static std::mutex lock;
  static std::map<std::wstring, std::wstring> answers;
  std::lock_guard<std::mutex> guard(lock);
  const auto known = answers.find(key);
  if (known != answers.end()) return known->second;
  return answers[key] = RunConfiguration(key + L"/");
}
