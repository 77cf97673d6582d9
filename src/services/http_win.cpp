#include <windows.h>
#include <wininet.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "services/files.h"
#include "services/http.h"
#include "services/http_internal.h"
#include "services/platform.h"
#include "services/text.h"
#include "services/win_handle.h"

// WinINet is handed the URL already encoded (RequestUrl): by itself, Wine's WinINet turns
// backslashes into "/" and spaces into "%20", but sends letters outside ASCII through the ANSI
// code page, so that "Th\u1eed" arrives as "Th?"; an encoded URL passes unchanged.

namespace {

// Redirects are never followed, as libcurl does not: a hostile answer must not lead the client to
// another host's body (the 3xx status is then refused like any other).
constexpr DWORD DOWNLOAD_FLAGS = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION |
                                 INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_NO_AUTO_REDIRECT;
constexpr DWORD STAMP_FLAGS = INTERNET_FLAG_NO_AUTO_REDIRECT;

struct InternetHandleTraits {
  using Handle = HINTERNET;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { InternetCloseHandle(h); }
};
using UniqueInternet = UniqueWinHandle<InternetHandleTraits>;

UniqueInternet OpenInternet() {
  UniqueInternet internet(InternetOpenW(nullptr, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
  if (internet.valid()) {
    const HttpLimits limits = GetHttpLimits();
    DWORD connect = static_cast<DWORD>(limits.connectSeconds) * 1000;
    DWORD stall = static_cast<DWORD>(limits.stallSeconds) * 1000;
    InternetSetOptionW(internet.get(), INTERNET_OPTION_CONNECT_TIMEOUT, &connect, sizeof connect);
    InternetSetOptionW(internet.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, &stall, sizeof stall);
    InternetSetOptionW(internet.get(), INTERNET_OPTION_SEND_TIMEOUT, &stall, sizeof stall);
  }
  return internet;
}

// The index-th header of the kind (0 the first); false when there is none.
bool QueryText(HINTERNET request, DWORD query, DWORD index, std::string& value) {
  wchar_t text[256];
  DWORD size = sizeof text;
  if (!HttpQueryInfoW(request, query, text, &size, &index)) return false;
  value = WideToUtf8(std::wstring(text, size / sizeof(wchar_t)));
  return true;
}

std::string QueryText(HINTERNET request, DWORD query) {
  std::string value;
  QueryText(request, query, 0, value);
  return value;
}

// Exactly one Content-Length, and a plain number: with two, no one knows where the body ends.
bool QueryLength(HINTERNET request, std::uint64_t& length) {
  std::string text;
  std::string second;
  return QueryText(request, HTTP_QUERY_CONTENT_LENGTH, 0, text) &&
         !QueryText(request, HTTP_QUERY_CONTENT_LENGTH, 1, second) && ParseContentLength(text, length);
}

bool QueryNumber(HINTERNET request, DWORD query, DWORD& value) {
  DWORD size = sizeof value;
  DWORD index = 0;
  return HttpQueryInfoW(request, query | HTTP_QUERY_FLAG_NUMBER, &value, &size, &index) != FALSE;
}

// The answer's head, as the reader thread found it.
struct ResponseHead {
  int failCode = HTTP_OK;  // 4 or 21 when the request could not be made
  bool hasStatus = false;
  DWORD status = 0;
  bool hasLength = false;  // exactly one Content-Length, a plain number
  std::uint64_t length = 0;
  bool hasModified = false;
  DateTimeRecord modified{};
  std::string modifiedText;  // the Last-Modified header as sent, the validator of a resume
  std::string contentRange;
};

// What the reader thread learns and hands over, under the lock.
struct Exchange {
  std::mutex lock;
  std::condition_variable changed;
  std::chrono::steady_clock::time_point lastActivity = std::chrono::steady_clock::now();
  bool headDone = false;
  ResponseHead head;
  // The body, at most two chunks ahead of the file.
  std::deque<std::string> chunks;
  bool ended = false;
  bool readFailed = false;
  // The caller's decisions.
  bool bodyWanted = false;
  bool abandoned = false;
};

// One request, its blocking WinINet calls made on a thread of its own, so that the caller can
// give up when nothing arrives within the stall limit. The time-out options above serve where
// WinINet honours them; Wine's does not, and closing a handle there does not end a blocked read.
// An abandoned thread finishes on its own when its call returns and touches nothing of the
// caller's but the shared exchange.
class BackgroundRequest {
 public:
  // headers: the request's own header lines, each ended by CR LF.
  BackgroundRequest(const std::wstring& url, const std::wstring& headers, DWORD flags)
      : exchange_(std::make_shared<Exchange>()), stall_(GetHttpLimits().stallSeconds) {
    std::thread(Run, exchange_, Latin1ToWide(RequestUrl(url)), headers, flags).detach();
  }
  ~BackgroundRequest() {
    std::lock_guard<std::mutex> guard(exchange_->lock);
    exchange_->abandoned = true;
    exchange_->changed.notify_all();
  }
  BackgroundRequest(const BackgroundRequest&) = delete;
  BackgroundRequest& operator=(const BackgroundRequest&) = delete;

  // Waits for the answer's head; false when nothing came within the stall limit.
  bool WaitForHead(ResponseHead& head) {
    std::unique_lock<std::mutex> guard(exchange_->lock);
    if (!WaitUntil(guard, [this] { return exchange_->headDone; })) return false;
    head = exchange_->head;
    return true;
  }

  void StartBody() {
    std::lock_guard<std::mutex> guard(exchange_->lock);
    exchange_->bodyWanted = true;
    exchange_->lastActivity = std::chrono::steady_clock::now();
    exchange_->changed.notify_all();
  }

  enum class Next { Chunk, End, Failed };
  // The next chunk of the body; Failed when a read failed or nothing came within the limit.
  Next NextChunk(std::string& chunk) {
    std::unique_lock<std::mutex> guard(exchange_->lock);
    Exchange& x = *exchange_;
    if (!WaitUntil(guard, [&x] { return !x.chunks.empty() || x.ended || x.readFailed; })) return Next::Failed;
    if (!x.chunks.empty()) {
      chunk = std::move(x.chunks.front());
      x.chunks.pop_front();
      x.changed.notify_all();
      return Next::Chunk;
    }
    return x.ended ? Next::End : Next::Failed;
  }

 private:
  template <typename Ready>
  bool WaitUntil(std::unique_lock<std::mutex>& guard, Ready ready) {
    while (!ready()) {
      const auto deadline = exchange_->lastActivity + stall_;
      if (exchange_->changed.wait_until(guard, deadline) == std::cv_status::timeout &&
          std::chrono::steady_clock::now() >= exchange_->lastActivity + stall_ && !ready()) {
        return false;
      }
    }
    return true;
  }

  static void Run(std::shared_ptr<Exchange> x, std::wstring url, std::wstring header, DWORD flags) {
    UniqueInternet internet = OpenInternet();
    if (!internet.valid()) return FinishHead(*x, HTTP_NO_INTERNET);
    UniqueInternet request(InternetOpenUrlW(internet.get(), url.c_str(), header.empty() ? nullptr : header.c_str(),
                                            static_cast<DWORD>(header.size()), flags, 0));
    if (!request.valid()) return FinishHead(*x, HTTP_REQUEST_FAILED);
    {
      std::lock_guard<std::mutex> guard(x->lock);
      ResponseHead& head = x->head;
      head.hasStatus = QueryNumber(request.get(), HTTP_QUERY_STATUS_CODE, head.status);
      head.hasLength = QueryLength(request.get(), head.length);
      head.modifiedText = QueryText(request.get(), HTTP_QUERY_LAST_MODIFIED);
      head.hasModified = ParseHttpDate(head.modifiedText, head.modified);
      head.contentRange = QueryText(request.get(), HTTP_QUERY_CONTENT_RANGE);
    }
    FinishHead(*x, HTTP_OK);
    ReadBody(*x, request.get());
  }

  static void FinishHead(Exchange& x, int failCode) {
    std::lock_guard<std::mutex> guard(x.lock);
    x.head.failCode = failCode;
    x.headDone = true;
    x.lastActivity = std::chrono::steady_clock::now();
    x.changed.notify_all();
  }

  // Reads exactly the announced length: bytes past it belong to no answer.
  static void ReadBody(Exchange& x, HINTERNET request) {
    std::uint64_t remaining = 0;
    {
      std::unique_lock<std::mutex> guard(x.lock);
      x.changed.wait(guard, [&x] { return x.bodyWanted || x.abandoned; });
      if (x.abandoned) return;
      remaining = x.head.length;
    }
    for (;;) {
      {
        std::unique_lock<std::mutex> guard(x.lock);
        x.changed.wait(guard, [&x] { return x.chunks.size() < 2 || x.abandoned; });
        if (x.abandoned) return;
      }
      std::string chunk(remaining < HTTP_CHUNK ? static_cast<std::size_t>(remaining) : HTTP_CHUNK, '\0');
      DWORD got = 0;
      BOOL ok = chunk.empty() || InternetReadFile(request, chunk.data(), static_cast<DWORD>(chunk.size()), &got);
      std::lock_guard<std::mutex> guard(x.lock);
      x.lastActivity = std::chrono::steady_clock::now();
      x.changed.notify_all();
      if (!ok) {
        x.readFailed = true;
        return;
      }
      if (got == 0) {
        x.ended = true;
        return;
      }
      chunk.resize(got);
      remaining -= got;
      x.chunks.push_back(std::move(chunk));
    }
  }

  std::shared_ptr<Exchange> exchange_;
  std::chrono::seconds stall_;
};

}  // namespace

bool TransferFile(const std::wstring& localPath, IStatusCallback* callback, int& errorCode, const std::wstring& url,
                  const std::wstring& host, const ResumePoint* resume, bool& mismatch) {
  mismatch = false;
  if (!BeginDownload(callback, host, errorCode)) return false;
  const bool resuming = resume != nullptr && resume->offset > 0;
  std::wstring headers = host.empty() ? std::wstring() : L"Host: " + host + L"\r\n";
  if (resuming) {
    headers += L"Range: bytes=" + std::to_wstring(resume->offset) + L"-\r\nIf-Range: " +
               Latin1ToWide(resume->validator) + L"\r\n";
  }
  BackgroundRequest request(url, headers, DOWNLOAD_FLAGS);
  ResponseHead head;
  if (!request.WaitForHead(head)) {
    errorCode = HTTP_REQUEST_FAILED;
    return false;
  }
  if (head.failCode != HTTP_OK) {
    errorCode = head.failCode;
    return false;
  }
  if (head.hasStatus && (head.status == 404 || head.status == 410)) {
    errorCode = HTTP_NOT_FOUND;
    return false;
  }
  std::uint64_t total = head.length;
  std::uint64_t received = 0;
  FileHandle file;
  ResumeAnswer answer = ResumeAnswer::Whole;
  if (resuming && head.hasStatus) answer = ClassifyResumeAnswer(head.status, head.contentRange, resume->offset, total);
  if (answer == ResumeAnswer::Mismatch) mismatch = true;
  if (answer == ResumeAnswer::Continue) {
    if (!head.hasLength || head.length != total - resume->offset) {
      errorCode = HTTP_REQUEST_FAILED;
      return false;
    }
    file = FileHandle::OpenForAppend(localPath);
    received = resume->offset;
  } else if (answer == ResumeAnswer::Whole && head.hasStatus && (head.status == 200 || head.status == 206) &&
             head.hasLength) {
    file = FileHandle::CreateForWrite(localPath);
    if (file.IsOpen() && resume != nullptr) RecordValidator(localPath, head.modifiedText);
  } else {
    errorCode = HTTP_REQUEST_FAILED;
    return false;
  }
  if (!file.IsOpen()) {
    errorCode = HTTP_CANNOT_CREATE;
    return false;
  }
  request.StartBody();
  std::string chunk;
  for (;;) {
    switch (request.NextChunk(chunk)) {
      case BackgroundRequest::Next::Failed:
        errorCode = HTTP_REQUEST_FAILED;
        return false;
      case BackgroundRequest::Next::End:
        file.Flush();
        return received == total;
      case BackgroundRequest::Next::Chunk:
        break;
    }
    if (!file.Write(chunk.data(), chunk.size())) {
      errorCode = ClassifyWriteFailure(localPath, chunk.size());
      return false;
    }
    received += chunk.size();
    if (callback != nullptr &&
        !callback->OnDownloadProgress(static_cast<std::uint32_t>(received), static_cast<std::uint32_t>(total))) {
      errorCode = HTTP_CANCELLED;
      return false;
    }
  }
}

bool QueryLastModified(const std::wstring& url, DateTimeRecord& time, const std::wstring& host) {
  time = DateTimeRecord{};
  std::wstring hostValue;
  if (!HostHeaderValue(host, hostValue)) return false;
  BackgroundRequest request(url, hostValue.empty() ? std::wstring() : L"Host: " + hostValue + L"\r\n", STAMP_FLAGS);
  ResponseHead head;
  if (!request.WaitForHead(head) || head.failCode != HTTP_OK || !head.hasModified) return false;
  time = head.modified;
  return true;
}

bool HasFreeDiskSpace(const std::wstring& root, std::uint64_t bytes) {
  if (GetDriveTypeW(root.c_str()) != DRIVE_FIXED) return false;
  ULARGE_INTEGER available{};
  if (!GetDiskFreeSpaceExW(root.c_str(), &available, nullptr, nullptr)) return false;
  return available.QuadPart > bytes;
}

std::wstring DriveRootFor(const std::wstring& localPath) {
  // "C:\" of a drive path; "\\server\share\" of a network one.
  const std::wstring full = AbsolutePath(localPath);
  if (full.size() >= 3 && full[1] == L':') return full.substr(0, 3);
  std::size_t share = full.rfind(L"\\\\", 0) == 0 ? full.find(L'\\', 2) : std::wstring::npos;
  std::size_t end = share == std::wstring::npos ? std::wstring::npos : full.find(L'\\', share + 1);
  return end == std::wstring::npos ? full : full.substr(0, end + 1);
}
