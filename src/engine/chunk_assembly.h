#pragma once
// A file built from chunks (protocol/chunks.h): its index says which chunks make it, in order;
// each comes from a file the installation holds already (the file's earlier version, the file a
// patch would start from, a damaged copy: whatever of it is intact) or, when none holds it, from
// a download of that chunk alone. The result is verified whole like every other form.
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/chunks.h"

// Where one chunk of the index is read from: at an offset of a file the installation holds, or
// the packed chunk at an offset of a download (a chunk alone, or a run of a pack).
struct ChunkPlace {
  std::wstring path;  // empty: not found yet
  std::uint64_t at = 0;
  bool packed = false;
};

struct ChunkAssembly {
  ChunkIndex index;
  std::vector<ChunkPlace> places;  // one per chunk of the index
  std::uint64_t downloaded = 0;    // the packed bytes of the chunks that were downloaded

  // The chunks that no place holds yet, and their packed bytes.
  std::size_t Missing() const;
  std::uint64_t MissingPackedBytes() const;
};

// Reads each file once and notes where it holds chunks of the index that have no place yet.
void FindHeldChunks(const std::vector<std::wstring>& files, ChunkAssembly& assembly);

// Whether the packed chunk at offset at of path is the chunk: it unpacks to bytes of its SHA-256
// and size.
bool IsPackedChunk(const std::wstring& path, std::uint64_t at, const ChunkRef& chunk);

// Writes the file that a pack of its chunks, all and only them in order, makes to path, its MD5
// in digest: each chunk's frame unpacked in turn, at most limit bytes in all. False with cause (a
// pack that is not whole frames of chunks, or makes more than limit) or writeFailure.
bool UnpackChunkPack(const std::wstring& pack, const std::wstring& path, std::wstring& digest, std::wstring& cause,
                     std::wstring& writeFailure, std::uint64_t limit);

// Writes the file that the assembly describes to path (every chunk has its place), its MD5 in
// digest. False with cause (a place that no longer holds its chunk) or writeFailure (the disk's).
bool AssembleChunks(const ChunkAssembly& assembly, const std::wstring& path, std::wstring& digest, std::wstring& cause,
                    std::wstring& writeFailure);
