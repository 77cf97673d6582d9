#include "services/http.h"

#include <atomic>
#include <cwchar>

#include "services/files.h"
#include "services/http_internal.h"
#include "services/text.h"

namespace {

std::atomic<int> connectSeconds{30};
std::atomic<int> stallSeconds{60};

bool IsUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

}  // namespace

void SetHttpLimits(const HttpLimits& limits) {
  connectSeconds = limits.connectSeconds;
  stallSeconds = limits.stallSeconds;
}

HttpLimits GetHttpLimits() { return {connectSeconds.load(), stallSeconds.load()}; }

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

bool HostHeaderValue(const std::wstring& host, std::wstring& value) {
  value.clear();
  if (host.size() > HOST_NAME_MAX_CHARS) return false;
  value = host;
  return true;
}

bool BeginDownload(IStatusCallback* callback, const std::wstring& host, int& errorCode) {
  errorCode = HTTP_OK;
  if (callback != nullptr && !callback->OnDownloadProgress(0, 0)) {
    errorCode = HTTP_CANCELLED;
    return false;
  }
  if (host.size() > HOST_NAME_MAX_CHARS) {
    errorCode = HTTP_REQUEST_FAILED;
    return false;
  }
  return true;
}

int ClassifyWriteFailure(const std::wstring& localPath, std::uint64_t chunk) {
  return HasFreeDiskSpace(DriveRootFor(localPath), chunk) ? HTTP_WRITE_FAILED : HTTP_DISK_FULL;
}

bool DownloadFile(const std::wstring& localPath, IStatusCallback* callback, int& errorCode, const std::wstring& url,
                  const std::wstring& host) {
  bool mismatch = false;
  return TransferFile(localPath, callback, errorCode, url, host, nullptr, mismatch);
}

bool ResumeDownloadFile(const std::wstring& localPath, IStatusCallback* callback, int& errorCode,
                        const std::wstring& url, const std::wstring& host) {
  const ResumePoint resume = FindResumePoint(localPath);
  bool mismatch = false;
  const bool ok = TransferFile(localPath, callback, errorCode, url, host, &resume, mismatch);
  if (ok || !mismatch) return ok;
  // The server answered another range than asked: the whole file, from byte 0.
  const ResumePoint whole;
  return TransferFile(localPath, callback, errorCode, url, host, &whole, mismatch);
}

bool DownloadEntry(FileEntry& entry, int& errorCode, const std::wstring& host) {
  std::size_t cut = entry.localPath.find_last_of(L"\\/");
  if (cut != std::wstring::npos) CreateDirectoryPath(entry.localPath.substr(0, cut));
  if (PathExists(entry.localPath)) ClearReadOnly(entry.localPath);
  bool ok = DownloadFile(entry.localPath, entry.callback, errorCode, entry.url, host);
  entry.result = ok ? 1 : 0;
  return ok;
}

std::wstring FormatRemoteStamp(const DateTimeRecord& t) {
  wchar_t text[32];
  std::swprintf(text, 32, L"%u%02u%02u%02u%02u%02u", unsigned{t.year}, unsigned{t.month}, unsigned{t.day},
                unsigned{t.hour}, unsigned{t.minute}, unsigned{t.second});
  return text;
}

void GetRemoteFileStamp(const std::wstring& url, std::wstring& stamp, const std::wstring& host) {
  stamp.clear();
  DateTimeRecord time{};
  if (QueryLastModified(url, time, host)) stamp = FormatRemoteStamp(time);
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

bool ContinuesAt(const std::string& contentRange, std::uint64_t offset, std::uint64_t& total) {
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
  if (numbers[0] != offset || numbers[1] < numbers[0] || numbers[1] + 1 != numbers[2]) return false;
  total = numbers[2];
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
