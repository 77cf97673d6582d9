#include "publish/tree_builder.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "engine/patch.h"
#include "engine/patch2.h"
#include "engine/safe_name.h"
#include "protocol/file_list.h"
#include "protocol/served_names.h"
#include "publish/chunk_store.h"
#include "publish/channels.h"
#include "publish/content_store.h"
#include "publish/file_progress.h"
#include "publish/listed_times.h"
#include "publish/delta.h"
#include "publish/delta2.h"
#include "publish/delta_chunked.h"
#include "publish/patch_source.h"
#include "publish/release.h"
#include "publish/publication.h"
#include "publish/release_index.h"
#include "publish/tree_writes.h"
#include "services/file_time.h"
#include "services/signing.h"
#include "services/files.h"
#include "services/ini.h"
#include "services/md5.h"
#include "services/packed.h"
#include "services/packed2.h"
#include "services/platform.h"
#include "services/text.h"

namespace fs = std::filesystem;

namespace {

std::string Md5Text(const std::string& bytes) { return WideToUtf8(Md5OfBytes(bytes.data(), bytes.size())); }

bool ReadFile(const fs::path& path, std::string& bytes) { return ReadWholeFile(WideOf(path), bytes); }

// What one file of the release becomes in the list.
// A patch as the list names it: the MD5 of the content it starts from, its folder and its bytes.
struct PatchKey {
  std::string oldSum;
  std::string folder;
  std::uint64_t bytes;
};

struct FileResult {
  ListMethod method = ListMethod::Update;
  std::wstring dateTime;
  std::wstring sourceTime;  // the release folder's time, when the listed one was moved
  std::string checksum;
  std::string sha256;  // signed trees only
  std::uint64_t size = 0;
  std::vector<PatchKey> patchKeys;  // the byte code's patches
  std::vector<std::pair<std::size_t, std::uint64_t>> patchSources;  // per key: source, packed bytes
  std::vector<PatchKey> patch2Keys;  // the format-2 patches
  std::vector<std::pair<std::string, std::wstring>> patchFrom;  // old MD5, the old file's other name
  std::wstring whole2;  // the extension of the zstd-packed whole file; empty when none
  std::uint64_t wholeBytes = 0;
  std::uint64_t whole2Bytes = 0;
  std::uint64_t patchBytes = 0;
  std::uint64_t patch2Bytes = 0;
  std::uint64_t storedBytes = 0;  // what the file's publication added to the tree
  ChunkedFile chunked;            // the file in chunks; no index when the tree keeps none
  std::string error;
};

bool InList(const std::vector<std::wstring>& names, const std::wstring& name) {
  return std::any_of(names.begin(), names.end(), [&](const std::wstring& n) { return EqualNoCase(n, name); });
}

// Publishes a patch under its immutable URL, which names the two contents it joins: the callers
// have found no file there, so there is nothing it could differ from.
bool PublishNewFile(const fs::path& target, const std::string& bytes, std::string& error) {
  std::error_code ignored;
  fs::create_directories(target.parent_path(), ignored);
  return WriteFileAtomically(target, bytes, error);
}

}  // namespace

namespace {

// Files from this size on are sampled before zstd's slow top level packs them whole.
constexpr std::size_t WHOLE2_SAMPLED_FROM = 16 << 20;
constexpr std::size_t WHOLE2_SAMPLE_SLICE = 1 << 20;

// The zstd level that packs a file whole, or 0 when zstd would not save 2% over zlib. Three slices
// of a large file (start, middle, end) packed each way tell: compressed media and archives gain
// nothing, and zstd's top level spends minutes on each large one to find that out. Large files
// that do pack take the top level only where it saves 1% over level 9, which packs ten times
// faster: mixed data (records and compressed blobs) gains a few tenths of a percent there.
constexpr int WHOLE2_FAST_LEVEL = 9;
using SliceReader = std::function<std::string(std::uint64_t at, std::size_t size)>;
int Whole2Level(std::uint64_t size, const SliceReader& slice) {
  if (size < WHOLE2_SAMPLED_FROM) return PACK2_LEVEL;
  std::string sample;
  for (const std::uint64_t at : {std::uint64_t{0}, size / 2, size - WHOLE2_SAMPLE_SLICE}) {
    sample += slice(at, WHOLE2_SAMPLE_SLICE);
  }
  const std::size_t zlib = PackBytes(sample, 9).size(), zstd = Pack2Bytes(sample).size();
  if (zstd == 0 || zlib == 0 || zstd * 100 >= zlib * 98) return 0;
  const std::size_t fast = Pack2Bytes(sample, WHOLE2_FAST_LEVEL).size();
  return fast > 0 && zstd * 100 >= fast * 99 ? WHOLE2_FAST_LEVEL : PACK2_LEVEL;
}

std::string SliceOfFile(const fs::path& path, std::uint64_t at, std::size_t size) {
  FileHandle file = FileHandle::OpenForRead(WideOf(path));
  std::string bytes(size, '\0');
  std::size_t got = 0;
  if (!file.IsOpen() || !file.Seek(static_cast<std::int64_t>(at)) || !file.Read(bytes.data(), size, got)) got = 0;
  bytes.resize(got);
  return bytes;
}

class Builder {
 public:
  Builder(const BuildOptions& options, const std::vector<PatchSource>& sources, const std::vector<ReleaseItem>& items,
          bool replaceUnpublished)
      : options_(options),
        sources_(sources),
        replace_(replaceUnpublished),
        productRoot_(options.out / PathOf(options.product)),
        store_(options.out) {
    for (const ReleaseItem& item : items) names_.insert(FoldCase(item.name));
  }

