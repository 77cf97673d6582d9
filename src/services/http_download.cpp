// The download rules, once for both back ends: which answers are taken, when the local file is
// made, how the body is written and reported, and what each failure means. The back ends only
// carry the request and the bytes (services/http_transport.h).
#include <algorithm>
#include <chrono>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "services/files.h"
#include "services/http.h"
#include "services/http_internal.h"
#include "services/http_transport.h"
#include "services/packed.h"
#include "services/platform.h"
#include "services/signing.h"
#include "services/text.h"

namespace {

// Kept in a plain buffer: a thread_local object with a destructor is destroyed at thread exit,
// which MinGW's static runtime does after freeing the thread's storage, and the download workers
// exit once a run's files are fetched.
constexpr std::size_t CAUSE_MAX = 1024;
thread_local wchar_t lastCause[CAUSE_MAX];

void SetLastCause(const std::wstring& cause) {
  const std::size_t size = std::min(cause.size(), CAUSE_MAX - 1);
  cause.copy(lastCause, size);
  lastCause[size] = L'\0';
}

// The cap on all downloads together: each piece takes its share of time, one after another over
// all threads; a download waits until its piece's share has come.
class RateLimiter {
 public:
  void Set(std::uint64_t bytesPerSecond) {
    std::lock_guard<std::mutex> guard(lock_);
    rate_ = bytesPerSecond;
    due_ = Clock::now();
  }
  void Take(std::size_t bytes) {
    Clock::time_point until;
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (rate_ == 0) return;
      const Clock::time_point now = Clock::now();
      if (due_ < now) due_ = now;
      due_ += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
          static_cast<double>(bytes) / static_cast<double>(rate_)));
      until = due_;
    }
    std::this_thread::sleep_until(until);
  }
  std::uint64_t Rate() {
    std::lock_guard<std::mutex> guard(lock_);
    return rate_;
  }

 private:
  using Clock = std::chrono::steady_clock;
  std::mutex lock_;
  std::uint64_t rate_ = 0;
  Clock::time_point due_ = Clock::now();
};

RateLimiter& TheRateLimiter() {
  static RateLimiter limiter;
  return limiter;
}

// The bodies that were long enough to measure, and the time they took.
class TransferMeter {
 public:
  static constexpr std::uint64_t MEASURED_FROM = 64 << 10;
  // A body of bytes that began at started ended now; true, for the caller's return.
  bool Record(std::uint64_t bytes, std::chrono::steady_clock::time_point started) {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (bytes < MEASURED_FROM || seconds <= 0) return true;
    std::lock_guard<std::mutex> guard(lock_);
    bytes_ += static_cast<double>(bytes);
    seconds_ += seconds;
    return true;
  }
  double Rate() {
    std::lock_guard<std::mutex> guard(lock_);
    return seconds_ > 0 ? bytes_ / seconds_ : 0;
  }

 private:
  std::mutex lock_;
  double bytes_ = 0;
  double seconds_ = 0;
};

TransferMeter& TheTransferMeter() {
  static TransferMeter meter;
  return meter;
}

std::mutex notesLock;
NetworkNotes notes;

// The failures a player can act on are noted whatever step met them.
bool Fail(StepCode& errorCode, StepCode code, const std::wstring& cause) {
  errorCode = code;
  SetLastCause(cause);
  std::lock_guard<std::mutex> guard(notesLock);
  notes.proxySignIn = notes.proxySignIn || code == DownloadCode::ProxySignIn;
  notes.proxyDown = notes.proxyDown || code == DownloadCode::ProxyDown;
  notes.certificate = notes.certificate || code == DownloadCode::Certificate;
  return false;
}

// What every answer's head tells before the rules judge it: the server's clock, and a proxy
// that wants a sign-in (the sign-in the proxy URL carries, if any, was refused).
bool TakeHead(const AnswerHead& head, StepCode& errorCode) {
  DateTimeRecord date{};
  if (ParseHttpDate(head.date, date)) {
    const std::int64_t server = UnixTimeOfStamp(WideToUtf8(FormatRemoteStamp(date)));
    std::lock_guard<std::mutex> guard(notesLock);
    notes.serverTimeKnown = true;
    notes.serverAheadSeconds = server - static_cast<std::int64_t>(std::time(nullptr));
  }
  if (head.status == 407) return Fail(errorCode, DownloadCode::ProxySignIn, L"the proxy answered 407: it wants a sign-in");
  return true;
}

