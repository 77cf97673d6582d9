#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "services/platform.h"
#include "services/probe.h"
#include "services/probe_internal.h"
#include "services/proxy.h"
#include "services/text.h"

namespace {

constexpr int CONNECTION_CHECK_MS = 10000;

class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() {
    if (fd_ >= 0) close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

bool ResolveIPv4(const std::string& name, std::vector<std::uint32_t>& addresses, std::wstring& cause) {
  addresses.clear();
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int status = getaddrinfo(name.c_str(), nullptr, &hints, &found);
  if (status != 0) {
    cause = status == EAI_SYSTEM ? LastSystemErrorText() : Latin1ToWide(gai_strerror(status));
    return false;
  }
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    addresses.push_back(reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr.s_addr);
  }
  freeaddrinfo(found);
  return !addresses.empty();
}

bool ParseIPv4(const std::string& text, std::uint32_t& address) {
  address = inet_addr(text.c_str());
  return address != INADDR_NONE;
}

// An ICMP datagram socket where the system allows one, a raw socket otherwise.
bool CheckInternetConnection(const std::wstring& host) {
  // Through a proxy, the proxy is what must answer: the host may be out of direct reach.
  const std::wstring proxy = ProxyFor(HostRootUrl(host));
  std::string name;
  std::string port;
  if (!SplitHost(proxy.empty() ? host : proxy, name, port)) return false;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const char* standardPort = !proxy.empty() ? "1080" : IsSecureHostText(host) ? "443" : "80";
  if (getaddrinfo(name.c_str(), port.empty() ? standardPort : port.c_str(), &hints, &found) != 0) return false;
  bool connected = false;
  for (addrinfo* a = found; a != nullptr && !connected; a = a->ai_next) {
    Socket s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (s.get() < 0) continue;
    if (connect(s.get(), a->ai_addr, a->ai_addrlen) == 0) {
      connected = true;
      break;
    }
    if (errno != EINPROGRESS) continue;
    pollfd p{s.get(), POLLOUT, 0};
    int error = 0;
    socklen_t size = sizeof error;
    connected = poll(&p, 1, CONNECTION_CHECK_MS) == 1 && getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &error, &size) == 0 &&
                error == 0;
  }
  freeaddrinfo(found);
  return connected;
}
