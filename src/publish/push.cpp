#include "publish/push.h"

#include <cstdio>

#include "protocol/file_list.h"
#include "protocol/served_names.h"
#include "publish/channels.h"
#include "publish/origin_history.h"
#include "publish/patch_source.h"
#include "publish/publication.h"
#include "publish/release_index.h"
#include "publish/tree_lock.h"
#include "publish/tree_status.h"
#include "publish/tree_writes.h"
#include "services/renewal.h"
#include "services/text.h"

namespace fs = std::filesystem;

namespace {

// rsync's status for a source that does not exist: a destination not made yet.
constexpr int RSYNC_PARTIAL = 23;

// The files a push sends one by one, in order, after the objects: signature files, their renewals,
// then lists, then the index.
std::vector<std::string> ServedInOrder(const fs::path& tree, const std::wstring& productName) {
  std::vector<std::string> files;
  std::error_code ignored;
  const std::vector<std::string> lists = EveryServedList(tree, productName);
  for (const char* suffix : {SIGNATURE_SUFFIX.narrow, RENEWAL_SUFFIX}) {
    for (const std::string& list : lists) {
      if (fs::exists(tree / (list + suffix), ignored)) files.push_back(list + suffix);
    }
  }
  for (const std::string& list : lists) files.push_back(list);
  for (const std::wstring& channel : ChannelsOf(tree / PathOf(productName))) {
    files.push_back(WideToUtf8(productName + ChannelFolder(channel)) + ReleaseIndex::FILE_NAME);
  }
  return files;
}

// rsync's arguments for the objects: every file of the tree but the served ones (whatever the
// tree holds of them: a signature file the tree no longer has is kept from the objects too) and
// the publisher's own (its lock, a publication in progress, files being written).
std::vector<std::string> ObjectsCommand(const fs::path& tree, const std::string& destination,
                                        const std::wstring& productName, bool prune) {
  // -H: the releases' names of a stored content arrive as links to one file, sent once.
  std::vector<std::string> command = {"rsync", "-rtH", "--out-format=%n"};
  if (prune) command.push_back("--delete");
  // Every channel's, those the origin holds and the tree does not yet too.
  const std::string product = WideToUtf8(productName);
  for (const std::string& folder : {product, product + "channels/*/", product + "rollout/", product + "channels/*/rollout/"}) {
    for (const char* list : {UPDATE_LIST.narrow, FULL_LIST.narrow}) {
      command.push_back("--exclude=/" + folder + list);
      command.push_back("--exclude=/" + folder + list + ".sig");
      command.push_back("--exclude=/" + folder + list + RENEWAL_SUFFIX);
    }
    command.push_back("--exclude=/" + folder + ReleaseIndex::FILE_NAME);
  }
  command.push_back(std::string("--exclude=/") + ROOT_DESCRIPTOR.narrow);
  command.push_back(std::string("--exclude=/") + ROOT_DESCRIPTOR.narrow + ".sig");
  command.push_back(std::string("--exclude=/") + ROOT_DESCRIPTOR.narrow + RENEWAL_SUFFIX);
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

// Whether the destination holds anything at all; false with error when it cannot be read.
bool DestinationHoldsFiles(const std::string& destination, bool& holds, std::string& error) {
  std::string output;
  int status = 0;
  holds = false;
  if (!RunProgram({"rsync", "--list-only", destination}, output, error, &status)) {
    if (status == RSYNC_PARTIAL) return true;  // not made yet: the push makes it
    error = "cannot read " + destination + " (" + error + ")";
    return false;
  }
  // One line per entry; the folder itself is ".".
  std::size_t start = 0;
  for (std::size_t end; (end = output.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::string line = output.substr(start, end - start);
    if (!line.empty() && line.size() >= 2 && line.compare(line.size() - 2, 2, " .") != 0) holds = true;
  }
  return true;
}

// Compares what the destination serves with the tree's history: false with what differs.
bool CheckOriginHistory(const fs::path& tree, const std::wstring& productName, const std::string& destination,
                        std::string& error) {
  bool holds = false;
  if (!DestinationHoldsFiles(destination, holds, error)) return false;
  const fs::path copy = ScratchFile();
  bool read = true;
  for (const std::string& file : OriginFilesToRead(productName)) {
    std::string output;
    std::error_code ignored;
    fs::create_directories((copy / file).parent_path(), ignored);
    int status = 0;
    // A file the destination lacks (or whose folder it lacks) is no failure: it is compared as missing.
    if (read && holds &&
        !RunProgram({"rsync", "-t", "--ignore-missing-args", destination + file, (copy / file).string()}, output,
                    error, &status) &&
        status != RSYNC_PARTIAL) {
      error = "cannot read " + destination + file + " (" + error + ")";
      read = false;
    }
  }
  std::vector<std::string> problems;
  if (read) problems = OriginHistoryProblems(tree, productName, copy, !holds);
  std::error_code ignored;
  fs::remove_all(copy, ignored);
  if (!read) return false;
  if (problems.empty()) return true;
  error = destination + " is not pushed over: ";
  for (std::size_t i = 0; i < problems.size(); ++i) error += (i == 0 ? "" : "; ") + problems[i];
  error += ". A push would take that away from players. Bring this tree up to date with the copy that published "
           "it, or give --force to replace the destination with this tree";
  return false;
}

}  // namespace

bool PushTree(const fs::path& tree, const std::wstring& rootKey, const std::string& destination, const PushOptions& options,
              std::string& error) {
  std::wstring productName;
  if (!ProductNameOf(tree, rootKey, productName)) {
    error = tree.string() + " is not a tree (no rootfolder.enc that names a product folder)";
    return false;
  }
  const std::vector<std::string> problems = ServedProblems(tree, rootKey, true);
  if (!problems.empty()) {
    error = "the tree is not pushed: " + problems.front();
    return false;
  }
  std::string target = destination;
  if (target.empty() || target.back() != '/') target += '/';
  if (!options.force && !CheckOriginHistory(tree, productName, target, error)) return false;
  const std::vector<std::string> served = ServedInOrder(tree, productName);
  std::size_t sent = 0;
  // Everything the new lists name is complete at the destination before any of them moves: rsync
  // ends with status 0 only when every file arrived (each written beside its place and renamed).
  if (!Rsync(ObjectsCommand(tree, target, productName, false), target, sent, error)) {
    error += "; the destination still serves what it served before";
    return false;
  }
  std::printf("objects: %zu new or changed files sent\n", sent);
  std::fflush(stdout);
  std::size_t servedSent = 0;
  // The served files are compared by content: two publications within one second give a
  // signature file of the same size and time, which rsync's quick check would leave behind.
  for (const std::string& file : served) {
    if (!Rsync({"rsync", "-tcR", "--out-format=%n", tree.string() + "/./" + file, target}, target, servedSent, error)) {
      return false;
    }
  }
  std::printf("signatures, lists and index: %zu of %zu sent\n", servedSent, served.size());
  if (options.prune) {
    std::size_t pruned = 0;
    if (!Rsync(ObjectsCommand(tree, target, productName, true), target, pruned, error)) return false;
    std::printf("pruned: objects that the tree no longer holds are removed from %s\n", target.c_str());
  }
  std::printf("%s now serves what %s holds\n", target.c_str(), tree.string().c_str());
  return true;
}
