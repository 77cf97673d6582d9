#include "publish/tree_lock.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "publish/publication.h"
#include "publish/release.h"
#include "services/text.h"

namespace fs = std::filesystem;

bool TakeTree(const fs::path& tree, bool noWait, RunLock& lock, bool& busy, std::string& error) {
  busy = false;
  std::error_code failure;
  if (fs::exists(tree, failure) && !fs::is_directory(tree, failure)) {
    error = FolderProblem(tree);
    return false;
  }
  fs::create_directories(tree, failure);
  if (failure) {
    error = "cannot make the tree's folder " + tree.string() + ": " + failure.message();
    return false;
  }
  const std::wstring lockFile = WideOf(tree / TREE_LOCK_FILE);
  std::wstring cause;
  bool said = false;
  while (!lock.TryAcquire(lockFile, cause)) {
    if (!lock.held()) {
      error = WideToUtf8(cause);
      return false;
    }
    if (noWait) {
      busy = true;
      error = "another zepo-publish is changing the tree " + tree.string() + "; nothing was done";
      return false;
    }
    if (!said) std::fprintf(stderr, "zepo-publish: another zepo-publish is changing %s; waiting for it\n", tree.string().c_str());
    said = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  std::string recovered;
  if (!Publication::Recover(tree, recovered, error)) return false;
  if (!recovered.empty()) std::fprintf(stderr, "zepo-publish: %s\n", recovered.c_str());
  return true;
}
