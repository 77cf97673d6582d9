#include "publish/tree_status.h"

#include <cstdio>
#include <ctime>
#include <map>
#include <set>
#include <vector>

#include "protocol/file_list.h"
#include "protocol/served_names.h"
#include "publish/chunk_store.h"
#include "publish/content_check.h"
#include "publish/channel_tree.h"
#include "publish/channels.h"
#include "publish/content_store.h"
#include "publish/listed_times.h"
#include "publish/release.h"
#include "publish/publication.h"
#include "publish/release_index.h"
#include "publish/renew_tree.h"
#include "publish/rollout_status.h"
#include "publish/tree_writes.h"
#include "engine/patch2.h"
#include "services/files.h"
#include "services/json.h"
#include "services/signing.h"
#include "publish/tree_builder.h"
#include "services/file_time.h"
#include "services/text.h"

namespace fs = std::filesystem;

namespace {

std::uint64_t FileSize(const fs::path& path) {
  std::error_code error;
  const std::uint64_t size = fs::file_size(path, error);
  return error ? 0 : size;
}

// The packed bytes of the chunks of the live index that the held one lacks, and of all of them;
// false when the live index cannot be read.
bool ChunkBytesToReach(const fs::path& product, const ListEntry& entry, const ListEntry& held, std::uint64_t& missing,
                       std::uint64_t& total) {
  ChunkIndex live, had;
  std::string ignored;
  if (!ReadChunkIndex(product, ListedChunkIndex(entry.chunks), live, ignored)) return false;
  std::set<std::string> heldChunks;
  if (!held.chunks.empty() && ReadChunkIndex(product, ListedChunkIndex(held.chunks), had, ignored)) {
    for (const ChunkRef& chunk : had.chunks) heldChunks.insert(chunk.sha256);
  }
  missing = total = 0;
  for (const ChunkRef& chunk : live.chunks) {
    total += chunk.packed;
    if (heldChunks.count(chunk.sha256) == 0) missing += chunk.packed;
  }
  return true;
}

// What a client holding a release downloads to reach the live list, as the client chooses: nothing
// for a file of the same content, the patch from its content when the live list has one, else
// the chunks it lacks when it holds a quarter of them or the tree keeps no whole files, else the
// whole file.
std::uint64_t DownloadToReach(const IniDocument& live, const IniDocument& from, const fs::path& product) {
  const ListHeader header = ParseListHeader(live);
  std::uint64_t bytes = 0;
  ListEntry entry, held;
  for (std::size_t i = FirstEntrySection(live); i < live.SectionCount(); ++i) {
    if (!ParseListEntry(live, i, entry) || entry.method == ListMethod::Remove || entry.method == ListMethod::Exists) {
      continue;
    }
    const std::size_t heldSection = from.FindSection(entry.name);
    held = ListEntry{};
    if (heldSection != IniDocument::NO_SECTION) ParseListEntry(from, heldSection, held);
    if (!held.checksum.empty() && EqualNoCase(held.checksum, entry.checksum)) continue;
    const ListedPatch* patches = held.checksum.empty() ? nullptr : entry.PatchesFrom(held.checksum);
    std::uint64_t missing = 0, total = 0;
    if ((patches == nullptr || patches->folder.empty()) && !entry.chunks.empty() &&
        ChunkBytesToReach(product, entry, held, missing, total) &&
        (missing * 4 <= total * 3 || !header.KeepsWholeFiles())) {
      bytes += missing;
      continue;
    }
    const std::wstring folder = patches == nullptr || patches->folder.empty() ? header.updateFolder : patches->folder;
    bytes += FileSize(product / PathOf(folder + entry.name));
  }
  return bytes;
}

}  // namespace

IniDocument PublishedList(const fs::path& product, const char* name) {
  std::string text;
  UnpackToMemory(product / name, text);
  return IniDocument(text);
}

// The version a served list names; empty when it names none.
std::string ServedVersion(const fs::path& product, const char* name) {
  return WideToUtf8(ParseListHeader(PublishedList(product, name)).versionName);
}


