#include "publish/verify.h"

#include <ctime>
#include <cstdio>
#include <map>
#include <set>
#include <vector>

#include "protocol/file_list.h"
#include "protocol/served_names.h"
#include "engine/patch.h"
#include "engine/patch2.h"
#include "engine/safe_name.h"
#include "publish/channels.h"
#include "publish/chunk_store.h"
#include "publish/content_check.h"
#include "publish/file_progress.h"
#include "publish/patch_source.h"
#include "publish/release.h"
#include "publish/tree_builder.h"
#include "services/platform.h"
#include "services/files.h"
#include "services/ini.h"
#include "services/json.h"
#include "services/md5.h"
#include "services/packed2.h"
#include "services/key_chain.h"
#include "services/renewal.h"
#include "services/signing.h"
#include "publish/tree_writes.h"
#include "publish/tree_status.h"
#include "publish/list_patches.h"
#include "publish/release_index.h"
#include "services/text.h"

namespace fs = std::filesystem;

namespace {

std::string Md5Text(const std::string& bytes) { return WideToUtf8(Md5OfBytes(bytes.data(), bytes.size())); }

class Verifier {
 public:
  Verifier(const fs::path& tree, const fs::path& product, bool signedTree)
      : tree_(tree), product_(product), signed_(signedTree) {}

  // Each problem once: the short and the full list share most entries.
  void Problem(const std::string& text) {
    if (!reported_.insert(text).second) return;
    std::printf("problem: %s\n", text.c_str());
    said_.push_back(text);
  }
  int problems() const { return static_cast<int>(said_.size()); }
  const std::vector<std::string>& said() const { return said_; }
  int unverified() const { return unverified_; }

  // The whole files of every version in the tree, by name and digest, to rebuild patches from.
  void IndexWholeFiles() {
    std::error_code error;
    const fs::path files = product_ / "files";
    for (auto it = fs::recursive_directory_iterator(files, error); !error && it != fs::recursive_directory_iterator();
         it.increment(error)) {
      if (!it->is_regular_file()) continue;
      const fs::path relative = fs::relative(it->path(), files);
      auto part = relative.begin();
      if (part == relative.end()) continue;
      fs::path name;
      for (++part; part != relative.end(); ++part) name /= *part;
      std::wstring key = WideOf(name);
      for (auto& c : key) c = c == L'/' ? L'\\' : c;
      OldContent plain;
      if (UnpackContent(it->path(), plain)) byName_[FoldCase(key)][plain.Checksum()] = it->path();
    }
  }

  // wholeFiles: the list's tree keeps whole files (a tree of chunks alone keeps only the updater's).
  void CheckEntry(const ListEntry& entry, const std::wstring& updateFolder, bool wholeFiles) {
    const std::wstring& name = entry.name;
    const std::wstring& checksum = entry.checksum;
    const std::string shown = ShownName(name);
    const std::wstring nameProblem = EntryNameProblem(name);
    if (!nameProblem.empty()) return Problem(shown + ": every client refuses the list for this name: it holds " +
                                             WideToUtf8(nameProblem));
    if (entry.method == ListMethod::Remove) {
      if (entry.target == ListTarget::Folder) {
        Problem(shown + ": removes a whole folder, and with it every file that players keep in it");
      }
      return;
    }
    if (entry.method == ListMethod::Exists && entry.target == ListTarget::Folder) return;
    if (!entry.chunks.empty()) CheckChunks(entry, shown);
    const fs::path whole = product_ / PathOf(updateFolder + name);
    OldContent plain;
    if (!fs::exists(whole) && !entry.chunks.empty() && !wholeFiles) return;
    if (!fs::exists(whole)) return Problem(shown + ": no whole file at " + whole.string());
    if (!UnpackContent(whole, plain)) return Problem(shown + ": the whole file does not unpack");
    if (!checksum.empty() && !EqualNoCase(AnsiToWide(plain.Checksum()), checksum)) {
      return Problem(shown + ": the whole file's digest is not its CheckSum");
    }
    CheckContentKeys(entry, shown, plain);
    if (!entry.whole2.empty()) CheckWhole2(name, updateFolder + name + entry.whole2, checksum);
    for (const ListedPatch& patches : entry.patches) {
      // A patch from a file of another name is rebuilt from that file's content.
      const std::wstring& from = patches.source.empty() ? name : patches.source;
      if (!patches.folder.empty()) CheckPatch(name, from, patches.from, patches.folder, checksum, false);
      if (!patches.folder2.empty()) CheckPatch(name, from, patches.from, patches.folder2, checksum, true);
    }
  }