// The floor under a body's rate: less than the floor's bytes over its span of seconds ends the
// transfer. Time spent waiting for the rate cap counts, so the floor is kept under the cap.
class SpeedFloor {
 public:
  // cap: the rate cap (0: none); received: the bytes the file holds already.
  SpeedFloor(std::uint64_t cap, std::uint64_t received) : startBytes_(received) {
    const HttpLimits limits = GetHttpLimits();
    bytesPerSecond_ = limits.floorBytesPerSecond;
    if (cap > 0 && cap < 2 * bytesPerSecond_) bytesPerSecond_ = cap / 2;
    span_ = std::chrono::seconds(limits.floorSeconds);
  }
  // False once the body has brought too little over a whole span.
  bool Keeps(std::uint64_t received) {
    const auto now = std::chrono::steady_clock::now();
    if (now - start_ < span_) return true;
    const std::uint64_t wanted = bytesPerSecond_ * static_cast<std::uint64_t>(span_.count());
    if (bytesPerSecond_ > 0 && received - startBytes_ < wanted) return false;
    start_ = now;
    startBytes_ = received;
    return true;
  }
  std::wstring Cause(const std::wstring& url) const {
    const std::size_t scheme = url.find(L"://");
    const std::size_t from = scheme == std::wstring::npos ? 0 : scheme + 3;
    return L"slower than " + std::to_wstring(bytesPerSecond_) + L" bytes/s for " + std::to_wstring(span_.count()) +
           L" s from " + url.substr(from, url.find(L'/', from) - from);
  }

 private:
  std::uint64_t bytesPerSecond_;
  std::chrono::seconds span_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::uint64_t startBytes_;
};

std::vector<std::string> RequestHeaders(const std::wstring& host, const ResumePoint* resume) {
  std::vector<std::string> lines;
  if (!host.empty()) lines.push_back("Host: " + WideToUtf8(host));
  if (resume != nullptr && resume->offset > 0) {
    lines.push_back("Range: bytes=" + std::to_string(resume->offset) + "-");
    lines.push_back("If-Range: " + resume->validator);
  }
  return lines;
}

std::wstring Status(long status) { return L"the server answered " + std::to_wstring(status); }

// The start that every download shares: the (0, 0) progress report that may cancel it, and a
// host that fits the Host header.
bool BeginDownload(IStatusCallback* callback, const std::wstring& host, StepCode& errorCode) {
  errorCode = StepCode();
  SetLastCause(L"");
  if (callback != nullptr && !callback->OnDownloadProgress(0, 0)) {
    return Fail(errorCode, DownloadCode::Cancelled, L"cancelled before the request");
  }
  if (host.size() > HOST_NAME_MAX_CHARS) {
    return Fail(errorCode, DownloadCode::RequestFailed,
                L"the host name is longer than " + std::to_wstring(HOST_NAME_MAX_CHARS) + L" characters");
  }
  return true;
}

}  // namespace

std::wstring StallCause(const std::wstring& url, int seconds, bool connecting) {
  const std::size_t start = url.find(L"://");
  const std::size_t from = start == std::wstring::npos ? 0 : start + 3;
  const std::wstring authority = url.substr(from, url.find(L'/', from) - from);
  return (connecting ? L"no connection within " + std::to_wstring(seconds) + L" s to "
                     : L"no data for " + std::to_wstring(seconds) + L" s from ") + authority;
}

DownloadCode ClassifyWriteFailure(const std::wstring& localPath, std::uint64_t chunk) {
  const std::size_t cut = localPath.find_last_of(L"\\/");
  const std::wstring folder = cut == std::wstring::npos ? L"." : localPath.substr(0, cut == 0 ? 1 : cut);
  return HasFreeDiskSpace(folder, chunk) ? DownloadCode::WriteFailed : DownloadCode::DiskFull;
}

std::wstring NamedUrl(const std::wstring& url, const std::vector<std::string>& headers) {
  const std::size_t scheme = url.find(L"://");
  for (const std::string& line : headers) {
    if (line.rfind("Host: ", 0) != 0 || scheme == std::wstring::npos) continue;
    return url.substr(0, scheme + 3) + Latin1ToWide(line.substr(6)) + L"/";
  }
  return url;
}