bool LoadTree(const fs::path& root, const std::wstring& rootKey, const std::wstring& channel, Tree& tree,
              std::string& error, bool newChannel) {
  tree.root = root;
  tree.channel = channel;
  error = FolderProblem(root);
  if (!error.empty()) return false;
  std::string text;
  if (!fs::exists(root / DETECT_FILE.narrow)) {
    error = root.string() + " is not a tree (no detectfile.enc at its root)";
    return false;
  }
  if (!UnpackToMemory(root / ROOT_DESCRIPTOR.narrow, text)) {
    error = "no published tree at " + root.string() + " (rootfolder.enc is missing or does not unpack)";
    return false;
  }
  tree.productName = RootFolderIn(IniDocument(text), rootKey);
  if (tree.productName.empty()) {
    error = "the tree at " + root.string() + " has no product folder under the key " + WideToUtf8(rootKey) +
            " in rootfolder.enc";
    return false;
  }
  tree.product = root / PathOf(tree.productName);
  tree.lists = ChannelListsOf(tree.product, channel);
  tree.index = ReleaseIndex::Load(tree.lists);
  if (!tree.index.exists() && !ChannelFolder(channel).empty()) {
    if (newChannel) return true;
    error = "the tree at " + root.string() + " has no channel " + WideToUtf8(channel) +
            "; zepo-publish build --channel " + WideToUtf8(channel) + " or promote --to " + WideToUtf8(channel) +
            " makes it";
    return false;
  }
  if (!tree.index.exists()) {
    error = "the tree at " + root.string() + " keeps no release index: it was built before releases were indexed; "
            "build the next release into it and the index starts";
    return false;
  }
  return true;
}

bool PublishTree(const Tree& tree, Publication& publication, const SigningOptions& signing, std::string& error) {
  publication.SetIndex(tree.ListsFolder() + ReleaseIndex::FILE_NAME, tree.index.Text());
  if (signing.Enabled() && !publication.Sign(signing, error)) return false;
  if (signing.removeSignatures) publication.RemoveSignatures();
  return publication.Publish(error);
}

namespace {

}  // namespace

// The names of a list's files (not its folders or removals), folded to one case.
std::set<std::wstring> FilesOf(const IniDocument& list) {
  std::set<std::wstring> files;
  ListEntry entry;
  for (std::size_t i = FirstEntrySection(list); i < list.SectionCount(); ++i) {
    if (!ParseListEntry(list, i, entry)) continue;
    if (entry.method != ListMethod::Remove && entry.target != ListTarget::Folder) files.insert(FoldCase(entry.name));
  }
  return files;
}

namespace {

// The objects a list names that the tree lacks: whole files, their second packed form, patches,
// chunk indexes and the chunks they name.
std::vector<std::string> MissingObjects(const IniDocument& list, const fs::path& product) {
  std::vector<std::string> missing;
  const ListHeader header = ParseListHeader(list);
  const std::wstring& updateFolder = header.updateFolder;
  auto need = [&](const std::wstring& relative) {
    std::error_code ignored;
    if (!fs::is_regular_file(product / PathOf(relative), ignored)) missing.push_back(WideToUtf8(relative));
  };
  ListEntry entry;
  for (std::size_t i = FirstEntrySection(list); i < list.SectionCount(); ++i) {
    if (!ParseListEntry(list, i, entry) || entry.method == ListMethod::Remove || entry.target == ListTarget::Folder) {
      continue;
    }
    if (header.KeepsWholeFiles() || entry.chunks.empty()) need(updateFolder + entry.name);
    if (!entry.whole2.empty()) need(updateFolder + entry.name + entry.whole2);
    ChunkIndex chunks;
    std::string unreadable;
    if (!entry.chunks.empty() && !ReadChunkIndex(product, ListedChunkIndex(entry.chunks), chunks, unreadable)) {
      missing.push_back(WideToUtf8(ChunkIndexName(ListedChunkIndex(entry.chunks))));
    }
    for (const ChunkRef& chunk : chunks.chunks) need(ChunkServedName(chunk));
    for (const ListedPatch& patches : entry.patches) {
      for (const std::wstring* folder : {&patches.folder, &patches.folder2}) {
        if (folder->rfind(L"patches", 0) == 0) need(*folder + entry.name);
      }
    }
  }
  return missing;
}

// Renews the live signatures: every served list signed again with a new serial and expiry.
bool Resign(const Tree& tree, const SigningOptions& signing, std::string& error) {
  std::error_code ignored;
  if (!fs::exists(tree.root / (std::string(ROOT_DESCRIPTOR.narrow) + SIGNATURE_SUFFIX.narrow), ignored)) {
    error = "the tree at " + tree.root.string() + " is not signed; zepo-publish build --sign publishes a signed release";
    return false;
  }
  Publication publication(tree.root, tree.productName, tree.channel);
  // A rollout's lists are the channel's too while it offers one.
  for (const std::string& list : EveryServedList(tree.root, tree.productName, {tree.channel})) publication.SignAlso(list);
  if (!PublishTree(tree, publication, signing, error)) return false;
  std::printf("the signatures of version %s are renewed: serial %llu, valid until %s\n",
              WideToUtf8(tree.index.live()).c_str(), static_cast<unsigned long long>(publication.serial()),
              ShownStamp(UtcStampInDays(signing.expiresDays)).c_str());
  return true;
}

// The earliest expiry among the signature files that state the served lists (or their renewals);
// empty when none.
std::string EarliestExpiry(const fs::path& root, const std::wstring& productName, const std::wstring& channel) {
  std::string earliest;
  for (const std::string& list : ServedLists(productName, channel)) {
    const std::string expires = LastingExpiry(root, list);
    if (!expires.empty() && (earliest.empty() || expires < earliest)) earliest = expires;
  }
  return earliest;
}

}  // namespace

