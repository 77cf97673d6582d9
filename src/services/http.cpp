#include "services/http.h"

#include <atomic>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <mutex>

#include "services/files.h"
#include "services/http_internal.h"
#include "services/text.h"

namespace {

std::mutex limitsLock;
HttpLimits limitsSet;
std::mutex authorityLock;
std::string authorityFile;

bool IsUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

}  // namespace

void SetHttpLimits(const HttpLimits& limits) {
  std::lock_guard<std::mutex> guard(limitsLock);
  limitsSet = limits;
}

HttpLimits GetHttpLimits() {
  std::lock_guard<std::mutex> guard(limitsLock);
  return limitsSet;
}

void SetCertificateAuthorityFile(const std::string& pemFile) {
  std::lock_guard<std::mutex> guard(authorityLock);
  authorityFile = pemFile;
}

std::string GetCertificateAuthorityFile() {
  std::lock_guard<std::mutex> guard(authorityLock);
  return authorityFile;
}

std::string RequestUrl(const std::wstring& url) {
  std::size_t scheme = url.find(L"://");
  std::size_t pathStart = url.find_first_of(L"/\\", scheme == std::wstring::npos ? 0 : scheme + 3);
  if (pathStart == std::wstring::npos) pathStart = url.size();
  std::string request = WideToUtf8(url.substr(0, pathStart));
  static const char HEX[] = "0123456789ABCDEF";
  for (unsigned char c : WideToUtf8(url.substr(pathStart))) {
    if (c == '\\') c = '/';
    if (IsUnreserved(c) || c == '/') {
      request += static_cast<char>(c);
    } else {
      request += '%';
      request += HEX[c >> 4];
      request += HEX[c & 15];
    }
  }
  return request;
}

