#pragma once
// Where a tree serves each chunk it holds, so that a build stores only the chunks that are new.
// Read once from every index in the tree when a build first asks (a file's index places its
// chunks; a pack's own index places them too, for a build that stopped inside a large file), and
// told of each pack the build writes. The builders of several files ask and tell at once.
#include <array>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "protocol/chunks.h"

class ChunkCatalog {
 public:
  explicit ChunkCatalog(std::filesystem::path productRoot) : root_(std::move(productRoot)) {}

  // Places the chunk of chunk.sha256 where the tree serves it (its pack, offset and packed size,
  // or alone, as trees before packs served chunks). False when the tree holds no such chunk.
  bool Find(ChunkRef& chunk);
  // A chunk of a pack that the build wrote.
  void Add(const ChunkRef& chunk);

 private:
  using Key = std::array<unsigned char, 32>;
  struct KeyHash {
    std::size_t operator()(const Key& key) const;
  };
  struct Place {
    std::uint32_t pack = 0;  // in packs_
    std::uint32_t packed = 0;
    std::uint64_t at = 0;
  };
  // Reads every index under the chunks folder; an index that does not read, or whose pack is
  // gone or shorter than it says, places nothing: its chunks are stored again.
  void Load();
  void AddLocked(const ChunkRef& chunk);

  std::filesystem::path root_;
  std::once_flag loaded_;
  std::mutex lock_;
  std::vector<std::string> packs_;
  std::unordered_map<std::string, std::uint32_t> packNumbers_;
  std::unordered_map<Key, Place, KeyHash> places_;
};
