#include "publish/content_store.h"

#include <algorithm>
#include <set>
#include <utility>

#include "publish/content_check.h"
#include "publish/release.h"
#include "publish/tree_writes.h"
#include "services/files.h"

namespace fs = std::filesystem;

namespace {

bool SameBytes(const fs::path& a, const fs::path& b) {
  std::string left, right;
  return ReadWholeFile(WideOf(a), left) && ReadWholeFile(WideOf(b), right) && left == right;
}

// The tree's other names of a stored file (its hard links under the releases' paths).
std::vector<fs::path> NamesSharing(const fs::path& tree, const fs::path& stored) {
  std::vector<fs::path> names;
  std::uint64_t volume = 0, number = 0, otherVolume = 0, otherNumber = 0;
  if (!FileIdentityOf(WideOf(stored), volume, number)) return names;
  std::error_code failure;
  const fs::path store = tree / ContentStore::FOLDER;
  for (auto it = fs::recursive_directory_iterator(tree, failure); !failure && it != fs::recursive_directory_iterator();
       it.increment(failure)) {
    std::error_code ignored;
    if (it->path() == store) {
      it.disable_recursion_pending();
      continue;
    }
    if (it->is_regular_file(ignored) && FileIdentityOf(WideOf(it->path()), otherVolume, otherNumber) &&
        otherVolume == volume && otherNumber == number) {
      names.push_back(it->path());
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

ContentStore::ContentStore(const fs::path& tree) : tree_(tree), folder_(tree / FOLDER) {}

ContentStore::Claim::Claim(const ContentStore& store, std::string key) : store_(store), key_(std::move(key)) {
  std::unique_lock<std::mutex> guard(store_.lock_);
  store_.released_.wait(guard, [&] { return store_.claimed_.count(key_) == 0; });
  store_.claimed_.insert(key_);
}

ContentStore::Claim::~Claim() {
  {
    std::lock_guard<std::mutex> guard(store_.lock_);
    store_.claimed_.erase(key_);
  }
  store_.released_.notify_all();
}

fs::path ContentStore::FileOf(const std::string& contentSha256, const std::string& form) const {
  return folder_ / contentSha256.substr(0, 2) / (contentSha256 + "." + form);
}

bool ContentStore::Publish(const fs::path& target, const std::string& contentSha256, const std::string& form,
                           const std::function<std::string()>& pack, bool replace, std::uint64_t& size,
                           std::uint64_t& stored, std::string& error) const {
  return PublishPackedFile(
      target, contentSha256, form,
      [&](const fs::path& part) {
        const std::string packed = pack();
        if (packed.empty()) return Packed::NotWorth;
        return WriteFileAtomically(part, packed, error) ? Packed::Written : Packed::Failed;
      },
      replace, size, stored, error);
}

bool ContentStore::PublishPackedFile(const fs::path& target, const std::string& contentSha256, const std::string& form,
                                     const std::function<Packed(const fs::path&)>& packInto, bool replace,
                                     std::uint64_t& size, std::uint64_t& stored, std::string& error) const {
  size = 0;
  stored = 0;
  const fs::path file = FileOf(contentSha256, form);
  const Claim claim(*this, file.string());
  std::error_code failure;
  std::vector<fs::path> sharing;
  bool present = fs::is_regular_file(file, failure);
  const bool damaged = present && !HoldsItsContent(file, contentSha256, form);
  if (damaged) {
    // Whatever damaged it (a disk, a file copied over a release's path) reaches no other release:
    // it is packed again, and the release paths that shared it get the good one.
    sharing = NamesSharing(tree_, file);
    present = false;
  }
  if (!present) {
    fs::create_directories(file.parent_path(), failure);
    // Packed beside its place and moved in: a stored file is whole or absent.
    const fs::path part = file.string() + ".packing";
    const Packed packed = packInto(part);
    if (packed != Packed::Written) {
      RemoveFile(WideOf(part));
      if (packed == Packed::NotWorth) return true;
      if (error.empty()) error = "cannot pack " + target.string();
      return false;
    }
    if (!MoveFileReplace(WideOf(part), WideOf(file))) {
      RemoveFile(WideOf(part));
      error = "cannot write " + file.string();
      return false;
    }
    stored = fs::file_size(file, failure);
    Verified(file);
    if (damaged && !Relink(file, sharing, error)) return false;
  }
  size = fs::file_size(file, failure);
  if (failure) {
    error = "cannot read " + file.string() + ": " + failure.message();
    return false;
  }
  if (!replace && fs::exists(target, failure)) {
    if (fs::equivalent(target, file, failure) || SameBytes(target, file)) return true;
    error = "a different file is already published at " + target.string() +
            "; published files never change: give the release a new version name";
    return false;
  }
  fs::create_directories(target.parent_path(), failure);
  return LinkIntoPlace(file, target, error);
}

bool ContentStore::HoldsItsContent(const fs::path& stored, const std::string& contentSha256,
                                   const std::string& form) const {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (verified_.count(stored.string()) != 0) return true;
  }
  ContentDigests digests;
  if (!DigestPackedContent(stored, form == "z2", digests) || digests.sha256 != contentSha256) return false;
  Verified(stored);
  return true;
}

void ContentStore::Verified(const fs::path& stored) const {
  std::lock_guard<std::mutex> guard(lock_);
  verified_.insert(stored.string());
}

bool ContentStore::Relink(const fs::path& stored, const std::vector<fs::path>& names, std::string& error) const {
  std::string said = "the store's " + fs::relative(stored, tree_).generic_string() +
                     " did not unpack to its content: packed again";
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (!LinkIntoPlace(stored, names[i], error)) return false;
    said += (i == 0 ? "; these release files shared it and hold the good one again: " : ", ") +
            fs::relative(names[i], tree_).generic_string();
  }
  std::lock_guard<std::mutex> guard(lock_);
  repairs_.push_back(said);
  return true;
}

std::vector<std::string> ContentStore::Repairs() const {
  std::lock_guard<std::mutex> guard(lock_);
  return repairs_;
}

std::uint64_t ContentStore::TreeBytes(const fs::path& tree) {
  std::uint64_t bytes = 0;
  std::set<std::pair<std::uint64_t, std::uint64_t>> seen;  // the identities of the files counted
  std::error_code failure;
  for (auto it = fs::recursive_directory_iterator(tree, failure); !failure && it != fs::recursive_directory_iterator();
       it.increment(failure)) {
    std::error_code ignored;
    if (!it->is_regular_file(ignored)) continue;
    // By the file's identity, not its link count, which not every platform's library reports.
    std::uint64_t volume = 0, number = 0;
    if (FileIdentityOf(WideOf(it->path()), volume, number) && !seen.insert({volume, number}).second) continue;
    bytes += it->file_size(ignored);
  }
  return bytes;
}