std::vector<TreeProblem> TreeProblems(const fs::path& root, const std::wstring& rootKey, bool signatures,
                                      const std::wstring& channel) {
  Tree tree;
  std::string error;
  if (!LoadTree(root, rootKey, channel, tree, error)) return {{TreeProblem::NOT_A_TREE, error}};
  std::vector<TreeProblem> problems;
  std::error_code ignored;
  if (fs::exists(root / PUBLICATION_STAGE, ignored)) {
    problems.push_back({TreeProblem::UNFINISHED, "a publication was stopped before it finished (" +
                                                     std::string(PUBLICATION_STAGE) +
                                                     "); the next build, rollback or resign finishes or discards it"});
  }
  const std::string live = WideToUtf8(tree.index.live());
  if (live.empty()) problems.push_back({TreeProblem::SERVED, "the release index names no live version"});
  for (const char* name : {UPDATE_LIST.narrow, FULL_LIST.narrow}) {
    const std::string served = ServedVersion(tree.lists, name);
    if (served != live) {
      problems.push_back({TreeProblem::SERVED, std::string(name) + " serves version " +
                                                   (served.empty() ? "(none)" : served) +
                                                   ", but the release index says " + (live.empty() ? "(none)" : live) +
                                                   " is live"});
    }
  }
  // What clients that trust a key check first: each served list beside a signature that states it.
  if (!signatures || !fs::exists(root / (std::string(ROOT_DESCRIPTOR.narrow) + SIGNATURE_SUFFIX.narrow), ignored)) return problems;
  for (const std::string& list : ServedLists(tree.productName, channel)) {
    std::string text, packed;
    if (!ReadWholeFile(WideOf(root / (list + ".sig")), text)) {
      problems.push_back({TreeProblem::SIGNATURE, list + " has no signature file, although the tree is signed"});
      continue;
    }
    ReadWholeFile(WideOf(root / list), packed);
    if (text.find("\nsha256 " + Sha256Hex(packed) + "\n") == std::string::npos) {
      problems.push_back({TreeProblem::SIGNATURE,
                          list + ": its signature file does not state its bytes (clients that trust the key refuse it)"});
    }
  }
  const std::string expires = EarliestExpiry(root, tree.productName, channel);
  if (!expires.empty() && expires < UtcStampInDays(0)) {
    problems.push_back({TreeProblem::EXPIRED, "the live signatures expired on " + ShownStamp(expires) +
                                                  ": clients that trust the key refuse the tree; zepo-publish resign "
                                                  "renews them"});
  }
  return problems;
}

std::vector<std::string> ServedProblems(const fs::path& root, const std::wstring& rootKey, bool signatures,
                                        const std::wstring& channel) {
  std::vector<std::string> texts;
  for (const TreeProblem& problem : TreeProblems(root, rootKey, signatures, channel)) texts.push_back(problem.text);
  return texts;
}

