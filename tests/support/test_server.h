#pragma once
// The loopback test server (tests/server), started for the whole test run by CTest. Its port is
// in a file whose path the build gives as ZEPO_TEST_SERVER_PORT_FILE; the files it serves lie
// under ZEPO_TEST_SERVER_ROOT.
#include <fstream>
#include <string>

#include "services/http.h"
#include "support/temp_folder.h"

class TestServer {
 public:
  // "127.0.0.1:PORT"; empty when the server is not running.
  static std::wstring Address() {
    std::ifstream in(ZEPO_TEST_SERVER_PORT_FILE);
    int port = 0;
    if (!(in >> port)) return {};
    return L"127.0.0.1:" + std::to_wstring(port);
  }

  static std::wstring Url(const std::wstring& path) { return L"http://" + Address() + path; }

  static std::filesystem::path Root() { return std::filesystem::path(ZEPO_TEST_SERVER_ROOT); }

  // The recorded heads of every request whose request line contains the token, in order.
  static std::vector<std::string> RequestsWith(const std::string& token) {
    TempFolder folder;
    StepCode code;
    std::vector<std::string> found;
    if (!DownloadFile(folder / "requests", nullptr, code, Url(L"/requests"), L"")) return found;
    const std::string log = ReadBytes(folder.path() / "requests");
    for (std::size_t at = 0; at < log.size();) {
      std::size_t end = log.find("\r\n\r\n", at);
      if (end == std::string::npos) break;
      std::string head = log.substr(at, end + 4 - at);
      if (head.substr(0, head.find("\r\n")).find(token) != std::string::npos) found.push_back(head);
      at = end + 4;
    }
    return found;
  }
};

// The value of a header in a recorded request head; "<absent>" when missing, "<twice>" when repeated.
inline std::string HeaderOf(const std::string& head, const std::string& name) {
  std::string value = "<absent>";
  std::size_t at = head.find("\r\n");
  while (at != std::string::npos && at + 2 < head.size()) {
    std::size_t end = head.find("\r\n", at + 2);
    std::string line = head.substr(at + 2, end - at - 2);
    std::size_t colon = line.find(':');
    if (colon != std::string::npos) {
      std::string key = line.substr(0, colon);
      bool same = key.size() == name.size();
      for (std::size_t i = 0; same && i < key.size(); ++i) same = std::tolower(key[i]) == std::tolower(name[i]);
      if (same) {
        std::size_t v = line.find_first_not_of(' ', colon + 1);
        value = value == "<absent>" ? (v == std::string::npos ? "" : line.substr(v)) : "<twice>";
      }
    }
    at = end;
  }
  return value;
}
