// Any bytes as a server's answer, sent over loopback to the real HTTP back end: the download
// rules must never crash or hang, must create the file only for an answer they take, and a
// download that succeeds must hold exactly the body that a plain reading of the answer names
// (the final head after any interim 1xx heads, one Content-Length, status 200 or 206).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "services/files.h"
#include "services/http.h"
#include "services/http_internal.h"
#include "services/text.h"
#include "support/loopback.h"
#include "fuzz/fuzz_folder.h"

namespace {

std::mutex answerLock;
std::string answer;

// Answers every connection with the current bytes, then closes it.
void Serve(int listener) {
  for (;;) {
    const int fd = accept(listener, nullptr, nullptr);
    if (fd < 0) continue;
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
      const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      request.append(buffer, static_cast<std::size_t>(n));
    }
    std::string bytes;
    {
      std::lock_guard<std::mutex> guard(answerLock);
      bytes = answer;
    }
    SendAll(fd, bytes);
    shutdown(fd, SHUT_WR);
    while (recv(fd, buffer, sizeof buffer, 0) > 0) {
    }
    close(fd);
  }
}

int StartServer() {
  int port = 0;
  const int listener = ListenOnLoopback(16, port);
  if (listener < 0) std::abort();
  std::thread(Serve, listener).detach();
  return port;
}

// The body that the answer carries for a plain reading, or false when no download may take it.
bool ReferenceBody(const std::string& bytes, std::string& body) {
  std::size_t at = 0;
  AnswerHead head;
  for (;;) {
    const std::size_t used = ParseAnswerHead(bytes.substr(at), head);
    if (used == 0 || used == std::string::npos) return false;
    at += used;
    if (head.status >= 200) break;
  }
  if ((head.status != 200 && head.status != 206) || head.lengthHeaders != 1 || !head.lengthValid) return false;
  body = bytes.substr(at, static_cast<std::size_t>(head.length));
  return body.size() == head.length;
}

bool Mentions(const std::string& bytes, const char* word) {
  std::string lower = bytes;
  for (char& c : lower) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return lower.find(word) != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const int port = [] {
    SetHttpLimits({2, 2});
    return StartServer();
  }();
  {
    std::lock_guard<std::mutex> guard(answerLock);
    answer.assign(reinterpret_cast<const char*>(data), size);
  }
  const std::wstring path = AnsiToWide(FuzzFolder() + "/download");
  RemoveFile(path);
  StepCode code = DownloadCode::NoInternet;
  const bool ok = DownloadFile(path, nullptr, code, L"http://127.0.0.1:" + std::to_wstring(port) + L"/file", L"h");
  std::string written;
  const bool exists = ReadWholeFile(path, written);
  if (ok && !exists) std::abort();
  // Codings and folded lines are libcurl's to read; the plain reading does not follow them.
  if (Mentions(answer, "transfer-encoding") || Mentions(answer, "\n ") || Mentions(answer, "\n\t")) return 0;
  std::string body;
  const bool taken = ReferenceBody(answer, body);
  if (ok && (!taken || written != body)) std::abort();
  if (exists && !taken && code != DownloadCode::ShortBody) std::abort();
  return 0;
}
