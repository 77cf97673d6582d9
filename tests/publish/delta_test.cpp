#include "publish/delta.h"
#include "publish/delta_scan.h"
#include "publish/suffix_array.h"

#include <algorithm>
#include <mutex>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "engine/patch.h"
#include "publish/delta_cases.h"
#include "services/packed.h"
#include "support/temp_folder.h"

namespace {

std::string Diff(const std::string& old, const std::string& now) {
  std::string patch;
  EXPECT_TRUE(MakePatch(reinterpret_cast<const std::uint8_t*>(old.data()), old.size(),
                        reinterpret_cast<const std::uint8_t*>(now.data()), now.size(), patch));
  return patch;
}

// The patch's operators in order, and whether every data byte follows an insert or modify
// operator, so that readers that take data after equal, delete or back as modify rebuild the
// same file.
struct PatchShape {
  std::vector<std::uint8_t> operators;
  bool namesItsModeBeforeData = true;
};

PatchShape ShapeOf(const std::string& patch) {
  PatchShape shape;
  bool dataAllowed = false;
  for (std::size_t i = 0; i < patch.size(); ++i) {
    const auto b = static_cast<std::uint8_t>(patch[i]);
    if (b != PATCH_ESCAPE) {
      shape.namesItsModeBeforeData = shape.namesItsModeBeforeData && dataAllowed;
      continue;
    }
    const auto op = static_cast<std::uint8_t>(patch[++i]);
    if (op == PATCH_INSERT || op == PATCH_MODIFY) {
      dataAllowed = true;
    } else if (op == PATCH_BACK || op == PATCH_EQUAL || op == PATCH_DELETE) {
      dataAllowed = false;
      const auto first = static_cast<std::uint8_t>(patch[++i]);
      i += first == 252 ? 1 : first == 253 ? 2 : first == 254 ? 4 : 0;
    } else {
      shape.namesItsModeBeforeData = shape.namesItsModeBeforeData && dataAllowed;
      continue;  // an escaped escape byte: data
    }
    shape.operators.push_back(op);
  }
  return shape;
}

void ExpectRoundTrip(const std::string& name, const std::string& old, const std::string& now) {
  const std::string patch = Diff(old, now);
  std::string rebuilt;
  ASSERT_TRUE(ApplyPatchBytes(old, patch, rebuilt)) << name;
  EXPECT_TRUE(rebuilt == now) << name << ": " << rebuilt.size() << " bytes instead of " << now.size();
  EXPECT_TRUE(ShapeOf(patch).namesItsModeBeforeData) << name;
}

}  // namespace

TEST(Delta, RebuildsRandomAndStructuredPairs) {
  for (const DeltaCase& c : DeltaCases()) ExpectRoundTrip(c.name, c.old, c.now);
}

TEST(Delta, MovedAndUnchangedContentCostsAlmostNothing) {
  const std::string a = RandomBytes(200000, 3);
  EXPECT_LT(Diff(a, a).size(), 16u);
  EXPECT_LT(Diff(a, a.substr(100000) + a.substr(0, 100000)).size(), 32u);
  EXPECT_LT(Diff(a, a.substr(0, 70000) + "twelve bytes" + a.substr(70000)).size(), 48u);
}

TEST(Delta, ReplacedBytesOverwriteTheOldOnesInsteadOfSkippingThem) {
  // New bytes in place of old ones, and more of them: as many as the old stretch had are
  // written as modified, the rest as inserted, so the old cursor needs no move to go on.
  const std::string a = RandomBytes(5000, 5), replaced = RandomBytes(300, 6), b = RandomBytes(5000, 7);
  const std::string patch = Diff(a + replaced + b, a + RandomBytes(400, 8) + b);
  const std::vector<std::uint8_t> operators = ShapeOf(patch).operators;
  EXPECT_EQ(std::count(operators.begin(), operators.end(), PATCH_DELETE), 0);
  EXPECT_EQ(std::count(operators.begin(), operators.end(), PATCH_BACK), 0);
  EXPECT_EQ(std::count(operators.begin(), operators.end(), PATCH_MODIFY), 1);
}

TEST(PatchWriter, UsesTheShortestLengthForms) {
  const std::pair<std::uint64_t, std::string> cases[] = {
      {1, std::string("\xA7\xA3\x00", 3)},          {252, "\xA7\xA3\xFB"},
      {253, std::string("\xA7\xA3\xFC\x00", 4)},    {508, "\xA7\xA3\xFC\xFF"},
      {509, "\xA7\xA3\xFD\x01\xFD"},                {65535, "\xA7\xA3\xFD\xFF\xFF"},
      {65536, std::string("\xA7\xA3\xFE\x00\x01\x00\x00", 7)},
  };
  for (const auto& [length, bytes] : cases) {
    std::string out;
    PatchWriter writer(out);
    writer.Equal(length);
    EXPECT_EQ(out, bytes) << length;
  }
  std::string out;
  PatchWriter writer(out);
  const std::uint8_t data[] = {0x41, 0xA7};
  writer.Insert(data, 2);
  writer.Insert(data, 1);
  writer.MoveTo(10);
  writer.Modify(data, 1);
  writer.MoveTo(3);
  EXPECT_EQ(out, std::string("\xA7\xA5\x41\xA7\xA7\x41\xA7\xA4\x09\xA7\xA6\x41\xA7\xA2\x07"));
}