  // Where the steps of each file are shown; none by default.
  void ShowStepsIn(FileProgress* progress) { progress_ = progress; }

  FileResult Publish(const ReleaseItem& item) {
    FileResult result;
    // A large file is never held whole: it is hashed, packed and patched from the disk.
    const bool large = item.size >= options_.chunkedFrom;
    std::string content, sha256;
    const bool selfUpdate = InList(options_.selfUpdate, item.name);
    const bool chunks = options_.chunks && !selfUpdate;
    Step(item, L"reading");
    // A large file in chunks is identified by the pass that cuts it: it is read once.
    if (chunks && large) {
      // Its SHA-256 keys the store of whole files and is signed; a tree of chunks alone, unsigned,
      // needs neither.
      if (!AddChunks(item, options_.signing.Enabled() || options_.highestFormat >= 1, result)) return result;
      result.checksum = result.chunked.md5;
      result.size = result.chunked.bytes;
      sha256 = result.chunked.sha256;
      GetFileTimeText(WideOf(item.path), result.dateTime);
    } else if (!Identify(item, large, content, sha256, result)) {
      result.error = "cannot read " + item.path.string();
      return result;
    }
    if (options_.signing.Enabled()) result.sha256 = sha256;
    if (chunks && !large && !AddChunks(item, false, result)) return result;
    // Where whole forms are kept a fresh installation takes them: the pack that is a file's chunks
    // goes unnamed, a line less per file in every list.
    if (options_.highestFormat >= 1) result.chunked.onePack.clear();
    // The updater's own files come whole in the form every updater reads, whatever the tree keeps.
    if ((options_.highestFormat >= 1 || selfUpdate) && !AddWhole(item, content, large, sha256, result)) return result;
    if (selfUpdate) {
      result.method = ListMethod::SelfUpdate;
      return result;
    }
    if (options_.highestFormat >= 2 && !AddWhole2(item, content, large, sha256, result)) return result;
    if (InList(options_.keep, item.name)) {
      result.method = ListMethod::Exists;
      return result;
    }
    result.method = ListMethod::Update;
    if (options_.highestFormat >= 1) AddPatches(item, content, large, result.wholeBytes, result);
    if (!result.patchKeys.empty() || !result.patch2Keys.empty()) result.method = ListMethod::Patch;
    return result;
  }

  std::wstring UpdateFolder() const { return L"files/" + options_.version + L"/"; }
  std::vector<std::string> StoreRepairs() const { return store_.Repairs(); }
  // Lands the chunks and indexes that no landing took yet: before any list names them.
  bool LandChunks(std::string& error) { return chunkObjects_.Land(error); }

  // The verified patches from the sources to content, whose packed whole file has wholeSize bytes;
  // a large content is not in memory but at item.path.
  void PatchFromSources(const ReleaseItem& item, const std::string& content, bool large, std::size_t wholeSize,
                        FileResult& result) {
    AddPatches(item, content, large, wholeSize, result);
  }

 private:
  // The whole file packed with zlib, which every updater reads. False with result.error when it
  // cannot be published.
  bool AddWhole(const ReleaseItem& item, const std::string& content, bool large, const std::string& sha256,
                FileResult& result) {
    Step(item, L"packing with zlib");
    const fs::path target = productRoot_ / PathOf(UpdateFolder() + item.name);
    std::uint64_t stored = 0;
    const bool packed =
        large ? store_.PublishPackedFile(
                    target, sha256, "z1",
                    [&](const fs::path& part) {
                      return Written(PackFile(WideOf(item.path), WideOf(part), 9, ShareOf(item)));
                    },
                    replace_, result.wholeBytes, stored, result.error)
              : store_.Publish(target, sha256, "z1", [&] { return PackBytes(content, 9); }, replace_, result.wholeBytes,
                               stored, result.error);
    if (!packed || result.wholeBytes == 0) {
      if (result.error.empty()) result.error = "cannot pack " + item.path.string();
      return false;
    }
    result.storedBytes += stored;
    return true;
  }

  // The file in chunks: the chunks the tree lacks and the file's index. False with result.error
  // when they cannot be stored.
  bool AddChunks(const ReleaseItem& item, bool wholeSha256, FileResult& result) {
    Step(item, L"cutting into chunks");
    if (!StoreChunks(productRoot_, item.path, options_.jobs, wholeSha256, ShareOf(item), chunkObjects_, chunkCatalog_,
                     result.chunked,
                     result.error)) {
      return false;
    }
    result.storedBytes += result.chunked.storedBytes;
    return true;
  }

