#include "services/probe.h"
#include "services/proxy.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "services/probe_internal.h"
#include "support/test_server.h"

TEST(SplitHost, TakesTheHostPartAndItsPort) {
  const std::tuple<const wchar_t*, bool, const char*, const char*> cases[] = {
      {L"patch.example.net", true, "patch.example.net", ""},
      {L"http://patch.example.net/some/path", true, "patch.example.net", ""},
      {L"patch.example.net:8080", true, "patch.example.net", "8080"},
      {L"http://127.0.0.1:81/x", true, "127.0.0.1", "81"},
      {L"127.0.0.1:080", true, "127.0.0.1", "80"},
      {L"name:0", false, "", ""},
      {L"name:65536", false, "", ""},
      {L"name:http", false, "", ""},
      {L"name:", false, "", ""},
      {L"http:///path", false, "", ""},
      {L"", false, "", ""},
  };
  for (const auto& [host, ok, name, port] : cases) {
    std::string gotName, gotPort;
    EXPECT_EQ(SplitHost(host, gotName, gotPort), ok) << host;
    if (ok) {
      EXPECT_EQ(gotName, name) << host;
      EXPECT_EQ(gotPort, port) << host;
    }
  }
}

TEST(ShuffleAddresses, GivesAPermutationThatDependsOnTheSeed) {
  std::vector<std::uint32_t> original(16);
  for (std::uint32_t i = 0; i < 16; ++i) original[i] = i;
  std::vector<std::uint32_t> a = original, b = original, c = original;
  ShuffleAddresses(a, 1);
  ShuffleAddresses(b, 1);
  ShuffleAddresses(c, 2);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  std::sort(a.begin(), a.end());
  EXPECT_EQ(a, original);
}

TEST(KeepFirstOfEach, DropsRepeatsAndKeepsTheResolversOrder) {
  std::vector<std::uint32_t> addresses = {7, 3, 7, 9, 3, 3};
  KeepFirstOfEach(addresses);
  EXPECT_EQ(addresses, (std::vector<std::uint32_t>{7, 3, 9}));
}

TEST(ProbeServers, DottedAddressesNamesSchemesAndPorts) {
  const std::pair<const wchar_t*, std::vector<std::wstring>> cases[] = {
      {L"10.1.2.3", {L"10.1.2.3"}},
      {L"http://127.0.0.1/some/path", {L"127.0.0.1"}},
      {L"127.0.0.1:8080", {L"127.0.0.1:8080"}},
      {L"localhost", {L"127.0.0.1"}},
      {L"localhost:81", {L"127.0.0.1:81"}},
      {L"1.2.3.4.5", {}},
      {L"255.255.255.255", {}},
      {L"300.1.1.1", {}},
  };
  for (const auto& [host, expected] : cases) {
    std::vector<std::wstring> addresses{L"stale"};
    ProbeServers(host, addresses);
    EXPECT_EQ(addresses, expected) << host;
  }
}

TEST(ProbeServers, RefusesNamesTooLongForTheHostHeader) {
  std::vector<std::wstring> addresses;
  ProbeServers(L"a" + std::wstring(250, L'b') + L".x", addresses);
  EXPECT_TRUE(addresses.empty());
}

TEST(CheckInternetConnection, TellsWhetherTheHostsWebServerCanBeReached) {
  const std::wstring server = TestServer::Address();
  ASSERT_FALSE(server.empty()) << "the test server is not running";
  EXPECT_TRUE(CheckInternetConnection(server));
  EXPECT_FALSE(CheckInternetConnection(L"127.0.0.1:1"));
  // A host given with its scheme, as an https patch host is: the connection is made to its port.
  EXPECT_TRUE(CheckInternetConnection(L"https://" + server));
  EXPECT_TRUE(CheckInternetConnection(L"http://" + server + L"/some/path"));
  EXPECT_FALSE(CheckInternetConnection(L"https://127.0.0.1:1"));
}

// Through a proxy the host may resolve nowhere: the proxy is what must answer.
TEST(CheckInternetConnection, ThroughAProxyTheProxyMustAnswer) {
  const std::wstring server = TestServer::Address();
  ASSERT_FALSE(server.empty()) << "the test server is not running";
  SetProxySetting(L"http://" + server);
  EXPECT_TRUE(CheckInternetConnection(L"patch.zepo.invalid:8080"));
  SetProxySetting(L"http://127.0.0.1:1");
  EXPECT_FALSE(CheckInternetConnection(server));
  SetProxySetting(L"");
}

TEST(HostRootUrl, KeepsTheSchemeAndPortOfTheHost) {
  EXPECT_EQ(HostRootUrl(L"patch.example.net"), L"http://patch.example.net/");
  EXPECT_EQ(HostRootUrl(L"patch.example.net:8080"), L"http://patch.example.net:8080/");
  EXPECT_EQ(HostRootUrl(L"https://patch.example.net"), L"https://patch.example.net/");
  EXPECT_EQ(HostRootUrl(L"HTTPS://patch.example.net:8443/x"), L"https://patch.example.net:8443/");
  EXPECT_EQ(HostRootUrl(L"http://10.0.0.1/path"), L"http://10.0.0.1/");
}

TEST(HostPath, TheTreesPathFromEveryFormOfHost) {
  EXPECT_EQ(HostPath(L"patch.example.net"), L"/");
  EXPECT_EQ(HostPath(L"patch.example.net:8080"), L"/");
  EXPECT_EQ(HostPath(L"http://patch.example.net:8080/"), L"/");
  EXPECT_EQ(HostPath(L"https://cdn.example/velora/"), L"/velora/");
  EXPECT_EQ(HostPath(L"cdn.example/games/velora"), L"/games/velora/");
  for (const wchar_t* refused : {L"cdn.example/../x/", L"cdn.example/a/./b", L"cdn.example/a?b", L"cdn.example/a%2e",
                                 L"cdn.example/a b/", L"cdn.example/a//b/"}) {
    EXPECT_EQ(HostPath(refused), L"") << WideToUtf8(refused);
  }
}
