#pragma once
// The product's chunks (protocol/chunks.h) as the publisher stores and reads them. A build cuts
// each file, stores the chunks the tree lacks, each packed on its own, in packs in the file's
// order, and then the file's index: a release adds the chunks that are new, and a build stopped
// half-way finds what it stored when it runs again. Reading back proves each object by the
// SHA-256 that names it.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <set>
#include <string>

#include "protocol/chunks.h"
#include "publish/chunk_catalog.h"
#include "publish/tree_writes.h"

// The zstd level of a chunk: each chunk is packed alone, so the level's time is spent on 64 KiB
// at a time, where the top levels find little that level 9 misses.
constexpr int CHUNK_PACK_LEVEL = 9;

struct ChunkedFile {
  std::string index;              // the SHA-256 of the file's index
  std::size_t chunks = 0;
  std::size_t newChunks = 0;      // chunks the tree did not hold before
  std::uint64_t packedBytes = 0;  // every chunk's served bytes
  std::uint64_t storedBytes = 0;  // what storing added to the tree: new chunks and index
  // The pack that holds the file's chunks, all and only them, in order (a file whose chunks came
  // to the tree together and fit one pack): the file whole, for a fresh installation's one
  // request. Empty for any other file.
  std::string onePack;
  // The whole file, as the pass that cut it read it: its size, MD5 and SHA-256 (as lists state
  // them; the SHA-256 only when asked for).
  std::uint64_t bytes = 0;
  std::string md5;
  std::string sha256;
};

// Cuts the file and stores the chunks that the catalog does not place, packed on `threads`
// threads a batch at a time (memory stays bounded whatever the file's size), then its index;
// the same pass takes the file's digests (its SHA-256 when wholeSha256). The objects go into the
// batch, which several files share: it lands whenever it holds a few hundred, and the caller
// lands the rest. progress gets the bytes read. False with error when the file cannot be read or
// a write fails.
bool StoreChunks(const std::filesystem::path& productRoot, const std::filesystem::path& file, unsigned threads,
                 bool wholeSha256, const std::function<void(std::uint64_t read)>& progress,
                 SharedObjectBatch& objects, ChunkCatalog& catalog, ChunkedFile& result, std::string& error);

// The pack that holds the index's chunks, all and only them, in order; empty when none does.
// sizeOf gives the size of the object of a served name (0: none).
std::string OnePackOf(const ChunkIndex& index, const std::function<std::uint64_t(const std::wstring& name)>& sizeOf);

// The index that sha256 names, read and proved by its name. False with error otherwise.
bool ReadChunkIndex(const std::filesystem::path& productRoot, const std::string& sha256, ChunkIndex& index,
                    std::string& error);
// A chunk's bytes, unpacked and proved by its name. False with error otherwise.
bool ReadChunk(const std::filesystem::path& productRoot, const ChunkRef& chunk, std::string& plain,
               std::string& error);

// The served names (relative to the product's folder, '/' separated) of every chunk object and
// index the indexes name; false with error when an index cannot be read.
bool ChunkObjectsOf(const std::filesystem::path& productRoot, const std::set<std::string>& indexes,
                    std::set<std::string>& names, std::string& error);