  // The zstd-packed whole file beside the zlib one, when it is smaller and its name is free (a
  // release may hold a file named like it). False with result.error when it cannot be published.
  bool AddWhole2(const ReleaseItem& item, const std::string& content, bool large, const std::string& sha256,
                 FileResult& result) {
    const std::wstring name = item.name + WHOLE2_EXTENSION;
    if (names_.count(FoldCase(name)) != 0) return true;
    Step(item, L"packing with zstd");
    const fs::path target = productRoot_ / PathOf(UpdateFolder() + name);
    std::uint64_t size = 0, stored = 0;
    const bool published =
        large ? store_.PublishPackedFile(
                    target, sha256, "z2",
                    [&](const fs::path& part) {
                      const int level = Whole2Level(item.size, [&](std::uint64_t at, std::size_t n) {
                        return SliceOfFile(item.path, at, n);
                      });
                      if (level == 0) return ContentStore::Packed::NotWorth;
                      if (!Pack2File(WideOf(item.path), WideOf(part), level, ShareOf(item))) {
                        return ContentStore::Packed::Failed;
                      }
                      std::error_code error;
                      return fs::file_size(part, error) < result.wholeBytes ? ContentStore::Packed::Written
                                                                            : ContentStore::Packed::NotWorth;
                    },
                    replace_, size, stored, result.error)
              : store_.Publish(
                    target, sha256, "z2",
                    [&] {
                      const int level = Whole2Level(content.size(), [&](std::uint64_t at, std::size_t n) {
                        return content.substr(static_cast<std::size_t>(at), n);
                      });
                      std::string packed = level == 0 ? std::string() : Pack2Bytes(content, level);
                      return packed.size() < result.wholeBytes ? packed : std::string();
                    },
                    replace_, size, stored, result.error);
    if (!published) return false;
    if (size == 0) return true;
    result.whole2 = WHOLE2_EXTENSION;
    result.whole2Bytes = size;
    result.storedBytes += stored;
    return true;
  }

  static ContentStore::Packed Written(bool written) {
    return written ? ContentStore::Packed::Written : ContentStore::Packed::Failed;
  }

  // The file's time, MD5, size and SHA-256; its content as well unless it is large.
  static bool Identify(const ReleaseItem& item, bool large, std::string& content, std::string& sha256,
                       FileResult& result) {
    if (!large && !ReadFile(item.path, content)) return false;
    GetFileTimeText(WideOf(item.path), result.dateTime);
    if (!large) {
      result.checksum = Md5Text(content);
      result.size = content.size();
      sha256 = Sha256Hex(content);
      return true;
    }
    std::wstring digest;
    Md5OfFile(digest, WideOf(item.path));
    sha256 = Sha256OfFile(WideOf(item.path));
    std::error_code error;
    result.checksum = WideToUtf8(digest);
    result.size = fs::file_size(item.path, error);
    return !digest.empty() && !sha256.empty() && !error;
  }

  void AddPatches(const ReleaseItem& item, const std::string& content, bool large, std::size_t wholeSize,
                  FileResult& result) {
    std::set<std::string> done;
    const auto limit = static_cast<std::uint64_t>(options_.patchShare * static_cast<double>(wholeSize));
    // Newest first, so that a content that two sources share is counted for the newer one.
    for (std::size_t k = sources_.size(); k-- > 0;) {
      OldContent old;
      std::wstring from = item.name;
      if (!sources_[k].Fetch(item.name, large, options_.chunkedFrom, old)) {
        from = sources_[k].SimilarTo(item.name, content, wholeSize, options_.chunkedFrom);
        if (from.empty() || !sources_[k].Fetch(from, large, options_.chunkedFrom, old)) continue;
      }
      const std::string oldSum = old.Checksum();
      if (oldSum == result.checksum || !done.insert(oldSum).second) continue;
      const std::size_t keysBefore = result.patchKeys.size() + result.patch2Keys.size();
      Step(item, L"patch from " + sources_[k].label);
      const std::string folder = "patches/" + oldSum + "-" + result.checksum + "/";
      std::uint64_t size = 0;
      if (!PublishPatch(1, item, old, content, folder, limit, size, result)) {
        if (!result.error.empty()) return;
      } else {
        result.patchKeys.push_back({oldSum, folder, size});
        result.patchSources.push_back({k, size});
        result.patchBytes += size;
      }
      if (options_.highestFormat < 2) continue;
      // A format-2 patch only where it saves bytes over the byte code (or over the whole file
      // when the byte code's patch was too large to publish).
      const std::string folder2 = "patches2/" + oldSum + "-" + result.checksum + "/";
      std::uint64_t size2 = 0;
      Step(item, L"format-2 patch from " + sources_[k].label);
      if (PublishPatch(2, item, old, content, folder2, size > 0 ? size : limit, size2, result)) {
        result.patch2Keys.push_back({oldSum, folder2, size2});
        result.patch2Bytes += size2;
      } else if (!result.error.empty()) {
        return;
      }
      NameOtherSource(from, item, oldSum, keysBefore, result);
    }
  }

  // A patch from a file of another name is listed with that name, which clients read it from.
  static void NameOtherSource(const std::wstring& from, const ReleaseItem& item, const std::string& oldSum,
                              std::size_t keysBefore, FileResult& result) {
    if (!EqualNoCase(from, item.name) && result.patchKeys.size() + result.patch2Keys.size() > keysBefore) {
      result.patchFrom.push_back({oldSum, from});
    }
  }