bool ProductNameOf(const fs::path& tree, const std::wstring& rootKey, std::wstring& name) {
  std::string text;
  name.clear();
  if (!UnpackToMemory(tree / ROOT_DESCRIPTOR.narrow, text)) return false;
  IniDocument(text).ReadString(L"ServerConfig", rootKey, name);
  return !name.empty();
}

bool ProductFolderOf(const fs::path& tree, const std::wstring& rootKey, fs::path& product) {
  std::wstring folder;
  if (!ProductNameOf(tree, rootKey, folder)) return false;
  product = tree / PathOf(folder);
  return true;
}

namespace {

// The live version, and the one clients are served when the lists say otherwise (a publication
// stopped between its moves).
void ShowLive(const Tree& tree, JsonObject& object) {
  const std::string live = WideToUtf8(tree.index.live());
  const std::string list = ServedVersion(tree.lists, UPDATE_LIST.narrow);
  const std::string full = ServedVersion(tree.lists, FULL_LIST.narrow);
  object.Text("live", live).Text("served", list);
  if (list == live && full == live) {
    std::printf("live: %s\n", live.c_str());
    return;
  }
  std::printf("live: %s in the index, but clients are served %s (filelist.enc names %s, filelistfull.enc %s)\n",
              live.c_str(), list.empty() ? "no version" : list.c_str(), list.empty() ? "none" : list.c_str(),
              full.empty() ? "none" : full.c_str());
}

// Every channel of the product with its live version, when there is more than the default one;
// the one shown is marked.
void ShowChannels(const Tree& tree, JsonObject& object) {
  std::vector<std::string> channels;
  std::string line;
  for (const std::wstring& channel : ChannelsOf(tree.product)) {
    const std::wstring live = ReleaseIndex::Load(ChannelListsOf(tree.product, channel)).live();
    line += (line.empty() ? "" : ", ") + WideToUtf8(channel) + " " + (live.empty() ? "(none)" : WideToUtf8(live)) +
            (channel == tree.channel ? " (shown)" : "");
    channels.push_back(JsonObject().Text("name", WideToUtf8(channel)).Json("live", JsonTextOrNull(live)).Close());
  }
  object.Text("channel", WideToUtf8(tree.channel)).Json("channels", JsonArray(channels));
  if (channels.size() > 1) std::printf("channels: %s\n", line.c_str());
  const IndexedRollout& rollout = tree.index.rollout();
  if (rollout.version.empty()) {
    object.Json("rollout", "null");
    return;
  }
  object.Json("rollout", JsonObject()
                             .Text("version", WideToUtf8(rollout.version))
                             .Text("percent", WideToUtf8(rollout.percent))
                             .Text("state", WideToUtf8(rollout.state))
                             .Close());
  std::printf("rollout: %s to %s%% of the installations (%s)\n", WideToUtf8(rollout.version).c_str(),
              WideToUtf8(rollout.percent).c_str(), WideToUtf8(rollout.state).c_str());
}

// Until when the live signatures hold, or since when they are expired.
void ShowExpiry(const Tree& tree, JsonObject& object) {
  const std::string expires = EarliestExpiry(tree.root, tree.productName, tree.channel);
  if (expires.empty()) return;
  const std::int64_t left = UnixTimeOfStamp(expires) - static_cast<std::int64_t>(std::time(nullptr));
  const std::uint64_t days = static_cast<std::uint64_t>((left > 0 ? left : -left) / 86400);
  object.Text("signatures_valid_until", IsoStamp(expires))
      .Number("signature_days_left", left > 0 ? days : 0)
      .Flag("signatures_expired", left <= 0);
  if (left <= 0) {
    std::printf("signatures expired on %s (%llu days ago)\n", ShownStamp(expires).c_str(),
                static_cast<unsigned long long>(days));
    return;
  }
  std::printf("signatures valid until %s (%llu days left)\n", ShownStamp(expires).c_str(),
              static_cast<unsigned long long>(days));
  if (left < 7 * 86400) {
    std::printf("warning: the live signatures expire in under 7 days; renew them with zepo-publish resign\n");
  }
}

// A clock ahead leaves its time in what it signed and dated: the next signing continues above
// that serial, and a clock set right falls behind it.
std::vector<std::string> ClockWarnings(const Tree& tree) {
  constexpr std::int64_t HOUR = 3600;
  const auto now = static_cast<std::int64_t>(std::time(nullptr));
  std::vector<std::string> warnings;
  const auto serial = static_cast<std::int64_t>(SerialOf(tree.root / (std::string(ROOT_DESCRIPTOR.narrow) + SIGNATURE_SUFFIX.narrow)));
  if (serial > now + HOUR) {
    warnings.push_back("the live signatures' serial is of " + ShownStamp(UtcStampOf(serial)) +
                       ", more than an hour ahead of this computer's clock (" + ShownStamp(UtcStampOf(now)) +
                       "): the machine that signed them had a clock ahead, or this one's is behind");
  }
  const std::wstring inAnHour = IndexDateAt(now + HOUR);
  for (const IndexedRelease& release : tree.index.releases()) {
    const std::wstring& latest = release.liveAgain.empty() ? release.date : release.liveAgain;
    if (latest > inAnHour) {
      warnings.push_back("release " + WideToUtf8(release.version) + " is dated " + WideToUtf8(latest) +
                         " UTC, more than an hour ahead of this computer's clock: the machine that published it had a "
                         "clock ahead, or this one's is behind");
    }
  }
  return warnings;
}

// The closing line: how many problems, and of which kinds.
std::string ProblemSummary(const std::vector<TreeProblem>& problems) {
  std::string kinds;
  std::set<TreeProblem::Kind> said;
  for (const TreeProblem& problem : problems) {
    if (!said.insert(problem.kind).second) continue;
    static const std::map<TreeProblem::Kind, const char*> WORDS = {
        {TreeProblem::NOT_A_TREE, "the tree cannot be read"},
        {TreeProblem::UNFINISHED, "a publication did not finish"},
        {TreeProblem::SERVED, "what clients are served is not what the index says"},
        {TreeProblem::SIGNATURE, "signature files do not state the served lists"},
        {TreeProblem::EXPIRED, "the live signatures expired"},
        {TreeProblem::DAMAGED, "released content is damaged"}};
    kinds += (kinds.empty() ? "" : "; ") + std::string(WORDS.at(problem.kind));
  }
  return std::to_string(problems.size()) + (problems.size() == 1 ? " problem: " : " problems: ") + kinds;
}

// The table of the kept releases, each with what its players download to reach the live one, as
// JSON objects into releases; the pruned ones into pruned.
void ShowReleases(const Tree& tree, const IniDocument& live, std::vector<std::string>& releases,
                  std::vector<std::string>& pruned) {
  const ReleaseIndex& index = tree.index;
  std::printf("%-12s %-16s %7s %11s %11s %8s  %s\n", "version", "published (UTC)", "files", "packed", "added",
              "patches", "download to reach the live one");
  for (const IndexedRelease& r : index.releases()) {
    if (!r.pruned.empty()) {
      pruned.push_back(WideToUtf8(r.version) + " (on " + WideToUtf8(r.pruned) + ")");
      continue;
    }
    const std::uint64_t download = DownloadToReach(live, index.ListOf(r.version), tree.product);
    std::printf("%-12s %-16s %7zu %11s %11s %8zu  %s%s%s\n", WideToUtf8(r.version).c_str(), WideToUtf8(r.date).c_str(),
                r.files, ByteSize(r.packedBytes).c_str(), r.addedBytes ? ByteSize(*r.addedBytes).c_str() : "-",
                r.patches, ByteSize(download).c_str(),
                r.version == index.live() ? "  (live)" : "",
                r.liveAgain.empty() ? "" : ("  (rolled back to on " + WideToUtf8(r.liveAgain) + ")").c_str());
    JsonObject release;
    release.Text("version", WideToUtf8(r.version))
        .Text("published", IsoStamp(WideToUtf8(r.date)))
        .Number("files", r.files)
        .Number("packed_bytes", r.packedBytes);
    if (r.addedBytes) release.Number("added_bytes", *r.addedBytes);
    releases.push_back(release
                           .Number("patches", r.patches)
                           .Number("download_to_live", download)
                           .Flag("live", r.version == index.live())
                           .Json("rolled_back_to_on",
                                 r.liveAgain.empty() ? "null" : JsonString(IsoStamp(WideToUtf8(r.liveAgain))))
                           .Close());
  }
}

}  // namespace

