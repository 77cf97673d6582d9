// The publisher's chunk store: a release adds only the chunks that are new, an edit in a large
// file stores about the edit, and what is read back is proved by its name.
#include "publish/chunk_store.h"
#include "publish/tree_writes.h"

#include <gtest/gtest.h>

#include <fstream>

#include "support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

void Write(const fs::path& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

std::size_t FilesUnder(const fs::path& folder) {
  std::size_t count = 0;
  for (const auto& item : fs::recursive_directory_iterator(folder)) count += item.is_regular_file() ? 1 : 0;
  return count;
}

}  // namespace

TEST(ChunkStore, AReleaseStoresOnlyItsNewChunksAndAnEditCostsAboutItsBytes) {
  TempFolder folder;
  const fs::path product = folder.path() / "game";
  const fs::path file = folder.path() / "pack.dat";
  const std::string old = RandomBytes(6 << 20, 1);
  Write(file, old);
  SharedObjectBatch objects(product);
  ChunkCatalog catalog(product);
  ChunkedFile first;
  std::string error;
  std::uint64_t lastRead = 0;
  ASSERT_TRUE(StoreChunks(product, file, 2, true, [&](std::uint64_t read) { lastRead = read; }, objects, catalog, first,
                          error) &&
              objects.Land(error))
      << error;
  EXPECT_EQ(lastRead, old.size());
  EXPECT_EQ(first.newChunks, first.chunks);
  EXPECT_EQ(FilesUnder(product / CHUNKS_FOLDER), 2u);  // one pack, whose own index is the file's

  // The same file again (a build run again after a kill) adds nothing, and names the same index.
  ChunkedFile again;
  ChunkCatalog rerun(product);
  ASSERT_TRUE(StoreChunks(product, file, 2, true, {}, objects, rerun, again, error) && objects.Land(error)) << error;
  EXPECT_EQ(again.index, first.index);
  EXPECT_EQ(again.storedBytes, 0u);

  // 1 MiB rewritten in the middle: about that is stored, however large the file.
  std::string edited = old;
  edited.replace(3 << 20, 1 << 20, RandomBytes(1 << 20, 2));
  Write(file, edited);
  ChunkedFile second;
  ASSERT_TRUE(StoreChunks(product, file, 2, true, {}, objects, rerun, second, error) && objects.Land(error)) << error;
  EXPECT_GT(second.storedBytes, 1u << 20);
  EXPECT_LT(second.storedBytes, (1u << 20) + 2 * CHUNK_MAX + 64 * 1024);

  ChunkIndex index;
  ASSERT_TRUE(ReadChunkIndex(product, second.index, index, error)) << error;
  std::string rebuilt, plain;
  for (const ChunkRef& chunk : index.chunks) {
    ASSERT_TRUE(ReadChunk(product, chunk, plain, error)) << error;
    rebuilt += plain;
  }
  EXPECT_EQ(rebuilt, edited);
  std::set<std::string> names;
  ASSERT_TRUE(ChunkObjectsOf(product, {first.index, second.index}, names, error)) << error;
  EXPECT_EQ(names.size(), 4u);  // two indexes and two packs; the second pack's own index is not named
  EXPECT_EQ(FilesUnder(product / CHUNKS_FOLDER), 5u);
  for (const std::string& name : names) EXPECT_TRUE(fs::exists(product / name)) << name;
}

// A build stopped inside a large file, before its index: the packs it finished place their
// chunks by their own indexes, and the build run again stores only the rest.
TEST(ChunkStore, ARerunFindsThePacksOfAFileWhoseIndexWasNeverWritten) {
  TempFolder folder;
  const fs::path product = folder.path() / "game";
  const fs::path file = folder.path() / "large.dat";
  Write(file, RandomBytes(PACK_MAX + (2 << 20), 3));  // more than one pack holds
  SharedObjectBatch objects(product);
  ChunkCatalog catalog(product);
  ChunkedFile first;
  std::string error;
  ASSERT_TRUE(StoreChunks(product, file, 2, false, {}, objects, catalog, first, error) && objects.Land(error)) << error;
  ASSERT_TRUE(fs::remove(product / fs::path(ChunkIndexName(first.index))));

  ChunkCatalog rerun(product);
  ChunkedFile again;
  ASSERT_TRUE(StoreChunks(product, file, 2, false, {}, objects, rerun, again, error) && objects.Land(error)) << error;
  EXPECT_EQ(again.index, first.index);
  // The index again, and nothing else: even the last pack, whose own index was written, is found.
  EXPECT_EQ(again.newChunks, 0u);
  ChunkIndex index;
  ASSERT_TRUE(ReadChunkIndex(product, again.index, index, error)) << error;
  EXPECT_EQ(again.storedBytes, index.Encode().size());
  std::set<std::string> packs;
  for (const ChunkRef& chunk : index.chunks) packs.insert(chunk.pack);
  EXPECT_EQ(packs.size(), 2u);
  EXPECT_EQ(packs.count(""), 0u);
}

