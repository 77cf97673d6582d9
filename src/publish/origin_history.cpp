#include "publish/origin_history.h"

#include <set>

#include "protocol/served_names.h"
#include "publish/list_patches.h"
#include "publish/release_index.h"
#include "publish/release_signing.h"
#include "publish/tree_writes.h"
#include "services/files.h"
#include "services/md5.h"
#include "services/text.h"

namespace fs = std::filesystem;

namespace {

std::string TextDigest(const std::string& text) { return WideToUtf8(Md5OfBytes(text.data(), text.size())); }

// The MD5s of every full-list text the tree has served or could serve: the live one, the texts it
// keeps for list patches, and each release's list as it was published.
std::set<std::string> KnownListTexts(const fs::path& tree, const std::string& product) {
  std::set<std::string> known;
  std::string text;
  if (UnpackToMemory(tree / (product + FULL_LIST.narrow), text)) known.insert(TextDigest(text));
  std::error_code failure;
  const fs::path kept = tree / ListPatchFolder(product + FULL_LIST.narrow);
  for (fs::directory_iterator it(kept, failure), end; !failure && it != end; it.increment(failure)) {
    if (it->path().extension() == ".list") known.insert(it->path().stem().string());
  }
  failure.clear();
  for (fs::directory_iterator it(tree / product / "releases", failure), end; !failure && it != end;
       it.increment(failure)) {
    if (it->path().extension() == ".enc" && UnpackToMemory(it->path(), text)) known.insert(TextDigest(text));
  }
  return known;
}

}  // namespace

std::vector<std::string> OriginFilesToRead(const std::wstring& product) {
  const std::string folder = WideToUtf8(product);
  return {ROOT_DESCRIPTOR.narrow, folder + ReleaseIndex::FILE_NAME, folder + FULL_LIST.narrow,
          folder + FULL_LIST.narrow + SIGNATURE_SUFFIX.narrow};
}

std::vector<std::string> OriginHistoryProblems(const fs::path& tree, const std::wstring& product,
                                               const fs::path& originCopy, bool originEmpty) {
  const std::string folder = WideToUtf8(product);
  std::error_code ignored;
  if (originEmpty) return {};
  if (!fs::exists(originCopy / ROOT_DESCRIPTOR.narrow, ignored) || !fs::exists(originCopy / (folder + FULL_LIST.narrow), ignored)) {
    return {"it holds files but no tree of product " + folder + " (no rootfolder.enc and " + folder +
            "filelistfull.enc): it is not this tree's origin"};
  }
  std::vector<std::string> problems;
  const ReleaseIndex ours = ReleaseIndex::Load(tree / folder);
  const ReleaseIndex theirs = ReleaseIndex::Load(originCopy / folder);
  for (const IndexedRelease& release : theirs.releases()) {
    const std::string version = WideToUtf8(release.version);
    const IndexedRelease* known = ours.Find(release.version);
    if (known == nullptr) {
      problems.push_back("it holds release " + version + " (published " + WideToUtf8(release.date) +
                         "), which this tree does not know");
    } else if (known->date != release.date) {
      problems.push_back("its release " + version + " was published " + WideToUtf8(release.date) +
                         ", this tree's " + WideToUtf8(known->date) + ": another build of the same version");
    } else if (release.liveAgain > known->liveAgain) {
      problems.push_back("it made release " + version + " live again on " + WideToUtf8(release.liveAgain) +
                         ", which this tree does not know");
    }
  }
  std::string text;
  if (UnpackToMemory(originCopy / (folder + FULL_LIST.narrow), text) &&
      KnownListTexts(tree, folder).count(TextDigest(text)) == 0) {
    problems.push_back("its " + folder + "filelistfull.enc is a list this tree never published");
  }
  const std::uint64_t originSerial = SerialOf(originCopy / (folder + FULL_LIST.narrow + SIGNATURE_SUFFIX.narrow));
  const std::uint64_t treeSerial = SerialOf(tree / (folder + FULL_LIST.narrow + SIGNATURE_SUFFIX.narrow));
  if (originSerial > treeSerial) {
    problems.push_back("its signatures have serial " + std::to_string(originSerial) + ", above this tree's " +
                       std::to_string(treeSerial) + " (signed later, from another copy): clients that took them "
                       "would refuse this tree's");
  }
  return problems;
}
