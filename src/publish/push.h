#pragma once
// Uploading a tree to the web root or origin that serves it, with rsync (a local folder, host:path
// over ssh, or an rsync:// daemon), in the order that keeps every client working: the immutable
// objects first, then the signature files, then the lists, then the index (publication.h). Only
// new or changed files are sent; an interrupted push is simply run again. Before anything is
// sent, the destination's history is compared with the tree's (origin_history.h): a destination
// that holds what the tree does not know is not pushed over unless force. Nothing is deleted
// unless prune: then, once the new lists are in place, the destination's objects that the tree
// no longer holds.
#include <filesystem>
#include <string>
#include <vector>

struct PushOptions {
  bool prune = false;
  bool force = false;  // push over a destination whose history the tree does not contain
};

bool PushTree(const std::filesystem::path& tree, const std::wstring& rootKey, const std::string& destination,
              const PushOptions& options, std::string& error);

// Runs a program with its arguments (the first is the program, found on the PATH) and waits;
// its standard output goes into output. False with the reason when it cannot start or fails;
// exitStatus, when given, gets the status it ended with (-1 when it did not start or end).
bool RunProgram(const std::vector<std::string>& arguments, std::string& output, std::string& error,
                int* exitStatus = nullptr);
