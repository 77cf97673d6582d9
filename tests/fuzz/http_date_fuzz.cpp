// Any bytes as a Last-Modified value: what the strict parser accepts is a real date whose weekday
// agrees with the C library's calendar, and its IMF form reads back as the same date.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "services/http.h"

namespace {

const char* const DAYS[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const MONTHS[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool Same(const DateTimeRecord& a, const DateTimeRecord& b) {
  return a.year == b.year && a.month == b.month && a.day == b.day && a.dayOfWeek == b.dayOfWeek && a.hour == b.hour &&
         a.minute == b.minute && a.second == b.second;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  DateTimeRecord t{};
  if (!ParseHttpDate(std::string(reinterpret_cast<const char*>(data), size), t)) return 0;
  if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > 31 || t.hour > 23 || t.minute > 59 || t.second > 60 ||
      t.dayOfWeek > 6) {
    std::abort();
  }
  std::tm calendar{};
  calendar.tm_year = t.year - 1900;
  calendar.tm_mon = t.month - 1;
  calendar.tm_mday = t.day;
  calendar.tm_hour = 12;
  const std::time_t noon = timegm(&calendar);
  std::tm back{};
  gmtime_r(&noon, &back);
  if (back.tm_mday != t.day || back.tm_mon != t.month - 1 || back.tm_wday != t.dayOfWeek) std::abort();
  char imf[64];
  std::snprintf(imf, sizeof imf, "%s, %02u %s %04u %02u:%02u:%02u GMT", DAYS[t.dayOfWeek], unsigned{t.day},
                MONTHS[t.month - 1], unsigned{t.year}, unsigned{t.hour}, unsigned{t.minute}, unsigned{t.second});
  DateTimeRecord again{};
  if (!ParseHttpDate(imf, again) || !Same(t, again)) std::abort();
  return 0;
}
