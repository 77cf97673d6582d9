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

// The times that every file system of ours can hold and that no conversion overflows: after the
// start of 1601 and below 2^63 ticks (the year 30828), the range Windows converts. 0 and all
// ones are also the Windows API's "leave the time unchanged". A list time outside is no time.
constexpr std::uint64_t FILE_TIME_MAX = 0x7FFFFFFFFFFFFFFFULL;
inline bool IsHoldableFileTime(std::uint64_t ticks) { return ticks > 0 && ticks <= FILE_TIME_MAX; }

// ParseFileTime, and true only for a holdable time.
bool ParseHoldableFileTime(const std::wstring& text, std::uint64_t& ticks);

// Conversion to and from POSIX time, exact to 100 ns, dates before 1970 included. A POSIX time
// outside the holdable range gives 0 (no time); the arithmetic never overflows.
constexpr std::int64_t TICKS_PER_SECOND = 10000000;
constexpr std::int64_t SECONDS_1601_TO_1970 = 11644473600;
std::uint64_t TicksFromUnixTime(std::int64_t seconds, long nanoseconds);
void UnixTimeFromTicks(std::uint64_t ticks, std::int64_t& seconds, long& nanoseconds);

// True when both texts parse as holdable times and name the same UTC minute (year, month, day,
// hour, minute).
bool SameFileTimeToMinute(const std::wstring& a, const std::wstring& b);