 private:
  // The file's chunks: its index is the one its name says, every chunk unpacks to its name, and
  // together they make the listed content.
  void CheckChunks(const ListEntry& entry, const std::string& shown) {
    const std::string name = ListedChunkIndex(entry.chunks);
    if (name.empty()) return Problem(shown + ": its Chunks.3 is not a SHA-256");
    ChunkIndex index;
    std::string error, plain;
    if (!ReadChunkIndex(product_, name, index, error)) return Problem(shown + ": " + error);
    Md5 md5;
    Sha256Stream sha256;
    for (const ChunkRef& chunk : index.chunks) {
      if (!ReadChunk(product_, chunk, plain, error)) return Problem(shown + ": " + error);
      md5.Update(plain.data(), plain.size());
      sha256.Add(plain.data(), plain.size());
    }
    const std::wstring pack = entry.chunksPack;
    if (!pack.empty() && ListedChunkIndex(pack) != OnePackOf(index, [&](const std::wstring& object) {
          std::error_code missing;
          const std::uintmax_t size = fs::file_size(product_ / PathOf(object), missing);
          return missing ? 0 : static_cast<std::uint64_t>(size);
        })) {
      Problem(shown + ": its Chunks.3.pack is not the pack of its chunks alone");
    }
    const bool sizeMatches = entry.size.empty() || entry.size == std::to_wstring(index.fileSize);
    const bool shaMatches = entry.sha256.empty() || ListedChunkIndex(entry.sha256) == sha256.Hex();
    if (!sizeMatches || !shaMatches || (!entry.checksum.empty() && !EqualNoCase(md5.FinalText(), entry.checksum))) {
      Problem(shown + ": its chunks do not make the content its CheckSum, SHA256 and Size say");
    }
  }

  void CheckWhole2(const std::wstring& name, const std::wstring& path, const std::wstring& checksum) {
    const std::string shown = ShownName(name);
    const fs::path whole2 = product_ / PathOf(path);
    std::error_code error;
    if (!fs::is_regular_file(whole2, error)) return Problem(shown + ": no zstd-packed whole file at " + whole2.string());
    std::wstring digest;
    if (fs::file_size(whole2, error) < LARGE_PACKED) {
      std::string packed, plain;
      if (ReadWholeFile(WideOf(whole2), packed) && Unpack2Bytes(packed, plain, UINT64_MAX)) {
        digest = Md5OfBytes(plain.data(), plain.size());
      }
    } else {
      // A large one is unpacked in pieces, through a scratch file.
      const fs::path scratch = ScratchFile();
      std::wstring cause, writeFailure;
      Unpack2FileWithDigest(WideOf(whole2), WideOf(scratch), digest, cause, writeFailure);
      RemoveFile(WideOf(scratch));
    }
    if (digest.empty() || !EqualNoCase(digest, checksum)) {
      Problem(shown + ": the zstd-packed whole file does not unpack to its CheckSum");
    }
  }

