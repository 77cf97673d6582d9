#include "services/renewal.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

constexpr std::int64_t DAY = 86400;
// 2027-01-01 00:00 UTC: the release key signs then, for 30 days.
constexpr std::int64_t SIGNED_AT = 1798761600;

// A list's statement signed by the release key, naming the renewal key, and renewals of it.
class RenewalTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(GenerateSigningKey(release_, releasePublic_));
    ASSERT_TRUE(GenerateSigningKey(renew_, renewPublic_));
    ASSERT_TRUE(GenerateSigningKey(foreign_, foreignPublic_));
    statement_ = {"velora/", "filelist.enc", SIGNED_AT, UtcStampOf(SIGNED_AT + 30 * DAY), {Sha256Hex("list")}, {},
                  releasePublic_, renewPublic_, ""};
    signature_ = WriteSignatureFile(statement_, release_);
  }

  // A renewal of the statement until days after signing, changed by edit before renew signs it.
  std::string RenewalFor(int days, const std::function<void(Renewal&)>& edit = {}, const std::string& key = {}) const {
    Renewal renewal{"velora/", "filelist.enc", Sha256Hex(signature_), UtcStampOf(SIGNED_AT + days * DAY)};
    if (edit) edit(renewal);
    return WriteRenewalFile(renewal, key.empty() ? renew_ : key);
  }

  // Applies the renewal at the time now (days after signing) to the statement as clients read it.
  bool Applies(const std::string& renewal, int now = 45, std::string signature = {}) {
    if (signature.empty()) signature = signature_;
    read_ = SignedStatement{};
    std::string ignored;
    if (!ReadSignatureFile(signature, releasePublic_, read_, ignored)) return false;
    problem_.clear();
    return ApplyRenewal(signature, renewal, read_, SIGNED_AT + now * DAY, problem_);
  }

  std::string release_, releasePublic_, renew_, renewPublic_, foreign_, foreignPublic_;
  SignedStatement statement_;
  std::string signature_;
  SignedStatement read_;
  std::string problem_;
};

}  // namespace

TEST_F(RenewalTest, ARenewalOfTheNamedKeyLengthensTheStatementsLifeOnly) {
  ASSERT_TRUE(Applies(RenewalFor(60))) << problem_;
  EXPECT_EQ(read_.expires, UtcStampOf(SIGNED_AT + 60 * DAY));
  EXPECT_EQ(read_.serial, statement_.serial);  // nothing else of the statement changes
  EXPECT_EQ(read_.digests, statement_.digests);
  EXPECT_FALSE(read_.renewal.empty());
  // Up to the reach and no further.
  EXPECT_TRUE(Applies(RenewalFor(RENEWAL_REACH_DAYS), RENEWAL_REACH_DAYS - 1)) << problem_;
  EXPECT_FALSE(Applies(RenewalFor(RENEWAL_REACH_DAYS + 1), RENEWAL_REACH_DAYS - 1));
  EXPECT_NE(problem_.find("only the release key"), std::string::npos) << problem_;
}

// Each hostile renewal is refused and leaves the statement's own expiry.
TEST_F(RenewalTest, HostileRenewalsAreRefused) {
  const std::string otherStatement = WriteSignatureFile(
      {"velora/", "filelist.enc", SIGNED_AT - DAY, statement_.expires, {Sha256Hex("old list")}, {}, releasePublic_,
       renewPublic_, ""},
      release_);
  const struct {
    const char* what;
    std::string renewal;
    int now;
  } cases[] = {
      {"signed by a foreign key", RenewalFor(60, {}, foreign_), 45},
      {"signed by the release key, which the statement does not name to renew", RenewalFor(60, {}, release_), 45},
      {"for another statement of the same list (an older serial)",
       RenewalFor(60, [&](Renewal& r) { r.statement = Sha256Hex(otherStatement); }), 45},
      {"for another file", RenewalFor(60, [](Renewal& r) { r.file = "filelistfull.enc"; }), 45},
      {"for another channel's list", RenewalFor(60, [](Renewal& r) { r.file = "channels/beta/filelist.enc"; }), 45},
      {"for another product", RenewalFor(60, [](Renewal& r) { r.product = "other/"; }), 45},
      {"with an earlier expiry", RenewalFor(20), 45},
      {"with the same expiry", RenewalFor(30), 45},
      {"that expired itself", RenewalFor(40), 45},
      {"beyond the reach", RenewalFor(RENEWAL_REACH_DAYS + 30), 45},
      {"without an expiry", RenewalFor(60, [](Renewal& r) { r.expires = "soon"; }), 45},
      {"a statement signed by the renewal key", WriteSignatureFile(statement_, renew_), 45},
      {"cut short", RenewalFor(60).substr(0, 100), 45},
      {"empty", "", 45},
  };
  for (const auto& hostile : cases) {
    EXPECT_FALSE(Applies(hostile.renewal, hostile.now)) << hostile.what;
    EXPECT_FALSE(problem_.empty()) << hostile.what;
    EXPECT_EQ(read_.expires, statement_.expires) << hostile.what;
  }
  // A renewal whose expiry was changed after it was signed.
  std::string edited = RenewalFor(60);
  const std::string stamp = UtcStampOf(SIGNED_AT + 60 * DAY);
  edited.replace(edited.find(stamp), stamp.size(), UtcStampOf(SIGNED_AT + 90 * DAY));
  EXPECT_FALSE(Applies(edited));
  // A statement that names no renewal key takes none, even its own release key's.
  statement_.renewKey.clear();
  signature_ = WriteSignatureFile(statement_, release_);
  EXPECT_FALSE(Applies(RenewalFor(60)));
  EXPECT_FALSE(Applies(RenewalFor(60, {}, release_)));
}

TEST_F(RenewalTest, ARenewalNeverReadsAsAStatementNorAStatementAsARenewal) {
  SignedStatement read;
  std::string problem;
  // Even a client that was given the renewal key as a release key takes no statement from it.
  EXPECT_FALSE(ReadSignatureFile(RenewalFor(60), renewPublic_, read, problem));
  Renewal renewal;
  EXPECT_FALSE(ReadRenewalFile(signature_, releasePublic_, renewal, problem));
  EXPECT_TRUE(ReadRenewalFile(RenewalFor(60), renewPublic_, renewal, problem)) << problem;
}
