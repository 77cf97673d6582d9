#include "services/proxy.h"

#include <cctype>
#include <mutex>
#include <vector>

#include "services/probe.h"
#include "services/text.h"

namespace {

std::mutex settingLock;
std::wstring setting;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

void SetProxySetting(const std::wstring& value) {
  std::lock_guard<std::mutex> guard(settingLock);
  setting = value;
}

std::wstring GetProxySetting() {
  std::lock_guard<std::mutex> guard(settingLock);
  return setting;
}

bool ChosenProxy(std::wstring& proxy) {
  const std::wstring chosen = GetProxySetting();
  proxy = EqualNoCase(chosen, L"none") ? L"" : Latin1ToWide(ProxyUrl(WideToUtf8(chosen)));
  return !chosen.empty();
}

bool ExemptFromProxy(const std::string& name, const std::string& noProxy) {
  const std::string host = Lower(name);
  std::string entry;
  for (std::size_t i = 0; i <= noProxy.size(); ++i) {
    const char c = i < noProxy.size() ? noProxy[i] : ',';
    if (c != ',' && c != ' ' && c != '\t') {
      entry += c;
      continue;
    }
    if (entry == "*") return true;
    std::string domain = Lower(entry);
    entry.clear();
    if (!domain.empty() && domain[0] == '.') domain.erase(0, 1);
    if (domain.empty()) continue;
    if (host == domain) return true;
    if (host.size() > domain.size() && host.compare(host.size() - domain.size(), domain.size(), domain) == 0 &&
        host[host.size() - domain.size() - 1] == '.') {
      return true;
    }
  }
  return false;
}

namespace {

// The words of a list separated by ";" or blanks.
std::vector<std::string> ListWords(const std::string& list) {
  std::vector<std::string> words;
  std::string word;
  for (std::size_t i = 0; i <= list.size(); ++i) {
    const char c = i < list.size() ? list[i] : ';';
    if (c == ';' || c == ' ' || c == '\t') {
      if (!word.empty()) words.push_back(word);
      word.clear();
    } else {
      word += c;
    }
  }
  return words;
}

bool WildcardMatch(const char* pattern, const char* text) {
  if (*pattern == '\0') return *text == '\0';
  if (*pattern == '*') return WildcardMatch(pattern + 1, text) || (*text != '\0' && WildcardMatch(pattern, text + 1));
  return *text != '\0' && *pattern == *text && WildcardMatch(pattern + 1, text + 1);
}

}  // namespace

std::string ProxyFromList(const std::string& list, const std::string& scheme) {
  std::string forAll;
  for (const std::string& word : ListWords(list)) {
    const std::size_t equals = word.find('=');
    if (equals == std::string::npos) {
      if (forAll.empty()) forAll = word;
    } else if (Lower(word.substr(0, equals)) == scheme) {
      return ProxyUrl(word.substr(equals + 1));
    }
  }
  return ProxyUrl(forAll);
}

bool ExemptByBypassList(const std::string& name, const std::string& bypass) {
  const std::string host = Lower(name);
  for (const std::string& word : ListWords(bypass)) {
    if (Lower(word) == "<local>") {
      if (host.find('.') == std::string::npos) return true;
    } else if (WildcardMatch(Lower(word).c_str(), host.c_str())) {
      return true;
    }
  }
  return false;
}

std::wstring ShownProxy(const std::wstring& proxy) {
  const std::size_t scheme = proxy.find(L"://");
  const std::size_t start = scheme == std::wstring::npos ? 0 : scheme + 3;
  const std::size_t at = proxy.rfind(L'@');
  if (at == std::wstring::npos || at < start) return proxy;
  const std::size_t colon = proxy.find(L':', start);
  if (colon == std::wstring::npos || colon > at) return proxy;
  return proxy.substr(0, colon + 1) + L"***" + proxy.substr(at);
}

std::string ProxyUrl(const std::string& proxy) {
  if (proxy.empty() || proxy.find("://") != std::string::npos) return proxy;
  return "http://" + proxy;
}

std::string ProxyFromEnvironment(const std::string& scheme, const std::string& name,
                                 const char* (*get)(const char*)) {
  auto variable = [&](const char* key) {
    const char* value = get(key);
    return value == nullptr ? std::string() : std::string(value);
  };
  std::string noProxy = variable("no_proxy");
  if (noProxy.empty()) noProxy = variable("NO_PROXY");
  if (ExemptFromProxy(name, noProxy)) return "";
  // As curl reads them: http_proxy only in lower case (a CGI program's HTTP_PROXY comes from a
  // request header), the others in either case.
  std::string proxy = scheme == "https" ? variable("https_proxy") : variable("http_proxy");
  if (proxy.empty() && scheme == "https") proxy = variable("HTTPS_PROXY");
  if (proxy.empty()) proxy = variable("all_proxy");
  if (proxy.empty()) proxy = variable("ALL_PROXY");
  return ProxyUrl(proxy);
}