  // A patch of either format from the content of digest (held by the file named from), rebuilt
  // from that content when the tree holds it.
  void CheckPatch(const std::wstring& name, const std::wstring& from, const std::wstring& digest,
                  const std::wstring& folder, const std::wstring& checksum, bool second) {
    const std::string shown = ShownName(name);
    const fs::path patchPath = product_ / PathOf(folder + name);
    std::string patch;
    if (!fs::exists(patchPath)) return Problem(shown + ": no patch at " + patchPath.string());
    if (second ? !ReadWholeFile(WideOf(patchPath), patch) : !UnpackToMemory(patchPath, patch)) {
      return Problem(shown + ": the patch at " + patchPath.string() + " does not unpack");
    }
    const fs::path* source = nullptr;
    auto versions = byName_.find(FoldCase(from));
    if (versions != byName_.end()) {
      auto found = versions->second.find(WideToUtf8(FoldCase(digest)));
      if (found != versions->second.end()) source = &found->second;
    }
    if (source == nullptr) {
      ++unverified_;
      return;
    }
    OldContent old;
    if (!UnpackContent(*source, old) || !PatchRebuilds(second ? 2 : 1, old, patch, WideToUtf8(checksum))) {
      Problem(shown + ": the " + (second ? "format-2 " : "") + "patch from " + WideToUtf8(digest) +
              " does not rebuild the file");
    }
  }

  // The Size that every client bounds the file by, and a signed tree's SHA256, which clients that
  // trust its key hold every file to.
  void CheckContentKeys(const ListEntry& entry, const std::string& shown, const OldContent& plain) {
    const std::wstring& sha256 = entry.sha256;
    const std::wstring& size = entry.size;
    if (!size.empty() && size != std::to_wstring(plain.Size())) {
      Problem(shown + ": the whole file is not the " + WideToUtf8(size) + " bytes its Size says (clients refuse it)");
    }
    if (sha256.empty()) {
      if (signed_) Problem(shown + ": no SHA256 and Size in a signed tree: clients that trust its key refuse it");
      return;
    }
    if (!EqualNoCase(sha256, AnsiToWide(plain.Sha256())) || size != std::to_wstring(plain.Size())) {
      Problem(shown + ": the whole file is not what its SHA256 and Size say");
    }
  }

  fs::path tree_;
  fs::path product_;
  bool signed_;
  std::map<std::wstring, std::map<std::string, fs::path>> byName_;
  std::set<std::string> reported_;
  std::vector<std::string> said_;  // the problems in the order found
  int unverified_ = 0;
};

// What an update of the installation would do, file by file, and what it would download; the
// totals as a JSON object.
std::string DescribeUpdate(const IniDocument& list, const std::vector<std::wstring>& names, const fs::path& product,
                           const std::wstring& updateFolder, const fs::path& install) {
  std::uint64_t download = 0;
  std::size_t counts[4] = {};
  for (std::size_t i = 1; i < names.size(); ++i) {
    const std::wstring& name = names[i];
    if (!IsSafeEntryName(name)) continue;  // never a path outside the installation
    ListEntry entry;
    ParseListEntry(list, list.FindSection(name), entry);
    const fs::path local = install / PathOf(name);
    std::error_code error;
    const std::string shown = WideToUtf8(name);
    if (entry.method == ListMethod::Remove) {
      if (fs::exists(local, error)) std::printf("remove   %s\n", shown.c_str()), ++counts[2];
      continue;
    }
    if (entry.method == ListMethod::Exists && (entry.target == ListTarget::Folder || fs::exists(local, error))) continue;
    std::string content;
    const bool present = fs::is_regular_file(local, error) && ReadWholeFile(WideOf(local), content);
    const std::string digest = present ? Md5Text(content) : "";
    if (present && EqualNoCase(AnsiToWide(digest), entry.checksum)) continue;
    const ListedPatch* patches = present && entry.method == ListMethod::Patch ? entry.PatchesFrom(AnsiToWide(digest)) : nullptr;
    const std::wstring folder = patches == nullptr ? L"" : patches->folder;
    const bool patch = !folder.empty();
    const fs::path source = product / PathOf((patch ? folder : updateFolder) + name);
    const std::uint64_t size = fs::file_size(source, error);
    download += error ? 0 : size;
    std::printf("%s %s (%llu bytes)\n", patch ? "patch   " : "download", shown.c_str(), static_cast<unsigned long long>(size));
    ++counts[patch ? 1 : 0];
  }
  std::printf("an update would download %zu whole files and %zu patches (%llu bytes) and remove %zu items\n", counts[0],
              counts[1], static_cast<unsigned long long>(download), counts[2]);
  return JsonObject()
      .Number("whole_files", counts[0])
      .Number("patches", counts[1])
      .Number("bytes", download)
      .Number("removals", counts[2])
      .Close();
}

}  // namespace

