#pragma once
// The proxy that Windows' automatic configuration names for a URL: a PAC script at the address
// the Internet Settings give, or the one that auto-detection (WPAD) finds. WinINet's own view of
// the settings (INTERNET_OPTION_PROXY) shows only a fixed proxy, and Wine's WinINet does not run
// PAC scripts, so the script is run here, through WinHTTP, and its proxy named to WinINet.
#include <string>

// "http://host:port", or empty when the configuration says DIRECT, has no script, or none is
// found. Asked once per scheme and host name in a process: auto-detection may take seconds.
std::wstring AutoConfiguredProxyFor(const std::wstring& url);
