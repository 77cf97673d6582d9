#pragma once
// Uploading a tree to the web root or origin that serves it, with rsync (a local folder, host:path
// over ssh, or an rsync:// daemon), in the order that keeps every client working: the immutable
// objects first, then the signature files, then the lists, then the index (publication.h). Only
// new or changed files are sent; an interrupted push is simply run again. Nothing is deleted
// unless prune: then, once the new lists are in place, the destination's objects that the tree
// no longer holds.
#include <filesystem>
#include <string>
#include <vector>

bool PushTree(const std::filesystem::path& tree, const std::wstring& rootKey, const std::string& destination,
              bool prune, std::string& error);

// Runs a program with its arguments (the first is the program, found on the PATH) and waits;
// its standard output goes into output. False with the reason when it cannot start or fails.
bool RunProgram(const std::vector<std::string>& arguments, std::string& output, std::string& error);