namespace {

// A descriptor's or list's signature file: it states the file's bytes and name and the product;
// with keys, it is a trusted key's and has not expired.
// name: the file as its statement names it ("filelist.enc", "channels/beta/filelist.enc").
void CheckSignature(Verifier& verifier, const fs::path& file, const std::string& name, const std::string& product,
                    const std::string& publicKeys) {
  std::string text, packed, problem;
  if (!ReadWholeFile(WideOf(file) + L".sig", text)) return verifier.Problem(name + " has no signature file");
  ReadWholeFile(WideOf(file), packed);
  SignedStatement statement;
  if (publicKeys.empty()) {
    // Without a key the statement is read as it stands; whose it is stays unchecked.
    std::printf("%s: signed; give --public-key to check whose signature it is\n", name.c_str());
    for (std::size_t at = text.find("\nsha256 "); at != std::string::npos; at = text.find("\nsha256 ", at + 1)) {
      statement.digests.push_back(text.substr(at + 8, 64));
    }
    statement.file = name;
    statement.product = product;
    statement.expires = "99999999999999";
  } else if (!ReadSignatureFile(text, publicKeys, statement, problem)) {
    return verifier.Problem(name + ": " + problem);
  }
  if (!statement.States(Sha256Hex(packed))) verifier.Problem(name + ": its bytes are not the ones its signature states");
  if (statement.file != name) verifier.Problem(name + ": its signature is for " + statement.file);
  if (statement.product != product) verifier.Problem(name + ": its signature is for the product " + statement.product);
  std::string renewal;
  if (statement.expires < UtcStampInDays(0) && ReadWholeFile(WideOf(file) + RENEWAL_SUFFIX_WIDE, renewal) &&
      !ApplyRenewal(text, renewal, statement, static_cast<std::int64_t>(std::time(nullptr)), problem)) {
    verifier.Problem(name + ": its renewal is refused: " + problem);
  }
  if (statement.expires < UtcStampInDays(0)) verifier.Problem(name + ": its signature expired at " + statement.expires);
}

}  // namespace

namespace {

// The size a list gives an entry, 0 when it gives none.
std::uint64_t ListedBytes(const ListEntry& entry) {
  const std::wstring& size = entry.size;
  return size.empty() || size.size() > 19 || size.find_first_not_of(L"0123456789") != std::wstring::npos
             ? 0
             : std::stoull(size);
}

}  // namespace

