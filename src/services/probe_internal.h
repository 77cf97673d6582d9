#pragma once
// The platform steps of probing, one back end each.
#include <cstdint>
#include <string>
#include <vector>

// A name's IPv4 addresses in the resolver's order, network byte order; false when it fails.
bool ResolveIPv4(const std::string& name, std::vector<std::uint32_t>& addresses, std::wstring& cause);

// inet_addr's reading of a dotted address; false when it does not parse or is 255.255.255.255.
bool ParseIPv4(const std::string& text, std::uint32_t& address);