std::vector<DownloadFrom> DownloadsToTheLive(const fs::path& root, const std::wstring& rootKey,
                                             const std::wstring& channel) {
  Tree tree;
  std::string error;
  std::vector<DownloadFrom> downloads;
  if (!LoadTree(root, rootKey, channel, tree, error)) return downloads;
  const IniDocument live = PublishedList(tree.lists);
  for (const IndexedRelease& r : tree.index.releases()) {
    if (!r.pruned.empty() || r.version == tree.index.live()) continue;
    downloads.push_back({r.version, DownloadToReach(live, tree.index.ListOf(r.version), tree.product)});
  }
  downloads.push_back({L"", DownloadToReach(live, IniDocument(), tree.product)});
  return downloads;
}

bool ShowTreeStatus(const fs::path& root, const std::wstring& rootKey, const std::wstring& channel, std::string& error,
                    std::string* json, const std::vector<fs::path>& accessLogs) {
  Tree tree;
  if (!LoadTree(root, rootKey, channel, tree, error)) return false;
  const ReleaseIndex& index = tree.index;
  const IniDocument live = PublishedList(tree.lists);
  JsonObject object;
  ShowChannels(tree, object);
  ShowLive(tree, object);
  ShowExpiry(tree, object);
  const std::vector<std::string> warnings = ClockWarnings(tree);
  for (const std::string& warning : warnings) std::printf("warning: %s\n", warning.c_str());
  std::vector<std::string> releases, pruned;
  ShowReleases(tree, live, releases, pruned);
  std::string prunedLine;
  for (const std::string& release : pruned) prunedLine += (prunedLine.empty() ? "" : ", ") + release;
  if (!pruned.empty()) std::printf("pruned: %s\n", prunedLine.c_str());
  std::string reports = "null";
  if (!accessLogs.empty()) {
    ReportCounts counts;
    if (!CountReports(accessLogs, tree.productName, counts, error)) return false;
    PrintReportCounts(WideToUtf8(channel), counts[WideToUtf8(channel)], &reports);
  }
  const std::uint64_t treeBytes = ContentStore::TreeBytes(root);
  std::printf("the tree takes %s on disk (a content stored once however many releases name it)\n",
              ByteSize(treeBytes).c_str());
  std::vector<TreeProblem> problems = TreeProblems(root, rootKey, true, channel);
  for (const DamagedContent& damaged : DamagedContentOf(root, tree.product, index, IndexedVersions(index))) {
    problems.push_back({TreeProblem::DAMAGED, damaged.Text()});
  }
  std::vector<std::string> texts;
  for (const TreeProblem& problem : problems) {
    std::printf("problem: %s\n", problem.text.c_str());
    texts.push_back(problem.text);
  }
  if (json != nullptr) {
    *json = object.Json("releases", JsonArray(releases))
                .Json("pruned", JsonTexts(pruned))
                .Json("reports", reports)
                .Number("tree_bytes", treeBytes)
                .Json("warnings", JsonTexts(warnings))
                .Json("problems", JsonTexts(texts))
                .Text("result", problems.empty() ? "ok" : "problems")
                .Number("exit", problems.empty() ? 0 : 1)
                .Close();
  }
  if (problems.empty()) return true;
  error = ProblemSummary(problems);
  return false;
}

