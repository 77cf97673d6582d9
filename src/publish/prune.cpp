#include "publish/prune.h"

#include <cstdio>
#include <set>
#include <vector>

#include "protocol/file_list.h"
#include "protocol/served_names.h"
#include "publish/channels.h"
#include "publish/chunk_store.h"
#include "publish/content_store.h"
#include "publish/release.h"
#include "publish/release_index.h"
#include "publish/tree_status.h"
#include "publish/tree_writes.h"
#include "services/files.h"
#include "services/text.h"

namespace fs = std::filesystem;

namespace {

// The versions to prune now: the releases that options choose among those not pruned yet, never
// the live one nor the last options.keep.
std::vector<std::wstring> ChosenVersions(const ReleaseIndex& index, const PruneOptions& options) {
  const std::vector<std::wstring> held = IndexedVersions(index);
  const std::size_t protectedFrom = options.keep >= held.size() ? 0 : held.size() - options.keep;
  std::vector<std::wstring> chosen;
  for (std::size_t i = 0; i < held.size(); ++i) {
    if (held[i] == index.live() || (options.keep > 0 && i >= protectedFrom)) continue;
    // Dates are "YYYY-MM-DD hh:mm": before a day is a comparison of text.
    if (!options.before.empty() && !(index.Find(held[i])->date < options.before)) continue;
    chosen.push_back(held[i]);
  }
  return chosen;
}

// A path relative to the product folder as one text however it was written: a list names
// "patches/A-B/" + "data\\x.pak".
std::wstring PathKey(std::wstring path) {
  for (wchar_t& c : path) c = c == L'\\' ? L'/' : c;
  return FoldCase(path);
}

// Every patch file that a list names.
void AddNamedPatches(const IniDocument& list, std::set<std::wstring>& named) {
  ListEntry entry;
  for (std::size_t i = FirstEntrySection(list); i < list.SectionCount(); ++i) {
    if (!ParseListEntry(list, list.SectionReadFor(i), entry)) continue;
    for (const ListedPatch& patches : entry.patches) {
      for (const std::wstring* folder : {&patches.folder, &patches.folder2}) {
        if (folder->rfind(L"patches", 0) == 0) named.insert(PathKey(*folder + entry.name));
      }
    }
  }
}

IniDocument ServedList(const fs::path& product, const char* name) {
  std::string text;
  UnpackToMemory(product / name, text);
  return IniDocument(text);
}

// Removes a folder's files that keep() refuses, then the folders left empty; counts the files.
template <typename Keep>
std::size_t RemoveFilesUnless(const fs::path& folder, Keep keep) {
  std::size_t removed = 0;
  std::vector<fs::path> files, folders;
  std::error_code failure;
  for (auto it = fs::recursive_directory_iterator(folder, failure); !failure && it != fs::recursive_directory_iterator();
       it.increment(failure)) {
    std::error_code ignored;
    if (it->is_directory(ignored)) folders.push_back(it->path());
    else if (!keep(it->path())) files.push_back(it->path());
  }
  for (const fs::path& file : files) removed += RemoveFile(WideOf(file)) ? 1 : 0;
  // Deepest first, so that a folder whose folders went is empty in its turn.
  for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
    std::error_code ignored;
    if (fs::is_empty(*it, ignored)) fs::remove(*it, ignored);
  }
  return removed;
}

// The identities of the files under folder, and whether any of them has another name (a tree on
// a file system with hard links).
std::set<std::pair<std::uint64_t, std::uint64_t>> IdentitiesUnder(const fs::path& folder, bool& linked) {
  std::set<std::pair<std::uint64_t, std::uint64_t>> identities;
  std::error_code failure;
  for (auto it = fs::recursive_directory_iterator(folder, failure); !failure && it != fs::recursive_directory_iterator();
       it.increment(failure)) {
    std::error_code ignored;
    std::uint64_t volume = 0, number = 0;
    if (!it->is_regular_file(ignored) || !FileIdentityOf(WideOf(it->path()), volume, number)) continue;
    identities.insert({volume, number});
    if (fs::hard_link_count(it->path(), ignored) > 1) linked = true;
  }
  return identities;
}

std::string Joined(const std::vector<std::wstring>& versions) {
  std::string text;
  for (const std::wstring& version : versions) text += (text.empty() ? "" : ", ") + WideToUtf8(version);
  return text;
}

// The lists that name what the tree must keep: every kept release's and every served list, on
// every channel (the channels share one store of content).
std::vector<IniDocument> ListsThatName(const fs::path& product) {
  std::vector<IniDocument> lists;
  for (const std::wstring& channel : ChannelsOf(product)) {
    const fs::path folder = ChannelListsOf(product, channel);
    const ReleaseIndex index = ReleaseIndex::Load(folder);
    for (const std::wstring& version : IndexedVersions(index)) lists.push_back(index.ListOf(version));
    for (const char* list : {UPDATE_LIST.narrow, FULL_LIST.narrow}) lists.push_back(ServedList(folder, list));
  }
  return lists;
}

// Whether another channel than the pruned one still keeps the version (a promoted release).
bool KeptElsewhere(const fs::path& product, const std::wstring& pruned, const std::wstring& version) {
  for (const std::wstring& channel : ChannelsOf(product)) {
    if (channel == pruned) continue;
    const ReleaseIndex index = ReleaseIndex::Load(ChannelListsOf(product, channel));
    const IndexedRelease* release = index.Find(version);
    if (release != nullptr && release->pruned.empty()) return true;
  }
  return false;
}

