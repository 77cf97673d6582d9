#pragma once
// Server probing: the patch-server host becomes the ordered list of IPv4 addresses that the
// connection tries one after the other, and a yes/no test of internet access.
//
// A host may be a name or a dotted address, with a scheme and a path ("http://name/path" probes
// "name"), and with a port ("name:8080"). With a port, every address of the list carries it
// ("10.0.0.1:8080"), so that "http://" + address + "/" reaches the server on that port.
#include <cstdint>
#include <string>
#include <vector>

// Fills addresses (emptied first) in the order in which they are to be tried: at random. Empty when the host cannot be resolved or parsed, or is too
// long for the Host header; the answer then says why ("not HOST[:PORT]", the resolver's text).
std::wstring ProbeServers(const std::wstring& host, std::vector<std::wstring>& addresses);

// Whether a connection to the host's web server (HostRootUrl) can be made.
bool CheckInternetConnection(const std::wstring& host);

// The root URL of a host text, scheme and port kept: "https://name:8443/x" gives
// "https://name:8443/", "name" gives "http://name/".
std::wstring HostRootUrl(const std::wstring& host);
// The authority of a host text: "https://name:8443/x" gives "name:8443", "name" gives "name";
// empty when it is not HOST[:PORT].
std::wstring HostAuthority(const std::wstring& host);
// The path a host text names the tree at, "/" to "/": "https://cdn.example/velora/" and
// "cdn.example/velora" give "/velora/", "name:81" gives "/". Empty when the path holds what no
// tree's path may (a ".." or "." step, a "?", "#", "%", "\\" or blank): one host may serve
// several trees, each under its own path.
std::wstring HostPath(const std::wstring& host);
// Whether a host text asks for HTTPS ("https://name[:port]").
bool IsSecureHostText(const std::wstring& host);

// The pure steps of probing, for their tests.

// The host part and port of a host text: "http://name:81/x" gives "name" and "81".
// False when there is no host part or the port is not a number from 1 to 65535.
bool SplitHost(const std::wstring& host, std::string& name, std::string& port);

// Addresses in network byte order.
std::string DottedAddress(std::uint32_t address);


// The resolver may name one address twice (a hosts file with "localhost" on two lines): each is
// kept once, where it first came.
void KeepFirstOfEach(std::vector<std::uint32_t>& addresses);

// A random order: pick one of the unplaced addresses, place it next, and let the last unplaced
// address take its slot.
void ShuffleAddresses(std::vector<std::uint32_t>& addresses, std::uint32_t seed);

constexpr std::size_t PROBE_MAX_ADDRESSES = 16;
