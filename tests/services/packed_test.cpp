#include "services/packed.h"
#include "services/packed2.h"

#include <algorithm>

#include <gtest/gtest.h>
#include <zlib.h>

#include "services/files.h"
#include "services/md5.h"
#include "support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

// Packs with zlib directly, with a chosen window: 15 bits is ours, 31 is gzip, -15 raw deflate.
std::string Deflate(const std::string& plain, int windowBits, const std::string& dictionary = "") {
  z_stream s{};
  deflateInit2(&s, 9, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
  if (!dictionary.empty()) {
    deflateSetDictionary(&s, reinterpret_cast<const Bytef*>(dictionary.data()), static_cast<uInt>(dictionary.size()));
  }
  std::string out(deflateBound(&s, plain.size()) + 64, '\0');
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
  s.avail_in = static_cast<uInt>(plain.size());
  s.next_out = reinterpret_cast<Bytef*>(out.data());
  s.avail_out = static_cast<uInt>(out.size());
  deflate(&s, Z_FINISH);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

// Text-like data that compresses, with random stretches that do not.
std::string MixedBytes(std::size_t size) {
  std::string data = RandomBytes(size, 3);
  for (std::size_t i = 0; i < size; ++i) {
    if ((i / 4096) % 3 != 0) data[i] = "the quick brown fox "[i % 20];
  }
  return data;
}

}  // namespace

TEST(PackedFile, PackThenUnpackGivesTheSameBytes) {
  TempFolder folder;
  for (std::size_t size : {0u, 1u, 65535u, 65536u, 65537u, 300000u}) {
    const std::string plain = MixedBytes(size);
    WriteBytes(folder.path() / "plain", plain);
    ASSERT_TRUE(PackFile(folder / "plain", folder / "packed", 9)) << size;
    std::string packed = ReadBytes(folder.path() / "packed");
    EXPECT_EQ(packed, Deflate(plain, 15)) << "level 9, memory level 8, default strategy";
    ASSERT_TRUE(UnpackFile(folder / "packed", folder / "back")) << size;
    EXPECT_EQ(ReadBytes(folder.path() / "back"), plain) << size;
    // In memory the same bytes: a tree's published files are compared byte for byte.
    EXPECT_EQ(PackBytes(plain, 9), packed) << size;
    std::string back;
    ASSERT_TRUE(UnpackBytes(packed, back)) << size;
    EXPECT_EQ(back, plain) << size;
  }
}

TEST(PackedFile, BytesAfterTheStreamAreIgnored) {
  TempFolder folder;
  WriteBytes(folder.path() / "packed", Deflate("hello", 15) + "trailing garbage");
  ASSERT_TRUE(UnpackFile(folder / "packed", folder / "out"));
  EXPECT_EQ(ReadBytes(folder.path() / "out"), "hello");
}

TEST(PackedFile, AStreamCutAtAnyByteIsRefused) {
  TempFolder folder;
  const std::string packed = Deflate(MixedBytes(20000), 15);
  for (std::size_t cut = 0; cut < packed.size(); ++cut) {
    WriteBytes(folder.path() / "packed", packed.substr(0, cut));
    EXPECT_FALSE(UnpackFile(folder / "packed", folder / "out")) << cut;
    std::string plain;
    EXPECT_FALSE(UnpackBytes(packed.substr(0, cut), plain)) << cut;
  }
}

TEST(PackedFile, OtherFormatsAreRefused) {
  TempFolder folder;
  const std::string plain = "some plain text, some plain text";
  std::string corrupt = Deflate(plain, 15);
  corrupt[corrupt.size() - 1] ^= 1;  // the Adler-32 check value
  const std::pair<const char*, std::string> cases[] = {
      {"empty", ""},
      {"gzip", Deflate(plain, 31)},
      {"raw deflate", Deflate(plain, -15)},
      {"preset dictionary", Deflate(plain, 15, "some plain")},
      {"bad check value", corrupt},
      {"plain text", plain},
  };
  for (const auto& [name, bytes] : cases) {
    WriteBytes(folder.path() / "packed", bytes);
    EXPECT_FALSE(UnpackFile(folder / "packed", folder / "out")) << name;
  }
  // An empty source still leaves an empty destination behind.
  WriteBytes(folder.path() / "packed", "");
  EXPECT_FALSE(UnpackFile(folder / "packed", folder / "empty-out"));
  EXPECT_TRUE(fs::exists(folder.path() / "empty-out"));
}

TEST(PackedFile, MissingSourceCreatesNoDestination) {
  TempFolder folder;
  EXPECT_FALSE(UnpackFile(folder / "missing", folder / "out"));
  EXPECT_FALSE(PackFile(folder / "missing", folder / "out", 9));
  EXPECT_FALSE(fs::exists(folder.path() / "out"));
}

TEST(PackedFile, ReadOnlyDestinationAndBadLevelFail) {
  TempFolder folder;
  WriteBytes(folder.path() / "plain", "x");
  WriteBytes(folder.path() / "ro", "old");
  fs::permissions(folder.path() / "ro", fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  EXPECT_FALSE(PackFile(folder / "plain", folder / "ro", 9));
  EXPECT_EQ(ReadBytes(folder.path() / "ro"), "old");
  EXPECT_FALSE(PackFile(folder / "plain", folder / "out", 10));
  {
    FileHandle in = FileHandle::OpenForRead(folder / "plain");
    FileHandle out = FileHandle::CreateForWrite(folder / "out2");
    EXPECT_EQ(DeflateStream(out, 10, in), STREAM_BAD_LEVEL);
  }
}

TEST(PackedFile, UnpackingCanHandBackTheDigestOfWhatItWrote) {
  TempFolder folder;
  for (std::size_t size : {0u, 10u, 65536u, 1000000u}) {
    const std::string plain = MixedBytes(size);
    WriteBytes(folder.path() / "packed", Deflate(plain, 15));
    std::wstring digest = L"stale";
    std::wstring writeFailure = L"stale", cause;
    ASSERT_TRUE(UnpackFileWithDigest(folder / "packed", folder / "out", digest, cause, writeFailure)) << size;
    EXPECT_EQ(digest, Md5OfBytes(plain.data(), plain.size())) << size;
    EXPECT_EQ(writeFailure, L"");
  }
  // A damaged source is the source's fault; a destination that cannot be made is the disk's.
  WriteBytes(folder.path() / "packed", Deflate("abc", 15).substr(0, 5));
  std::wstring digest = L"stale";
  std::wstring writeFailure, cause;
  EXPECT_FALSE(UnpackFileWithDigest(folder / "packed", folder / "out", digest, cause, writeFailure));
  EXPECT_EQ(digest, L"");
  EXPECT_EQ(writeFailure, L"");
  WriteBytes(folder.path() / "packed", Deflate("abc", 15));
  EXPECT_FALSE(UnpackFileWithDigest(folder / "packed", folder / "no-such-folder/out", digest, cause, writeFailure));
  EXPECT_NE(writeFailure, L"");
}

// The second packed form: a whole zstd frame and nothing else. Unlike zlib's form, bytes after
// the frame are refused: nothing of a published file goes unchecked.
TEST(Packed2File, UnpacksWholeFramesAndRefusesCutOrLongerOnes) {
  TempFolder folder;
  const std::string plain = MixedBytes(3000000);
  const std::string packed = Pack2Bytes(plain);
  ASSERT_FALSE(packed.empty());
  std::wstring digest, writeFailure, cause;
  WriteBytes(folder.path() / "packed", packed);
  ASSERT_TRUE(Unpack2FileWithDigest(folder / "packed", folder / "out", digest, cause, writeFailure));
  EXPECT_TRUE(ReadBytes(folder.path() / "out") == plain);
  EXPECT_EQ(digest, Md5OfBytes(plain.data(), plain.size()));
  for (const std::string& damaged : {packed.substr(0, packed.size() / 2), packed.substr(0, packed.size() - 1),
                                     packed + "x", packed + packed, std::string("not a frame")}) {
    WriteBytes(folder.path() / "packed", damaged);
    EXPECT_FALSE(Unpack2FileWithDigest(folder / "packed", folder / "out", digest, cause, writeFailure)) << damaged.size();
    EXPECT_EQ(digest, L"");
    EXPECT_EQ(writeFailure, L"");
  }
  // A file that would unpack past its bound (a frame that unpacks without end, or one that states
  // more than the list's size) stops there and is blamed on the source, not the disk.
  WriteBytes(folder.path() / "packed", packed);
  EXPECT_FALSE(Unpack2FileWithDigest(folder / "packed", folder / "out", digest, cause, writeFailure, plain.size() - 1));
  EXPECT_NE(cause.find(L"more than the " + std::to_wstring(plain.size() - 1) + L" bytes"), std::wstring::npos);
  EXPECT_EQ(writeFailure, L"");
  EXPECT_LE(fs::file_size(folder.path() / "out"), plain.size() - 1);
  WriteBytes(folder.path() / "zlib", Deflate(plain, 15));
  EXPECT_FALSE(UnpackFileWithDigest(folder / "zlib", folder / "out", digest, cause, writeFailure, 1000));
  EXPECT_NE(cause.find(L"more than the 1000 bytes"), std::wstring::npos);
  EXPECT_LE(fs::file_size(folder.path() / "out"), 1000u);
  EXPECT_TRUE(UnpackFileWithDigest(folder / "zlib", folder / "out", digest, cause, writeFailure, plain.size()));
  std::string back;
  EXPECT_FALSE(Unpack2Bytes(packed, back, plain.size() - 1)) << "more plain bytes than allowed";
  EXPECT_TRUE(Unpack2Bytes(packed, back, plain.size()));
}

// Streams too large to hold: a file packed in pieces, and an adaptive stream that packs pieces of
// bytes that do not pack at the fastest level. Each makes one frame that unpacks to the input,
// and text still packs as well as at the stream's level.
TEST(Packed2Stream, PiecesMakeOneFrameWhateverTheirContent) {
  TempFolder folder;
  std::string text;
  while (text.size() < (6u << 20)) text += "record " + std::to_string(text.size() % 9973) + " of the map;";
  const std::string mixed = RandomBytes(5 << 20, 3) + text;
  WriteBytes(folder.path() / "plain", mixed);
  ASSERT_TRUE(Pack2File(folder / "plain", folder / "packed", 3));
  std::string back;
  ASSERT_TRUE(Unpack2Bytes(ReadBytes(folder.path() / "packed"), back, mixed.size()));
  EXPECT_TRUE(back == mixed);
  // Both packers say how far they have read, up to the whole file, for a long file's progress.
  std::vector<std::uint64_t> seen1, seen2;
  ASSERT_TRUE(PackFile(folder / "plain", folder / "packed1", 1, [&](std::uint64_t read) { seen1.push_back(read); }));
  ASSERT_TRUE(Pack2File(folder / "plain", folder / "packed", 3, [&](std::uint64_t read) { seen2.push_back(read); }));
  for (const auto* seen : {&seen1, &seen2}) {
    ASSERT_GT(seen->size(), 1u);
    EXPECT_TRUE(std::is_sorted(seen->begin(), seen->end()));
    EXPECT_EQ(seen->back(), mixed.size());
  }
  EXPECT_FALSE(Pack2File(folder / "missing", folder / "packed2", 3));
  EXPECT_FALSE(fs::exists(folder.path() / "packed2")) << "nothing is left of a failed packing";

  Pack2Stream adaptive = Pack2Stream::Adaptive(9);
  std::string frame;
  for (std::size_t at = 0; at < mixed.size(); at += 100000) {
    const std::string piece = mixed.substr(at, 100000);
    ASSERT_TRUE(adaptive.Add(piece.data(), piece.size()));
    frame += adaptive.TakePacked();
  }
  frame += adaptive.Finish();
  ASSERT_TRUE(Unpack2Bytes(frame, back, mixed.size()));
  EXPECT_TRUE(back == mixed);
  // The random bytes cost their size and a few bytes a block; the text packs as at the level.
  EXPECT_LT(frame.size(), (5u << 20) + 1024 + Pack2Bytes(text, 9).size() * 11 / 10);
}