// The patches that no kept release and no served list names; how many went.
std::size_t RemoveUnnamedPatches(const fs::path& product, const std::vector<IniDocument>& naming) {
  std::set<std::wstring> named;
  for (const IniDocument& list : naming) AddNamedPatches(list, named);
  std::size_t patches = 0;
  for (const char* folder : {"patches", "patches2"}) {
    patches += RemoveFilesUnless(product / folder, [&](const fs::path& file) {
      std::error_code ignored;
      return named.count(PathKey(WideOf(fs::relative(file, product, ignored)))) != 0;
    });
  }
  return patches;
}

// The chunk indexes that a list names.
void AddNamedIndexes(const IniDocument& list, std::set<std::string>& named) {
  ListEntry entry;
  for (std::size_t i = FirstEntrySection(list); i < list.SectionCount(); ++i) {
    if (ParseListEntry(list, list.SectionReadFor(i), entry) && !ListedChunkIndex(entry.chunks).empty()) {
      named.insert(ListedChunkIndex(entry.chunks));
    }
  }
}

// The chunks and indexes that no kept release and no served list names (and what a stopped
// build left half-written); how many went. Nothing goes when a named index cannot be read: the
// chunks it names are not known then.
bool RemoveUnnamedChunks(const fs::path& product, const std::vector<IniDocument>& naming, std::size_t& removed,
                         std::string& problem) {
  std::set<std::string> indexes, names;
  for (const IniDocument& list : naming) AddNamedIndexes(list, indexes);
  if (!ChunkObjectsOf(product, indexes, names, problem)) return false;
  removed = RemoveFilesUnless(product / CHUNKS_FOLDER, [&](const fs::path& file) {
    std::error_code ignored;
    return names.count(fs::relative(file, product, ignored).generic_string()) != 0;
  });
  return true;
}

// What clients are served on every channel must be what its index says, or a release they are
// served could go.
bool ServedAsIndexed(const fs::path& tree, const std::wstring& rootKey, const fs::path& product, std::string& error) {
  for (const std::wstring& channel : ChannelsOf(product)) {
    const std::vector<std::string> problems = ServedProblems(tree, rootKey, false, channel);
    if (!problems.empty()) {
      error = "the tree is not pruned: " + problems.front() +
              (ChannelFolder(channel).empty() ? "" : " (channel " + WideToUtf8(channel) + ")");
      return false;
    }
  }
  return true;
}

}  // namespace

bool PruneTree(const fs::path& tree, const std::wstring& rootKey, const PruneOptions& options, std::string& error) {
  fs::path product;
  if (!ProductFolderOf(tree, rootKey, product)) {
    error = tree.string() + " is not a tree (no rootfolder.enc that names a product folder)";
    return false;
  }
  const fs::path lists = ChannelListsOf(product, options.channel);
  ReleaseIndex index = ReleaseIndex::Load(lists);
  if (!index.exists() || index.live().empty()) {
    error = "the tree at " + tree.string() + " keeps no release index with a live version on the channel " +
            WideToUtf8(options.channel) + "; nothing to prune";
    return false;
  }
  if (!ServedAsIndexed(tree, rootKey, product, error)) return false;
  const std::uint64_t before = ContentStore::TreeBytes(tree);
  const std::vector<std::wstring> chosen = ChosenVersions(index, options);
  if (!chosen.empty()) {
    // The index first: a prune stopped after it is finished by the next, never the other way.
    for (const std::wstring& version : chosen) index.MarkPruned(version, IndexDateNow());
    if (!WriteFileAtomically(lists / ReleaseIndex::FILE_NAME, index.Text(), error)) return false;
  }
  std::size_t files = 0;
  for (const IndexedRelease& release : index.releases()) {
    if (release.pruned.empty() || KeptElsewhere(product, options.channel, release.version)) continue;
    files += RemoveFilesUnless(product / "files" / PathOf(release.version), [](const fs::path&) { return false; });
    std::error_code ignored;
    fs::remove(product / "files" / PathOf(release.version), ignored);
  }
  const std::vector<IniDocument> naming = ListsThatName(product);
  const std::size_t patches = RemoveUnnamedPatches(product, naming);
  std::size_t chunks = 0;
  std::string chunkProblem;
  if (!RemoveUnnamedChunks(product, naming, chunks, chunkProblem)) {
    std::printf("warning: no chunk is pruned, for %s\n", chunkProblem.c_str());
  }
  bool linked = false;
  const auto held = IdentitiesUnder(product / "files", linked);
  std::size_t stored = 0;
  if (linked) {
    stored = RemoveFilesUnless(tree / ContentStore::FOLDER, [&](const fs::path& file) {
      std::uint64_t volume = 0, number = 0;
      return !FileIdentityOf(WideOf(file), volume, number) || held.count({volume, number}) != 0;
    });
  }
  const std::uint64_t after = ContentStore::TreeBytes(tree);
  if (chosen.empty() && files == 0 && patches == 0 && chunks == 0 && stored == 0) {
    std::printf("nothing to prune: every release the tree holds is live, among the kept ones or not chosen\n");
    return true;
  }
  if (!chosen.empty()) std::printf("pruned %s\n", Joined(chosen).c_str());
  std::printf("freed %s: release files %zu, patches %zu, chunks %zu, stored contents %zu (what no kept release "
              "names)\n",
              ByteSize(before > after ? before - after : 0).c_str(), files, patches, chunks, stored);
  if (!linked) std::printf("the store is left as it is: this file system keeps copies, not links, of its contents\n");
  std::printf("zepo-publish push --prune takes them away from the origin too\n");
  return true;
}