namespace {

// A tree that cannot be checked at all: its one problem.
bool Unreadable(const std::string& problem, std::string* json) {
  std::printf("problem: %s\n", problem.c_str());
  if (json != nullptr) {
    *json = JsonObject()
                .Text("result", "problems")
                .Number("exit", 1)
                .Number("entries", 0)
                .Json("problems", JsonTexts({problem}))
                .Close();
  }
  return false;
}

// Every entry of a list (names: its sections, the header first), with progress by the bytes
// the list gives them.
void CheckEntries(Verifier& verifier, const IniDocument& list, const std::vector<std::wstring>& names,
                  const ListHeader& header) {
  std::uint64_t listedBytes = 0;
  ListEntry entry;
  for (std::size_t i = 1; i < names.size(); ++i) {
    if (ParseListEntry(list, list.FindSection(names[i]), entry)) listedBytes += ListedBytes(entry);
  }
  FileProgress progress(names.size() - 1, listedBytes, StdoutIsTerminal(), L"checked");
  for (std::size_t i = 1; i < names.size(); ++i) {
    ParseListEntry(list, list.FindSection(names[i]), entry);
    entry.name = names[i];
    progress.Started(names[i], ListedBytes(entry));
    verifier.CheckEntry(entry, header.updateFolder, header.KeepsWholeFiles());
    progress.Finished(names[i], ListedBytes(entry));
  }
  progress.End();
}

// The signatures of the root descriptor and every channel's lists, as clients that trust a key
// check them.
void CheckSignatures(Verifier& verifier, const fs::path& tree, const std::wstring& productFolder,
                     const std::string& givenKeys) {
  const std::string product = WideToUtf8(productFolder);
  // The keys the given ones handed their role to, as clients follow the tree's chain.
  std::string chain, publicKeys = givenKeys;
  if (ParseTrustedKeys(givenKeys).threshold == 1 && !givenKeys.empty() &&
      ReadWholeFile(WideOf(tree / KEY_CHAIN_FILE), chain)) {
    std::vector<std::string> broken;
    ReadKeyChain(chain, &broken);
    for (const std::string& problem : broken) verifier.Problem(std::string(KEY_CHAIN_FILE) + ": " + problem);
    const FollowedKeys followed = FollowKeyChain(chain, givenKeys);
    publicKeys.clear();
    for (const std::string& key : followed.trusted) publicKeys += (publicKeys.empty() ? "" : ",") + key;
    if (followed.followed > 0) {
      std::printf("%s: the given keys handed their role on by %zu rotation%s\n", KEY_CHAIN_FILE, followed.followed,
                  followed.followed == 1 ? "" : "s");
    }
  }
  CheckSignature(verifier, tree / ROOT_DESCRIPTOR.narrow, ROOT_DESCRIPTOR.narrow, product, publicKeys);
  for (const std::wstring& channel : ChannelsOf(tree / PathOf(productFolder))) {
    for (const char* list : {UPDATE_LIST.narrow, FULL_LIST.narrow}) {
      const std::string name = WideToUtf8(ChannelFolder(channel)) + list;
      CheckSignature(verifier, tree / PathOf(productFolder + ChannelFolder(channel)) / list, name, product, publicKeys);
    }
  }
}

// Every chunk that a kept release names is in the tree, at its packed size, and its index is the
// one the release's list names: any kept release may go live again.
void CheckKeptChunks(Verifier& verifier, const fs::path& product, const ReleaseIndex& index) {
  std::set<std::string> checked;
  for (const std::wstring& version : IndexedVersions(index)) {
    const IniDocument list = index.ListOf(version);
    ListEntry entry;
    for (std::size_t i = FirstEntrySection(list); i < list.SectionCount(); ++i) {
      if (!ParseListEntry(list, list.SectionReadFor(i), entry) || entry.chunks.empty()) continue;
      const std::string name = ListedChunkIndex(entry.chunks);
      if (!checked.insert(name).second) continue;
      const std::string shown = "version " + WideToUtf8(version) + ": " + ShownName(entry.name);
      ChunkIndex chunks;
      std::string error;
      if (!ReadChunkIndex(product, name, chunks, error)) {
        verifier.Problem(shown + ": " + error);
        continue;
      }
      for (const ChunkRef& chunk : chunks.chunks) {
        const fs::path path = product / PathOf(ChunkServedName(chunk));
        std::error_code failure;
        const std::uintmax_t size = fs::file_size(path, failure);
        if (failure || (chunk.pack.empty() ? size != chunk.packed : size < chunk.at + chunk.packed)) {
          verifier.Problem(shown + ": its chunk " + chunk.sha256 + " in " + path.string() +
                           " is missing or not the size its index says");
          break;
        }
      }
    }
  }
}

// A tree that keeps an index must serve what the index calls live, and every release it keeps
// (any may go live again) must still unpack to its list.
void CheckReleases(Verifier& verifier, const fs::path& tree, const fs::path& product, const std::wstring& rootKey) {
  for (const std::wstring& channel : ChannelsOf(product)) {
    const ReleaseIndex index = ReleaseIndex::Load(ChannelListsOf(product, channel));
    if (!index.exists()) continue;
    for (const std::string& problem : ServedProblems(tree, rootKey, false, channel)) verifier.Problem(problem);
    for (const DamagedContent& damaged : DamagedContentOf(tree, product, index, IndexedVersions(index))) {
      verifier.Problem(damaged.Text());
    }
    CheckKeptChunks(verifier, product, index);
  }
}

// A channel's two lists: their list patches and every entry. install: also what an update of
// that installation from the default channel would download, into update. The entries checked.
std::size_t CheckChannelLists(Verifier& verifier, const fs::path& tree, const std::wstring& productFolder,
                              const std::wstring& channel, const fs::path* install, std::string& update) {
  const fs::path product = tree / PathOf(productFolder);
  const std::string shownChannel = ChannelFolder(channel).empty() ? "" : " of the channel " + WideToUtf8(channel);
  std::size_t entries = 0;
  for (const char* listName : {UPDATE_LIST.narrow, FULL_LIST.narrow}) {
    std::string listText;
    if (!UnpackToMemory(ChannelListsOf(product, channel) / listName, listText)) {
      if (std::string(listName) == UPDATE_LIST.narrow) {
        verifier.Problem("filelist.enc" + shownChannel + " is missing or does not unpack");
      }
      continue;
    }
    const std::string listPath = WideToUtf8(productFolder + ChannelFolder(channel)) + listName;
    for (const std::string& problem : ListPatchProblems(tree, listPath)) verifier.Problem(problem);
    const IniDocument list(listText);
    const auto names = list.SectionNames();
    if (names.empty() || !EqualNoCase(names[0], LIST_HEADER_SECTION)) {
      verifier.Problem(std::string(listName) + shownChannel + " does not begin with its ServerConfig section");
      continue;
    }
    const ListHeader header = ParseListHeader(list);
    if (!ListIsOfChannel(header, channel)) {
      verifier.Problem(std::string(listName) + shownChannel + " is the list of another channel (clients refuse it)");
    }
    CheckEntries(verifier, list, names, header);
    entries += names.size() - 1;
    if (install != nullptr && ChannelFolder(channel).empty() && std::string(listName) == UPDATE_LIST.narrow) {
      update = DescribeUpdate(list, names, product, header.updateFolder, *install);
    }
  }
  return entries;
}

}  // namespace

