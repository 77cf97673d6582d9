// A loopback HTTP server for the tests of both HTTP back ends, with faults on request.
//
//   http_test_server --port-file FILE [--root DIR] [--clock-offset-days N] [--background]
//   http_test_server --stop FILE
//
// Every answer carries a Date header: now, or N days from now (a server whose clock is off, or,
// as a client sees it, a client whose clock is off the other way).
//
// It listens on 127.0.0.1 at a free port and writes the port to FILE (and its process id to
// FILE.pid). Every request's head (request line and headers) is recorded.
//
//   GET /PATH                the file ROOT/PATH (percent-decoded), with Content-Length and
//                            Last-Modified from the file; 404 when missing. A file ROOT/PATH.fault
//                            beside it holds directives (below) that spoil the answer: status_N,
//                            close_N, lastmod_none, announce_N, stall_S, and times_N: only the
//                            first N requests of the file are spoilt, later ones are answered well
//   GET /x/D1/D2/.../-/ANY   a made-up answer shaped by the directives D ("_" joins name and
//                            value, as "=" would be percent-encoded by the clients):
//       status_N             the status code (200)
//       size_N               a body of N bytes, byte i being (7 * i + 3) mod 256 (0)
//       announce_N|none      the Content-Length sent (size); none sends no length
//       chunked              the body in chunked encoding, without a length
//       close_N              the connection closes after N body bytes
//       stall_S              S seconds of silence before the answer
//       stallafter_N         after N body bytes, silence until the client gives up
//       lastmod_EPOCH|none   the Last-Modified time (5 November 2012, 14:03:09 GMT)
//       redirect             a "Location: /x/size_7/-/redirected" header (with status_302)
//       announce2_N          a second Content-Length header, of N
//       announceraw_TEXT     Content-Length: TEXT instead of the size
//       lf                   the head's lines end in a bare LF instead of CR LF
//       interim_N            an interim answer N (103, say) with a Link, a Last-Modified of
//                            1 January 2001 and a Content-Range header before the real one
//       badrange             a request with "Range: bytes=N-" is answered 206 with the right
//                            Content-Range but a Content-Length one byte longer than the range
//       tailrange            a request with "Range: bytes=-N" is answered 206 with the last N
//                            bytes and their Content-Range
//       norange              a request with any Range header is answered 416, with no body
//       range                a request with "Range: bytes=A-B" is answered 206 with those bytes
//                            and their Content-Range
//       trickle_MS           the body one byte every MS milliseconds
//   GET /requests            every recorded request head so far, each ended by a blank line
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/loopback.h"

namespace {

std::mutex recordLock;
std::string recorded;
std::string root = ".";

std::string HttpDate(time_t when) {
  char text[64];
  struct tm t {};
  gmtime_r(&when, &t);
  strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &t);
  return text;
}