  // The patch of the format from old to the new content: by the whole-file matcher in memory,
  // or in chunks from the files when either is large.
  bool MakePatchOf(int format, const OldContent& old, const ReleaseItem& item, const std::string& content,
                   std::string& patch) const {
    if (old.OnDisk()) {
      std::string ignored;
      return MakeChunkedPatch(WideOf(old.file), WideOf(item.path), format, patch, ignored, ChunkedShape{},
                              [&](std::uint64_t done, std::uint64_t total) {
                                if (progress_ != nullptr) progress_->StepShare(item.name, double(done) / double(total));
                              });
    }
    const auto* oldData = reinterpret_cast<const std::uint8_t*>(old.bytes.data());
    const auto* newData = reinterpret_cast<const std::uint8_t*>(content.data());
    return format == 1 ? MakePatch(oldData, old.bytes.size(), newData, content.size(), patch)
                       : MakePatch2(oldData, old.bytes.size(), newData, content.size(), patch);
  }

  // Publishes the patch of the format from old in folder when its published size is below limit
  // (or finds it published by an earlier build); its size in size. False when there is none,
  // with result.error when it must not be published at all. Format 1's byte code is published
  // packed; format 2's file packs its own streams.
  bool PublishPatch(int format, const ReleaseItem& item, const OldContent& old, const std::string& content,
                    const std::string& folder, std::uint64_t limit, std::uint64_t& size, FileResult& result) {
    const fs::path target = productRoot_ / PathOf(AnsiToWide(folder) + item.name);
    std::error_code error;
    if (fs::exists(target)) {
      size = fs::file_size(target, error);  // made and verified by an earlier build
      return !error;
    }
    std::string patch;
    if (!MakePatchOf(format, old, item, content, patch) || (format == 2 && patch.size() >= limit)) return false;
    // Verified before the list may name it.
    if (!PatchRebuilds(format, old, patch, result.checksum)) {
      result.error = std::string(format == 1 ? "the patch" : "the format-2 patch") + " for " + WideToUtf8(item.name) +
                     " does not rebuild it; not published";
      return false;
    }
    const std::string published = format == 1 ? PackPatch(patch) : std::move(patch);
    if (published.empty() || published.size() >= limit) return false;
    if (!PublishNewFile(target, published, result.error)) return false;
    size = published.size();
    result.storedBytes += size;
    return true;
  }

  void Step(const ReleaseItem& item, const std::wstring& step) const {
    if (progress_ != nullptr) progress_->Step(item.name, step);
  }
  // Shows how much of a large file its present step has read.
  PackProgress ShareOf(const ReleaseItem& item) const {
    return [this, &item](std::uint64_t read) {
      if (progress_ != nullptr && item.size > 0) progress_->StepShare(item.name, double(read) / double(item.size));
    };
  }

  const BuildOptions& options_;
  FileProgress* progress_ = nullptr;
  const std::vector<PatchSource>& sources_;
  bool replace_;
  fs::path productRoot_;
  ContentStore store_;
  SharedObjectBatch chunkObjects_{productRoot_};
  ChunkCatalog chunkCatalog_{productRoot_};
  std::set<std::wstring> names_;  // the release's names, folded to one case
};

// The live release's DateTime and CheckSum of each file, by name folded to one case; empty for a
// new tree.
struct ListedFile {
  std::wstring dateTime;
  std::wstring checksum;
};

std::map<std::wstring, ListedFile> ReadLiveList(const fs::path& product) {
  std::map<std::wstring, ListedFile> live;
  std::string text;
  if (!UnpackToMemory(product / FULL_LIST.narrow, text)) return live;
  const IniDocument list(text);
  ListEntry entry;
  for (std::size_t i = FirstEntrySection(list); i < list.SectionCount(); ++i) {
    if (!ParseListEntry(list, i, entry)) continue;
    if (!entry.checksum.empty()) live[FoldCase(entry.name)] = ListedFile{entry.dateTime, entry.checksum};
  }
  return live;
}

// Clients take a file whose time is the listed one to the minute as up to date, without reading
// it (listed_times.h): a changed file whose time another content of its name had in that minute
// is listed with the publish time instead, in a later minute, and keeps its own as SourceTime. An
// unchanged file keeps the time listed before, so that clients are not sent to read it. Answers
// how many times were moved.
std::size_t SettleTimes(const std::map<std::wstring, ListedFile>& live, const ListedTimes& history,
                        const std::vector<ReleaseItem>& items, std::vector<FileResult>& results, std::uint64_t now) {
  std::size_t moved = 0;
  for (std::size_t i = 0; i < items.size(); ++i) {
    FileResult& result = results[i];
    if (items[i].folder || result.method == ListMethod::Exists) continue;
    const auto listed = live.find(FoldCase(items[i].name));
    if (listed != live.end() && EqualNoCase(listed->second.checksum, AnsiToWide(result.checksum))) {
      if (!listed->second.dateTime.empty()) result.dateTime = listed->second.dateTime;
      continue;
    }
    const std::wstring clash = history.Clash(items[i].name, result.dateTime, AnsiToWide(result.checksum));
    if (clash.empty()) continue;
    result.sourceTime = result.dateTime;
    result.dateTime = PublishTimeAfter(clash, now);
    ++moved;
  }
  return moved;
}

}  // namespace