std::wstring LastDownloadCause() { return lastCause; }

NetworkNotes TheNetworkNotes() {
  std::lock_guard<std::mutex> guard(notesLock);
  return notes;
}

void ClearNetworkNotes() {
  std::lock_guard<std::mutex> guard(notesLock);
  notes = NetworkNotes{};
}

void SetDownloadRateLimit(std::uint64_t bytesPerSecond) { TheRateLimiter().Set(bytesPerSecond); }

double MeasuredDownloadRate() { return TheTransferMeter().Rate(); }

AnswerVerdict JudgeAnswer(const AnswerHead& head, std::uint64_t offset, std::uint64_t& total, std::wstring& cause) {
  cause.clear();
  if (head.status == 404 || head.status == 410) {
    cause = Status(head.status);
    return AnswerVerdict::NotFound;
  }
  // Exactly one length, and a plain number: with two, no one knows where the body ends.
  if (head.lengthHeaders > 1) {
    cause = L"the answer has " + std::to_wstring(head.lengthHeaders) + L" Content-Length headers";
    return AnswerVerdict::Refused;
  }
  if (!head.lengthValid) {
    cause = L"the answer's Content-Length is not a plain number below 2^63";
    return AnswerVerdict::Refused;
  }
  if (offset > 0) {
    switch (ClassifyResumeAnswer(head.status, head.contentRange, offset, total)) {
      case ResumeAnswer::Continue:
        if (head.lengthHeaders == 1 && head.length == total - offset) return AnswerVerdict::Append;
        // Asking for the same range again would meet the same answer: start the file again.
        cause = L"the length of the 206 answer does not match its Content-Range \"" +
                Latin1ToWide(head.contentRange) + L"\"";
        return AnswerVerdict::Mismatch;
      case ResumeAnswer::Mismatch:
        cause = Status(head.status) + L" for another range than bytes " + std::to_wstring(offset) + L"- (\"" +
                Latin1ToWide(head.contentRange) + L"\")";
        return AnswerVerdict::Mismatch;
      case ResumeAnswer::Refused:
        cause = Status(head.status);
        return AnswerVerdict::Refused;
      case ResumeAnswer::Whole:
        break;
    }
  }
  if (head.status != 200 && head.status != 206) {
    cause = Status(head.status);
    return AnswerVerdict::Refused;
  }
  if (head.lengthHeaders == 0) {
    cause = L"the answer has no Content-Length";
    return AnswerVerdict::Refused;
  }
  total = head.length;
  return AnswerVerdict::Create;
}

namespace {

// Where the wanted bytes are in an answer's body: the file holds `received` bytes already and
// ends at `total`; the body's first `skip` bytes are not wanted (a server that ignored a range
// sends the file from its start).
struct BodyWindow {
  std::uint64_t received = 0;
  std::uint64_t total = 0;
  std::uint64_t skip = 0;
  bool more = false;  // the body goes on after the wanted bytes
};

// Writes the body's wanted bytes into file, reporting progress; a body of more than the window
// is left unread once the window is full.
bool WriteBody(HttpTransport& transport, FileHandle& file, BodyWindow window, const std::wstring& url,
               const std::wstring& localPath, IStatusCallback* callback, StepCode& errorCode) {
  const std::uint64_t first = window.received;
  std::uint64_t& received = window.received;
  const std::uint64_t total = window.total;
  SpeedFloor floor(TheRateLimiter().Rate(), received);
  const auto started = std::chrono::steady_clock::now();
  std::string piece;
  std::wstring cause;
  for (;;) {
    if (window.more && received == total) return TheTransferMeter().Record(received - first, started);
    switch (transport.NextPiece(piece, cause)) {
      case HttpTransport::Piece::Failed:
        return Fail(errorCode, DownloadCode::RequestFailed, cause);
      case HttpTransport::Piece::Stalled:
        return Fail(errorCode, DownloadCode::Stalled, cause);
      case HttpTransport::Piece::End:
        // Not flushed to disk: a download is only the source of a staged file, which is
        // verified and flushed before anything is committed.
        if (received == total) return TheTransferMeter().Record(received - first, started);
        // A connection that closes early ends the body: what came is kept for a resumed request.
        return Fail(errorCode, DownloadCode::ShortBody,
                    L"the body ended after " + std::to_wstring(received) + L" of " + std::to_wstring(total) +
                        L" bytes");
      case HttpTransport::Piece::Data:
        break;
    }
    const std::size_t skipped = static_cast<std::size_t>(std::min<std::uint64_t>(window.skip, piece.size()));
    window.skip -= skipped;
    const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size() - skipped, total - received));
    if (wanted > 0 && !file.Write(piece.data() + skipped, wanted)) {
      cause = L"cannot write [" + localPath + L"]: " + LastSystemErrorText();
      return Fail(errorCode, ClassifyWriteFailure(localPath, wanted), cause);
    }
    received += wanted;
    if (!floor.Keeps(received)) return Fail(errorCode, DownloadCode::Stalled, floor.Cause(url));
    TheRateLimiter().Take(piece.size());
    if (callback != nullptr && !callback->OnDownloadProgress(received, total)) {
      return Fail(errorCode, DownloadCode::Cancelled, L"cancelled after " + std::to_wstring(received) + L" bytes");
    }
  }
}

