#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/ip_icmp.h>
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

constexpr int ECHO_PASSES = 3;
constexpr int ECHO_TIMEOUT_MS = 5000;
constexpr std::size_t ECHO_PAYLOAD = 32;
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

std::uint16_t Checksum(const unsigned char* data, std::size_t size) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < size; i += 2) sum += static_cast<std::uint32_t>(data[i] << 8 | data[i + 1]);
  if (size % 2) sum += static_cast<std::uint32_t>(data[size - 1] << 8);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

// An echo request: type 8, our identifier, a sequence number that names the address.
std::string EchoRequest(std::uint16_t id, std::uint16_t sequence) {
  std::string packet(8 + ECHO_PAYLOAD, 'a');
  auto* p = reinterpret_cast<unsigned char*>(packet.data());
  p[0] = 8, p[1] = 0, p[2] = 0, p[3] = 0;
  p[4] = static_cast<unsigned char>(id >> 8), p[5] = static_cast<unsigned char>(id);
  p[6] = static_cast<unsigned char>(sequence >> 8), p[7] = static_cast<unsigned char>(sequence);
  std::uint16_t sum = Checksum(p, packet.size());
  p[2] = static_cast<unsigned char>(sum >> 8), p[3] = static_cast<unsigned char>(sum);
  return packet;
}

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
bool EchoTimes(const std::vector<std::uint32_t>& addresses, std::vector<std::uint32_t>& times) {
  bool raw = false;
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (fd < 0) {
    fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    raw = true;
  }
  if (fd < 0) return false;
  Socket socket(fd);
  const auto id = static_cast<std::uint16_t>(getpid());
  using Clock = std::chrono::steady_clock;
  times.assign(addresses.size(), ECHO_NO_ANSWER_MS);
  std::vector<bool> answered(addresses.size(), false);
  std::vector<Clock::time_point> sentAt(addresses.size());
  for (int pass = 0; pass < ECHO_PASSES; ++pass) {
    std::size_t waiting = 0;
    for (std::size_t i = 0; i < addresses.size(); ++i) {
      if (answered[i]) continue;
      sockaddr_in to{};
      to.sin_family = AF_INET;
      to.sin_addr.s_addr = addresses[i];
      std::string packet = EchoRequest(id, static_cast<std::uint16_t>(pass * 256 + i));
      sentAt[i] = Clock::now();
      if (sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) > 0) ++waiting;
    }
    if (waiting == 0) break;
    const auto deadline = Clock::now() + std::chrono::milliseconds(ECHO_TIMEOUT_MS);
    while (waiting > 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      pollfd p{fd, POLLIN, 0};
      if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) break;
      unsigned char reply[512];
      sockaddr_in from{};
      socklen_t fromSize = sizeof from;
      ssize_t n = recvfrom(fd, reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&from), &fromSize);
      std::size_t header = raw && n > 0 ? static_cast<std::size_t>(reply[0] & 0x0F) * 4 : 0;
      if (n < static_cast<ssize_t>(header + 8)) continue;
      const unsigned char* icmp = reply + header;
      // A datagram socket's replies carry the identifier the kernel chose; a raw socket sees
      // every reply of the machine and keeps only ours.
      if (icmp[0] != 0 || (raw && (icmp[4] << 8 | icmp[5]) != id)) continue;
      const std::size_t i = static_cast<std::size_t>(icmp[6] << 8 | icmp[7]) % 256;
      if ((icmp[6] << 8 | icmp[7]) / 256 != pass || i >= addresses.size() || answered[i] ||
          addresses[i] != from.sin_addr.s_addr) {
        continue;
      }
      answered[i] = true;
      times[i] = static_cast<std::uint32_t>(
          std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sentAt[i]).count());
      --waiting;
    }
  }
  return true;
}

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
