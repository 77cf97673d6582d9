#include "services/file_time.h"

#include <gtest/gtest.h>

TEST(FileTimeText, ParsesLikeScanfOfTwoUnsignedHalves) {
  struct Case {
    const wchar_t* text;
    bool ok;
    std::uint64_t ticks;
  };
  const Case cases[] = {
      {L"30260062:1225067648", true, (30260062ULL << 32) | 1225067648ULL},
      {L"0:0", true, 0},
      {L" 1: 2", true, (1ULL << 32) | 2},
      {L"4294967295:4294967295", true, ~0ULL},
      {L"1:2 trailing text", true, (1ULL << 32) | 2},
      {L"4294967296:0", false, 0},
      {L"12345", false, 0},
      {L"12345:", false, 0},
      {L":5", false, 0},
      {L"1 :2", false, 0},
      {L"", false, 0},
      {L"a:b", false, 0},
  };
  for (const Case& c : cases) {
    std::uint64_t ticks = 99;
    EXPECT_EQ(ParseFileTime(c.text, ticks), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(ticks, c.ticks) << c.text;
    }
  }
  EXPECT_EQ(FormatFileTime((30260062ULL << 32) | 1225067648ULL), L"30260062:1225067648");
}

TEST(FileTimeText, ConvertsToUnixTimeExactlyBeforeAndAfter1970) {
  // 5 November 2012, 14:03:09 UTC.
  std::int64_t seconds = 0;
  long nanoseconds = 0;
  UnixTimeFromTicks((30260062ULL << 32) | 1225067648ULL, seconds, nanoseconds);
  EXPECT_EQ(seconds, 1352124189);
  EXPECT_EQ(nanoseconds, 0);
  for (std::int64_t s : {std::int64_t{-11644473600}, std::int64_t{-1}, std::int64_t{0}, std::int64_t{1352124189}}) {
    for (long ns : {0L, 100L, 999999900L}) {
      std::int64_t backSeconds = 0;
      long backNanoseconds = 0;
      UnixTimeFromTicks(TicksFromUnixTime(s, ns), backSeconds, backNanoseconds);
      EXPECT_EQ(backSeconds, s);
      EXPECT_EQ(backNanoseconds, ns);
    }
  }
}

TEST(SameFileTimeToMinute, ComparesWholeUtcMinutes) {
  const std::uint64_t minuteStart = ((30260062ULL << 32) | 1225067648ULL) - 9 * 10000000ULL;  // 14:03:00
  auto text = [](std::uint64_t t) { return FormatFileTime(t); };
  EXPECT_TRUE(SameFileTimeToMinute(text(minuteStart), text(minuteStart + 59 * 10000000ULL)));
  EXPECT_TRUE(SameFileTimeToMinute(text(minuteStart), text(minuteStart + 60 * 10000000ULL - 1)));
  EXPECT_FALSE(SameFileTimeToMinute(text(minuteStart - 1), text(minuteStart)));
  EXPECT_FALSE(SameFileTimeToMinute(text(minuteStart - 10000000ULL), text(minuteStart)));
  EXPECT_FALSE(SameFileTimeToMinute(L"garbage", text(minuteStart)));
  EXPECT_FALSE(SameFileTimeToMinute(text(minuteStart), L"1"));
}

TEST(FileTimeText, OnlyTimesThatEveryFileSystemHoldsAreTimes) {
  struct Case {
    const wchar_t* text;
    bool holdable;
  };
  const Case cases[] = {
      {L"30260062:1225067648", true},
      {L"0:1", true},                     // 100 ns after the start of 1601
      {L"2147483647:4294967295", true},   // 2^63 - 1: the last time Windows converts
      {L"0:0", false},                    // the Windows API's "leave unchanged"
      {L"2147483648:0", false},           // 2^63: past the year 30827
      {L"4294967295:4294967295", false},  // also "leave unchanged"
  };
  for (const Case& c : cases) {
    std::uint64_t ticks = 0;
    EXPECT_EQ(ParseHoldableFileTime(c.text, ticks), c.holdable) << c.text;
    EXPECT_EQ(SameFileTimeToMinute(c.text, c.text), c.holdable) << c.text;
  }
}

TEST(FileTimeText, PosixTimesOutsideTheRangeAreNoTimeAndNeverOverflow) {
  const std::int64_t extremes[] = {INT64_MIN, -11644473601, 922337203685 - 11644473600 + 1000, INT64_MAX};
  for (std::int64_t seconds : extremes) EXPECT_EQ(TicksFromUnixTime(seconds, 0), 0u) << seconds;
  EXPECT_EQ(TicksFromUnixTime(0, -1), 0u);
  EXPECT_EQ(TicksFromUnixTime(0, 1000000000L), 0u);
  EXPECT_EQ(TicksFromUnixTime(910692730084, 0), 910692730084ULL * 10000000ULL + 116444736000000000ULL);
}
