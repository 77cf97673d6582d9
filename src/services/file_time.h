#pragma once
// The file-time text that file lists and the check use: a last-write time as the 64-bit count of
// 100-nanosecond intervals since 1601-01-01 00:00 UTC, written "high:low", each 32-bit half in
// decimal. Example: 5 November 2012, 14:03:09 UTC is "30260062:1225067648".
#include <cstdint>
#include <string>

std::wstring FormatFileTime(std::uint64_t ticks);

// Reads "high:low" the way "%lu:%lu" does: leading white space before each number is skipped and
// anything after the second number is ignored. False when either number is missing or larger
// than 32 bits.
bool ParseFileTime(const std::wstring& text, std::uint64_t& ticks);

// Conversion to and from POSIX time, exact to 100 ns, dates before 1970 included.
constexpr std::int64_t TICKS_PER_SECOND = 10000000;
constexpr std::int64_t SECONDS_1601_TO_1970 = 11644473600;
std::uint64_t TicksFromUnixTime(std::int64_t seconds, long nanoseconds);
void UnixTimeFromTicks(std::uint64_t ticks, std::int64_t& seconds, long& nanoseconds);

// True when both texts parse and name the same UTC minute (year, month, day, hour, minute).
bool SameFileTimeToMinute(const std::wstring& a, const std::wstring& b);
