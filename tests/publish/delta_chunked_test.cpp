#include "publish/delta_chunked.h"

#include <gtest/gtest.h>

#include "engine/patch.h"
#include "engine/patch2.h"
#include "publish/delta.h"
#include "publish/delta2.h"
#include "publish/delta_cases.h"
#include "services/packed.h"
#include "support/temp_folder.h"

namespace {

// Sizes small enough that a file of a few hundred KB crosses segments, pieces and chunk limits.
constexpr ChunkedShape SMALL{16 << 10, 4 << 10, 8 << 10, 6, 64, 1 << 10};

std::string Chunked(const std::string& old, const std::string& now, int format, const ChunkedShape& shape) {
  TempFolder folder;
  WriteBytes(folder.path() / "old", old);
  WriteBytes(folder.path() / "new", now);
  std::string patch, error;
  EXPECT_TRUE(MakeChunkedPatch(folder / "old", folder / "new", format, patch, error, shape)) << error;
  return patch;
}

std::string Rebuilt(const std::string& old, const std::string& patch, int format) {
  std::string rebuilt;
  std::wstring cause;
  const bool applied = format == 1 ? ApplyPatchBytes(old, patch, rebuilt) : ApplyPatch2Bytes(old, patch, rebuilt, cause);
  EXPECT_TRUE(applied) << std::string(cause.begin(), cause.end());
  return rebuilt;
}

// Records like a game's pack file: short text lines and blobs that do not compress.
std::string Records(std::size_t count, unsigned seed) {
  std::string out;
  std::mt19937 random(seed);
  for (std::size_t i = 0; i < count; ++i) {
    if (random() % 3 == 0) {
      out += RandomBytes(500 + random() % 1500, seed * 100003 + static_cast<unsigned>(i));
    } else {
      out += "item=" + std::to_string(random() % 100000) + ";name=sword-" + std::to_string(random() % 977) + "\n";
    }
  }
  return out;
}

// A data file of small records, ranges and the ids they map to. The next release inserts a
// record now and then (every later record moves) and renumbers half the ids (a byte of every
// other record differs): exact matches are a record long, and only a narrow margin re-aligns.
std::string Ranges(std::size_t count, bool next) {
  std::string out;
  std::uint32_t start = 0;
  for (std::size_t i = 0; i < count; ++i) {
    std::uint32_t id = static_cast<std::uint32_t>(i * 7919 % 40000);
    if (next && id % 2 == 1) ++id;
    start += 1 + static_cast<std::uint32_t>(i * 2654435761u % 300);
    for (const std::uint32_t value : {start, id}) {
      for (int k = 0; k < 4; ++k) out += static_cast<char>((value >> (8 * k)) & 0xff);
    }
    if (next && i % 40 == 39) out += std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8);
  }
  return out;
}

}  // namespace

TEST(ChunkedDelta, RebuildsEveryCaseInBothFormatsWhateverTheShape) {
  for (const DeltaCase& c : DeltaCases()) {
    for (const int format : {1, 2}) {
      for (const ChunkedShape& shape : {SMALL, ChunkedShape{}}) {
        EXPECT_TRUE(Rebuilt(c.old, Chunked(c.old, c.now, format, shape), format) == c.now)
            << c.name << ", format " << format << ", segment " << shape.segment;
      }
    }
  }
}

// A pack file's release: records edited in place, new ones inserted, a block moved from the
// start to the end (far beyond any searched neighbourhood) and one duplicated. Chunks find the
// moved and repeated bytes wherever they are; the rest is searched near where it belongs. The
// patch must be as small as the whole-file matcher's, within a few percent.
TEST(ChunkedDelta, FindsMovedBlocksAnywhereAndStaysCloseToTheWholeFileMatcher) {
  const std::string old = Records(3000, 7);
  std::string now = old.substr(200000);
  for (std::size_t at = 1000; at + 16 < now.size(); at += 25000) now.replace(at, 8, "EDITED!!");
  for (std::size_t at = 5000; at < now.size(); at += 60000) now.insert(at, Records(3, static_cast<unsigned>(at)));
  now += old.substr(0, 200000) + old.substr(300000, 50000);

  std::string whole2;
  ASSERT_TRUE(MakePatch2(reinterpret_cast<const std::uint8_t*>(old.data()), old.size(),
                         reinterpret_cast<const std::uint8_t*>(now.data()), now.size(), whole2));
  for (const int format : {1, 2}) {
    const std::string patch = Chunked(old, now, format, SMALL);
    EXPECT_TRUE(Rebuilt(old, patch, format) == now) << "format " << format;
    const std::size_t size = format == 1 ? PackBytes(patch, 9).size() : patch.size();
    EXPECT_LT(size, now.size() / 20) << "format " << format;
    if (format == 2) {
      EXPECT_LT(size, whole2.size() * 11 / 10 + 2048) << "whole-file matcher: " << whole2.size();
    }
  }
}

// Record-structured data wants a narrow margin, pack files a wide one: each piece of differing
// bytes takes the margin its trials make smallest, so shifted records cost as little as with the
// whole-file matcher in both formats.
TEST(ChunkedDelta, ShiftedRecordsCostAsLittleAsWithTheWholeFileMatcher) {
  const std::string old = Ranges(20000, false), now = Ranges(20000, true);
  const auto* oldData = reinterpret_cast<const std::uint8_t*>(old.data());
  const auto* newData = reinterpret_cast<const std::uint8_t*>(now.data());
  for (const int format : {1, 2}) {
    std::string whole;
    ASSERT_TRUE(format == 1 ? MakePatch(oldData, old.size(), newData, now.size(), whole)
                            : MakePatch2(oldData, old.size(), newData, now.size(), whole));
    const std::string patch = Chunked(old, now, format, SMALL);
    EXPECT_TRUE(Rebuilt(old, patch, format) == now) << "format " << format;
    const std::size_t size = format == 1 ? PackBytes(patch, 9).size() : patch.size();
    const std::size_t wholeSize = format == 1 ? PackBytes(whole, 9).size() : whole.size();
    EXPECT_LT(size, wholeSize * 12 / 10) << "format " << format << ", whole-file matcher: " << wholeSize;
  }
}

TEST(ChunkedDelta, AFileThatCannotBeReadIsNamed) {
  TempFolder folder;
  WriteBytes(folder.path() / "new", "content");
  std::string patch, error;
  EXPECT_FALSE(MakeChunkedPatch(folder / "missing", folder / "new", 2, patch, error));
  EXPECT_NE(error.find("missing"), std::string::npos) << error;
}

// The fingerprint that picks a similar old file: all of a file's own chunks, most of an edited or
// shifted copy's, almost none of another file's.
TEST(ChunkedDelta, SamplesTellSimilarFilesFromOthers) {
  const std::string file = Records(200, 3);
  std::string edited = "a new first line\n" + file;
  edited.replace(edited.size() / 2, 16, "an edit in there");
  const std::vector<std::uint64_t> own = SampleChunkHashes(file);
  ASSERT_GT(own.size(), 20u);
  EXPECT_EQ(SharedShare(own, own), 1.0);
  EXPECT_GT(SharedShare(SampleChunkHashes(edited), own), 0.8);
  EXPECT_LT(SharedShare(SampleChunkHashes(Records(200, 4)), own), 0.1);
  EXPECT_EQ(SharedShare({}, own), 0.0);
  // A large file is sampled in slices; a copy with a few bytes inserted still shares most of them.
  const std::string large = Records(3000, 5);
  EXPECT_GT(SharedShare(SampleChunkHashes("12345" + large), SampleChunkHashes(large)), 0.7);
}
