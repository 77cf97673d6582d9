#include <curl/curl.h>
#include <sys/statvfs.h>
#include <time.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>

#include "services/files.h"
#include "services/http.h"
#include "services/http_internal.h"
#include "services/posix_path.h"
#include "services/text.h"

// libcurl makes the same request as the Windows back end's WinINet: a GET with "Accept: */*",
// the Host header (ours when a host is given, else the URL's authority), no user agent, and for
// downloads "Pragma: no-cache" and "Connection: Keep-Alive".

namespace {

void InitialiseCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct CurlDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct HeaderListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using UniqueCurl = std::unique_ptr<CURL, CurlDeleter>;
using UniqueHeaderList = std::unique_ptr<curl_slist, HeaderListDeleter>;

// Ends a transfer that has received no byte for the stall limit, however long it ran before.
// (libcurl's own low-speed limit averages over several seconds and so reacts late.)
struct StallWatch {
  std::chrono::seconds limit{60};
  curl_off_t lastBytes = -1;
  std::chrono::steady_clock::time_point lastChange = std::chrono::steady_clock::now();
};

int CheckStall(void* user, curl_off_t, curl_off_t received, curl_off_t, curl_off_t) {
  auto* watch = static_cast<StallWatch*>(user);
  const auto now = std::chrono::steady_clock::now();
  if (received != watch->lastBytes) {
    watch->lastBytes = received;
    watch->lastChange = now;
    return 0;
  }
  return now - watch->lastChange >= watch->limit ? 1 : 0;
}

// One request: the handle with its headers and limits set, ready to perform.
struct Request {
  UniqueCurl curl;
  UniqueHeaderList headers;
  StallWatch watch;
};

bool OpenRequest(Request& request, const std::wstring& url, const std::wstring& host, bool download,
                 const ResumePoint& resume = {}) {
  InitialiseCurlOnce();
  request.curl.reset(curl_easy_init());
  if (!request.curl) return false;
  CURL* curl = request.curl.get();
  std::wstring hostValue;
  if (!HostHeaderValue(host, hostValue)) return false;
  curl_slist* list = curl_slist_append(nullptr, "Accept: */*");
  if (!hostValue.empty()) list = curl_slist_append(list, ("Host: " + WideToUtf8(hostValue)).c_str());
  if (download) {
    list = curl_slist_append(list, "Pragma: no-cache");
    list = curl_slist_append(list, "Connection: Keep-Alive");
  }
  if (resume.offset > 0) {
    list = curl_slist_append(list, ("Range: bytes=" + std::to_string(resume.offset) + "-").c_str());
    list = curl_slist_append(list, ("If-Range: " + resume.validator).c_str());
  }
  request.headers.reset(list);
  const HttpLimits limits = GetHttpLimits();
  curl_easy_setopt(curl, CURLOPT_URL, RequestUrl(url).c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_PROXY, "");
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, static_cast<long>(limits.connectSeconds));
  request.watch.limit = std::chrono::seconds(limits.stallSeconds);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, CheckStall);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &request.watch);
  curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, static_cast<long>(HTTP_CHUNK));
  return true;
}

// A header's value when the line names it ("Content-Range: bytes 0-1/2"), else false.
bool HeaderValue(const char* data, std::size_t n, const char* name, std::string& value) {
  const std::size_t size = std::strlen(name);
  if (n <= size || !curl_strnequal(data, name, size) || data[size] != ':') return false;
  std::size_t from = size + 1;
  std::size_t to = n;
  while (from < to && (data[from] == ' ' || data[from] == '\t')) ++from;
  while (to > from && (data[to - 1] == '\r' || data[to - 1] == '\n' || data[to - 1] == ' ')) --to;
  value.assign(data + from, to - from);
  return true;
}

