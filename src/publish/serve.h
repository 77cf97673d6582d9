#pragma once
// A static HTTP server for a tree, for local use and demos: any Host, Content-Length and
// Last-Modified on every file, request paths mapped as clients build them. Runs until stopped.
#include <filesystem>
#include <string>

// False with a message when it cannot listen or this build has no server.
bool ServeTree(const std::filesystem::path& tree, const std::string& address, int port, std::string& error);