std::wstring PublishTimeAfter(const std::wstring& listed, std::uint64_t now) {
  constexpr std::uint64_t TICKS_PER_MINUTE = 60ULL * TICKS_PER_SECOND;
  std::uint64_t before = 0;
  ParseHoldableFileTime(listed, before);
  const std::uint64_t after = std::max(now, (before / TICKS_PER_MINUTE + 1) * TICKS_PER_MINUTE);
  return FormatFileTime((after + TICKS_PER_MINUTE - 1) / TICKS_PER_MINUTE * TICKS_PER_MINUTE);
}

namespace {

// The product folder and the version name become folders of the tree and parts of URLs: each must
// be a plain relative name that stays inside the tree.
std::string FolderNameProblem(const std::wstring& name, const char* what) {
  std::wstring path = name;
  for (auto& c : path) c = c == L'/' ? L'\\' : c;
  const std::wstring problem = EntryNameProblem(path);
  return problem.empty() ? "" : std::string(what) + " " + ShownName(name) + " holds " + WideToUtf8(problem) +
                                    "; it must stay inside the tree";
}

// Whether a release folder holds exactly what a published list names: the same files and folders,
// each file with the same content.
bool HasContentOf(const IniDocument& list, const std::vector<ReleaseItem>& items) {
  std::size_t listed = 0;
  std::wstring name;
  for (std::size_t i = FirstEntrySection(list); i < list.SectionCount(); ++i) listed += list.NamedSection(i, name) ? 1 : 0;
  if (list.SectionCount() == 0 || listed != items.size()) return false;
  for (const ReleaseItem& item : items) {
    const std::size_t section = list.FindSection(item.name);
    if (section == IniDocument::NO_SECTION) return false;
    if (item.folder) continue;
    ListEntry entry;
    std::string content;
    ParseListEntry(list, section, entry);
    if (!ReadFile(item.path, content) || !EqualNoCase(AnsiToWide(Md5Text(content)), entry.checksum)) return false;
  }
  return true;
}

// Every file that an earlier release shipped: each version the tree has published, and the
// newest release folder given.
std::vector<std::wstring> FilesShippedBefore(const ReleaseIndex& index, const std::vector<ReleaseItem>& previous) {
  std::vector<std::wstring> names;
  std::set<std::wstring> seen;
  auto add = [&](const std::wstring& name) {
    if (seen.insert(FoldCase(name)).second) names.push_back(name);
  };
  for (const ReleaseItem& item : previous) {
    if (!item.folder) add(item.name);
  }
  for (const IndexedRelease& release : index.releases()) {
    const IniDocument list = index.ListOf(release.version);
    ListEntry entry;
    for (std::size_t i = FirstEntrySection(list); i < list.SectionCount(); ++i) {
      if (ParseListEntry(list, i, entry) && entry.target != ListTarget::Folder) add(entry.name);
    }
  }
  std::sort(names.begin(), names.end(), [](const std::wstring& a, const std::wstring& b) { return FoldCase(a) < FoldCase(b); });
  return names;
}

}  // namespace

namespace {

// The names that become URL parts, and the release's files, judged before anything is written.
bool ValidateRelease(const BuildOptions& options, std::vector<ReleaseItem>& items, std::string& error) {
  const std::wstring product = options.product.empty() || options.product.back() != L'/'
                                   ? options.product
                                   : options.product.substr(0, options.product.size() - 1);
  for (const std::string& problem :
       {FolderNameProblem(options.version, "the version name"), FolderNameProblem(product, "the product folder")}) {
    if (!problem.empty()) {
      error = problem;
      return false;
    }
  }
  std::vector<std::string> problems;
  if (!ScanRelease(options.release, options.followLinks, items, problems)) {
    error = "the release " + options.release.string() + " cannot be published; nothing was written:";
    for (const std::string& problem : problems) error += "\n  " + problem;
    return false;
  }
  return SigningFitsTree(options.out, options.signing, error);
}

// Packs and patches every file on options.jobs threads, showing the progress; a file's failure
// is the build's, and what this build published of a version the index does not name goes.
bool PublishFiles(const BuildOptions& options, Builder& builder, const std::vector<ReleaseItem>& items,
                  const ReleaseIndex& index, const fs::path& productRoot, std::vector<FileResult>& results,
                  std::string& error) {
  std::vector<std::size_t> files;
  std::uint64_t releaseBytes = 0;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (items[i].folder) continue;
    files.push_back(i);
    releaseBytes += items[i].size;
  }
  results.assign(items.size(), FileResult{});
  std::atomic<std::size_t> next{0};
  FileProgress progress(files.size(), releaseBytes, StdoutIsTerminal(), L"packed");
  builder.ShowStepsIn(&progress);
  auto work = [&] {
    for (std::size_t k; (k = next++) < files.size();) {
      const ReleaseItem& item = items[files[k]];
      progress.Started(item.name, item.size);
      results[files[k]] = builder.Publish(item);
      progress.Finished(item.name, item.size);
    }
  };
  std::vector<std::thread> workers;
  for (unsigned j = 1; j < std::max(1u, options.jobs); ++j) workers.emplace_back(work);
  work();
  for (auto& w : workers) w.join();
  builder.ShowStepsIn(nullptr);
  progress.End();
  for (const std::string& repair : builder.StoreRepairs()) std::printf("warning: %s\n", repair.c_str());
  std::string landing;
  const bool landed = builder.LandChunks(landing);
  const auto failed = std::find_if(results.begin(), results.end(), [](const FileResult& r) { return !r.error.empty(); });
  if (landed && failed == results.end()) return true;
  error = failed != results.end() ? failed->error : landing;
  std::error_code ignored;
  if (index.exists()) fs::remove_all(productRoot / "files" / PathOf(options.version), ignored);
  return false;
}

