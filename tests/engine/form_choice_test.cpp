#include "engine/form_choice.h"

#include <gtest/gtest.h>

namespace {

constexpr std::uint64_t MB = 1000 * 1000;

// A patch entry of a 300 MB file as the list offers it: format 2, the byte code, zstd and zlib whole.
FileEntry PatchEntry(std::uint64_t patch2, std::uint64_t patch1, std::uint64_t whole2, bool chunks = false) {
  FileEntry entry;
  entry.target = L"data\\pack.dat";
  entry.size = std::to_string(300 * MB);
  entry.fallbacks = {{"p2", ContentForm::Patch2, patch2}, {"p1", ContentForm::Patch, patch1}};
  if (chunks) entry.fallbacks.push_back({"index", ContentForm::Chunks, 0});
  entry.fallbacks.push_back({"w2", ContentForm::Whole2, whole2});
  entry.fallbacks.push_back({"w1", ContentForm::Whole, whole2 + 20 * MB});
  TakeNextOffer(entry);
  return entry;
}

std::vector<std::wstring> Order(const FileEntry& entry) {
  std::vector<std::wstring> urls{entry.Url()};
  for (const ContentOffer& offer : entry.fallbacks) urls.push_back(offer.Url());
  return urls;
}

// The form that a file of fileSize bytes takes, weighed at rate, whose patches are 150 kB in
// format 2 and 151 kB in the byte code (or none in the byte code) and whose whole form is half
// its size.
std::string PackTakes(const FormChoice& choice, std::uint64_t fileSize, double rate, bool byteCode = true) {
  FileEntry entry = PatchEntry(150 * 1000, 151 * 1000, fileSize / 2);
  if (!byteCode) entry.fallbacks.erase(entry.fallbacks.begin());
  entry.size = std::to_string(fileSize);
  (void)choice.Weigh(entry, rate);
  return entry.url;
}

}  // namespace

TEST(FormChoiceTest, TheSlowerRebuildLosesOnAFastLinkAndWinsOnASlowOne) {
  FormChoice choice;
  // 20 Mbit/s: the format-2 patch's 3.5% fewer bytes are 0.14 s, its slower rebuild costs 2 s.
  FileEntry fast = PatchEntry(9650 * 1000, 10 * MB, 150 * MB);
  EXPECT_TRUE(choice.Weigh(fast, 2.5e6));
  EXPECT_EQ(Order(fast), (std::vector<std::wstring>{L"p1", L"p2", L"w2", L"w1"}));
  // A format-2 patch of half the bytes on the same link: 4 s saved, the list's order stands.
  FileEntry half = PatchEntry(5 * MB, 10 * MB, 150 * MB);
  EXPECT_FALSE(choice.Weigh(half, 2.5e6));
  EXPECT_EQ(half.url, "p2");
  // 1 Mbit/s: the 350 kB saved take 2.8 s to arrive, more than the rebuild costs.
  FileEntry slow = PatchEntry(9650 * 1000, 10 * MB, 150 * MB);
  EXPECT_FALSE(choice.Weigh(slow, 125e3));
}

TEST(FormChoiceTest, PatchesOfAboutTheSameBytesTakeTheFasterRebuild) {
  FormChoice choice;
  // A 50 MB pack's patches of 150 kB in both formats: the byte code rebuilds it 0.3 s sooner.
  EXPECT_EQ(PackTakes(choice, 50 * MB, 2.5e6), "p1");
  // Before the run has measured its link: the thousand more bytes cost little on any link.
  EXPECT_EQ(PackTakes(choice, 50 * MB, 0), "p1");
  // Nor does the unmeasured link trade many bytes for a faster rebuild, nor put a whole form first.
  FileEntry unknownRate = PatchEntry(9650 * 1000, 10 * MB, 150 * MB);
  EXPECT_FALSE(choice.Weigh(unknownRate, 0));
  FileEntry large = PatchEntry(140 * MB, 150 * MB, 150 * MB, true);
  EXPECT_FALSE(choice.Weigh(large, 0));
  // On a very fast link its whole form would save 0.4 s, for 150 times the bytes: not enough.
  EXPECT_EQ(PackTakes(choice, 50 * MB, 1e9, false), "p2");
  // A 5 MB file's: 0.03 s, within the guesses' error; the list's order stands.
  EXPECT_EQ(PackTakes(choice, 5 * MB, 2.5e6), "p2");
}

TEST(FormChoiceTest, AWholeFormOnAVeryFastLinkKeepsChunksBeforeIt) {
  FormChoice choice;
  // Half the file in patches, at 1 GB/s: unpacking zstd beats either rebuild by far.
  FileEntry entry = PatchEntry(140 * MB, 150 * MB, 150 * MB, true);
  EXPECT_TRUE(choice.Weigh(entry, 1e9));
  EXPECT_EQ(Order(entry), (std::vector<std::wstring>{L"index", L"w2", L"p2", L"p1", L"w1"}));
  EXPECT_EQ(entry.form, ContentForm::Chunks);
}

TEST(FormChoiceTest, NothingChangesWithoutWhatToWeigh) {
  FormChoice choice;
  // A list that does not say a form's bytes: the list's order.
  FileEntry unsaid = PatchEntry(0, 10 * MB, 150 * MB);
  EXPECT_FALSE(choice.Weigh(unsaid, 2.5e6));
  EXPECT_EQ(unsaid.url, "p2");
  // A small file: a fifth of a second is never saved.
  FileEntry small = PatchEntry(9650, 10000, 150000);
  small.size = "300000";
  EXPECT_FALSE(choice.Weigh(small, 2.5e6));
}

TEST(FormChoiceTest, TheMachinesOwnPaceReplacesTheFirstGuess) {
  FormChoice choice;
  const double guessed = choice.MakingRate(ContentForm::Patch2);
  choice.RecordMaking(ContentForm::Patch2, 1 * MB, 1.0);  // too little to tell
  EXPECT_EQ(choice.MakingRate(ContentForm::Patch2), guessed);
  choice.RecordMaking(ContentForm::Patch2, 999 * MB, 1.0);
  EXPECT_NEAR(choice.MakingRate(ContentForm::Patch2), 500e6, 1e3);
  // This machine rebuilds format 2 as fast as the byte code: the smaller patch stays first.
  choice.RecordMaking(ContentForm::Patch, 1000 * MB, 2.0);
  FileEntry entry = PatchEntry(9650 * 1000, 10 * MB, 150 * MB);
  EXPECT_FALSE(choice.Weigh(entry, 2.5e6));
}