// A download in progress: the response's status and length decide, when the headers are in,
// whether the local file is created at all.
struct Download {
  Download(CURL* c, const std::wstring& path, IStatusCallback* cb, int& code, const ResumePoint* from)
      : curl(c), localPath(path), callback(cb), errorCode(code), resume(from) {}
  CURL* curl;
  const std::wstring& localPath;
  IStatusCallback* callback;
  int& errorCode;
  const ResumePoint* resume;  // null: a plain download that keeps no validator
  std::string contentRange;
  std::string lastModified;
  int lengthHeaders = 0;     // Content-Length headers of the answer, each a plain number
  bool lengthValid = true;
  std::uint64_t announced = 0;
  bool mismatch = false;  // a 206 for another range than asked
  bool headersDone = false;
  std::uint64_t total = 0;
  std::uint64_t received = 0;
  FileHandle file;
  std::unique_ptr<char[]> chunk{new char[HTTP_CHUNK]};
  std::size_t pending = 0;
  bool failed = false;

  bool Fail(int code) {
    errorCode = code;
    failed = true;
    return false;
  }

  // Called at the blank line that ends a block of response headers.
  bool HeadersDone() {
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (status >= 100 && status < 200) {  // an interim answer; the real one follows
      contentRange.clear();
      lastModified.clear();
      lengthHeaders = 0;
      lengthValid = true;
      return true;
    }
    if (status == 404 || status == 410) return Fail(HTTP_NOT_FOUND);
    // Exactly one length, and a plain number: with two, no one knows where the body ends.
    if (lengthHeaders > 1 || !lengthValid) return Fail(HTTP_REQUEST_FAILED);
    const curl_off_t length = lengthHeaders == 1 ? static_cast<curl_off_t>(announced) : -1;
    if (resume != nullptr && resume->offset > 0) {
      switch (ClassifyResumeAnswer(status, contentRange, resume->offset, total)) {
        case ResumeAnswer::Continue:
          if (length < 0 || static_cast<std::uint64_t>(length) != total - resume->offset) {
            return Fail(HTTP_REQUEST_FAILED);
          }
          file = FileHandle::OpenForAppend(localPath);
          if (!file.IsOpen()) return Fail(HTTP_CANNOT_CREATE);
          received = resume->offset;
          headersDone = true;
          return true;
        case ResumeAnswer::Mismatch:
          mismatch = true;
          return Fail(HTTP_REQUEST_FAILED);
        case ResumeAnswer::Refused:
          return Fail(HTTP_REQUEST_FAILED);
        case ResumeAnswer::Whole:
          break;
      }
    }
    if (status != 200 && status != 206) return Fail(HTTP_REQUEST_FAILED);
    if (length < 0) return Fail(HTTP_REQUEST_FAILED);
    total = static_cast<std::uint64_t>(length);
    file = FileHandle::CreateForWrite(localPath);
    if (!file.IsOpen()) return Fail(HTTP_CANNOT_CREATE);
    if (resume != nullptr) RecordValidator(localPath, lastModified);
    headersDone = true;
    return true;
  }

  // Writes the chunk gathered so far and reports progress, as one network read of the
  // Windows back end does.
  bool FlushChunk() {
    if (pending == 0) return true;
    if (!file.Write(chunk.get(), pending)) return Fail(ClassifyWriteFailure(localPath, pending));
    received += pending;
    pending = 0;
    if (callback != nullptr &&
        !callback->OnDownloadProgress(static_cast<std::uint32_t>(received), static_cast<std::uint32_t>(total))) {
      return Fail(HTTP_CANCELLED);
    }
    return true;
  }

  bool Body(const char* data, std::size_t size) {
    while (size > 0) {
      std::size_t take = std::min(size, HTTP_CHUNK - pending);
      std::memcpy(chunk.get() + pending, data, take);
      pending += take, data += take, size -= take;
      if (pending == HTTP_CHUNK && !FlushChunk()) return false;
    }
    return true;
  }
};

bool IsBlankLine(const char* data, std::size_t n) { return n == 2 && data[0] == '\r' && data[1] == '\n'; }

