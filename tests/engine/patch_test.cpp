#include "engine/patch.h"

#include <gtest/gtest.h>

#include "services/files.h"
#include "support/temp_folder.h"

namespace {

struct MemoryPatch final : PatchInput {
  explicit MemoryPatch(std::string bytes) : bytes(std::move(bytes)) {}
  int Next() override { return at < bytes.size() ? static_cast<unsigned char>(bytes[at++]) : -1; }
  std::string bytes;
  std::size_t at = 0;
};

// Rebuilds in memory; "<failed>" when the interpreter refuses the patch.
std::string Rebuild(const std::string& old, const std::string& patch) {
  std::string output;
  return ApplyPatchBytes(old, patch, output) ? output : "<failed>";
}

}  // namespace

TEST(PatchInterpreter, DescribedExamples) {
  const std::tuple<const char*, std::string, std::string> cases[] = {
      {"equal", std::string("\xA7\xA3\x02"), "abc"},
      {"modify then equal", std::string("\xA7\xA6X\xA7\xA3\x00", 6), "Xb"},
      {"delete then equal", std::string("\xA7\xA4\x01\xA7\xA3\x01"), "cd"},
      {"back", std::string("\xA7\xA3\x02\xA7\xA2\x02\xA7\xA3\x02"), "abcabc"},
      {"escapes in insert", std::string("\xA7\xA5\x41\xA7\xA7\xA7\x41"), "\x41\xA7\xA7\x41"},
      {"data before any mode", std::string("xyz\xA7\xA3\x00", 6), "a"},
      {"data after equal, delete, back", std::string("\xA7\xA3\x00q\xA7\xA4\x00r\xA7\xA2\x00s", 12), "a"},
      {"escaped pair in modify skips two", std::string("\xA7\xA6\xA7Z\xA7\xA3\x00", 7), "\xA7Zc"},
      {"empty patch", std::string(), ""},
      {"nothing copied implicitly", std::string("\xA7\xA4\x02"), ""},
      {"equal length 0 at the end of the stream", std::string("\xA7\xA3"), ""},
  };
  for (const auto& [name, patch, expected] : cases) EXPECT_EQ(Rebuild("abcdef", patch), expected) << name;
}

TEST(PatchInterpreter, LengthForms) {
  const std::pair<std::string, std::uint32_t> cases[] = {
      {std::string("\x00", 1), 1},
      {std::string("\xFB"), 252},
      {std::string("\xFC\x00", 2), 253},
      {std::string("\xFC\xFF"), 508},
      {std::string("\xFD\x01\x00", 3), 256},
      {std::string("\xFE\x00\x01\x00\x00", 5), 65536},
      {std::string(""), 0},
  };
  for (const auto& [bytes, expected] : cases) {
    MemoryPatch patch(bytes);
    std::uint32_t length = 99;
    EXPECT_TRUE(ReadPatchLength(patch, length));
    EXPECT_EQ(length, expected);
  }
  std::string big(70000, 'x');
  EXPECT_EQ(Rebuild(big, std::string("\xA7\xA4\xFD\x00\x10\xA7\xA3\xFE\x00\x01\x00\x00", 12)), big.substr(16, 65536));
}

TEST(PatchInterpreter, MalformedPatchesFailInsteadOfGuessing) {
  const std::pair<const char*, std::string> cases[] = {
      {"eight-byte length", std::string("\xA7\xA3\xFF\x00\x00\x00\x00\x00\x00\x00\x01", 11)},
      {"equal past the old file's end", std::string("\xA7\xA3\x06")},
      {"back before the start", std::string("\xA7\xA3\x01\xA7\xA2\x02")},
      {"stream ends inside a two-byte length", std::string("\xA7\xA3\xFD\x01")},
      {"stream ends inside a four-byte length", std::string("\xA7\xA4\xFE\x00\x00", 5)},
      {"stream ends inside a 252 length", std::string("\xA7\xA3\xFC")},
      {"escape as the last byte", std::string("\xA7\xA5xy\xA7")},
  };
  for (const auto& [name, patch] : cases) EXPECT_EQ(Rebuild("abcdef", patch), "<failed>") << name;
  // Moving forward past the end is allowed; only reading there fails.
  EXPECT_EQ(Rebuild("abcdef", std::string("\xA7\xA4\x09\xA7\xA5z")), "z");
}

TEST(ApplyPatchFile, RebuildsLargeFilesThroughTheBuffers) {
  TempFolder folder;
  std::string old = RandomBytes(3 << 20, 5);
  WriteBytes(folder.path() / "old", old);
  // Copy 2 MiB, insert three bytes, skip 1 MiB - 10, copy the rest, then copy the first 300 again.
  std::string patch = std::string("\xA7\xA3\xFE\x00\x20\x00\x00", 7) + std::string("\xA7\xA5pqr", 5) +
                      std::string("\xA7\xA4\xFE\x00\x0F\xFF\xF6", 7) + std::string("\xA7\xA3\x09", 3) +
                      std::string("\xA7\xA2\xFE\x00\x30\x00\x00", 7) + std::string("\xA7\xA3\xFC\x2F", 4);
  WriteBytes(folder.path() / "patch", patch);
  ASSERT_TRUE(ApplyPatchFile(folder / "old", folder / "patch", folder / "new"));
  std::string expected = old.substr(0, 2 << 20) + "pqr" + old.substr((3 << 20) - 10) + old.substr(0, 300);
  EXPECT_TRUE(ReadBytes(folder.path() / "new") == expected);
  EXPECT_FALSE(ApplyPatchFile(folder / "missing", folder / "patch", folder / "new2"));
  EXPECT_FALSE(std::filesystem::exists(folder.path() / "new2"));
}

// The old file's cache holds 8 MiB in 4 KiB slots (a block's slot is its number modulo 2,048). A
// jump to a block 8 slots before the end of the slots, in a file above 8 MiB, and a copy that
// goes on past the end of the slots must wrap, not read past the cache.
TEST(ApplyPatchFile, CopiesAcrossTheEndOfTheOldFilesCacheAbove8MiB) {
  TempFolder folder;
  const std::string old = RandomBytes(20 << 20, 7);
  WriteBytes(folder.path() / "old", old);
  const auto op = [](std::uint8_t code, std::uint32_t n) {
    const char bytes[] = {'\xA7', static_cast<char>(code), '\xFE', static_cast<char>(n >> 24), static_cast<char>(n >> 16),
                          static_cast<char>(n >> 8), static_cast<char>(n)};
    return std::string(bytes, sizeof bytes);
  };
  const std::uint32_t far = 4088 * 4096 + 100;  // block 4088: slot 2040
  const std::uint32_t near = 2040 * 4096;       // block 2040: slot 2040 again
  const std::string patch = op(PATCH_DELETE, far) + op(PATCH_EQUAL, 1 << 20) +
                            op(PATCH_BACK, far + (1 << 20) - near) + op(PATCH_EQUAL, 300000);
  WriteBytes(folder.path() / "patch", patch);
  ASSERT_TRUE(ApplyPatchFile(folder / "old", folder / "patch", folder / "new"));
  EXPECT_TRUE(ReadBytes(folder.path() / "new") == old.substr(far, 1 << 20) + old.substr(near, 300000));
}