std::string PercentDecode(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string Reason(int status) {
  switch (status) {
    case 200: return "OK";
    case 206: return "Partial Content";
    case 302: return "Found";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    default: return "Status";
  }
}

struct Shape {
  int status = 200;
  long long size = 0;
  long long announce = -2;  // -2: the size; -1: none
  bool chunked = false;
  long long closeAfter = -1;
  int stallSeconds = 0;
  long long stallAfter = -1;
  long long lastModified = 1352124189;  // -1: none
  long long times = -1;                 // -1: every request
  bool redirect = false;
  long long secondAnnounce = -1;
  std::string rawAnnounce;
  bool bareLf = false;
  int interim = 0;  // 0: none
  bool badRange = false;
  bool tailRange = false;
  bool noRange = false;
  bool range = false;
  int trickleMs = 0;
};

long long clockOffsetSeconds = 0;

std::string DateHeader() { return "Date: " + HttpDate(time(nullptr) + clockOffsetSeconds) + "\r\n"; }

std::map<std::string, long long> faultsServed;  // per file, under recordLock

Shape ParseShape(const std::string& path) {
  Shape shape;
  std::size_t at = 3;  // after "/x/"
  while (at < path.size()) {
    std::size_t end = path.find('/', at);
    if (end == std::string::npos) end = path.size();
    std::string d = path.substr(at, end - at);
    at = end + 1;
    if (d == "-") break;
    std::size_t eq = d.find('_');
    std::string name = d.substr(0, eq);
    std::string value = eq == std::string::npos ? "" : d.substr(eq + 1);
    if (name == "status") shape.status = std::atoi(value.c_str());
    if (name == "size") shape.size = std::atoll(value.c_str());
    if (name == "announce") shape.announce = value == "none" ? -1 : std::atoll(value.c_str());
    if (name == "chunked") shape.chunked = true;
    if (name == "close") shape.closeAfter = std::atoll(value.c_str());
    if (name == "stall") shape.stallSeconds = std::atoi(value.c_str());
    if (name == "stallafter") shape.stallAfter = std::atoll(value.c_str());
    if (name == "lastmod") shape.lastModified = value == "none" ? -1 : std::atoll(value.c_str());
    if (name == "times") shape.times = std::atoll(value.c_str());
    if (name == "redirect") shape.redirect = true;
    if (name == "announce2") shape.secondAnnounce = std::atoll(value.c_str());
    if (name == "announceraw") shape.rawAnnounce = value;
    if (name == "lf") shape.bareLf = true;
    if (name == "interim") shape.interim = std::atoi(value.c_str());
    if (name == "badrange") shape.badRange = true;
    if (name == "tailrange") shape.tailRange = true;
    if (name == "norange") shape.noRange = true;
    if (name == "range") shape.range = true;
    if (name == "trickle") shape.trickleMs = std::atoi(value.c_str());
  }
  return shape;
}

// The head as the shape sends it: after an interim answer with headers of its own, which belong
// to no file, and with bare LF line ends.
std::string Dressed(std::string head, const Shape& shape) {
  if (shape.interim > 0) {
    head = "HTTP/1.1 " + std::to_string(shape.interim) + " Early Hints\r\nLink: </style.css>; rel=preload\r\n" +
           "Last-Modified: " + HttpDate(978307200) + "\r\nContent-Range: bytes 0-0/1\r\n\r\n" + head;
  }
  if (shape.bareLf) {
    for (std::size_t at = head.find("\r\n"); at != std::string::npos; at = head.find("\r\n", at)) head.erase(at, 1);
  }
  return head;
}

// The offset of a "Range: bytes=N-" request; -1 without one.
long long RangeStart(const std::string& request) {
  const std::string name = "\r\nRange: bytes=";
  const std::size_t at = request.find(name);
  return at == std::string::npos ? -1 : std::atoll(request.c_str() + at + name.size());
}

// The length of a "Range: bytes=-N" request; -1 without one.
long long RangeTail(const std::string& request) {
  const std::string name = "\r\nRange: bytes=-";
  const std::size_t at = request.find(name);
  return at == std::string::npos ? -1 : std::atoll(request.c_str() + at + name.size());
}

void SendShaped(int fd, Shape shape, const std::string& request) {
  if (shape.stallSeconds > 0) std::this_thread::sleep_for(std::chrono::seconds(shape.stallSeconds));
  std::string range;
  long long start = 0;  // the first byte sent
  const long long tail = RangeTail(request);
  if (shape.noRange && request.find("\r\nRange: ") != std::string::npos) {
    shape.status = 416;
    shape.size = 0;
    shape.announce = 0;
  }
  if (shape.tailRange && tail > 0) {
    start = std::max(0LL, shape.size - tail);
    shape.status = 206;
    range = "Content-Range: bytes " + std::to_string(start) + "-" + std::to_string(shape.size - 1) + "/" +
            std::to_string(shape.size) + "\r\n";
    shape.announce = shape.size - start;
  }
  const long long from = RangeStart(request);
  const std::size_t dash = request.find('-', request.find("\r\nRange: bytes="));
  const long long to = dash == std::string::npos ? -1 : std::atoll(request.c_str() + dash + 1);
  if (shape.range && from >= 0 && to >= from && to < shape.size) {
    start = from;
    shape.status = 206;
    range = "Content-Range: bytes " + std::to_string(from) + "-" + std::to_string(to) + "/" +
            std::to_string(shape.size) + "\r\n";
    shape.announce = to - from + 1;
    shape.size = to + 1;
  }
  if (shape.badRange && from > 0 && from < shape.size) {
    shape.status = 206;
    range = "Content-Range: bytes " + std::to_string(from) + "-" + std::to_string(shape.size - 1) + "/" +
            std::to_string(shape.size) + "\r\n";
    shape.announce = shape.size - from + 1;
  }
  std::string head = "HTTP/1.1 " + std::to_string(shape.status) + " " + Reason(shape.status) + "\r\n" + range + DateHeader();
  if (shape.lastModified >= 0) head += "Last-Modified: " + HttpDate(static_cast<time_t>(shape.lastModified)) + "\r\n";
  if (shape.redirect) head += "Location: /x/size_7/-/redirected\r\n";
  long long announce = shape.announce == -2 ? shape.size : shape.announce;
  if (shape.chunked) {
    head += "Transfer-Encoding: chunked\r\n";
  } else if (!shape.rawAnnounce.empty()) {
    head += "Content-Length: " + shape.rawAnnounce + "\r\n";
  } else if (announce >= 0) {
    head += "Content-Length: " + std::to_string(announce) + "\r\n";
  }
  if (shape.secondAnnounce >= 0) head += "Content-Length: " + std::to_string(shape.secondAnnounce) + "\r\n";
  head += "Connection: close\r\n\r\n";
  if (!SendAll(fd, Dressed(head, shape))) return;
  std::string block(65536, '\0');
  for (long long sent = start; sent < shape.size;) {
    long long limit = shape.size;
    if (shape.closeAfter >= 0) limit = std::min(limit, shape.closeAfter);
    if (shape.stallAfter >= 0) limit = std::min(limit, shape.stallAfter);
    if (sent >= limit) break;
    std::size_t n = static_cast<std::size_t>(std::min<long long>(static_cast<long long>(block.size()), limit - sent));
    if (shape.trickleMs > 0) {
      n = 1;
      std::this_thread::sleep_for(std::chrono::milliseconds(shape.trickleMs));
    }
    for (std::size_t i = 0; i < n; ++i) block[i] = static_cast<char>((7 * (sent + static_cast<long long>(i)) + 3) & 255);
    if (shape.chunked) {
      char size[32];
      std::snprintf(size, sizeof size, "%zx\r\n", n);
      if (!SendAll(fd, size)) return;
    }
    if (!SendAll(fd, block.data(), n)) return;
    if (shape.chunked && !SendAll(fd, "\r\n")) return;
    sent += static_cast<long long>(n);
  }
  if (shape.stallAfter >= 0) {
    // Silence until the client gives up and closes.
    char byte;
    while (recv(fd, &byte, 1, 0) > 0) {
    }
    return;
  }
  if (shape.chunked && shape.closeAfter < 0) SendAll(fd, "0\r\n\r\n");
}

// A file of the served folder, as a static server sends it: whole, or its last N bytes for a
// "Range: bytes=-N" request (206), unless a fault directive shapes the answer.
void SendFile(int fd, const std::string& relative, const std::string& request) {
  std::string path = root + "/" + PercentDecode(relative);
  struct stat st;
  std::ifstream in(path, std::ios::binary);
  if (PercentDecode(relative).find("..") != std::string::npos || stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || !in) {
    SendAll(fd, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    return;
  }
  Shape fault;
  std::ifstream directives(path + ".fault");
  std::string line;
  if (std::getline(directives, line)) fault = ParseShape("/x/" + line + "/-/");
  if (fault.times >= 0) {
    std::lock_guard<std::mutex> guard(recordLock);
    if (faultsServed[path]++ >= fault.times) fault = Shape{};
  }
  if (fault.stallSeconds > 0) std::this_thread::sleep_for(std::chrono::seconds(fault.stallSeconds));
  const long long size = static_cast<long long>(st.st_size);
  const long long tail = fault.status == 200 ? std::min(RangeTail(request), size) : -1;
  long long announce = fault.announce >= 0 ? fault.announce : (tail > 0 ? tail : size);
  std::string head = "HTTP/1.1 " + std::to_string(tail > 0 ? 206 : fault.status) + " " +
                     Reason(tail > 0 ? 206 : fault.status) + "\r\nContent-Length: " + std::to_string(announce) + "\r\n";
  if (tail > 0) {
    head += "Content-Range: bytes " + std::to_string(size - tail) + "-" + std::to_string(size - 1) + "/" +
            std::to_string(size) + "\r\n";
    in.seekg(size - tail);
  }
  if (fault.lastModified >= 0) head += "Last-Modified: " + HttpDate(st.st_mtime) + "\r\n";
  head += DateHeader();
  head += "Connection: close\r\n\r\n";
  if (!SendAll(fd, Dressed(head, fault))) return;
  long long left = fault.closeAfter >= 0 ? fault.closeAfter : (tail > 0 ? tail : size);
  std::vector<char> block(65536);
  if (fault.trickleMs > 0) block.resize(1);
  while (left > 0 && (in.read(block.data(), static_cast<std::streamsize>(block.size())) || in.gcount() > 0)) {
    if (fault.trickleMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(fault.trickleMs));
    std::size_t n = static_cast<std::size_t>(std::min<long long>(in.gcount(), left));
    if (!SendAll(fd, block.data(), n)) return;
    left -= static_cast<long long>(n);
  }
}

void Serve(int fd) {
  std::string head;
  char buffer[4096];
  while (head.find("\r\n\r\n") == std::string::npos) {
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) {
      close(fd);
      return;
    }
    head.append(buffer, static_cast<std::size_t>(n));
  }
  head.resize(head.find("\r\n\r\n") + 4);
  std::size_t space = head.find(' ');
  std::string path = head.substr(space + 1, head.find(' ', space + 1) - space - 1);
  if (path == "/requests") {
    std::string log;
    {
      std::lock_guard<std::mutex> guard(recordLock);
      log = recorded;
    }
    SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(log.size()) + "\r\nConnection: close\r\n\r\n" + log);
  } else {
    {
      std::lock_guard<std::mutex> guard(recordLock);
      recorded += head;
    }
    if (path.compare(0, 3, "/x/") == 0) {
      SendShaped(fd, ParseShape(path), head);
    } else {
      SendFile(fd, path.substr(1), head);
    }
  }
  shutdown(fd, SHUT_WR);
  close(fd);
}

