#pragma once
// The fetch of a file in chunks (engine/chunk_assembly.h): its index from the content source,
// proved by the SHA-256 that names it; the chunks the installation holds, found by the index of
// the installed file's content where the last finished run's list names it, else by reading the
// file's earlier version, and in the file its patches start from and, for a new name, in the
// files of the same name that the run removes (a renamed folder); the chunks that a failed run of
// the same list downloaded into the staging area; and the rest downloaded, several at a time,
// each proved before use. A file of which the installation holds too little is not worth its
// many requests: the next form is taken instead.
#include <string>

#include "engine/chunk_assembly.h"
#include "engine/content_source.h"
#include "engine/staging.h"
#include "engine/work_plan.h"

class ChunkFetcher {
 public:
  ChunkFetcher(const StagingArea& staging, const WorkPlan& plan, ContentSource& source)
      : staging_(staging), plan_(plan), source_(source) {}

  // Leaves in entry.chunks where each chunk of the file is, or moves the entry on to its next form
  // and brings that. False with the entry's outcome when neither arrives.
  [[nodiscard]] bool Fetch(FileEntry& entry);

 private:
  bool FetchIndex(FileEntry& entry, ChunkIndex& index);
  bool PlaceByHeldIndex(FileEntry& entry, const std::wstring& base, ChunkAssembly& assembly);
  void FindStagedChunks(const std::wstring& base, ChunkAssembly& assembly) const;
  bool DownloadMissing(FileEntry& entry, const std::wstring& base, ChunkAssembly& assembly);

  // The installed files that may hold the entry's chunks, besides its own index's places.
  std::vector<std::wstring> HeldFiles(const FileEntry& entry, bool placedByIndex) const;

  const StagingArea& staging_;
  const WorkPlan& plan_;
  ContentSource& source_;
};

// Whether building a file from chunks pays: the installation holds at least a quarter of its
// packed bytes, so that the downloads save more than the requests cost.
bool ChunksPay(const ChunkAssembly& assembly);
