#include "publish/delta2.h"

#include <cstdio>

#include <gtest/gtest.h>

#include "engine/patch2.h"
#include "publish/delta.h"
#include "services/packed.h"
#include "publish/delta_cases.h"
#include "support/temp_folder.h"

namespace {

const std::uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const std::uint8_t*>(s.data()); }

std::string Diff2(const std::string& old, const std::string& now) {
  std::string patch;
  EXPECT_TRUE(MakePatch2(Bytes(old), old.size(), Bytes(now), now.size(), patch));
  return patch;
}

void ExpectRoundTrip(const std::string& name, const std::string& old, const std::string& now) {
  const std::string patch = Diff2(old, now);
  std::string rebuilt;
  std::wstring cause;
  ASSERT_TRUE(ApplyPatch2Bytes(old, patch, rebuilt, cause)) << name << ": " << std::string(cause.begin(), cause.end());
  EXPECT_TRUE(rebuilt == now) << name << ": " << rebuilt.size() << " bytes instead of " << now.size();
}

// Two builds of a program: 8-byte instructions with a 32-bit address each, the second build with
// 4 KiB inserted and every address past the insertion moved by that much.
std::pair<std::string, std::string> ShiftedCode(std::size_t size) {
  const std::string noise = RandomBytes(size, 3);
  std::string first, second;
  for (std::size_t at = 0; at + 8 <= size; at += 8) {
    if (at == size / 2) second += RandomBytes(4096, 5);
    std::uint32_t target = 0;
    for (int k = 0; k < 4; ++k) target = target << 8 | static_cast<std::uint8_t>(noise[at + k]);
    target = target % size & ~7u;
    for (std::string* build : {&first, &second}) {
      std::uint32_t moved = build == &second && target >= size / 2 ? target + 4096 : target;
      *build += noise.substr(at + 4, 4);
      for (int shift = 0; shift < 32; shift += 8) *build += static_cast<char>((moved >> shift) & 0xFF);
    }
  }
  return {first, second};
}

}  // namespace

TEST(Delta2, RebuildsRandomAndStructuredPairs) {
  for (const DeltaCase& c : DeltaCases()) ExpectRoundTrip(c.name, c.old, c.now);
}

// What the second format is for: code whose addresses moved costs the byte code every changed
// address, and format 2 almost nothing beyond the inserted bytes.
TEST(Delta2, MovedAddressesCostFarLessThanInTheByteCode) {
  const auto [old, now] = ShiftedCode(256 << 10);
  ExpectRoundTrip("shifted code", old, now);
  std::string patch1;
  ASSERT_TRUE(MakePatch(Bytes(old), old.size(), Bytes(now), now.size(), patch1));
  const std::size_t packed1 = PackBytes(patch1, 9).size();
  const std::size_t packed2 = Diff2(old, now).size();
  EXPECT_LT(packed2 * 2, packed1) << packed2 << " against " << packed1;
  std::printf("moved addresses: %zu bytes in the byte code, %zu in format 2\n", packed1, packed2);
}
