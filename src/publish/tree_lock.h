#pragma once
// One writer per tree: every command that changes a tree (build, rollback, resign, push) holds an
// operating-system lock on a file at the tree's root for its whole run. Two builds at once would
// each make a list from the index as they found it, and one release would be lost.
#include <filesystem>
#include <string>

#include "services/run_lock.h"

constexpr const char* TREE_LOCK_FILE = ".zepo-publish.lock";

// Takes the tree's lock, creating the tree's folder when needed. When another command holds it,
// waits (saying so once on stderr), or with noWait gives up at once with busy set. Then finishes
// what a stopped publication left (saying so). False with error otherwise.
bool TakeTree(const std::filesystem::path& tree, bool noWait, RunLock& lock, bool& busy, std::string& error);
