#include <cstdlib>

#include "services/probe.h"
#include "services/proxy.h"
#include "services/text.h"

std::wstring ProxyFor(const std::wstring& url) {
  std::wstring proxy;
  if (ChosenProxy(proxy)) return proxy;
  std::string name, port;
  if (!SplitHost(url, name, port)) return L"";
  return Latin1ToWide(ProxyFromEnvironment(IsSecureHostText(url) ? "https" : "http", name,
                                           [](const char* key) -> const char* { return std::getenv(key); }));
}
