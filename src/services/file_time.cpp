#include "services/file_time.h"

#include <cwctype>

namespace {

constexpr std::uint64_t TICKS_PER_MINUTE = 60ULL * TICKS_PER_SECOND;

bool ParseHalf(const std::wstring& text, std::size_t& i, std::uint32_t& value) {
  while (i < text.size() && std::iswspace(text[i])) ++i;
  std::size_t start = i;
  std::uint64_t v = 0;
  while (i < text.size() && text[i] >= L'0' && text[i] <= L'9') {
    v = v * 10 + static_cast<std::uint64_t>(text[i] - L'0');
    if (v > 0xFFFFFFFFULL) return false;
    ++i;
  }
  value = static_cast<std::uint32_t>(v);
  return i > start;
}

}  // namespace

std::wstring FormatFileTime(std::uint64_t ticks) {
  return std::to_wstring(ticks >> 32) + L":" + std::to_wstring(ticks & 0xFFFFFFFFULL);
}

bool ParseFileTime(const std::wstring& text, std::uint64_t& ticks) {
  std::size_t i = 0;
  std::uint32_t high = 0;
  std::uint32_t low = 0;
  if (!ParseHalf(text, i, high)) return false;
  if (i >= text.size() || text[i] != L':') return false;
  ++i;
  if (!ParseHalf(text, i, low)) return false;
  ticks = (static_cast<std::uint64_t>(high) << 32) | low;
  return true;
}

bool ParseHoldableFileTime(const std::wstring& text, std::uint64_t& ticks) {
  return ParseFileTime(text, ticks) && IsHoldableFileTime(ticks);
}

std::uint64_t TicksFromUnixTime(std::int64_t seconds, long nanoseconds) {
  constexpr std::int64_t LAST_SECOND = static_cast<std::int64_t>(FILE_TIME_MAX / TICKS_PER_SECOND) - SECONDS_1601_TO_1970;
  if (seconds < -SECONDS_1601_TO_1970 || seconds >= LAST_SECOND || nanoseconds < 0 || nanoseconds >= 1000000000L) {
    return 0;
  }
  return static_cast<std::uint64_t>(seconds + SECONDS_1601_TO_1970) * TICKS_PER_SECOND +
         static_cast<std::uint64_t>(nanoseconds / 100);
}

void UnixTimeFromTicks(std::uint64_t ticks, std::int64_t& seconds, long& nanoseconds) {
  // Ticks are unsigned and start in 1601, so this division never meets a negative number.
  seconds = static_cast<std::int64_t>(ticks / TICKS_PER_SECOND) - SECONDS_1601_TO_1970;
  nanoseconds = static_cast<long>(ticks % TICKS_PER_SECOND) * 100;
}

// UTC has no leap seconds in file times, so two times share year, month, day, hour and minute
// exactly when they fall into the same whole minute since 1601.
bool SameFileTimeToMinute(const std::wstring& a, const std::wstring& b) {
  std::uint64_t ta = 0;
  std::uint64_t tb = 0;
  if (!ParseHoldableFileTime(a, ta) || !ParseHoldableFileTime(b, tb)) return false;
  return ta / TICKS_PER_MINUTE == tb / TICKS_PER_MINUTE;
}