int Stop(const std::string& portFile) {
  std::ifstream in(portFile + ".pid");
  long pid = 0;
  if (!(in >> pid) || pid <= 0) return 1;
  kill(static_cast<pid_t>(pid), SIGTERM);
  std::remove(portFile.c_str());
  std::remove((portFile + ".pid").c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string portFile;
  bool background = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help") {
      std::puts("usage: http_test_server --port-file FILE [--root DIR] [--clock-offset-days N] [--background] | --stop FILE");
      return 0;
    }
    if (arg == "--stop" && i + 1 < argc) return Stop(argv[i + 1]);
    if (arg == "--port-file" && i + 1 < argc) portFile = argv[++i];
    if (arg == "--root" && i + 1 < argc) root = argv[++i];
    if (arg == "--clock-offset-days" && i + 1 < argc) clockOffsetSeconds = std::atoll(argv[++i]) * 86400;
    if (arg == "--background") background = true;
  }
  if (portFile.empty()) return 2;

  int port = 0;
  const int listener = ListenOnLoopback(64, port);
  if (listener < 0) {
    std::perror("http_test_server");
    return 1;
  }
  if (background) {
    pid_t child = fork();
    if (child < 0) return 1;
    if (child > 0) {
      std::ofstream(portFile + ".pid") << child << "\n";
      std::ofstream(portFile + ".tmp") << port << "\n";
      std::rename((portFile + ".tmp").c_str(), portFile.c_str());
      return 0;
    }
    setsid();
    // Let the starter's output pipes close, so that whoever waits for them can go on.
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0), dup2(null, 1), dup2(null, 2);
    close(null);
  } else {
    std::ofstream(portFile + ".pid") << getpid() << "\n";
    std::ofstream(portFile) << port << "\n";
  }
  signal(SIGPIPE, SIG_IGN);
  for (;;) {
    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR) continue;
      return 1;
    }
    std::thread(Serve, fd).detach();
  }
}
