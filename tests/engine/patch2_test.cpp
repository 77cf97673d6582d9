#include "engine/patch2.h"

#include <zstd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "services/files.h"
#include "services/md5.h"
#include "services/packed2.h"
#include "support/temp_folder.h"

namespace {

void Number(std::string& out, std::uint64_t value) {
  while (value >= 0x80) {
    out += static_cast<char>((value & 0x7F) | 0x80);
    value >>= 7;
  }
  out += static_cast<char>(value);
}

struct Record {
  std::uint64_t add, copy, move;  // move zigzag-coded
};

// One block of records, as the control frame holds them.
std::string Block(const std::vector<Record>& records) {
  std::string out;
  Number(out, records.size());
  for (const Record& r : records) Number(out, r.add);
  for (const Record& r : records) Number(out, r.copy);
  for (const Record& r : records) Number(out, r.move);
  return out;
}

void Digest(const std::string& bytes, std::uint8_t digest[16]) {
  Md5 md5;
  md5.Update(bytes.data(), bytes.size());
  md5.Final(digest);
}

// A patch written by hand: its streams before packing, and the header's claims.
struct Crafted {
  std::string old;
  std::string now;           // what the header says the result is
  std::string control;       // blocks of records
  std::string difference;
  std::string copy;

  std::string Header(std::size_t control, std::size_t difference, std::size_t copy) const {
    Patch2Header header;
    header.oldSize = old.size();
    header.newSize = now.size();
    Digest(old, header.oldMd5);
    Digest(now, header.newMd5);
    header.controlLength = control;
    header.differenceLength = difference;
    header.copyLength = copy;
    return EncodePatch2Header(header);
  }
  std::string Bytes() const {
    const std::string c = Pack2Bytes(control), d = Pack2Bytes(difference), k = Pack2Bytes(copy);
    return Header(c.size(), d.size(), k.size()) + c + d + k;
  }
};

// "0123456789" becomes "0124" + "XYZ" + "78" + "9!": add 4 (the fourth byte raised by one),
// copy "XYZ", move 3 forward, add 3 ("78" and "9" as they are), copy "!".
Crafted Good() {
  Crafted c;
  c.old = "0123456789";
  c.now = "0124XYZ789!";
  c.control = Block({{4, 3, 6}, {3, 1, 0}});
  c.difference = std::string("\0\0\0\1\0\0\0", 7);
  c.copy = "XYZ!";
  return c;
}

class Patch2File : public ::testing::Test {
 protected:
  // True when the rebuild succeeds; on failure the output must not exist.
  bool Apply(const std::string& old, const std::string& patch) {
    WriteBytes(folder_.path() / "old", old);
    WriteBytes(folder_.path() / "patch", patch);
    std::wstring digest, writeFailure;
    cause_.clear();
    const bool ok = ApplyPatch2File(folder_ / "old", folder_ / "patch", folder_ / "new", digest, cause_, writeFailure);
    if (!ok) {
      EXPECT_FALSE(std::filesystem::exists(folder_.path() / "new")) << "a failed rebuild left its output";
      EXPECT_EQ(digest, L"");
      EXPECT_NE(cause_, L"");
    }
    return ok;
  }
  std::string Output() { return ReadBytes(folder_.path() / "new"); }

  TempFolder folder_;
  std::wstring cause_;
};

}  // namespace

TEST_F(Patch2File, RebuildsWhatTheStreamsDescribe) {
  const Crafted c = Good();
  ASSERT_TRUE(Apply(c.old, c.Bytes()));
  EXPECT_EQ(Output(), c.now);
}

TEST_F(Patch2File, RefusesEveryCutOfTheFile) {
  const Crafted c = Good();
  const std::string patch = c.Bytes();
  for (std::size_t size = 0; size < patch.size(); ++size) {
    EXPECT_FALSE(Apply(c.old, patch.substr(0, size))) << "cut at " << size;
  }
  EXPECT_FALSE(Apply(c.old, patch + "x")) << "a byte after the last frame";
}

TEST_F(Patch2File, RefusesAnotherHeaderOrOldFile) {
  const Crafted c = Good();
  const std::string patch = c.Bytes();
  for (std::size_t at : {0u, 3u, 4u, 5u, 7u}) {
    std::string changed = patch;
    changed[at] ^= 0x20;
    EXPECT_FALSE(Apply(c.old, changed)) << "header byte " << at;
  }
  EXPECT_FALSE(Apply("0123456780", patch)) << "another old file of the same size";
  EXPECT_FALSE(Apply("01234567890", patch)) << "a longer old file";
  std::string lengths = patch;
  lengths[56] += 1;  // the control frame's length, so that the others no longer fit
  EXPECT_FALSE(Apply(c.old, lengths));
}

