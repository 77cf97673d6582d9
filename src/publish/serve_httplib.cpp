#include <httplib.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <memory>

#include "publish/serve.h"

namespace fs = std::filesystem;

namespace {

std::string HttpDate(time_t when) {
  char text[64];
  struct tm t {};
  gmtime_r(&when, &t);
  strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &t);
  return text;
}

// The file a request path names inside the tree, or empty: ".." never leaves it.
fs::path FileFor(const fs::path& tree, const std::string& path) {
  fs::path relative = fs::path(path).relative_path();
  for (const auto& part : relative) {
    if (part == ".." || part == ".") return {};
  }
  return tree / relative;
}

}  // namespace

bool ServeTree(const fs::path& tree, const std::string& address, int port, std::string& error) {
  std::error_code missing;
  if (!fs::is_directory(tree, missing)) {
    error = "no tree to serve at " + tree.string();
    return false;
  }
  httplib::Server server;
  // Without the library's SO_REUSEPORT: a second server on a busy port must fail, not share it.
  server.set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  // One line per request, as a server's access log has it.
  server.set_logger([](const httplib::Request& request, const httplib::Response& response) {
    const auto length = response.get_header_value("Content-Length");
    std::printf("%s %s %d %s\n", request.method.c_str(), request.path.c_str(), response.status,
                length.empty() ? "0" : length.c_str());
    std::fflush(stdout);
  });
  server.Get(R"(/.*)", [&tree](const httplib::Request& request, httplib::Response& response) {
    const fs::path file = FileFor(tree, request.path);
    struct stat st;
    if (file.empty() || stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      response.status = 404;
      return;
    }
    response.set_header("Last-Modified", HttpDate(st.st_mtime));
    auto in = std::make_shared<std::ifstream>(file, std::ios::binary);
    response.set_content_provider(static_cast<std::size_t>(st.st_size), "application/octet-stream",
                                  [in](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                    std::vector<char> chunk(std::min<std::size_t>(length, 65536));
                                    in->seekg(static_cast<std::streamoff>(offset));
                                    in->read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
                                    const auto got = static_cast<std::size_t>(in->gcount());
                                    return got > 0 && sink.write(chunk.data(), got);
                                  });
  });
  // Bound first, so that a busy port is an error before anything says "serving".
  if (!server.bind_to_port(address.c_str(), port)) {
    error = "cannot listen on " + address + ":" + std::to_string(port) + " (in use, or not an address of this machine)";
    return false;
  }
  std::printf("serving %s on http://%s:%d/\n", tree.string().c_str(), address.c_str(), port);
  std::fflush(stdout);
  return server.listen_after_bind();
}
