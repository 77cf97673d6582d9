#pragma once
// The fetch of a file in chunks (engine/chunk_assembly.h): its index from the content source,
// proved by the SHA-256 that names it; the chunks the installation holds, found by the index of
// the installed file's content where the last finished run's list names it, else by reading the
// file's earlier version, and in the file its patches start from and, for a new name, in the
// files of the same name that the run removes (a renamed folder); the chunks that a failed run of
// the same list downloaded into the staging area; the chunks of the content that the other files
// the run replaces or removes hold, where the last finished run's list vouches for it (a pack split
// in two, content moved between packs); and the rest downloaded, several at a time,
// each proved before use. A file of which the installation holds too little is not worth its
// many requests: the next form is taken instead.
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/chunk_assembly.h"
#include "engine/content_source.h"
#include "engine/staging.h"
#include "engine/work_plan.h"

// One request for missing chunks: a run of chunks that lie one after another in a pack, or a
// chunk served alone (length 0: the whole object).
struct ChunkRequest {
  std::wstring url;
  std::uint64_t from = 0;
  std::uint64_t length = 0;
  std::vector<std::size_t> chunks;  // their places in the file's index, in the request's order
};

// The requests that bring the assembly's missing chunks, each chunk once: a fresh installation's
// file comes in a request per pack, an edit's chunks in a request per run.
std::vector<ChunkRequest> ChunkRequestsFor(const ChunkAssembly& assembly, const std::wstring& base);

class ChunkFetcher {
 public:
  ChunkFetcher(const StagingArea& staging, const WorkPlan& plan, ContentSource& source)
      : staging_(staging), plan_(plan), source_(source) {}

  // Leaves in entry.chunks where each chunk of the file is, or moves the entry on to its next form
  // and brings that. False with the entry's outcome when neither arrives.
  [[nodiscard]] bool Fetch(FileEntry& entry);

 private:
  bool FetchIndex(FileEntry& entry, ChunkIndex& index);
  // The index of content the installation holds, by its SHA-256; fetched once in the run, null
  // when it cannot be.
  std::shared_ptr<const ChunkIndex> HeldIndex(const std::string& sha256, const std::wstring& base);
  // Calls place(sha256, offset) for each chunk of the file by the index of its content; false when
  // that index is not to be had or does not describe a file of the file's size.
  template <typename Place>
  bool ForEachHeldChunk(const std::wstring& file, const std::string& heldChunks, const std::wstring& base, Place place);
  bool PlaceByHeldIndex(FileEntry& entry, const std::wstring& base, ChunkAssembly& assembly);
  void PlaceFromOtherFiles(const FileEntry& entry, const std::wstring& base, ChunkAssembly& assembly);
  void FindOtherFilesChunks(const std::wstring& base);
  void FindStagedChunks(const std::wstring& base, ChunkAssembly& assembly) const;
  bool DownloadMissing(FileEntry& entry, const std::wstring& base, ChunkAssembly& assembly);
  bool BringRequest(const ChunkRequest& request, const std::wstring& base, const ChunkAssembly& assembly,
                    FileEntry& part, std::vector<ChunkPlace>& places);
  void KeepArrivedChunks(const ChunkRequest& request, const std::wstring& path, const std::wstring& base,
                         const ChunkAssembly& assembly) const;
  bool KeepStoppedRuns(const std::vector<ChunkRequest>& requests, const std::wstring& base,
                       const ChunkAssembly& assembly) const;
  // Where a request's download is staged.
  std::wstring RunPath(const ChunkRequest& request) const;

  // The installed files that may hold the entry's chunks, besides its own index's places.
  std::vector<std::wstring> HeldFiles(const FileEntry& entry, bool placedByIndex) const;
  // Whether no installed file may hold any chunk of the entry: none of its held files is there and
  // the last finished run's list vouches for no other content the run replaces or removes.
  bool HoldsNothingFor(const FileEntry& entry) const;
  // Moves the entry on to its next form, saying why, and brings that.
  bool TakeNextForm(FileEntry& entry, const std::wstring& why);

  const StagingArea& staging_;
  const WorkPlan& plan_;
  ContentSource& source_;
  std::mutex heldLock_;  // one held index is fetched at a time, into its own download path
  std::map<std::string, std::shared_ptr<const ChunkIndex>> heldIndexes_;
  std::once_flag othersFound_;
  std::unordered_map<std::string, ChunkPlace> others_;  // the other files' chunks, by SHA-256
};

// The smallest file whose chunks are worth their index: a smaller one holds a few chunks, an edit
// changes most of them, and the index request alone costs a round trip that could have brought the
// whole file's bytes.
constexpr std::uint64_t CHUNKS_WORTH_FROM = 4 * CHUNK_AVERAGE;

// Whether building a file from chunks pays: the installation holds at least a quarter of its
// packed bytes, so that the downloads save more than the requests cost.
bool ChunksPay(const ChunkAssembly& assembly);