std::size_t DownloadHeader(char* data, std::size_t size, std::size_t count, void* user) {
  auto* download = static_cast<Download*>(user);
  const std::size_t n = size * count;
  if (IsBlankLine(data, n)) return download->HeadersDone() ? n : 0;
  std::string length;
  if (HeaderValue(data, n, "content-length", length)) {
    ++download->lengthHeaders;
    download->lengthValid = download->lengthValid && ParseContentLength(length, download->announced);
  } else if (!HeaderValue(data, n, "content-range", download->contentRange)) {
    HeaderValue(data, n, "last-modified", download->lastModified);
  }
  return n;
}

std::size_t DownloadBody(char* data, std::size_t size, std::size_t count, void* user) {
  auto* download = static_cast<Download*>(user);
  // Body bytes before an accepted response (an error page, say) are never written.
  if (!download->headersDone) return 0;
  return download->Body(data, size * count) ? size * count : 0;
}

struct LastModified {
  bool found = false;
  DateTimeRecord when{};
};

// The stamp of the final answer only: an interim answer (1xx) comes with headers of its own.
std::size_t StampHeader(char* data, std::size_t size, std::size_t count, void* user) {
  auto* stamp = static_cast<LastModified*>(user);
  const std::size_t n = size * count;
  static const char NAME[] = "last-modified:";
  constexpr std::size_t NAME_SIZE = sizeof NAME - 1;
  if (n >= 5 && std::strncmp(data, "HTTP/", 5) == 0) {
    *stamp = LastModified{};
  } else if (n > NAME_SIZE && curl_strnequal(data, NAME, NAME_SIZE)) {
    stamp->found = ParseHttpDate(std::string(data + NAME_SIZE, n - NAME_SIZE), stamp->when);
  }
  return n;
}

// The body is not wanted: stop at its first byte.
std::size_t RefuseBody(char*, std::size_t, std::size_t, void*) { return 0; }

}  // namespace

bool TransferFile(const std::wstring& localPath, IStatusCallback* callback, int& errorCode, const std::wstring& url,
                  const std::wstring& host, const ResumePoint* resume, bool& mismatch) {
  mismatch = false;
  if (!BeginDownload(callback, host, errorCode)) return false;
  Request request;
  if (!OpenRequest(request, url, host, true, resume != nullptr ? *resume : ResumePoint{})) {
    errorCode = HTTP_NO_INTERNET;
    return false;
  }
  CURL* curl = request.curl.get();
  Download download{curl, localPath, callback, errorCode, resume};
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, DownloadHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &download);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, DownloadBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &download);
  const CURLcode result = curl_easy_perform(curl);
  mismatch = download.mismatch;
  if (download.failed) return false;
  if (!download.headersDone) {
    errorCode = HTTP_REQUEST_FAILED;
    return false;
  }
  // What arrived is kept, as far as it came, whatever ended the transfer.
  if (!download.FlushChunk()) return false;
  download.file.Flush();
  download.file.Close();
  // A connection that closes early ends the body: the length decides, and the code stays 0.
  if (result == CURLE_OK || result == CURLE_PARTIAL_FILE) return download.received == download.total;
  errorCode = HTTP_REQUEST_FAILED;
  return false;
}

bool QueryLastModified(const std::wstring& url, DateTimeRecord& time, const std::wstring& host) {
  time = DateTimeRecord{};
  Request request;
  if (!OpenRequest(request, url, host, false)) return false;
  CURL* curl = request.curl.get();
  LastModified stamp;
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, StampHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &stamp);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, RefuseBody);
  curl_easy_perform(curl);
  if (!stamp.found) return false;
  time = stamp.when;
  return true;
}

// Every local file system counts as a fixed drive; its free space is what the user may fill.
bool HasFreeDiskSpace(const std::wstring& root, std::uint64_t bytes) {
  struct statvfs fs;
  if (statvfs(PosixPath(root).c_str(), &fs) != 0) return false;
  return static_cast<std::uint64_t>(fs.f_bavail) * fs.f_frsize > bytes;
}

std::wstring DriveRootFor(const std::wstring& localPath) {
  std::size_t cut = localPath.find_last_of(L"\\/");
  if (cut == std::wstring::npos) return L".";
  return cut == 0 ? localPath.substr(0, 1) : localPath.substr(0, cut);
}