bool ResignTree(const fs::path& root, const std::wstring& rootKey, const std::wstring& channel,
                const SigningOptions& signing, std::string& error) {
  Tree tree;
  return LoadTree(root, rootKey, channel, tree, error) && Resign(tree, signing, error);
}

namespace {

// The files of a list that may come as patches: those a client updates whole or by a patch.
std::vector<std::wstring> PatchableFiles(const IniDocument& list) {
  std::vector<std::wstring> names;
  ListEntry entry;
  for (std::size_t i = FirstEntrySection(list); i < list.SectionCount(); ++i) {
    if (list.SectionReadFor(i) != i || !ParseListEntry(list, i, entry)) continue;
    if (entry.method == ListMethod::Update || entry.method == ListMethod::Patch) names.push_back(entry.name);
  }
  return names;
}

}  // namespace

// Whether a kept release can serve clients again: indexed, not pruned, its list kept, and every
// file its list names in the tree and sound. False with the reason.
bool CanGoLiveAgain(const fs::path& root, const Tree& tree, const std::wstring& version, const IniDocument& kept,
                    std::string& error) {
  const IndexedRelease* release = tree.index.Find(version);
  const std::string named = "version " + WideToUtf8(version);
  if (release == nullptr) {
    error = named + " is not in the tree's index; zepo-publish status lists its releases";
    return false;
  }
  if (!release->pruned.empty()) {
    error = named + " was pruned on " + WideToUtf8(release->pruned) +
            ": its files are gone from the tree, and it cannot go live again; nothing changed";
    return false;
  }
  if (kept.SectionCount() == 0) {
    error = "the list of " + named + " is not kept in the tree";
    return false;
  }
  if (version == tree.index.live()) return true;
  const std::vector<std::string> missing = MissingObjects(kept, tree.product);
  if (!missing.empty()) {
    error = named + " cannot go live again: " + std::to_string(missing.size()) +
            " files that its list names are not in the tree (clients would fail on them), such as " +
            (tree.product / missing.front()).string() + "; nothing changed";
    return false;
  }
  const std::vector<DamagedContent> damaged = DamagedContentOf(root, tree.product, tree.index, {version});
  if (!damaged.empty()) {
    error = named + " cannot go live again: " + std::to_string(damaged.size()) +
            " of its files are damaged in the tree (clients would refuse them), such as " + damaged.front().Text() +
            "; nothing changed. zepo-publish verify names them all; a build of the release's folder under a new "
            "version packs them again";
    return false;
  }
  return true;
}

