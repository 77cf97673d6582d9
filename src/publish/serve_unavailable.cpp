#include "publish/serve.h"

// The Windows build has no HTTP server library: trees are served by nginx or the native tool.
bool ServeTree(const std::filesystem::path&, const std::string&, int, std::string& error) {
  error = "this build cannot serve trees; use the native zepo-publish or a web server such as nginx";
  return false;
}