// The rules from the answer's head on: judge it, make the file, write the body into it.
bool TakeAnswer(HttpTransport& transport, const AnswerHead& head, const std::wstring& url, const std::wstring& localPath,
                IStatusCallback* callback, StepCode& errorCode, const ResumePoint* resume, bool& mismatch) {
  const std::uint64_t offset = resume != nullptr ? resume->offset : 0;
  std::wstring cause;
  std::uint64_t total = 0;
  const AnswerVerdict verdict = JudgeAnswer(head, offset, total, cause);
  switch (verdict) {
    case AnswerVerdict::NotFound:
      return Fail(errorCode, DownloadCode::NotFound, cause);
    case AnswerVerdict::Mismatch:
      mismatch = true;
      return Fail(errorCode, DownloadCode::RequestFailed, cause);
    case AnswerVerdict::Refused:
      return Fail(errorCode, DownloadCode::RequestFailed, cause);
    case AnswerVerdict::Create:
    case AnswerVerdict::Append:
      break;
  }
  // The file is made only now: a refused answer (an error page, say) never touches it.
  const bool append = verdict == AnswerVerdict::Append;
  FileHandle file = append ? FileHandle::OpenForAppend(localPath) : FileHandle::CreateForWrite(localPath);
  if (!file.IsOpen()) {
    return Fail(errorCode, DownloadCode::CannotCreate, L"cannot create [" + localPath + L"]: " + LastSystemErrorText());
  }
  if (!append && resume != nullptr) RecordValidator(localPath, head.lastModified);
  return WriteBody(transport, file, BodyWindow{append ? offset : 0, total, 0, false}, url, localPath, callback, errorCode);
}

}  // namespace

bool TransferFile(const std::wstring& localPath, IStatusCallback* callback, StepCode& errorCode, const std::wstring& url,
                  const std::wstring& host, const ResumePoint* resume, bool& mismatch) {
  mismatch = false;
  if (!BeginDownload(callback, host, errorCode)) return false;
  std::unique_ptr<HttpTransport> transport = OpenTransport(url, RequestHeaders(host, resume));
  AnswerHead head;
  std::wstring cause;
  StepCode failCode = DownloadCode::RequestFailed;
  if (!transport->ReadHead(head, failCode, cause)) return Fail(errorCode, failCode, cause);
  if (!TakeHead(head, errorCode)) return false;
  return TakeAnswer(*transport, head, url, localPath, callback, errorCode, resume, mismatch);
}

bool SendNotice(const std::wstring& url, const std::wstring& host) {
  StepCode errorCode;
  if (!BeginDownload(nullptr, host, errorCode)) return false;
  std::unique_ptr<HttpTransport> transport = OpenTransport(url, RequestHeaders(host, nullptr));
  AnswerHead head;
  std::wstring cause;
  StepCode failCode = DownloadCode::RequestFailed;
  return transport->ReadHead(head, failCode, cause);
}

