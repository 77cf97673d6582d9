// A loopback TCP proxy that makes a far server of a near one, for tests and benchmarks (Linux
// traffic control is not available on the machines that run them):
//
//   latency-proxy --to PORT --delay MS [--rate BYTES] [--link-rate BYTES] [--port-file FILE]
//
// It listens on 127.0.0.1 at a free port (written to FILE, else printed) and forwards every
// connection to 127.0.0.1:PORT. Every piece of data is delayed by MS milliseconds in each
// direction, so a request and its answer take one round trip of 2 * MS; a new connection first
// waits one round trip, as its handshake would. --rate caps each direction of each connection at
// BYTES per second; --link-rate caps each direction of all connections together, as a player's
// line does. It runs until it is killed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "support/loopback.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Settings {
  int to = 0;
  std::chrono::milliseconds delay{0};
  long long rate = 0;
  long long linkRate = 0;
};

// One direction of the line that every connection shares.
class Line {
 public:
  // Waits until the line has carried bytes after what it carried before.
  void Carry(std::size_t bytes, long long rate) {
    if (rate <= 0) return;
    Clock::time_point until;
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (free_ < Clock::now()) free_ = Clock::now();
      free_ += std::chrono::duration_cast<Clock::duration>(
          std::chrono::duration<double>(static_cast<double>(bytes) / static_cast<double>(rate)));
      until = free_;
    }
    std::this_thread::sleep_until(until);
  }

 private:
  std::mutex lock_;
  Clock::time_point free_ = Clock::now();
};
Line upLine, downLine;

// Bytes on their way in one direction, each piece with the time it may be passed on.
struct Pipe {
  std::mutex lock;
  std::condition_variable changed;
  std::deque<std::pair<Clock::time_point, std::string>> pieces;  // an empty piece: the end
};

void Reader(int from, std::shared_ptr<Pipe> pipe, Settings settings) {
  char buffer[65536];
  for (;;) {
    const ssize_t n = recv(from, buffer, sizeof buffer, 0);
    std::lock_guard<std::mutex> guard(pipe->lock);
    pipe->pieces.emplace_back(Clock::now() + settings.delay, n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : "");
    pipe->changed.notify_all();
    if (n <= 0) return;
  }
}

void Writer(int to, std::shared_ptr<Pipe> pipe, Settings settings, Line* line) {
  Clock::time_point free = Clock::now();  // when the capped line can carry the next byte
  for (;;) {
    std::pair<Clock::time_point, std::string> piece;
    {
      std::unique_lock<std::mutex> guard(pipe->lock);
      pipe->changed.wait(guard, [&] { return !pipe->pieces.empty(); });
      piece = std::move(pipe->pieces.front());
      pipe->pieces.pop_front();
    }
    std::this_thread::sleep_until(piece.first);
    if (piece.second.empty()) {
      shutdown(to, SHUT_WR);
      return;
    }
    if (settings.rate > 0) {
      if (free < Clock::now()) free = Clock::now();
      free += std::chrono::duration_cast<Clock::duration>(
          std::chrono::duration<double>(static_cast<double>(piece.second.size()) / static_cast<double>(settings.rate)));
      std::this_thread::sleep_until(free);
    }
    line->Carry(piece.second.size(), settings.linkRate);
    if (!SendAll(to, piece.second)) {
      shutdown(to, SHUT_RDWR);
      return;
    }
  }
}

void Forward(int client, Settings settings) {
  std::this_thread::sleep_for(2 * settings.delay);  // the handshake's round trip
  const int server = ConnectToLoopback(settings.to);
  if (server < 0) {
    close(client);
    return;
  }
  const int one = 1;
  setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  auto up = std::make_shared<Pipe>();
  auto down = std::make_shared<Pipe>();
  std::thread threads[] = {std::thread(Reader, client, up, settings), std::thread(Writer, server, up, settings, &upLine),
                           std::thread(Reader, server, down, settings),
                           std::thread(Writer, client, down, settings, &downLine)};
  for (std::thread& thread : threads) thread.join();
  close(client);
  close(server);
}

int Usage() {
  std::fputs("usage: latency-proxy --to PORT --delay MS [--rate BYTES] [--link-rate BYTES] [--port-file FILE]\n",
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
      std::fputs("usage: latency-proxy --to PORT --delay MS [--rate BYTES] [--link-rate BYTES] [--port-file FILE]\n"
                 "Forwards 127.0.0.1:FREE_PORT to 127.0.0.1:PORT, delaying all data by MS each way; --rate\n"
                 "caps each connection, --link-rate all of them together, in bytes per second.\n",
                 stdout);
      return 0;
    }
    if (i + 1 >= argc) return Usage();
    const char* value = argv[++i];
    if (arg == "--to") {
      settings.to = std::atoi(value);
    } else if (arg == "--delay") {
      settings.delay = std::chrono::milliseconds(std::atoi(value));
    } else if (arg == "--rate") {
      settings.rate = std::atoll(value);
    } else if (arg == "--link-rate") {
      settings.linkRate = std::atoll(value);
    } else if (arg == "--port-file") {
      portFile = value;
    } else {
      return Usage();
    }
  }
  if (settings.to <= 0 || settings.delay.count() < 0) return Usage();
  int port = 0;
  const int listener = ListenOnLoopback(128, port);
  if (listener < 0) {
    std::perror("latency-proxy: cannot listen");
    return 1;
  }
  AnnouncePort(port, portFile);
  for (;;) {
    const int client = accept(listener, nullptr, nullptr);
    if (client >= 0) std::thread(Forward, client, settings).detach();
  }
}