// A file's entry of the list: its method, time, digests, size and patch keys.
ListEntry FileEntryOf(const ReleaseItem& item, const FileResult& r) {
  ListEntry entry;
  entry.name = item.name;
  entry.method = r.method;
  if (r.method == ListMethod::Exists) entry.target = ListTarget::File;
  entry.dateTime = r.dateTime;
  entry.sourceTime = r.sourceTime;
  entry.checksum = AnsiToWide(r.checksum);
  entry.sha256 = AnsiToWide(r.sha256);
  entry.size = std::to_wstring(r.size);
  for (const PatchKey& key : r.patchKeys) {
    entry.AddPatchKey(AnsiToWide(key.oldSum), L"", AnsiToWide(key.folder));
    entry.AddPatchKey(AnsiToWide(key.oldSum), PATCH_BYTES_KEY_SUFFIX, std::to_wstring(key.bytes));
  }
  for (const PatchKey& key : r.patch2Keys) {
    entry.AddPatchKey(AnsiToWide(key.oldSum), PATCH2_KEY_SUFFIX, AnsiToWide(key.folder));
    entry.AddPatchKey(AnsiToWide(key.oldSum), PATCH2_BYTES_KEY_SUFFIX, std::to_wstring(key.bytes));
  }
  for (const auto& [oldSum, name] : r.patchFrom) entry.AddPatchKey(AnsiToWide(oldSum), PATCH_SOURCE_KEY_SUFFIX, name);
  entry.whole2 = r.whole2;
  entry.chunks = AnsiToWide(r.chunked.index);
  entry.chunksPack = AnsiToWide(r.chunked.onePack);
  // A file without patches has no download to weigh against another (chunks are weighed by
  // what the installation holds of them).
  if (!entry.patches.empty()) {
    if (r.wholeBytes > 0) entry.wholeBytes = std::to_wstring(r.wholeBytes);
    if (r.whole2Bytes > 0) entry.whole2Bytes = std::to_wstring(r.whole2Bytes);
  }
  return entry;
}

// What a published file adds to the summary, against the list that was live before.
void CountFile(const ReleaseItem& item, const FileResult& r, const std::map<std::wstring, ListedFile>& live,
               BuildSummary& summary) {
  ++summary.files;
  summary.bytes += item.size;
  // A tree of chunks alone serves the file's chunks instead.
  summary.versionBytes += r.wholeBytes > 0 ? r.wholeBytes : r.chunked.packedBytes;
  summary.storedBytes += r.storedBytes;
  const auto listed = live.find(FoldCase(item.name));
  if (listed == live.end()) {
    ++summary.added;
  } else if (!EqualNoCase(listed->second.checksum, AnsiToWide(r.checksum))) {
    ++summary.changed;
  }
  if (!r.chunked.index.empty()) {
    ++summary.chunkedFiles;
    summary.chunks += r.chunked.chunks;
    summary.newChunks += r.chunked.newChunks;
    summary.chunkBytes += r.chunked.packedBytes;
  }
  if (!r.whole2.empty()) {
    ++summary.whole2Files;
    summary.whole2Bytes += r.whole2Bytes;
  }
  summary.patches2 += r.patch2Keys.size();
  summary.patch2Bytes += r.patch2Bytes;
  for (const auto& [source, bytes] : r.patchSources) {
    ++summary.patchSets[source].patches;
    summary.patchSets[source].bytes += bytes;
  }
  if (r.patchKeys.empty() && r.patch2Keys.empty()) {
    ++summary.wholeFiles;
    summary.wholeBytes += r.wholeBytes;
  } else {
    ++summary.patchedFiles;
    summary.patches += r.patchKeys.size();
    summary.patchBytes += r.patchBytes;
    summary.patchedWholeBytes += r.wholeBytes * r.patchKeys.size();
  }
}

// The formats the tree keeps, as the list's header names them.
std::wstring FormatsKept(const BuildOptions& options) {
  std::wstring formats;
  for (int format = 1; format <= options.highestFormat; ++format) {
    formats += (formats.empty() ? L"" : L",") + std::to_wstring(format);
  }
  if (options.chunks) formats += formats.empty() ? L"3" : L",3";
  return formats;
}