// A patch of records with small edits between blobs of random bytes (escape bytes among them),
// ending in data: packed with its long data runs in blocks of their own it unpacks to the same
// bytes, smaller than packed as one.
TEST(PackPatch, PacksLongDataRunsApartAndUnpacksToThePatch) {
  std::string patch;
  PatchWriter writer(patch);
  std::uint32_t state = 1;
  for (int record = 0; record < 3000; ++record) {
    state = state * 1103515245u + 12345u;
    writer.Equal(200 + (state >> 16) % 700);
    const std::string digits = std::to_string(record);
    writer.Modify(reinterpret_cast<const std::uint8_t*>(digits.data()), digits.size());
    if (record % 10 == 0) {
      const std::string blob = RandomBytes(1000 + (state >> 8) % 70000, record);
      writer.Insert(reinterpret_cast<const std::uint8_t*>(blob.data()), blob.size());
    }
  }
  const std::string tail = RandomBytes(5000, 1);
  writer.Insert(reinterpret_cast<const std::uint8_t*>(tail.data()), tail.size());
  const std::string packed = PackPatch(patch);
  std::string back;
  ASSERT_TRUE(UnpackBytes(packed, back));
  EXPECT_TRUE(back == patch);
  EXPECT_LT(packed.size(), PackBytes(patch, 9).size());
  ASSERT_TRUE(UnpackBytes(PackPatch(""), back));
  EXPECT_TRUE(back.empty());
}

// The margin whose slices pack smallest in sum wins, the slices reach both ends of the file, a
// small file is tried whole, and trials that run side by side choose as one after another would.
TEST(ChooseMargin, TakesTheMarginWhoseSlicesPackSmallestInSum) {
  const std::string data(1000, 'x');
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.data());
  std::mutex lock;
  std::set<std::pair<std::size_t, std::int64_t>> tried;
  // Margin 8 is smallest on the first slice only, 12 on the sum of the three.
  const TrialSize trial = [&](const std::uint8_t* from, std::size_t size, std::int64_t margin,
                              MatchCache&) -> std::size_t {
    const std::size_t at = static_cast<std::size_t>(from - bytes);
    {
      std::lock_guard<std::mutex> guard(lock);
      tried.insert({at, margin});
    }
    EXPECT_LE(at + size, data.size());
    if (margin == 8) return at == 0 ? 1 : 100;
    if (margin == 12) return 60;
    return 1000;
  };
  const MarginChoice sliced = ChooseMargin(bytes, data.size(), {{4, 8, 12}, 100, 3}, trial);
  EXPECT_EQ(sliced.margin, 12);
  EXPECT_EQ(sliced.wholeFile, nullptr);
  const std::set<std::pair<std::size_t, std::int64_t>> slices = {
      {0, 4}, {450, 4}, {900, 4}, {0, 8}, {450, 8}, {900, 8}, {0, 12}, {450, 12}, {900, 12}};
  EXPECT_EQ(tried, slices);

  tried.clear();
  const MarginChoice whole = ChooseMargin(bytes, 300, {{4, 8, 12}, 100, 3}, trial);
  EXPECT_EQ(whole.margin, 8);
  EXPECT_NE(whole.wholeFile, nullptr);
  EXPECT_EQ(tried, (std::set<std::pair<std::size_t, std::int64_t>>{{0, 4}, {0, 8}, {0, 12}}));
}

// Scans that take their matches from a cache filled by scans with other margins cut the new file
// into the same stretches as scans that search every match.
TEST(ScanStretches, CutsTheSameStretchesWithACacheFilledByOtherMargins) {
  // Short pieces of the old file from all over it, with a few new bytes between them and bytes
  // changed within them: the margin decides which pieces are taken as new matches.
  const std::string old = RandomBytes(90000, 3);
  std::string now;
  const std::string noise = RandomBytes(20000, 6);
  for (std::size_t k = 0; k < 300; ++k) {
    now += old.substr((k * 7919) % 80000, 20 + (k * 37) % 300);
    now += noise.substr(k * 50, k % 4);
  }
  for (std::size_t i = 100; i < now.size(); i += 97) now[i] = static_cast<char>(now[i] ^ 0x5A);
  std::vector<std::int32_t> suffixes;
  ASSERT_TRUE(BuildSuffixArray(reinterpret_cast<const std::uint8_t*>(old.data()), old.size(), suffixes));
  const auto cut = [&](std::int64_t margin, MatchCache* cache) {
    std::vector<std::size_t> stretches;
    ScanStretches(
        suffixes, reinterpret_cast<const std::uint8_t*>(old.data()), old.size(),
        reinterpret_cast<const std::uint8_t*>(now.data()), now.size(), margin,
        [&](const Stretch& s) { stretches.insert(stretches.end(), {s.oldFrom, s.newFrom, s.aligned, s.gap, s.nextOld}); },
        cache);
    return stretches;
  };
  MatchCache cache(now.size());
  std::set<std::vector<std::size_t>> distinct;
  for (std::int64_t margin : {4, 12, 8, 4}) {
    const std::vector<std::size_t> searched = cut(margin, nullptr);
    EXPECT_EQ(cut(margin, &cache), searched) << margin;
    distinct.insert(searched);
  }
  EXPECT_GE(distinct.size(), 2u);  // the cache served scans that went other ways
}