namespace {

// The kept list again, with the times that clients can trust against what they hold (a file
// whose content goes back but whose time another content of its name had in that minute gets the
// publish time, as a build gives it) and the patches back from the live release's content. Its
// files' names go into present.
std::wstring RestoredList(const IniDocument& kept, const ListedTimes& history, const ReversePatchKeys& reverse,
                          std::set<std::wstring>& present) {
  const std::uint64_t now = TicksFromUnixTime(static_cast<std::int64_t>(std::time(nullptr)), 0);
  std::wstring list = ComposeListHeader(ParseListHeader(kept));
  ListEntry entry;
  for (std::size_t i = FirstEntrySection(kept); i < kept.SectionCount(); ++i) {
    if (!ParseListEntry(kept, i, entry)) continue;
    present.insert(FoldCase(entry.name));
    const std::wstring clash = history.Clash(entry.name, entry.dateTime, entry.checksum);
    if (!clash.empty()) entry.dateTime = PublishTimeAfter(clash, now);
    const auto reverseKeys = reverse.find(FoldCase(entry.name));
    if (reverseKeys != reverse.end() && !reverseKeys->second.empty()) {
      if (entry.method == ListMethod::Update) entry.method = ListMethod::Patch;
      for (const auto& [key, folder] : reverseKeys->second) {
        const std::wstring suffix = key.size() > 32 ? key.substr(32) : L"";
        entry.AddPatchKey(key.substr(0, 32), suffix, folder);
      }
    }
    list += ComposeListEntry(entry);
  }
  return list;
}

// The removals of every file that another kept release shipped and the restored one does not.
std::wstring RemovalsOfOthers(const ReleaseIndex& index, std::set<std::wstring>& present) {
  std::wstring removals;
  ListEntry entry;
  for (const IndexedRelease& release : index.releases()) {
    const IniDocument other = index.ListOf(release.version);
    for (std::size_t i = FirstEntrySection(other); i < other.SectionCount(); ++i) {
      if (!ParseListEntry(other, i, entry) || entry.target == ListTarget::Folder) continue;
      if (!present.insert(FoldCase(entry.name)).second) continue;
      removals += ComposeListEntry(ListRule(entry.name, ListMethod::Remove, ListTarget::File));
    }
  }
  return removals;
}

}  // namespace

bool ComposeServedLists(Tree& tree, const std::wstring& version, const std::wstring& from, std::wstring& full,
                        std::wstring& update, std::string& error) {
  const IniDocument kept = tree.index.ListOf(version);
  ReversePatchKeys reverse;
  if (!from.empty() && from != version &&
      !PublishReversePatches(tree.root, tree.productName, from, version, PatchableFiles(kept), reverse, error)) {
    return false;
  }
  std::set<std::wstring> present;
  full = RestoredList(kept, ListedTimes::Of(tree.product), reverse, present);
  update = full + RemovalsOfOthers(tree.index, present);
  return true;
}