bool VerifyTree(const fs::path& tree, const std::wstring& rootKey, const fs::path* install,
                const std::string& publicKeys, std::string* json) {
  std::string rootText;
  const std::string problem = FolderProblem(tree);
  if (!problem.empty()) return Unreadable(problem, json);
  if (!UnpackToMemory(tree / DETECT_FILE.narrow, rootText)) {
    return Unreadable(tree.string() + " is not a tree (no detectfile.enc at its root, or it does not unpack)", json);
  }
  if (!UnpackToMemory(tree / ROOT_DESCRIPTOR.narrow, rootText)) {
    return Unreadable("rootfolder.enc is missing or does not unpack", json);
  }
  const std::wstring productFolder = RootFolderIn(IniDocument(rootText), rootKey);
  const fs::path product = tree / PathOf(productFolder);
  const bool signedTree = fs::exists(tree / (std::string(ROOT_DESCRIPTOR.narrow) + SIGNATURE_SUFFIX.narrow));
  Verifier verifier(tree, product, signedTree);
  if (signedTree) CheckSignatures(verifier, tree, productFolder, publicKeys);
  CheckReleases(verifier, tree, product, rootKey);
  std::size_t entries = 0;
  std::string update = "null";
  verifier.IndexWholeFiles();
  for (const std::wstring& channel : ChannelsOf(product)) {
    entries += CheckChannelLists(verifier, tree, productFolder, channel, install, update);
  }
  std::printf("%zu entries checked, %d problems, %d patches whose source content is not in the tree\n", entries,
              verifier.problems(), verifier.unverified());
  if (json != nullptr) {
    *json = JsonObject()
                .Text("result", verifier.problems() == 0 ? "ok" : "problems")
                .Number("exit", verifier.problems() == 0 ? 0 : 1)
                .Number("entries", entries)
                .Json("problems", JsonTexts(verifier.said()))
                .Number("unverified_patch_sources", static_cast<std::uint64_t>(verifier.unverified()))
                .Json("update", update)
                .Close();
  }
  return verifier.problems() == 0;
}
