#include "engine/chunk_fetcher.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>
#include <vector>

#include "engine/chunk_assembly.h"
#include "engine/work_plan.h"
#include "services/files.h"
#include "services/http.h"
#include "services/logger.h"
#include "services/signing.h"
#include "services/status_callback.h"
#include "services/text.h"

namespace {

// Chunks of one file downloaded at once: enough to hide a long round trip behind the others.
constexpr unsigned CHUNK_DOWNLOADS = 4;

// The SHA-256 that an index's URL names it by ("…/chunks/ab/<SHA-256>.index").
std::string IndexNameIn(const std::wstring& url) {
  const std::wstring suffix = L".index";
  const std::size_t slash = url.find_last_of(L'/');
  if (slash == std::wstring::npos || url.size() < suffix.size() ||
      url.compare(url.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return "";
  }
  return WideToUtf8(url.substr(slash + 1, url.size() - suffix.size() - slash - 1));
}

}  // namespace

bool ChunksPay(const ChunkAssembly& assembly) {
  return assembly.MissingPackedBytes() * 4 <= assembly.index.PackedBytes() * 3;
}

bool ChunkFetcher::Fetch(FileEntry& entry) {
  // A new file that nothing installed may hold (a fresh installation's): its index would only
  // cost a round trip before the next form.
  if (!entry.fallbacks.empty() && HoldsNothingFor(entry)) return TakeNextForm(entry, L"nothing installed holds it");
  auto assembly = std::make_shared<ChunkAssembly>();
  if (!FetchIndex(entry, assembly->index)) return false;
  const std::wstring url = entry.Url();
  const std::string name = IndexNameIn(url);
  const std::wstring base = url.substr(0, url.size() - ChunkIndexName(name).size());
  // The installed file's own index, when the last finished run's list vouches for its content,
  // places its chunks without reading it (a 4 GiB pack is not hashed for a 1 MB edit).
  const bool placed = !entry.heldChunks.empty() && PlaceByHeldIndex(entry, base, *assembly);
  PlaceFromOtherFiles(entry, base, *assembly);
  FindHeldChunks(HeldFiles(entry, placed), *assembly);
  FindStagedChunks(base, *assembly);
  if (!ChunksPay(*assembly) && !entry.fallbacks.empty()) {
    return TakeNextForm(entry, L"the installation holds " +
                                   std::to_wstring(assembly->places.size() - assembly->Missing()) + L" of its " +
                                   std::to_wstring(assembly->places.size()) + L" chunks");
  }
  if (!DownloadMissing(entry, base, *assembly)) return false;
  entry.chunks = assembly;
  return true;
}

bool ChunkFetcher::TakeNextForm(FileEntry& entry, const std::wstring& why) {
  TheLogger().Write(LOG_FYI, L"AutoUpdateApp: [" + entry.target + L"]: " + why + L"; taking [" +
                                 entry.fallbacks.front().Url() + L"] instead of its chunks");
  RemovePartialDownload(staging_.DownloadPath(entry.Url()));
  TakeNextOffer(entry);
  return source_.Bring(entry, staging_.DownloadPath(entry.Url()));
}

bool ChunkFetcher::HoldsNothingFor(const FileEntry& entry) const {
  for (const std::wstring& file : HeldFiles(entry, false)) {
    if (PathExists(file)) return false;
  }
  for (const WorkPlan::EntryList* entries : {&plan_.updates, &plan_.patches}) {
    for (const auto& other : *entries) {
      if (!other->heldChunks.empty()) return false;
    }
  }
  for (const Removal& removal : plan_.removals) {
    if (!removal.heldChunks.empty()) return false;
  }
  return true;
}

std::vector<std::wstring> ChunkFetcher::HeldFiles(const FileEntry& entry, bool placedByIndex) const {
  std::vector<std::wstring> held;
  if (!placedByIndex) held.push_back(entry.target);
  if (!EqualNoCase(WorkPlan::PatchSourceOf(entry), entry.target)) held.push_back(WorkPlan::PatchSourceOf(entry));
  if (PathExists(entry.target)) return held;
  const auto nameOf = [](const std::wstring& path) { return path.substr(path.find_last_of(L"\\/") + 1); };
  for (const Removal& removal : plan_.removals) {
    if (!removal.folder && EqualNoCase(nameOf(removal.name), nameOf(entry.target))) held.push_back(removal.name);
  }
  return held;
}

bool ChunkFetcher::FetchIndex(FileEntry& entry, ChunkIndex& index) {
  const std::wstring path = staging_.DownloadPath(entry.Url());
  if (!source_.Bring(entry, path)) return false;
  std::string bytes;
  const std::string name = IndexNameIn(entry.Url());
  const std::uint64_t listed = ListedSize(entry);
  if (ReadWholeFile(path, bytes) && Sha256Hex(bytes) == name && index.Decode(bytes) &&
      (entry.size.empty() || index.fileSize == listed)) {
    return true;
  }
  RemovePartialDownload(path);
  entry.outcome.code = StageCode::BadContent;
  entry.outcome.cause = L"the chunk index [" + entry.Url() + L"] is not the one the list names";
  return false;
}

std::shared_ptr<const ChunkIndex> ChunkFetcher::HeldIndex(const std::string& sha256, const std::wstring& base) {
  std::lock_guard<std::mutex> guard(heldLock_);
  const auto known = heldIndexes_.find(sha256);
  if (known != heldIndexes_.end()) return known->second;
  FileEntry held;
  held.url = WideToUtf8(base + ChunkIndexName(sha256));
  auto index = std::make_shared<ChunkIndex>();
  if (!FetchIndex(held, *index)) index.reset();
  heldIndexes_.emplace(sha256, index);
  return index;
}

template <typename Place>
bool ChunkFetcher::ForEachHeldChunk(const std::wstring& file, const std::string& heldChunks, const std::wstring& base,
                                    Place place) {
  const std::shared_ptr<const ChunkIndex> index = HeldIndex(heldChunks, base);
  std::uint64_t size = 0;
  if (index == nullptr || !RegularFileSize(file, size) || size != index->fileSize) return false;
  std::uint64_t at = 0;
  for (const ChunkRef& chunk : index->chunks) {
    place(chunk.sha256, at);
    at += chunk.size;
  }
  return true;
}

bool ChunkFetcher::PlaceByHeldIndex(FileEntry& entry, const std::wstring& base, ChunkAssembly& assembly) {
  std::unordered_map<std::string, std::uint64_t> offsets;
  if (!ForEachHeldChunk(entry.target, entry.heldChunks, base,
                        [&](const std::string& sha256, std::uint64_t at) { offsets.emplace(sha256, at); })) {
    return false;
  }
  assembly.places.resize(assembly.index.chunks.size());
  for (std::size_t i = 0; i < assembly.places.size(); ++i) {
    const auto found = offsets.find(assembly.index.chunks[i].sha256);
    if (found != offsets.end()) assembly.places[i] = ChunkPlace{entry.target, found->second, false};
  }
  TheLogger().Write(LOG_FYI, L"AutoUpdateApp: [" + entry.target + L"]: its chunks found by the index of its content");
  return true;
}

// The content of the other large files that the run replaces or removes, as the last finished
// run's list vouches for it: their chunks are placed by their indexes, fetched once in the run,
// without reading the files. Small files are left out (see CHUNKS_WORTH_FROM).
void ChunkFetcher::FindOtherFilesChunks(const std::wstring& base) {
  const auto add = [&](const std::wstring& file, const std::string& heldChunks) {
    std::uint64_t size = 0;
    if (heldChunks.empty() || !RegularFileSize(file, size) || size < CHUNKS_WORTH_FROM) return;
    (void)ForEachHeldChunk(file, heldChunks, base, [&](const std::string& sha256, std::uint64_t at) {
      others_.emplace(sha256, ChunkPlace{file, at, false});
    });
  };
  for (const WorkPlan::EntryList* entries : {&plan_.updates, &plan_.patches}) {
    for (const auto& other : *entries) add(other->target, other->heldChunks);
  }
  for (const Removal& removal : plan_.removals) add(removal.name, removal.heldChunks);
}

void ChunkFetcher::PlaceFromOtherFiles(const FileEntry& entry, const std::wstring& base, ChunkAssembly& assembly) {
  std::call_once(othersFound_, [&] { FindOtherFilesChunks(base); });
  if (others_.empty()) return;
  assembly.places.resize(assembly.index.chunks.size());
  std::size_t placed = 0;
  for (std::size_t i = 0; i < assembly.places.size(); ++i) {
    if (!assembly.places[i].path.empty()) continue;
    const auto found = others_.find(assembly.index.chunks[i].sha256);
    if (found == others_.end() || EqualNoCase(found->second.path, entry.target)) continue;
    assembly.places[i] = found->second;
    ++placed;
  }
  if (placed > 0) {
    TheLogger().Write(LOG_FYI, L"AutoUpdateApp: [" + entry.target + L"]: " + std::to_wstring(placed) +
                                   L" of its chunks found in other files that the run replaces or removes");
  }
}

// A failed run of the same list left the chunks it downloaded, each under its own URL's name.
void ChunkFetcher::FindStagedChunks(const std::wstring& base, ChunkAssembly& assembly) const {
  for (std::size_t i = 0; i < assembly.places.size(); ++i) {
    if (!assembly.places[i].path.empty()) continue;
    const ChunkRef& chunk = assembly.index.chunks[i];
    const std::wstring path = staging_.DownloadPath(base + ChunkObjectName(chunk.sha256));
    if (PathExists(path) && IsPackedChunk(path, 0, chunk)) assembly.places[i] = ChunkPlace{path, 0, true};
  }
}

std::vector<ChunkRequest> ChunkRequestsFor(const ChunkAssembly& assembly, const std::wstring& base) {
  std::vector<ChunkRequest> requests;
  std::map<std::string, std::vector<std::size_t>> byPack;
  std::set<std::string> seen;
  for (std::size_t i = 0; i < assembly.places.size(); ++i) {
    const ChunkRef& chunk = assembly.index.chunks[i];
    if (!assembly.places[i].path.empty() || !seen.insert(chunk.sha256).second) continue;
    if (chunk.pack.empty()) {
      requests.push_back({base + ChunkObjectName(chunk.sha256), 0, 0, {i}});
    } else {
      byPack[chunk.pack].push_back(i);
    }
  }
  for (auto& [pack, chunks] : byPack) {
    std::sort(chunks.begin(), chunks.end(), [&](std::size_t a, std::size_t b) {
      return assembly.index.chunks[a].at < assembly.index.chunks[b].at;
    });
    const std::size_t first = requests.size();
    for (const std::size_t i : chunks) {
      const ChunkRef& chunk = assembly.index.chunks[i];
      if (requests.size() > first && requests.back().from + requests.back().length == chunk.at) {
        requests.back().length += chunk.packed;
        requests.back().chunks.push_back(i);
      } else {
        requests.push_back({base + ChunkPackName(pack), chunk.at, chunk.packed, {i}});
      }
    }
  }
  return requests;
}

namespace {

// A run's progress within the file's: each run adds what arrives to the bytes done.
class RunProgress final : public IStatusCallback {
 public:
  RunProgress(IStatusCallback* file, std::mutex& lock, std::uint64_t& done, std::uint64_t total)
      : file_(file), lock_(lock), done_(done), total_(total) {}
  bool OnCheckFile(const std::wstring&) override { return true; }
  bool OnDownloadProgress(std::uint64_t received, std::uint64_t) override {
    std::lock_guard<std::mutex> guard(lock_);
    if (received > counted_) done_ += received - counted_;
    counted_ = std::max(counted_, received);
    return file_ == nullptr || file_->OnDownloadProgress(done_, total_);
  }
  // The run's bytes all arrived, whether or not the source told of each.
  bool Finish(std::uint64_t bytes) { return OnDownloadProgress(bytes, 0); }