namespace {

// Makes a version of the channel's index live: its list published anew on the channel, with
// patches back from the live version's content and the removals of what other releases shipped.
// rollback: the version goes live again (the index says when), not for the first time on the channel.
bool MakeVersionLive(Tree& tree, const std::wstring& version, const SigningOptions& signing, bool allowRemovals,
                     bool rollback, std::string& error) {
  ReleaseIndex& index = tree.index;
  const IniDocument kept = index.ListOf(version);
  if (!CanGoLiveAgain(tree.root, tree, version, kept, error)) return false;
  if (version == index.live()) {
    if (signing.Enabled()) return Resign(tree, signing, error);
    std::printf("version %s is live already; nothing changed\n", WideToUtf8(version).c_str());
    return true;
  }
  if (!CheckRemovals(FilesOf(PublishedList(tree.lists)), FilesOf(kept), version, allowRemovals, error)) return false;
  // Clients at the live version go back by patches from its content, not by whole files.
  std::wstring full, update;
  if (!ComposeServedLists(tree, version, index.live(), full, update, error)) return false;
  index.MakeLive(version, rollback ? IndexDateNow() : L"");
  const std::string listsFolder = tree.ListsFolder();
  Publication publication(tree.root, tree.productName, tree.channel);
  publication.AddList(listsFolder + FULL_LIST.narrow, ListTextOnChannel(full, tree.channel));
  publication.AddList(listsFolder + UPDATE_LIST.narrow, ListTextOnChannel(update, tree.channel));
  return PublishTree(tree, publication, signing, error);
}

}  // namespace

bool RollbackTree(const fs::path& root, const std::wstring& rootKey, const std::wstring& channel,
                  const std::wstring& version, const SigningOptions& signing, bool allowRemovals, std::string& error) {
  Tree tree;
  if (!LoadTree(root, rootKey, channel, tree, error) || !SigningFitsTree(root, signing, error)) return false;
  const bool wasLive = version == tree.index.live();
  if (!MakeVersionLive(tree, version, signing, allowRemovals, true, error)) return false;
  if (!wasLive) {
    std::printf("version %s is live again%s; clients go back to it on their next run\n", WideToUtf8(version).c_str(),
                ChannelFolder(channel).empty() ? "" : (" on the channel " + WideToUtf8(channel)).c_str());
  }
  return true;
}

bool ImportRelease(const Tree& source, Tree& target, const std::wstring& version, std::string& error) {
  if (target.index.Find(version) != nullptr) return true;
  const IndexedRelease* release = source.index.Find(version);
  std::string text;
  if (release == nullptr || !UnpackToMemory(source.lists / "releases" / PathOf(version + L".enc"), text) ||
      !target.index.KeepList(version, text, error)) {
    if (error.empty()) error = "the list of version " + WideToUtf8(version) + " is not kept in the tree";
    return false;
  }
  IndexedRelease record = *release;
  record.date = IndexDateNow();
  record.addedBytes = 0;
  record.liveAgain.clear();
  target.index.Add(record);
  return true;
}

bool PromoteTree(const fs::path& root, const std::wstring& rootKey, const std::wstring& from, const std::wstring& to,
                 const std::wstring& version, const SigningOptions& signing, bool allowRemovals, std::string& error) {
  Tree source, target;
  if (!LoadTree(root, rootKey, from, source, error) || !LoadTree(root, rootKey, to, target, error, true) ||
      !SigningFitsTree(root, signing, error)) {
    return false;
  }
  const std::wstring promoted = version.empty() ? source.index.live() : version;
  const IndexedRelease* release = source.index.Find(promoted);
  if (release == nullptr || !release->pruned.empty()) {
    error = "version " + WideToUtf8(promoted) + (release == nullptr ? " is not in the index of the channel "
                                                                     : " was pruned from the channel ") +
            WideToUtf8(from) + "; zepo-publish status --channel " + WideToUtf8(from) + " lists its releases";
    return false;
  }
  if (!ImportRelease(source, target, promoted, error)) return false;
  if (!MakeVersionLive(target, promoted, signing, allowRemovals, false, error)) return false;
  std::printf("version %s of the channel %s is live on the channel %s; its clients take it on their next run\n",
              WideToUtf8(promoted).c_str(), WideToUtf8(from).c_str(), WideToUtf8(to).c_str());
  return true;
}
