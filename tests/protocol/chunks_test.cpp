// Chunks as both sides cut and index them: an edit moves only the cuts near it, a file read in
// pieces is cut exactly as it is in memory, and an index reads back only when it is whole and
// adds up.
#include <gtest/gtest.h>

#include <fstream>
#include <set>

#include "protocol/chunks.h"
#include "services/files.h"
#include "services/text.h"
#include "support/temp_folder.h"

namespace {

std::vector<std::string> CutInMemory(const std::string& bytes) {
  std::vector<std::string> chunks;
  for (std::size_t at = 0; at < bytes.size();) {
    const std::size_t length = ChunkLength(reinterpret_cast<const std::uint8_t*>(bytes.data()) + at, bytes.size() - at);
    chunks.push_back(bytes.substr(at, length));
    at += length;
  }
  return chunks;
}

std::vector<std::string> CutFile(const std::string& bytes) {
  TempFolder folder;
  const std::wstring path = folder / "chunks_test.bin";
  std::ofstream(folder.path() / "chunks_test.bin", std::ios::binary) << bytes;
  std::vector<std::string> chunks;
  std::uint64_t expected = 0;
  EXPECT_TRUE(ForEachChunk(path, [&](const std::uint8_t* data, std::size_t size, std::uint64_t at) {
    EXPECT_EQ(at, expected);
    expected += size;
    chunks.emplace_back(reinterpret_cast<const char*>(data), size);
    return true;
  }));
  return chunks;
}

}  // namespace

TEST(Chunks, CutsFollowTheContentSoAnEditChangesOnlyTheChunksAroundIt) {
  const std::string old = RandomBytes(8 << 20, 1);
  std::string edited = old;
  edited.insert(3 << 20, RandomBytes(1000, 2));  // bytes inserted: every later offset moves
  edited.erase(6 << 20, 500);
  const std::vector<std::string> before = CutInMemory(old), after = CutInMemory(edited);
  const std::set<std::string> held(before.begin(), before.end());
  std::size_t fresh = 0;
  for (const std::string& chunk : after) fresh += held.count(chunk) == 0 ? 1 : 0;
  // Two edits, each in one chunk, may also move the cut after it: at most two new chunks each.
  EXPECT_LE(fresh, 4u);
  EXPECT_GE(fresh, 2u);
  for (std::size_t i = 0; i + 1 < after.size(); ++i) {
    EXPECT_GE(after[i].size(), CHUNK_MIN);
    EXPECT_LE(after[i].size(), CHUNK_MAX);
  }
  const double average = double(edited.size()) / double(after.size());
  EXPECT_GT(average, CHUNK_AVERAGE * 0.6);
  EXPECT_LT(average, CHUNK_AVERAGE * 1.6);
}

TEST(Chunks, AFileReadInPiecesIsCutAsItIsInMemory) {
  // Sizes around the reading buffer's and the bounds: empty, below the minimum, many chunks, and
  // content without any cut (runs of one byte) that falls back on the largest chunk.
  for (const std::string& bytes : {std::string(), RandomBytes(CHUNK_MIN - 1, 3), RandomBytes(4 * CHUNK_MAX + 17, 4),
                                   std::string(3 * CHUNK_MAX + 5, 'x') + RandomBytes(CHUNK_MAX, 5)}) {
    const std::vector<std::string> file = CutFile(bytes), memory = CutInMemory(bytes);
    EXPECT_EQ(file, memory) << bytes.size() << " bytes";
    std::string joined;
    for (const std::string& chunk : file) joined += chunk;
    EXPECT_EQ(joined, bytes);
  }
}

