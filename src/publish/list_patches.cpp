#include "publish/list_patches.h"

#include <algorithm>
#include <sstream>

#include "engine/patch.h"
#include "publish/delta.h"
#include "publish/delta_chunked.h"
#include "publish/patch_source.h"
#include "publish/release.h"
#include "publish/tree_writes.h"
#include "services/files.h"
#include "services/md5.h"
#include "services/packed.h"
#include "services/text.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* RECENT_FILE = "recent";

// Lists from this size on are patched in chunks: the list of a 200,000-file game (43 MB) takes
// 1.6 s and 48 MB that way against 7.2 s and 334 MB with the whole-file matcher, for a patch 10%
// larger (136 KB against 124 KB, of a list that packs to 14.7 MB); a build makes up to sixteen.
constexpr std::size_t CHUNKED_LIST_FROM = 8 << 20;

bool MakeListPatch(const std::string& oldText, const std::string& newText, std::string& patch, std::string& error) {
  if (oldText.size() < CHUNKED_LIST_FROM && newText.size() < CHUNKED_LIST_FROM) {
    return MakePatch(reinterpret_cast<const std::uint8_t*>(oldText.data()), oldText.size(),
                     reinterpret_cast<const std::uint8_t*>(newText.data()), newText.size(), patch);
  }
  const fs::path oldFile = ScratchFile(), newFile = ScratchFile();
  const bool made = WriteFileAtomically(oldFile, oldText, error) && WriteFileAtomically(newFile, newText, error) &&
                    MakeChunkedPatch(WideOf(oldFile), WideOf(newFile), 1, patch, error);
  std::error_code ignored;
  fs::remove(oldFile, ignored);
  fs::remove(newFile, ignored);
  return made;
}

std::string TextDigest(const std::string& text) { return WideToUtf8(Md5OfBytes(text.data(), text.size())); }

// A patch's name states both texts it joins: the MD5 of the one it starts from and the check of
// the packed list it leads to, so that its URL never serves other bytes.
std::string PatchName(const std::string& folder, const std::string& digest, const std::string& packedAfter) {
  return folder + digest + "-" + WideToUtf8(TextCheckOfPacked(packedAfter)) + ".pat";
}

// The patches in a list's folder, relative to the tree.
std::vector<std::string> PatchesIn(const fs::path& tree, const std::string& folder) {
  std::vector<std::string> patches;
  std::error_code failure;
  for (fs::directory_iterator it(tree / folder, failure), end; !failure && it != end; it.increment(failure)) {
    if (it->path().extension() == ".pat") patches.push_back(folder + it->path().filename().string());
  }
  return patches;
}

bool IsDigest(const std::string& text) {
  return text.size() == 32 &&
         std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::vector<std::string> RecentDigests(const fs::path& folder) {
  std::string text;
  std::vector<std::string> digests;
  if (!ReadWholeFile(WideOf(folder / RECENT_FILE), text)) return digests;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (IsDigest(line)) digests.push_back(line);
  }
  return digests;
}

// The kept text of digest, when it reads back as its name says.
bool KeptText(const fs::path& tree, const std::string& folder, const std::string& digest, std::string& text) {
  std::string packed;
  return ReadWholeFile(WideOf(tree / (folder + digest + ".list")), packed) && UnpackBytes(packed, text) &&
         TextDigest(text) == digest;
}

}  // namespace

std::string ListPatchFolder(const std::string& list) { return list + ".patches/"; }

bool ListPatchesFor(const fs::path& tree, const std::string& relative, const std::string& before,
                    const std::string& after, ListPatchFiles& files, std::string& error) {
  std::string afterText;
  if (!UnpackBytes(after, afterText)) {
    error = "the new " + relative + " does not unpack";
    return false;
  }
  const std::string folder = ListPatchFolder(relative);
  std::string beforeText, beforeDigest;
  std::vector<std::string> order;
  if (!before.empty() && UnpackBytes(before, beforeText)) {
    beforeDigest = TextDigest(beforeText);
    order.push_back(beforeDigest);
  }
  const std::vector<std::string> recent = RecentDigests(tree / folder);
  for (const std::string& digest : recent) {
    if (std::find(order.begin(), order.end(), digest) == order.end()) order.push_back(digest);
  }
  std::vector<std::string> kept;
  for (const std::string& digest : order) {
    if (kept.size() == LIST_TEXTS_KEPT) break;
    std::string text = digest == beforeDigest ? beforeText : std::string();
    // A kept text that does not read back as its name says is dropped with its patch.
    if (digest != beforeDigest && !KeptText(tree, folder, digest, text)) continue;
    std::string patch, rebuilt, why;
    if (!MakeListPatch(text, afterText, patch, why) || !ApplyPatchBytes(text, patch, rebuilt) || rebuilt != afterText) {
      error = "the patch of " + relative + " from its text " + digest + " does not rebuild it" +
              (why.empty() ? "" : " (" + why + ")");
      return false;
    }
    files.written.push_back({PatchName(folder, digest, after), PackPatch(patch)});
    std::string keptText;
    if (digest == beforeDigest && !KeptText(tree, folder, digest, keptText)) {
      files.written.push_back({folder + digest + ".list", before});
    }
    kept.push_back(digest);
  }
  for (const std::string& digest : recent) {
    if (std::find(kept.begin(), kept.end(), digest) == kept.end()) files.removed.push_back(folder + digest + ".list");
  }
  // Patches to lists that are no longer live go once the new list is: a client or a cache that
  // still holds an earlier list finds the patch to it until then.
  for (const std::string& patch : PatchesIn(tree, folder)) {
    const bool written = std::any_of(files.written.begin(), files.written.end(),
                                     [&](const auto& file) { return file.first == patch; });
    if (!written) files.removed.push_back(patch);
  }
  std::string recentText;
  for (const std::string& digest : kept) recentText += digest + "\n";
  files.written.push_back({folder + RECENT_FILE, recentText});
  return true;
}

std::vector<std::string> ListPatchProblems(const fs::path& tree, const std::string& relative) {
  std::vector<std::string> problems;
  const std::string folder = ListPatchFolder(relative);
  std::string packed, live;
  if (!ReadWholeFile(WideOf(tree / relative), packed) || !UnpackBytes(packed, live)) return problems;
  for (const std::string& digest : RecentDigests(tree / folder)) {
    std::string text, packedPatch, patch, rebuilt;
    if (!KeptText(tree, folder, digest, text)) {
      problems.push_back(folder + digest + ".list is missing or is not the text its name says");
    } else if (!ReadWholeFile(WideOf(tree / PatchName(folder, digest, packed)), packedPatch) ||
               !UnpackBytes(packedPatch, patch) || !ApplyPatchBytes(text, patch, rebuilt) || rebuilt != live) {
      problems.push_back(PatchName(folder, digest, packed) + " is missing or does not rebuild the live " + relative +
                         " from that text");
    }
  }
  return problems;
}
