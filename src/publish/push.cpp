#include "publish/push.h"

#include <cstdio>

#include "publish/publication.h"
#include "publish/release_index.h"
#include "publish/tree_lock.h"
#include "publish/tree_status.h"
#include "publish/tree_writes.h"
#include "services/text.h"

namespace fs = std::filesystem;

namespace {

// The files a push sends one by one, in order, after the objects: signature files, then lists,
// then the index.
std::vector<std::string> ServedInOrder(const fs::path& tree, const std::wstring& productName) {
  std::vector<std::string> files;
  std::error_code ignored;
  for (const std::string& list : ServedLists(productName)) {
    if (fs::exists(tree / (list + ".sig"), ignored)) files.push_back(list + ".sig");
  }
  for (const std::string& list : ServedLists(productName)) files.push_back(list);
  files.push_back(WideToUtf8(productName) + ReleaseIndex::FILE_NAME);
  return files;
}

// rsync's arguments for the objects: every file of the tree but the served ones and the
// publisher's own (its lock, a publication in progress, files being written).
std::vector<std::string> ObjectsCommand(const fs::path& tree, const std::string& destination,
                                        const std::vector<std::string>& served, bool prune) {
  // -H: the releases' names of a stored content arrive as links to one file, sent once.
  std::vector<std::string> command = {"rsync", "-rtH", "--out-format=%n"};
  if (prune) command.push_back("--delete");
  for (const std::string& file : served) command.push_back("--exclude=/" + file);
  for (const char* own : {TREE_LOCK_FILE, PUBLICATION_STAGE}) command.push_back(std::string("--exclude=/") + own);
  command.push_back("--exclude=*.part");
  command.push_back(tree.string() + "/");
  command.push_back(destination);
  return command;
}

// The files rsync says it sent (its --out-format lines), folders left out.
std::size_t SentFiles(const std::string& output) {
  std::size_t files = 0;
  std::size_t start = 0;
  for (std::size_t end; (end = output.find('\n', start)) != std::string::npos; start = end + 1) {
    if (end > start && output[end - 1] != '/' && output.compare(start, end - start, "deleting ") != 0) ++files;
  }
  return files;
}

bool Rsync(const std::vector<std::string>& command, const std::string& destination, std::size_t& sent,
           std::string& error) {
  std::string output;
  if (!BeforeTreeWrite(destination, error)) return false;
  if (!RunProgram(command, output, error)) {
    error = "the upload to " + destination + " failed (" + error + "); run the push again to go on";
    return false;
  }
  sent += SentFiles(output);
  return true;
}

}  // namespace

bool PushTree(const fs::path& tree, const std::wstring& rootKey, const std::string& destination, bool prune,
              std::string& error) {
  fs::path product;
  if (!ProductFolderOf(tree, rootKey, product)) {
    error = tree.string() + " is not a tree (no rootfolder.enc that names a product folder)";
    return false;
  }
  const std::wstring productName = product.lexically_relative(tree).generic_wstring() + L"/";
  const std::vector<std::string> problems = ServedProblems(tree, rootKey, true);
  if (!problems.empty()) {
    error = "the tree is not pushed: " + problems.front();
    return false;
  }
  std::string target = destination;
  if (target.empty() || target.back() != '/') target += '/';
  const std::vector<std::string> served = ServedInOrder(tree, productName);
  std::size_t sent = 0;
  if (!Rsync(ObjectsCommand(tree, target, served, false), target, sent, error)) return false;
  std::printf("objects: %zu new or changed files sent\n", sent);
  std::fflush(stdout);
  std::size_t servedSent = 0;
  for (const std::string& file : served) {
    if (!Rsync({"rsync", "-tR", "--out-format=%n", tree.string() + "/./" + file, target}, target, servedSent, error)) {
      return false;
    }
  }
  std::printf("signatures, lists and index: %zu of %zu sent\n", servedSent, served.size());
  if (prune) {
    std::size_t pruned = 0;
    if (!Rsync(ObjectsCommand(tree, target, served, true), target, pruned, error)) return false;
    std::printf("pruned: objects that the tree no longer holds are removed from %s\n", target.c_str());
  }
  std::printf("%s now serves what %s holds\n", target.c_str(), tree.string().c_str());
  return true;
}
