#include "engine/release_trust.h"

#include <gtest/gtest.h>

// An expired signature is the publisher's lapse, unless the player's clock is the reason: years
// past the expiry, or before the moment the publisher signed.
TEST(ReleaseTrust, AnExpiredSignatureBlamesTheClockOnlyWhenTheClockIsImplausible) {
  SignedStatement statement;
  statement.serial = static_cast<std::uint64_t>(UnixTimeOfStamp("20270101000000"));
  statement.expires = "20270131000000";
  const std::int64_t dayAfter = UnixTimeOfStamp("20270201000000");
  const std::string lapse = ReleaseTrust::ExpiryProblem(statement, dayAfter);
  EXPECT_NE(lapse.find("expired on 2027-01-31 00:00 UTC"), std::string::npos) << lapse;
  EXPECT_NE(lapse.find("not renewed"), std::string::npos) << lapse;
  EXPECT_EQ(lapse.find("clock"), std::string::npos) << lapse;

  const std::string yearsAhead = ReleaseTrust::ExpiryProblem(statement, UnixTimeOfStamp("20370201000000"));
  EXPECT_NE(yearsAhead.find("check the computer's clock"), std::string::npos) << yearsAhead;
  EXPECT_NE(yearsAhead.find("2037-02-01"), std::string::npos) << "the clock's own time is shown: " << yearsAhead;

  // A serial signed ahead of the player's clock (a publisher whose clock ran ahead) is not the
  // publisher's lapse either.
  statement.serial = static_cast<std::uint64_t>(UnixTimeOfStamp("20270301000000"));
  EXPECT_NE(ReleaseTrust::ExpiryProblem(statement, dayAfter).find("check the computer's clock"), std::string::npos);
}