// Each hostile patch is refused by its own check, which the cause names: a check that went
// missing would otherwise hide behind a later one (the MD5, say).
TEST_F(Patch2File, RefusesRecordsOutsideTheFilesOrPastTheirStreams) {
  const auto refused = [&](const char* what, const wchar_t* cause, const std::function<void(Crafted&)>& change) {
    Crafted c = Good();
    change(c);
    EXPECT_FALSE(Apply(c.old, c.Bytes())) << what;
    EXPECT_NE(cause_.find(cause), std::wstring::npos) << what << ": " << std::string(cause_.begin(), cause_.end());
  };
  refused("an add past the old file's end", L"reads past the old file's end", [](Crafted& c) {
    c.control = Block({{11, 0, 0}});
    c.difference = std::string(11, '\0');
  });
  refused("a move before the old file's start", L"moves outside the old file",
          [](Crafted& c) { c.control = Block({{1, 0, 5}}); });  // -3
  refused("a move past the old file's end", L"moves outside the old file",
          [](Crafted& c) { c.control = Block({{0, 0, 40}}); });
  // Refused at the first record that passes the header's size, before anything of it is written.
  refused("more output than the header's size (a bomb)", L"writes past the new size", [](Crafted& c) {
    c.control = Block({{0, std::uint64_t{1} << 40, 0}});
  });
  refused("a block of no records", L"control stream is damaged", [](Crafted& c) { c.control = Block({}) + c.control; });
  refused("a block of more records than a block holds", L"control stream is damaged", [](Crafted& c) {
    c.control.clear();
    Number(c.control, PATCH2_BLOCK_RECORDS + 1);
  });
  refused("fewer bytes than the header's size", L"fewer bytes than its header says", [](Crafted& c) { c.now += "more"; });
  refused("a copy stream that ends early", L"copy stream ends early", [](Crafted& c) { c.copy = "XY"; });
  refused("a difference stream that ends early", L"difference stream ends early",
          [](Crafted& c) { c.difference.resize(5); });
  refused("bytes after the last record", L"goes on after the last record", [](Crafted& c) { c.copy += "left over"; });
  refused("a record cut short", L"control stream is damaged", [](Crafted& c) { c.control.pop_back(); });
  refused("a number longer than 64 bits", L"control stream is damaged", [](Crafted& c) {
    c.control = Block({{4, 3, 6}}).substr(0, 2) + std::string(10, '\xff') + '\x01';
  });
  refused("a result that is not the header's", L"MD5 is not the header's", [](Crafted& c) { c.now = "0124XYZ789?"; });
}

// A frame that asks for a larger window than 16 MiB is refused before it could claim the memory.
TEST_F(Patch2File, RefusesFramesWithLargerWindows) {
  Crafted c = Good();
  // Streamed without a size, the frame states the window that it was given.
  const auto packWide = [](const std::string& plain) {
    ZSTD_CCtx* context = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, 27);
    std::string out(ZSTD_compressBound(plain.size()) + 64, '\0');
    ZSTD_inBuffer in{plain.data(), plain.size(), 0};
    ZSTD_outBuffer buffer{out.data(), out.size(), 0};
    ZSTD_compressStream2(context, &buffer, &in, ZSTD_e_continue);
    while (ZSTD_compressStream2(context, &buffer, &in, ZSTD_e_end) != 0) {
    }
    ZSTD_freeCCtx(context);
    out.resize(buffer.pos);
    return out;
  };
  const std::string control = packWide(c.control), difference = Pack2Bytes(c.difference), copy = Pack2Bytes(c.copy);
  EXPECT_FALSE(Apply(c.old, c.Header(control.size(), difference.size(), copy.size()) + control + difference + copy));
  std::string plain;
  EXPECT_FALSE(Unpack2Bytes(packWide("whole file"), plain, 1000));
  EXPECT_TRUE(Unpack2Bytes(Pack2Bytes("whole file"), plain, 1000));
  EXPECT_EQ(plain, "whole file");
}

// The client's rebuild streams from files: an old file above the 8 MiB cache, read from its end
// and then from its start again, differences that change bytes, and frames read in pieces.
TEST_F(Patch2File, RebuildsFromFilesAboveTheOldFilesCache) {
  Crafted c;
  c.old = RandomBytes(20 << 20, 7);
  const std::size_t tail = 15 << 20, head = 12 << 20;
  const std::string inserted = RandomBytes(300000, 8);
  c.control = Block({{0, 0, 2 * tail}, {(20 << 20) - tail, inserted.size(), 2 * (20 << 20) - 1}, {head, 0, 0}});
  c.difference = std::string((20 << 20) - tail + head, '\0');
  for (std::size_t i = 0; i < c.difference.size(); i += 4099) c.difference[i] = 3;
  c.copy = inserted;
  std::string expected = c.old.substr(tail) + inserted + c.old.substr(0, head);
  for (std::size_t i = 0; i < c.difference.size(); i += 4099) {
    char& byte = expected[i < (20 << 20) - tail ? i : i + inserted.size()];
    byte = static_cast<char>(byte + 3);
  }
  c.now = expected;
  ASSERT_TRUE(Apply(c.old, c.Bytes())) << std::string(cause_.begin(), cause_.end());
  EXPECT_TRUE(Output() == expected);
}