// The full list of the version, counted into the summary as it is composed.
std::wstring ComposeList(const BuildOptions& options, const std::wstring& updateFolder,
                         const std::vector<ReleaseItem>& items, const std::vector<FileResult>& results,
                         const std::map<std::wstring, ListedFile>& live, BuildSummary& summary) {
  std::wstring list = ComposeListHeader({options.version, updateFolder, L"", FormatsKept(options)});
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (items[i].folder) {
      list += ComposeListEntry(ListRule(items[i].name, ListMethod::Exists, ListTarget::Folder));
      continue;
    }
    list += ComposeListEntry(FileEntryOf(items[i], results[i]));
    CountFile(items[i], results[i], live, summary);
  }
  return list;
}

// The files that any earlier release shipped and this one does not go, one by one. A folder is
// never removed whole, not even one that the release dropped: players keep files of their own
// in the game's folders (saves, screenshots), and a removed folder would take them.
std::wstring Removals(const ReleaseIndex& index, const std::vector<ReleaseItem>& previousItems,
                      const std::vector<ReleaseItem>& items, BuildSummary& summary) {
  std::set<std::wstring> present;
  for (const auto& item : items) present.insert(FoldCase(item.name));
  std::wstring removals;
  for (const std::wstring& name : FilesShippedBefore(index, previousItems)) {
    if (present.count(FoldCase(name)) != 0) continue;
    removals += ComposeListEntry(ListRule(name, ListMethod::Remove, ListTarget::File));
    ++summary.removed;
  }
  return removals;
}

// The immutable objects are in place, the kept list with them; then the publication makes the
// signatures, lists and index live together.
bool PublishVersion(const BuildOptions& options, ReleaseIndex& index, const fs::path& productRoot,
                    const std::wstring& list, const std::wstring& removals, const BuildSummary& summary,
                    std::string& error) {
  std::error_code ignored;
  fs::create_directories(productRoot, ignored);
  if (!fs::exists(options.out / DETECT_FILE.narrow) &&
      !PackBytesTo(options.out / DETECT_FILE.narrow, "zepo patch server\r\n", error)) {
    return false;
  }
  if (!index.KeepList(options.version, EncodeListText(list), error)) return false;
  index.Publish({options.version, IndexDateNow(), summary.files, summary.bytes, summary.versionBytes,
                 summary.patches, summary.storedBytes, L"", L""});
  const std::string listsFolder = WideToUtf8(options.product + ChannelFolder(options.channel));
  Publication publication(options.out, options.product, options.channel);
  publication.AddList(listsFolder + FULL_LIST.narrow, ListTextOnChannel(list, options.channel));
  publication.AddList(listsFolder + UPDATE_LIST.narrow, ListTextOnChannel(list + removals, options.channel));
  publication.AddList(ROOT_DESCRIPTOR.narrow, ComposeRootDescriptor(options.rootKey, options.product));
  publication.SetIndex(listsFolder + ReleaseIndex::FILE_NAME, index.Text());
  if (options.signing.Enabled() && !publication.Sign(options.signing, error)) return false;
  if (options.signing.removeSignatures) publication.RemoveSignatures();
  return publication.Publish(error);
}

// A version's files lie in the product folder, which every channel shares: a version that another
// channel published is built on this one only with the same content (promote moves it without a
// build).
bool VersionFitsOtherChannels(const BuildOptions& options, const fs::path& productRoot,
                              const std::vector<ReleaseItem>& items, std::string& error) {
  for (const std::wstring& channel : ChannelsOf(productRoot)) {
    if (channel == (options.channel.empty() ? std::wstring(DEFAULT_CHANNEL) : options.channel)) continue;
    const ReleaseIndex other = ReleaseIndex::Load(ChannelListsOf(productRoot, channel));
    if (other.Find(options.version) == nullptr || HasContentOf(other.ListOf(options.version), items)) continue;
    error = "version " + WideToUtf8(options.version) + " is published on the channel " + WideToUtf8(channel) +
            " with other content; a version's files are shared by every channel: give the release a new version "
            "name, or promote that version";
    return false;
  }
  return true;
}

// An earlier release only names what clients may hold: its own problems do not stop this one.
bool ScanPrevious(const BuildOptions& options, std::vector<ReleaseItem>& previousItems, std::string& error) {
  std::vector<std::string> previousProblems;
  if (options.previous.empty() ||
      ScanRelease(options.previous.back(), options.followLinks, previousItems, previousProblems) ||
      !previousItems.empty()) {
    return true;
  }
  error = "cannot read the previous release " + options.previous.back().string();
  return false;
}

// The release may not take away every file of the live one, or most of them, unless asked to.
bool RemovalsAllowed(const BuildOptions& options, const std::map<std::wstring, ListedFile>& live,
                     const std::vector<ReleaseItem>& items, std::string& error) {
  std::set<std::wstring> liveNames, newNames;
  for (const auto& [name, file] : live) liveNames.insert(name);
  for (const ReleaseItem& item : items) newNames.insert(FoldCase(item.name));
  return CheckRemovals(liveNames, newNames, options.version, options.allowRemovals, error);
}

}  // namespace

