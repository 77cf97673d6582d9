#include "engine/rollout_choice.h"

#include <gtest/gtest.h>

#include "services/files.h"
#include "services/signing.h"
#include "support/temp_folder.h"

namespace {

// Ten thousand installations' ids, the same in every run of the test.
std::vector<std::string> Ids() {
  std::vector<std::string> ids;
  for (int i = 0; i < 10000; ++i) ids.push_back(Sha256Hex("installation " + std::to_string(i)).substr(0, 32));
  return ids;
}

ListHeader Offering(const std::wstring& percent, const std::wstring& state = ROLLOUT_RUNNING) {
  ListHeader header;
  header.versionName = L"2.0";
  header.rollout = L"2.1";
  header.rolloutPercent = percent;
  header.rolloutState = state;
  return header;
}

}  // namespace

TEST(RolloutChoiceTest, TheShareTakingAVersionIsItsPercentAndAWiderShareKeepsEveryoneIn) {
  const std::vector<std::string> ids = Ids();
  std::vector<bool> inAtTen;
  for (const wchar_t* percent : {L"1", L"10", L"50"}) {
    std::size_t taking = 0;
    for (const std::string& id : ids) {
      const bool takes = TakesRollout(Offering(percent), RolloutBucket(id, L"2.1"), L"2.0");
      taking += takes ? 1 : 0;
      if (std::wstring(percent) == L"10") inAtTen.push_back(takes);
    }
    const double share = 100.0 * static_cast<double>(taking) / static_cast<double>(ids.size());
    EXPECT_NEAR(share, std::stod(percent), 1.0) << "at " << std::stod(percent) << "%";
  }
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (inAtTen[i]) {
      EXPECT_TRUE(TakesRollout(Offering(L"50"), RolloutBucket(ids[i], L"2.1"), L"2.0")) << i;
    }
  }
  // Another version draws other installations: the same ones are not always first.
  std::size_t same = 0;
  for (const std::string& id : ids) same += (RolloutBucket(id, L"2.1") < 1000) == (RolloutBucket(id, L"2.2") < 1000);
  EXPECT_LT(same, ids.size() * 95 / 100);
}

TEST(RolloutChoiceTest, AHaltKeepsThoseWhoTookItAndBackKeepsNone) {
  EXPECT_TRUE(TakesRollout(Offering(L"10", ROLLOUT_HALTED), 9999, L"2.1"));
  EXPECT_FALSE(TakesRollout(Offering(L"10", ROLLOUT_HALTED), 0, L"2.0"));
  EXPECT_FALSE(TakesRollout(Offering(L"100", ROLLOUT_BACK), 0, L"2.1"));
  EXPECT_TRUE(TakesRollout(Offering(L"0.5"), 49, L"2.0"));
  EXPECT_FALSE(TakesRollout(Offering(L"0.5"), 50, L"2.0"));
  EXPECT_FALSE(TakesRollout(Offering(L"ten"), 0, L"2.0"));
  EXPECT_FALSE(TakesRollout(ListHeader{}, 0, L"2.0"));
  unsigned hundredths = 0;
  for (const wchar_t* bad : {L"", L"101", L"-1", L"1.", L".5", L"1.234", L"1e2", L"50%"}) {
    EXPECT_FALSE(ParseRolloutPercent(bad, hundredths)) << WideToUtf8(bad);
  }
  ASSERT_TRUE(ParseRolloutPercent(L"12.5", hundredths));
  EXPECT_EQ(hundredths, 1250u);
  ASSERT_TRUE(ParseRolloutPercent(L"100", hundredths));
  EXPECT_EQ(hundredths, 10000u);
}

TEST(RolloutChoiceTest, AnInstallationMakesItsIdOnceAndADryRunKeepsNone) {
  TempFolder folder;
  InFolder in(folder.path());
  const std::string dry = InstallationId(false);
  EXPECT_FALSE(PathExists(L"autoupdate.id"));
  const std::string id = InstallationId(true);
  EXPECT_EQ(id.size(), 32u);
  EXPECT_NE(id, dry);
  EXPECT_EQ(InstallationId(true), id);
  EXPECT_EQ(InstallationId(false), id);
  // A damaged id is made anew, and kept.
  FileHandle file = FileHandle::CreateForWrite(L"autoupdate.id");
  ASSERT_TRUE(file.Write("not an id", 9));
  file.Close();
  const std::string made = InstallationId(true);
  EXPECT_NE(made, id);
  EXPECT_EQ(InstallationId(true), made);
}