TEST(Chunks, AnIndexReadsBackOnlyWhenWholeAndAddingUp) {
  ChunkIndex index;
  index.fileSize = 70000;
  index.chunks = {{std::string(64, 'a'), 65536, 1000, "", 0}, {std::string(62, '0') + "ff", 4464, 4480, "", 0}};
  const std::string bytes = index.Encode();
  ChunkIndex back;
  ASSERT_TRUE(back.Decode(bytes));
  EXPECT_EQ(back.fileSize, index.fileSize);
  ASSERT_EQ(back.chunks.size(), 2u);
  EXPECT_EQ(back.chunks[1].sha256, index.chunks[1].sha256);
  EXPECT_EQ(back.chunks[1].packed, 4480u);
  EXPECT_EQ(back.PackedBytes(), 5480u);

  EXPECT_FALSE(back.Decode(bytes.substr(0, bytes.size() - 1)));
  EXPECT_FALSE(back.Decode(bytes + "x"));
  EXPECT_FALSE(back.Decode("ZCJ1" + bytes.substr(4)));
  ChunkIndex wrong = index;
  wrong.fileSize = 70001;  // chunks that do not make the file
  EXPECT_FALSE(back.Decode(wrong.Encode()));
  wrong = index;
  wrong.chunks[0].size = CHUNK_MAX + 1;
  wrong.fileSize = CHUNK_MAX + 1 + 4464;
  EXPECT_FALSE(back.Decode(wrong.Encode()));
  wrong = index;
  wrong.chunks[1].packed = 0;
  EXPECT_FALSE(back.Decode(wrong.Encode()));

  EXPECT_TRUE(IsSha256Text(std::string(64, 'F')));
  EXPECT_FALSE(IsSha256Text(std::string(63, 'a')));
  EXPECT_FALSE(IsSha256Text(std::string(63, 'a') + "/"));
  EXPECT_EQ(ChunkObjectName(std::string(62, 'a') + "12"), L"chunks/aa/" + AnsiToWide(std::string(62, 'a') + "12"));
  EXPECT_EQ(ChunkIndexName(std::string(64, 'b')), L"chunks/bb/" + AnsiToWide(std::string(64, 'b')) + L".index");
}

TEST(Chunks, AnIndexNamesEachPackOnceAndKeepsItsFirstFormWithoutPacks) {
  const std::string packA(64, 'c'), packB(64, 'd');
  ChunkIndex index;
  index.fileSize = 3 * 20000;
  index.chunks = {{std::string(64, '1'), 20000, 900, packA, 0},
                  {std::string(64, '2'), 20000, 800, "", 0},
                  {std::string(64, '3'), 20000, 700, packB, 5000}};
  const std::string bytes = index.Encode();
  ChunkIndex back;
  ASSERT_TRUE(back.Decode(bytes));
  ASSERT_EQ(back.chunks.size(), 3u);
  EXPECT_EQ(back.chunks[0].pack, packA);
  EXPECT_EQ(back.chunks[1].pack, "");
  EXPECT_EQ(back.chunks[2].pack, packB);
  EXPECT_EQ(back.chunks[2].at, 5000u);
  EXPECT_EQ(ChunkServedName(back.chunks[2]), L"chunks/dd/" + AnsiToWide(packB) + L".pack");
  EXPECT_EQ(ChunkServedName(back.chunks[1]), ChunkObjectName(std::string(64, '2')));
  EXPECT_FALSE(back.Decode(bytes.substr(0, bytes.size() - 1)));

  // A chunk past its pack's end, or in a pack the index does not name, does not read.
  ChunkIndex wrong = index;
  wrong.chunks[2].at = PACK_MAX - 100;
  EXPECT_FALSE(back.Decode(wrong.Encode()));
  std::string unnamed = bytes;
  unnamed[4 + 8 + 4 + 2 * 32 + 4 + 40] = 3;  // the first chunk's pack number, of two packs
  EXPECT_FALSE(back.Decode(unnamed));

  // Chunks all served alone keep the index the trees before packs wrote, byte for byte.
  ChunkIndex alone = index;
  for (ChunkRef& chunk : alone.chunks) chunk = {chunk.sha256, chunk.size, chunk.packed, "", 0};
  EXPECT_EQ(alone.Encode().substr(0, 4), "ZCI1");
  ASSERT_TRUE(back.Decode(alone.Encode()));
  EXPECT_EQ(back.Encode(), alone.Encode());
}