 private:
  IStatusCallback* file_;
  std::mutex& lock_;
  std::uint64_t& done_;
  std::uint64_t total_;
  std::uint64_t counted_ = 0;
};

}  // namespace

// A run that broke off leaves whole chunks at its start: each is kept as a chunk of its own, where
// the next run of the same list finds it, so a retry asks only for the rest.
void ChunkFetcher::KeepArrivedChunks(const ChunkRequest& request, const std::wstring& path, const std::wstring& base,
                                     const ChunkAssembly& assembly) const {
  std::uint64_t size = 0;
  if (!RegularFileSize(path, size)) return;
  for (const std::size_t i : request.chunks) {
    const ChunkRef& chunk = assembly.index.chunks[i];
    std::string packed;
    if (chunk.at + chunk.packed - request.from > size) break;
    if (!IsPackedChunk(path, chunk.at - request.from, chunk) ||
        !ReadFileSlice(path, chunk.at - request.from, chunk.packed, packed)) {
      break;
    }
    FileHandle alone = FileHandle::CreateForWrite(staging_.DownloadPath(base + ChunkObjectName(chunk.sha256)));
    if (!alone.Write(packed.data(), packed.size())) break;
  }
}

std::wstring ChunkFetcher::RunPath(const ChunkRequest& request) const {
  return staging_.DownloadPath(request.length == 0 ? request.url : request.url + L"#" + std::to_wstring(request.from));
}

// A run of the same list that was stopped (a kill, a closed window) left what arrived of its
// requests for runs: their whole chunks are kept as chunks of their own before anything is asked.
bool ChunkFetcher::KeepStoppedRuns(const std::vector<ChunkRequest>& requests, const std::wstring& base,
                                   const ChunkAssembly& assembly) const {
  bool kept = false;
  for (const ChunkRequest& request : requests) {
    const std::wstring path = RunPath(request);
    if (request.length == 0 || !PathExists(path)) continue;
    KeepArrivedChunks(request, path, base, assembly);
    RemovePartialDownload(path);
    kept = true;
  }
  return kept;
}

// Brings one request's chunks and proves each; places[i] tells where chunk i came. False with the
// part's outcome.
bool ChunkFetcher::BringRequest(const ChunkRequest& request, const std::wstring& base, const ChunkAssembly& assembly,
                                FileEntry& part, std::vector<ChunkPlace>& places) {
  part.url = WideToUtf8(request.url);
  const bool alone = request.length == 0;
  const std::wstring path = RunPath(request);
  if (!(alone ? source_.Bring(part, path) : source_.BringRange(part, path, request.from, request.length))) {
    if (!alone) KeepArrivedChunks(request, path, base, assembly);
    RemovePartialDownload(path);
    return false;
  }
  for (const std::size_t i : request.chunks) {
    const ChunkRef& chunk = assembly.index.chunks[i];
    const std::uint64_t at = alone ? 0 : chunk.at - request.from;
    if (!IsPackedChunk(path, at, chunk)) {
      RemovePartialDownload(path);
      part.outcome = {StageCode::BadContent, L"", L"the chunk " + AnsiToWide(chunk.sha256) + L" of [" + part.Url() +
                                                     L"] is not the one its index names"};
      return false;
    }
    places[i] = ChunkPlace{path, at, true};
  }
  return true;
}

// Downloads each missing chunk once, a run of a pack's chunks in one request, on a few
// connections at once; the file's progress counts their packed bytes. The first failure ends the
// fetch with its outcome.
bool ChunkFetcher::DownloadMissing(FileEntry& entry, const std::wstring& base, ChunkAssembly& assembly) {
  std::vector<ChunkRequest> requests = ChunkRequestsFor(assembly, base);
  if (KeepStoppedRuns(requests, base, assembly)) {
    FindStagedChunks(base, assembly);
    requests = ChunkRequestsFor(assembly, base);
  }
  const std::uint64_t total = assembly.MissingPackedBytes();
  std::vector<ChunkPlace> places(assembly.places.size());
  std::uint64_t done = 0;
  std::mutex lock;
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  auto work = [&] {
    for (std::size_t k; !failed && (k = next++) < requests.size();) {
      RunProgress progress(entry.callback, lock, done, total);
      FileEntry part;
      part.callback = &progress;
      const ChunkRequest& request = requests[k];
      bool good = BringRequest(request, base, assembly, part, places);
      good = good && progress.Finish(request.length > 0 ? request.length
                                                        : assembly.index.chunks[request.chunks.front()].packed);
      if (!good && part.outcome.code.Succeeded()) part.outcome = {DownloadCode::Cancelled, L"", L"the run was cancelled"};
      if (!good && !failed.exchange(true)) entry.outcome = part.outcome;
    }
  };
  std::vector<std::thread> helpers;
  for (unsigned t = 1; t < CHUNK_DOWNLOADS && t < requests.size(); ++t) helpers.emplace_back(work);
  work();
  for (std::thread& helper : helpers) helper.join();
  if (failed) return false;
  // A chunk the file holds twice came once: its other places take the same download.
  std::unordered_map<std::string, ChunkPlace> arrived;
  for (std::size_t i = 0; i < places.size(); ++i) {
    if (!places[i].path.empty()) arrived.emplace(assembly.index.chunks[i].sha256, places[i]);
  }
  for (std::size_t i = 0; i < assembly.places.size(); ++i) {
    if (!assembly.places[i].path.empty()) continue;
    assembly.places[i] = arrived.at(assembly.index.chunks[i].sha256);
    assembly.downloaded += assembly.index.chunks[i].packed;
  }
  return true;
}