namespace {

// A GET of a range of url ("bytes=0-0"), up to the answer's head, which it takes; null when no
// head came or it is not to be taken (errorCode says why).
std::unique_ptr<HttpTransport> AskRange(const std::wstring& url, const std::wstring& host, const std::string& range,
                                        IStatusCallback* callback, AnswerHead& head, StepCode& errorCode) {
  if (!BeginDownload(callback, host, errorCode)) return nullptr;
  std::vector<std::string> headers = RequestHeaders(host, nullptr);
  headers.push_back("Range: " + range);
  std::unique_ptr<HttpTransport> transport = OpenTransport(url, headers);
  std::wstring cause;
  StepCode failCode = DownloadCode::RequestFailed;
  if (!transport->ReadHead(head, failCode, cause)) {
    Fail(errorCode, failCode, cause);
    return nullptr;
  }
  return TakeHead(head, errorCode) ? std::move(transport) : nullptr;
}

}  // namespace

bool RemoteLength(const std::wstring& url, const std::wstring& host, std::uint64_t& length, StepCode& errorCode) {
  length = 0;
  AnswerHead head;
  if (AskRange(url, host, "bytes=0-0", nullptr, head, errorCode) == nullptr) return false;
  if (head.status == 404 || head.status == 410) return Fail(errorCode, DownloadCode::NotFound, Status(head.status));
  const std::size_t slash = head.contentRange.rfind('/');
  if (head.status == 206 && slash != std::string::npos &&
      ParseContentLength(head.contentRange.substr(slash + 1), length)) {
    return true;
  }
  if (head.status == 200 && head.lengthHeaders == 1 && head.lengthValid) {
    length = head.length;
    return true;
  }
  return Fail(errorCode, DownloadCode::RequestFailed, Status(head.status) + L" without a length");
}

StampedFetch FetchIfStampDiffers(const std::wstring& localPath, const std::wstring& url, const std::wstring& host,
                                 const std::wstring& known, std::wstring& stamp, StepCode& errorCode,
                                 bool bodyWanted, std::string* tail) {
  stamp.clear();
  if (tail != nullptr) tail->clear();
  if (!BeginDownload(nullptr, host, errorCode)) return StampedFetch::NoStamp;
  std::vector<std::string> headers = RequestHeaders(host, nullptr);
  // Without the body, its last bytes are all that is asked for (a packed file's check of its text,
  // from the same answer as the stamp): a server that sends the whole file at once (every one does
  // on a fast line) would otherwise send it before the connection goes. A server that ignores the
  // range answers 200 with the whole file, which is then taken as if it had been wanted.
  if (!bodyWanted) headers.push_back("Range: bytes=-" + std::to_string(TEXT_CHECK_BYTES));
  std::unique_ptr<HttpTransport> transport = OpenTransport(url, headers);
  AnswerHead head;
  std::wstring cause;
  StepCode failCode = DownloadCode::RequestFailed;
  if (!transport->ReadHead(head, failCode, cause)) {
    Fail(errorCode, failCode, cause);
    return StampedFetch::NoStamp;
  }
  if (!TakeHead(head, errorCode)) return StampedFetch::Failed;
  // An edge that refuses the range (416) is asked plainly: the whole file, or the stamp alone.
  if (!bodyWanted && head.status == 416) {
    transport.reset();
    return FetchIfStampDiffers(localPath, url, host, known, stamp, errorCode, true, tail);
  }
  // The status before the date: a file the server does not have (404) or refuses is missing,
  // not undated.
  std::uint64_t total = 0;
  const AnswerVerdict verdict = JudgeAnswer(head, 0, total, cause);
  if (verdict == AnswerVerdict::NotFound || verdict == AnswerVerdict::Refused) {
    Fail(errorCode, verdict == AnswerVerdict::NotFound ? DownloadCode::NotFound : DownloadCode::RequestFailed, cause);
    return StampedFetch::Failed;
  }
  DateTimeRecord time{};
  if (!ParseHttpDate(head.lastModified, time)) {
    Fail(errorCode, DownloadCode::RequestFailed, L"the answer has no Last-Modified time that reads");
    return StampedFetch::NoStamp;
  }
  stamp = FormatRemoteStamp(time);
  // The copy in hand is the server's: the body is never read, and its connection goes.
  if (!known.empty() && EqualNoCase(stamp, known)) return StampedFetch::Unchanged;
  if (!bodyWanted && head.status == 206) {
    std::string piece;
    HttpTransport::Piece got;
    while (tail != nullptr && tail->size() < TEXT_CHECK_BYTES &&
           (got = transport->NextPiece(piece, cause)) == HttpTransport::Piece::Data) {
      tail->append(piece);
    }
    if (tail != nullptr && tail->size() != TEXT_CHECK_BYTES) tail->clear();
    return StampedFetch::Changed;
  }
  CreateDirectoryPath(FolderOfPath(localPath));
  if (PathExists(localPath)) ClearReadOnly(localPath);
  bool mismatch = false;
  return TakeAnswer(*transport, head, url, localPath, nullptr, errorCode, nullptr, mismatch) ? StampedFetch::Fetched
                                                                                        : StampedFetch::Failed;
}

