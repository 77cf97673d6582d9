#include "services/probe.h"

#include <algorithm>
#include <ctime>
#include <random>

#include "services/http.h"
#include "services/probe_internal.h"
#include "services/text.h"

namespace {

constexpr std::size_t HOST_TEXT_MAX = 259;

bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Where a host text's authority begins: after "scheme://" (or a leading "//"), when that is its
// first slash; a "//" further on is the path's.
template <typename Text>
std::size_t AuthorityStart(const Text& text) {
  const std::size_t slashes = text.find(typename Text::value_type('/'));
  return slashes != Text::npos && slashes + 1 < text.size() && text[slashes + 1] == '/' ? slashes + 2 : 0;
}

}  // namespace

bool SplitHost(const std::wstring& host, std::string& name, std::string& port) {
  name.clear();
  port.clear();
  std::string text = WideToUtf8(host.substr(0, HOST_TEXT_MAX));
  text = text.substr(AuthorityStart(text));
  text = text.substr(0, text.find('/'));
  std::size_t colon = text.rfind(':');
  if (colon != std::string::npos) {
    port = text.substr(colon + 1);
    text.resize(colon);
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return false;
    long value = std::stol(port);
    if (value < 1 || value > 65535) return false;
    port = std::to_string(value);
  }
  name = text;
  return !name.empty();
}

bool IsSecureHostText(const std::wstring& host) {
  return host.size() > 8 && EqualNoCase(host.substr(0, 8), L"https://");
}

std::wstring HostAuthority(const std::wstring& host) {
  std::string name, port;
  std::wstring wideName;
  if (!SplitHost(host, name, port) || !Utf8ToWide(name, wideName)) return L"";
  return wideName + (port.empty() ? L"" : L":" + Latin1ToWide(port));
}

std::wstring HostPath(const std::wstring& host) {
  std::wstring text = host.substr(0, HOST_TEXT_MAX);
  text = text.substr(AuthorityStart(text));
  const std::size_t slash = text.find(L'/');
  if (slash == std::wstring::npos) return L"/";
  std::wstring path = text.substr(slash);
  if (path.back() != L'/') path += L'/';
  if (path.find_first_of(L"?#%\\ \t") != std::wstring::npos || path.find(L"//") != std::wstring::npos) return L"";
  for (std::size_t at = 0; (at = path.find(L"/.", at)) != std::wstring::npos; ++at) {
    if (path.compare(at, 3, L"/./") == 0 || path.compare(at, 4, L"/../") == 0) return L"";
  }
  return path;
}

std::wstring HostRootUrl(const std::wstring& host) {
  const std::wstring authority = HostAuthority(host);
  if (authority.empty()) return L"";
  return std::wstring(IsSecureHostText(host) ? L"https://" : L"http://") + authority + L"/";
}

std::string DottedAddress(std::uint32_t address) {
  const auto* b = reinterpret_cast<const unsigned char*>(&address);
  return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." + std::to_string(b[3]);
}

void KeepFirstOfEach(std::vector<std::uint32_t>& addresses) {
  std::vector<std::uint32_t> kept;
  for (std::uint32_t address : addresses) {
    if (std::find(kept.begin(), kept.end(), address) == kept.end()) kept.push_back(address);
  }
  addresses.swap(kept);
}

void ShuffleAddresses(std::vector<std::uint32_t>& addresses, std::uint32_t seed) {
  std::minstd_rand random(seed);
  std::vector<std::uint32_t> unplaced = addresses;
  addresses.clear();
  for (std::size_t r = unplaced.size(); r > 0; --r) {
    std::size_t j = random() % r;
    addresses.push_back(unplaced[j]);
    unplaced[j] = unplaced[r - 1];
  }
}

std::wstring ProbeServers(const std::wstring& host, std::vector<std::wstring>& addresses) {
  addresses.clear();
  std::string name;
  std::string port;
  if (!SplitHost(host, name, port)) return L"not [http://|https://]HOST[:PORT][/PATH/] with a port from 1 to 65535";
  // A name that the Host header cannot carry is refused, never sent without the header.
  if (host.size() > HOST_NAME_MAX_CHARS) return L"longer than a Host header may carry";
  std::vector<std::uint32_t> found;
  if (IsLetter(name[0])) {
    std::wstring cause;
    if (!ResolveIPv4(name, found, cause)) return L"the resolver found no IPv4 address: " + cause;
    KeepFirstOfEach(found);
    if (found.size() > PROBE_MAX_ADDRESSES) found.resize(PROBE_MAX_ADDRESSES);
  } else {
    std::uint32_t address = 0;
    if (!ParseIPv4(name, address)) return L"not a dotted IPv4 address";
    found.push_back(address);
  }
  if (found.empty()) return L"no address";
  // Clients spread over the addresses: each starts at a random one.
  if (found.size() >= 2) ShuffleAddresses(found, static_cast<std::uint32_t>(std::time(nullptr)));
  for (std::uint32_t address : found) {
    std::string text = DottedAddress(address);
    if (!port.empty()) text += ":" + port;
    addresses.push_back(Latin1ToWide(text));
  }
  return L"";
}
