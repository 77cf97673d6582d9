#pragma once
// Sockets on 127.0.0.1 for the test servers and proxies (POSIX): a listener at a free port, a
// connection to a port, sending whole, and telling the port to whoever waits for it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

// A listening socket on 127.0.0.1 at a free port; -1 when there is none.
inline int ListenOnLoopback(int backlog, int& port) {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int yes = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, backlog) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(listener);
    return -1;
  }
  port = ntohs(address.sin_port);
  return listener;
}

// A connection to 127.0.0.1:port; -1 when it is refused.
inline int ConnectToLoopback(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

inline bool SendAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}
inline bool SendAll(int fd, const std::string& bytes) { return SendAll(fd, bytes.data(), bytes.size()); }

// The port, written to file in one step (its readers poll for it), or printed when file is empty.
inline void AnnouncePort(int port, const std::string& file) {
  if (file.empty()) {
    std::printf("%d\n", port);
    std::fflush(stdout);
    return;
  }
  if (std::FILE* out = std::fopen((file + ".tmp").c_str(), "w")) {
    std::fprintf(out, "%d\n", port);
    std::fclose(out);
    std::rename((file + ".tmp").c_str(), file.c_str());
  }
}