namespace {

constexpr const char* MONTHS[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr const char* DAYS[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* LONG_DAYS[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};

// A cursor over the date's text that takes exactly what the grammar names.
struct DateReader {
  const std::string& text;
  std::size_t at = 0;

  bool Literal(const char* expected) {
    const std::size_t n = std::strlen(expected);
    if (text.compare(at, n, expected) != 0) return false;
    at += n;
    return true;
  }
  bool Digits(std::size_t count, int& value) {
    value = 0;
    for (std::size_t i = 0; i < count; ++i, ++at) {
      if (at >= text.size() || text[at] < '0' || text[at] > '9') return false;
      value = value * 10 + (text[at] - '0');
    }
    return true;
  }
  bool OneOf(const char* const* names, std::size_t count, int& index) {
    for (std::size_t i = 0; i < count; ++i) {
      if (Literal(names[i])) {
        index = static_cast<int>(i);
        return true;
      }
    }
    return false;
  }
  bool Time(int& hour, int& minute, int& second) {
    return Digits(2, hour) && Literal(":") && Digits(2, minute) && Literal(":") && Digits(2, second);
  }
};

bool IsLeap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysIn(int year, int month) {
  static const int DAYS_IN[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeap(year) ? 29 : DAYS_IN[month - 1];
}

// Sakamoto's method: 0 is Sunday.
int WeekdayOf(int year, int month, int day) {
  static const int OFFSETS[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
  if (month < 3) --year;
  return (year + year / 4 - year / 100 + year / 400 + OFFSETS[month - 1] + day) % 7;
}

int CurrentYear() {
  const std::time_t now = std::time(nullptr);
  return 1970 + static_cast<int>(now / 31556952);  // close enough to place a two-digit year
}

}  // namespace

bool ParseHttpDate(const std::string& value, DateTimeRecord& time) {
  std::size_t first = value.find_first_not_of(" \t");
  std::size_t last = value.find_last_not_of(" \t\r\n");
  if (first == std::string::npos) return false;
  const std::string text = value.substr(first, last - first + 1);
  DateReader r{text};
  int weekday = 0, day = 0, month = 0, year = 0, hour = 0, minute = 0, second = 0;
  bool ok;
  if (r.OneOf(DAYS, 7, weekday) && r.Literal(", ")) {  // IMF-fixdate
    ok = r.Digits(2, day) && r.Literal(" ") && r.OneOf(MONTHS, 12, month) && r.Literal(" ") && r.Digits(4, year) &&
         r.Literal(" ") && r.Time(hour, minute, second) && r.Literal(" GMT");
  } else if (r.at = 0; r.OneOf(LONG_DAYS, 7, weekday) && r.Literal(", ")) {  // RFC 850
    int shortYear = 0;
    ok = r.Digits(2, day) && r.Literal("-") && r.OneOf(MONTHS, 12, month) && r.Literal("-") &&
         r.Digits(2, shortYear) && r.Literal(" ") && r.Time(hour, minute, second) && r.Literal(" GMT");
    year = 2000 + shortYear;
    if (year > CurrentYear() + 50) year -= 100;
  } else if (r.at = 0; r.OneOf(DAYS, 7, weekday) && r.Literal(" ")) {  // asctime
    ok = r.OneOf(MONTHS, 12, month) && r.Literal(" ");
    if (ok && r.Literal(" ")) {
      ok = r.Digits(1, day);
    } else {
      ok = ok && r.Digits(2, day);
    }
    ok = ok && r.Literal(" ") && r.Time(hour, minute, second) && r.Literal(" ") && r.Digits(4, year);
  } else {
    return false;
  }
  ++month;
  if (!ok || r.at != text.size() || year < 1 || day < 1 || day > DaysIn(year, month) || hour > 23 || minute > 59 ||
      second > 60) {
    return false;
  }
  time = {static_cast<std::uint16_t>(year),   static_cast<std::uint16_t>(month),
          static_cast<std::uint16_t>(WeekdayOf(year, month, day)), static_cast<std::uint16_t>(day),
          static_cast<std::uint16_t>(hour),   static_cast<std::uint16_t>(minute),
          static_cast<std::uint16_t>(second), 0};
  return true;
}

std::wstring FormatRemoteStamp(const DateTimeRecord& t) {
  wchar_t text[32];
  std::swprintf(text, 32, L"%u%02u%02u%02u%02u%02u", unsigned{t.year}, unsigned{t.month}, unsigned{t.day},
                unsigned{t.hour}, unsigned{t.minute}, unsigned{t.second});
  return text;
}

namespace {

std::wstring ValidatorPath(const std::wstring& localPath) { return localPath + L".lm"; }

}  // namespace

ResumePoint FindResumePoint(const std::wstring& localPath) {
  ResumePoint point;
  std::string validator;
  if (!ReadWholeFile(ValidatorPath(localPath), validator) || validator.empty()) return point;
  FileHandle file = FileHandle::OpenForRead(localPath);
  const std::int64_t size = file.IsOpen() ? file.Size() : -1;
  if (size <= 0) return point;
  point.offset = static_cast<std::uint64_t>(size);
  point.validator = validator;
  return point;
}

void RecordValidator(const std::wstring& localPath, const std::string& lastModified) {
  if (lastModified.empty()) {
    RemoveFile(ValidatorPath(localPath));
    return;
  }
  FileHandle file = FileHandle::CreateForWrite(ValidatorPath(localPath));
  if (!file.IsOpen() || !file.Write(lastModified.data(), lastModified.size())) {
    file.Close();
    RemoveFile(ValidatorPath(localPath));
  }
}

void RemovePartialDownload(const std::wstring& localPath) {
  RemoveFile(localPath);
  RemoveFile(ValidatorPath(localPath));
}

bool ParseContentRange(const std::string& contentRange, std::uint64_t& first, std::uint64_t& last,
                       std::uint64_t& total) {
  // "bytes FIRST-LAST/TOTAL", with optional white space after "bytes".
  std::size_t at = contentRange.find_first_not_of(" \t");
  if (at == std::string::npos || contentRange.compare(at, 5, "bytes") != 0) return false;
  at = contentRange.find_first_not_of(" \t", at + 5);
  std::uint64_t numbers[3] = {0, 0, 0};
  const char separators[3] = {'-', '/', '\0'};
  for (int n = 0; n < 3; ++n) {
    std::size_t digits = 0;
    while (at != std::string::npos && at < contentRange.size() && contentRange[at] >= '0' && contentRange[at] <= '9') {
      if (numbers[n] > (~std::uint64_t{0} - 9) / 10) return false;
      numbers[n] = numbers[n] * 10 + static_cast<std::uint64_t>(contentRange[at] - '0');
      ++at, ++digits;
    }
    if (digits == 0) return false;
    if (separators[n] != '\0') {
      if (at >= contentRange.size() || contentRange[at] != separators[n]) return false;
      ++at;
    }
  }
  if (numbers[1] < numbers[0] || numbers[1] >= numbers[2]) return false;
  first = numbers[0];
  last = numbers[1];
  total = numbers[2];
  return true;
}

bool ContinuesAt(const std::string& contentRange, std::uint64_t offset, std::uint64_t& total) {
  std::uint64_t first = 0, last = 0, length = 0;
  if (!ParseContentRange(contentRange, first, last, length) || first != offset || last + 1 != length) return false;
  total = length;
  return true;
}

ResumeAnswer ClassifyResumeAnswer(long status, const std::string& contentRange, std::uint64_t offset,
                                  std::uint64_t& total) {
  if (status == 200) return ResumeAnswer::Whole;
  // 416: the file on disk is already as long as the server's, or longer; it is no prefix.
  if (status == 416) return ResumeAnswer::Mismatch;
  if (status != 206) return ResumeAnswer::Refused;
  return ContinuesAt(contentRange, offset, total) ? ResumeAnswer::Continue : ResumeAnswer::Mismatch;
}

bool ParseContentLength(const std::string& text, std::uint64_t& value) {
  std::size_t from = text.find_first_not_of(" \t");
  std::size_t to = text.find_last_not_of(" \t\r\n");
  if (from == std::string::npos || to < from) return false;
  value = 0;
  for (std::size_t i = from; i <= to; ++i) {
    if (text[i] < '0' || text[i] > '9' || value > (0x7FFFFFFFFFFFFFFFULL - 9) / 10) return false;
    value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
  }
  return true;
}

namespace {

bool NameIs(const std::string& line, std::size_t colon, const char* name) {
  const std::size_t size = std::strlen(name);
  if (colon != size) return false;
  for (std::size_t i = 0; i < size; ++i) {
    char c = line[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != name[i]) return false;
  }
  return true;
}

std::string Trimmed(const std::string& text, std::size_t from) {
  std::size_t first = text.find_first_not_of(" \t", from);
  std::size_t last = text.find_last_not_of(" \t\r\n");
  if (first == std::string::npos || last < first) return std::string();
  return text.substr(first, last - first + 1);
}

}  // namespace

bool ParseStatusLine(const std::string& text, long& status) {
  std::string line = text;
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
  // "HTTP/1.1 200 OK": the version, a space, three digits, and a space before any reason.
  if (line.size() < 12 || line.compare(0, 5, "HTTP/") != 0 || line[6] != '.' || line[8] != ' ') return false;
  if (line[5] < '0' || line[5] > '9' || line[7] < '0' || line[7] > '9') return false;
  long value = 0;
  for (std::size_t i = 9; i < 12; ++i) {
    if (line[i] < '0' || line[i] > '9') return false;
    value = value * 10 + (line[i] - '0');
  }
  if (line.size() > 12 && line[12] != ' ') return false;
  status = value;
  return true;
}

void TakeHeaderLine(const std::string& line, AnswerHead& head) {
  const std::size_t colon = line.find(':');
  if (colon == std::string::npos) return;
  if (NameIs(line, colon, "content-length")) {
    ++head.lengthHeaders;
    head.lengthValid = head.lengthValid && ParseContentLength(line.substr(colon + 1), head.length);
  } else if (NameIs(line, colon, "content-range")) {
    head.contentRange = Trimmed(line, colon + 1);
  } else if (NameIs(line, colon, "last-modified")) {
    head.lastModified = Trimmed(line, colon + 1);
  } else if (NameIs(line, colon, "date")) {
    head.date = Trimmed(line, colon + 1);
  }
}

std::size_t ParseAnswerHead(const std::string& bytes, AnswerHead& head) {
  head = AnswerHead{};
  std::size_t at = 0;
  for (bool first = true;; first = false) {
    const std::size_t end = bytes.find('\n', at);
    if (end == std::string::npos) return 0;
    std::string line = bytes.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    at = end + 1;
    if (first) {
      if (!ParseStatusLine(line, head.status)) return std::string::npos;
    } else if (line.empty()) {
      return at;
    } else {
      TakeHeaderLine(line, head);
    }
  }
}