bool BuildTree(const BuildOptions& options, BuildSummary& summary, std::string& error) {
  summary = BuildSummary{};
  std::vector<ReleaseItem> items;
  if (!ValidateRelease(options, items, error)) return false;
  const fs::path productRoot = options.out / PathOf(options.product);
  const fs::path listsRoot = ChannelListsOf(productRoot, options.channel);
  ReleaseIndex index = ReleaseIndex::Load(listsRoot);
  if (!VersionFitsOtherChannels(options, productRoot, items, error)) return false;
  const IndexedRelease* published = index.Find(options.version);
  if (published != nullptr && !published->pruned.empty()) {
    error = "version " + WideToUtf8(options.version) + " was published and then pruned on " +
            WideToUtf8(published->pruned) + "; its name is not used again: give the release a new version name";
    return false;
  }
  if (published != nullptr) {
    // A published version never changes, and publishing it again never makes it live again.
    if (!HasContentOf(index.ListOf(options.version), items)) {
      error = "version " + WideToUtf8(options.version) +
              " is already published with other content; published versions never change: give the release a new "
              "version name";
      return false;
    }
    summary.unchanged = true;
    summary.live = index.live();
    return true;
  }
  std::vector<ReleaseItem> previousItems;
  if (!ScanPrevious(options, previousItems, error)) return false;
  const std::map<std::wstring, ListedFile> live = ReadLiveList(listsRoot);
  if (!RemovalsAllowed(options, live, items, error)) return false;
  const std::vector<PatchSource> sources = PatchSources(options, index, productRoot);

  // In a tree that keeps an index, a version folder that the index does not name is what a build
  // that never finished left behind; a tree from before the index is treated as it always was.
  Builder builder(options, sources, items, index.exists());
  std::vector<FileResult> results;
  if (!PublishFiles(options, builder, items, index, productRoot, results, error)) return false;
  summary.movedTimes = SettleTimes(live, ListedTimes::Of(productRoot), items, results,
                                   TicksFromUnixTime(static_cast<std::int64_t>(std::time(nullptr)), 0));
  summary.patchSets.resize(sources.size());
  for (std::size_t k = 0; k < sources.size(); ++k) summary.patchSets[k].from = sources[k].label;
  const std::wstring list = ComposeList(options, builder.UpdateFolder(), items, results, live, summary);
  const std::wstring removals = Removals(index, previousItems, items, summary);
  if (!PublishVersion(options, index, productRoot, list, removals, summary, error)) return false;
  summary.live = options.version;
  return true;
}

bool CheckRemovals(const std::set<std::wstring>& liveFiles, const std::set<std::wstring>& newFiles,
                   const std::wstring& version, bool allow, std::string& error) {
  std::size_t lost = 0;
  for (const std::wstring& name : liveFiles) lost += newFiles.count(name) == 0 ? 1 : 0;
  if (allow || lost == 0 || (lost < liveFiles.size() && 2 * lost <= liveFiles.size())) return true;
  error = "version " + WideToUtf8(version) + " would remove " + std::to_string(lost) + " of the " +
          std::to_string(liveFiles.size()) + " files of the live version from every player's installation on their "
          "next run; nothing was published. If that is meant, give --allow-removals";
  return false;
}

bool PublishReversePatches(const fs::path& out, const std::wstring& product, const std::wstring& from,
                           const std::wstring& to, const std::vector<std::wstring>& names, ReversePatchKeys& keys,
                           std::string& error) {
  BuildOptions options;
  options.out = out;
  options.product = product;
  const fs::path files = out / PathOf(product) / "files";
  const std::vector<PatchSource> sources{{from, files / PathOf(from), true, {}}};
  const PatchSource target{to, files / PathOf(to), true, {}};
  Builder builder(options, sources, {}, false);
  for (const std::wstring& name : names) {
    OldContent wanted;
    if (!target.Fetch(name, false, options.chunkedFrom, wanted)) continue;
    std::error_code ignored;
    const std::uintmax_t wholeSize = fs::file_size(target.folder / PathOf(name), ignored);
    FileResult result;
    result.checksum = wanted.Checksum();
    ReleaseItem item;
    item.name = name;
    item.path = wanted.file;
    builder.PatchFromSources(item, wanted.bytes, wanted.OnDisk(), static_cast<std::size_t>(wholeSize), result);
    if (!result.error.empty()) {
      error = result.error;
      return false;
    }
    std::vector<std::pair<std::wstring, std::wstring>>& fileKeys = keys[FoldCase(name)];
    for (const PatchKey& key : result.patchKeys) {
      fileKeys.push_back({AnsiToWide(key.oldSum), AnsiToWide(key.folder)});
      fileKeys.push_back({AnsiToWide(key.oldSum) + PATCH_BYTES_KEY_SUFFIX, std::to_wstring(key.bytes)});
    }
    for (const PatchKey& key : result.patch2Keys) {
      fileKeys.push_back({AnsiToWide(key.oldSum) + PATCH2_KEY_SUFFIX, AnsiToWide(key.folder)});
      fileKeys.push_back({AnsiToWide(key.oldSum) + PATCH2_BYTES_KEY_SUFFIX, std::to_wstring(key.bytes)});
    }
  }
  return true;
}
