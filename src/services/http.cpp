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
