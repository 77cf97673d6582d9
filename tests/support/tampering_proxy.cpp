// A hostile network for the signed-release tests: a loopback HTTP proxy in front of the real
// server that spoils the answers to some requests.
//
//   tampering-proxy --to PORT [--alt-to PORT] [--port-file FILE] RULE...
//   A rule names the requests whose path ends with TEXT, or, when TEXT ends with "/", whose path
//   holds TEXT:
//     --flip TEXT       the answer has one body byte changed (its middle one, every bit)
//     --drop TEXT       the request is answered 404 (signatures stripped, say)
//     --alt TEXT        the request goes to the server at --alt-to instead (an older tree: a
//                       replayed list, a list of another product, files of another version)
//     --swap TEXT OTHER the request is sent for the path with TEXT replaced by OTHER
//   Rules apply in their order, each to the path as the rules before it left it.
//
// It listens on 127.0.0.1 at a free port (written to FILE, else printed) and serves one request
// per connection ("Connection: close"), forwarding the rest unchanged. It runs until killed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/loopback.h"

namespace {

struct Rule {
  std::string kind;  // flip, drop, alt, swap
  std::string text;
  std::string other;
};

struct Settings {
  int to = 0;
  int altTo = 0;
  std::vector<Rule> rules;
};

std::string ReadHead(int fd) {
  std::string head;
  char c;
  while (head.find("\r\n\r\n") == std::string::npos && recv(fd, &c, 1, 0) == 1) head += c;
  return head;
}

std::string ReadToEnd(int fd) {
  std::string bytes;
  char buffer[65536];
  for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) bytes.append(buffer, static_cast<std::size_t>(n));
  return bytes;
}

// The request with "Connection: close" in place of any Connection header.
std::string Closing(const std::string& head) {
  std::string out;
  std::size_t at = 0;
  while (at < head.size()) {
    const std::size_t end = head.find("\r\n", at);
    const std::string line = head.substr(at, end - at);
    at = end + 2;
    if (line.empty()) break;
    if (line.size() >= 11 && (line.compare(0, 11, "Connection:") == 0 || line.compare(0, 11, "connection:") == 0)) {
      continue;
    }
    out += line + "\r\n";
  }
  return out + "Connection: close\r\n\r\n";
}

bool Names(const Rule& rule, const std::string& path) {
  if (!rule.text.empty() && rule.text.back() == '/') return path.find(rule.text) != std::string::npos;
  return path.size() >= rule.text.size() && path.compare(path.size() - rule.text.size(), rule.text.size(), rule.text) == 0;
}

void Serve(int client, Settings settings) {
  std::string request = ReadHead(client);
  const std::size_t pathStart = request.find(' ') + 1;
  const std::size_t pathEnd = request.find(' ', pathStart);
  std::string path = request.substr(pathStart, pathEnd - pathStart);
  int port = settings.to;
  bool flip = false;
  for (const Rule& rule : settings.rules) {
    if (!Names(rule, path)) continue;
    if (rule.kind == "drop") {
      SendAll(client, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
      close(client);
      return;
    }
    if (rule.kind == "flip") flip = true;
    if (rule.kind == "alt") port = settings.altTo;
    if (rule.kind == "swap") {
      path.replace(path.rfind(rule.text), rule.text.size(), rule.other);
      request.replace(pathStart, pathEnd - pathStart, path);
    }
  }
  const int server = ConnectToLoopback(port);
  if (server >= 0 && SendAll(server, Closing(request))) {
    std::string answer = ReadToEnd(server);
    const std::size_t body = answer.find("\r\n\r\n");
    // Every bit of the middle byte: one bit alone may fall on the bits that align a deflate
    // stream's stored block, which unpacking ignores, and the content would arrive unchanged.
    if (flip && body != std::string::npos && answer.size() > body + 4) {
      answer[body + 4 + (answer.size() - body - 4) / 2] ^= 0xFF;
    }
    SendAll(client, answer);
  }
  if (server >= 0) close(server);
  shutdown(client, SHUT_WR);
  ReadToEnd(client);
  close(client);
}

int Usage() {
  std::fputs("usage: tampering-proxy --to PORT [--alt-to PORT] [--port-file FILE] "
             "[--flip TEXT | --drop TEXT | --alt TEXT | --swap TEXT OTHER]...\n",
             stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  std::string portFile;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help") {
      std::fputs("usage: tampering-proxy --to PORT [--alt-to PORT] [--port-file FILE] RULE...\n"
                 "Forwards 127.0.0.1:FREE_PORT to 127.0.0.1:PORT, spoiling the answers that the rules name.\n",
                 stdout);
      return 0;
    }
    if (i + 1 >= argc) return Usage();
    const std::string value = argv[++i];
    if (arg == "--to") {
      settings.to = std::atoi(value.c_str());
    } else if (arg == "--alt-to") {
      settings.altTo = std::atoi(value.c_str());
    } else if (arg == "--port-file") {
      portFile = value;
    } else if (arg == "--flip" || arg == "--drop" || arg == "--alt") {
      settings.rules.push_back({arg.substr(2), value, ""});
    } else if (arg == "--swap" && i + 1 < argc) {
      settings.rules.push_back({"swap", value, argv[++i]});
    } else {
      return Usage();
    }
  }
  if (settings.to <= 0) return Usage();
  int port = 0;
  const int listener = ListenOnLoopback(64, port);
  if (listener < 0) {
    std::perror("tampering-proxy: cannot listen");
    return 1;
  }
  AnnouncePort(port, portFile);
  for (;;) {
    const int client = accept(listener, nullptr, nullptr);
    if (client >= 0) std::thread(Serve, client, settings).detach();
  }
}