bool DownloadFile(const std::wstring& localPath, IStatusCallback* callback, StepCode& errorCode, const std::wstring& url,
                  const std::wstring& host) {
  bool mismatch = false;
  return TransferFile(localPath, callback, errorCode, url, host, nullptr, mismatch);
}

bool ResumeDownloadFile(const std::wstring& localPath, IStatusCallback* callback, StepCode& errorCode,
                        const std::wstring& url, const std::wstring& host) {
  const ResumePoint resume = FindResumePoint(localPath);
  bool mismatch = false;
  const bool ok = TransferFile(localPath, callback, errorCode, url, host, &resume, mismatch);
  if (ok || !mismatch) return ok;
  // The server answered another range than asked: the whole file, from byte 0.
  const ResumePoint whole;
  return TransferFile(localPath, callback, errorCode, url, host, &whole, mismatch);
}

namespace {

// Where a range's answer holds the range: a 206 for exactly that range, or a 200 with the whole
// file from a server that ignores ranges. False with the cause for any other answer.
bool RangeWindowOf(const AnswerHead& head, std::uint64_t from, std::uint64_t length, BodyWindow& window,
                   std::wstring& cause) {
  window = BodyWindow{0, length, 0, false};
  if (head.status == 206) {
    std::uint64_t first = 0, last = 0, total = 0;
    if (ParseContentRange(head.contentRange, first, last, total) && first == from && last + 1 == from + length &&
        head.length == length) {
      return true;
    }
    cause = L"206 for another range than bytes " + std::to_wstring(from) + L"-" + std::to_wstring(from + length - 1) +
            L" (\"" + Latin1ToWide(head.contentRange) + L"\")";
    return false;
  }
  if (head.length < from + length) {
    cause = L"the file has " + std::to_wstring(head.length) + L" bytes, fewer than the range's end " +
            std::to_wstring(from + length);
    return false;
  }
  window.skip = from;
  window.more = head.length > from + length;
  return true;
}

}  // namespace

bool DownloadByteRange(const std::wstring& localPath, IStatusCallback* callback, StepCode& errorCode,
                       const std::wstring& url, const std::wstring& host, std::uint64_t from, std::uint64_t length) {
  AnswerHead head;
  const std::unique_ptr<HttpTransport> transport = AskRange(
      url, host, "bytes=" + std::to_string(from) + "-" + std::to_string(from + length - 1), callback, head, errorCode);
  if (transport == nullptr) return false;
  std::wstring cause;
  std::uint64_t total = 0;
  switch (JudgeAnswer(head, 0, total, cause)) {
    case AnswerVerdict::NotFound:
      return Fail(errorCode, DownloadCode::NotFound, cause);
    case AnswerVerdict::Create:
      break;
    default:
      return Fail(errorCode, DownloadCode::RequestFailed, cause);
  }
  BodyWindow window;
  if (length == 0 || !RangeWindowOf(head, from, length, window, cause)) {
    return Fail(errorCode, DownloadCode::RequestFailed, cause);
  }
  FileHandle file = FileHandle::CreateForWrite(localPath);
  if (!file.IsOpen()) {
    return Fail(errorCode, DownloadCode::CannotCreate, L"cannot create [" + localPath + L"]: " + LastSystemErrorText());
  }
  return WriteBody(*transport, file, window, url, localPath, callback, errorCode);
}

bool DownloadFileInto(const std::wstring& localPath, const std::wstring& url, const std::wstring& host,
                      IStatusCallback* progress, StepCode& errorCode) {
  CreateDirectoryPath(FolderOfPath(localPath));
  if (PathExists(localPath)) ClearReadOnly(localPath);
  return DownloadFile(localPath, progress, errorCode, url, host);
}