TEST(ChunkStore, WhatIsReadBackIsProvedByItsName) {
  TempFolder folder;
  const fs::path product = folder.path() / "game";
  Write(folder.path() / "small.txt", "a file smaller than any chunk");
  SharedObjectBatch objects(product);
  ChunkCatalog catalog(product);
  ChunkedFile stored;
  std::string error;
  ASSERT_TRUE(StoreChunks(product, folder.path() / "small.txt", 1, false, {}, objects, catalog, stored, error) &&
              objects.Land(error))
      << error;
  ChunkIndex index;
  ASSERT_TRUE(ReadChunkIndex(product, stored.index, index, error));
  ASSERT_EQ(index.chunks.size(), 1u);

  // A chunk that holds other bytes, and an index that is not the one its name says, are refused.
  const fs::path chunk = product / fs::path(ChunkServedName(index.chunks[0]));
  std::string packed = [&] {
    std::ifstream in(chunk, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }();
  packed[packed.size() / 2] ^= 0x20;
  Write(chunk, packed);
  std::string plain;
  EXPECT_FALSE(ReadChunk(product, index.chunks[0], plain, error));
  EXPECT_NE(error.find("does not unpack"), std::string::npos);
  const fs::path indexPath = product / fs::path(ChunkIndexName(stored.index));
  Write(indexPath, index.Encode() + "x");
  EXPECT_FALSE(ReadChunkIndex(product, stored.index, index, error));
  EXPECT_FALSE(ReadChunkIndex(product, "../" + stored.index.substr(3), index, error));

  // An empty file is one index of no chunks.
  Write(folder.path() / "empty", "");
  ASSERT_TRUE(StoreChunks(product, folder.path() / "empty", 1, false, {}, objects, catalog, stored, error) &&
              objects.Land(error))
      << error;
  ASSERT_TRUE(ReadChunkIndex(product, stored.index, index, error)) << error;
  EXPECT_EQ(index.fileSize, 0u);
  EXPECT_TRUE(index.chunks.empty());
}

// Chunks written together land together: none is under its name before the batch is durable, a
// chunk two threads packed is written once, and a batch given up leaves nothing behind.
TEST(ChunkStore, ABatchOfObjectsLandsWholeOrLeavesNothing) {
  TempFolder folder;
  const fs::path a = folder.path() / "chunks" / "ab" / "a", b = folder.path() / "chunks" / "cd" / "b";
  std::string error;
  {
    SharedObjectBatch given(folder.path());
    bool wrote = false;
    ASSERT_TRUE(given.Write(a, "first", wrote, error)) << error;
    EXPECT_EQ(given.Held(a), 5u);
  }
  EXPECT_EQ(FilesUnder(folder.path()), 0u);

  SharedObjectBatch batch(folder.path());
  bool first = false, again = true, other = false;
  ASSERT_TRUE(batch.Write(a, "first", first, error)) << error;
  ASSERT_TRUE(batch.Write(a, "first", again, error)) << error;
  ASSERT_TRUE(batch.Write(b, "second!", other, error)) << error;
  EXPECT_TRUE(first && !again && other);
  EXPECT_FALSE(fs::exists(a) || fs::exists(b));
  EXPECT_EQ(batch.Held(b), 7u);
  ASSERT_TRUE(batch.Land(error)) << error;
  EXPECT_EQ(FilesUnder(folder.path()), 2u);
  EXPECT_EQ(fs::file_size(a), 5u);
  EXPECT_EQ(batch.Held(a), 5u);
  EXPECT_EQ(batch.Held(folder.path() / "none"), 0u);
}
