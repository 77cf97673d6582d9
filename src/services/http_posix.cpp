#include <curl/curl.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>

#include "services/files.h"
#include "services/http.h"
#include "services/http_internal.h"
#include "services/http_transport.h"
#include "services/posix_path.h"
#include "services/proxy.h"
#include "services/text.h"

// libcurl makes the same request as the Windows back end's WinINet: a GET with "Accept: */*",
// the caller's header lines (Host, Range), no user agent, and for downloads "Pragma: no-cache"
// and "Connection: Keep-Alive".

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

// The connections of all downloads of the process, kept open between requests: a run of many
// files to one server goes over a few connections instead of one per file.
class SharedConnections {
 public:
  static CURLSH* Get() {
    static SharedConnections* shared = new SharedConnections();  // lives as long as the process
    return shared->share_;
  }

 private:
  SharedConnections() : share_(curl_share_init()) {
    curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, Lock);
    curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, Unlock);
    curl_share_setopt(share_, CURLSHOPT_USERDATA, this);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  }
  static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* user) {
    static_cast<SharedConnections*>(user)->locks_[data].lock();
  }
  static void Unlock(CURL*, curl_lock_data data, void* user) {
    static_cast<SharedConnections*>(user)->locks_[data].unlock();
  }

  CURLSH* share_;
  std::mutex locks_[CURL_LOCK_DATA_LAST];
};

struct MultiDeleter {
  void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
using UniqueMulti = std::unique_ptr<CURLM, MultiDeleter>;

// The connections the process keeps open: more than the most downloads a run makes at once.
constexpr int KEPT_CONNECTIONS = 32;

// The line that ends a block of headers; HTTP lets a recipient take a bare LF for CR LF.
bool IsBlankLine(const char* data, std::size_t n) {
  return (n == 2 && data[0] == '\r' && data[1] == '\n') || (n == 1 && data[0] == '\n');
}

// One request driven by a multi handle, so that the caller pulls the head and then the body a
// piece at a time: the write callback keeps at most one piece and pauses the transfer when the
// next would not fit.
class CurlTransport final : public HttpTransport {
 public:
  CurlTransport(const std::wstring& url, const std::vector<std::string>& headers) {
    InitialiseCurlOnce();
    easy_.reset(curl_easy_init());
    multi_.reset(curl_multi_init());
    if (!easy_ || !multi_) return;
    CURL* curl = easy_.get();
    url_ = url;
    std::string requestUrl = RequestUrl(url);
    const std::string proxy = WideToUtf8(ProxyFor(NamedUrl(url, headers)));
    proxied_ = !proxy.empty();
    curl_slist* list = curl_slist_append(nullptr, "Accept: */*");
    for (const std::string& line : headers) {
      // Over https the host name goes into the URL, for the certificate's sake, and the chosen
      // address is pinned to it; libcurl then sends the Host header itself. Through a proxy the
      // URL names the host already, and the proxy finds its address.
      if (requestUrl.rfind("https://", 0) == 0 && line.rfind("Host: ", 0) == 0) {
        if (proxy.empty()) requestUrl = PinAddress(requestUrl, line.substr(6));
        continue;
      }
      list = curl_slist_append(list, line.c_str());
    }
    list = curl_slist_append(list, "Pragma: no-cache");
    list = curl_slist_append(list, "Connection: Keep-Alive");
    curl_easy_setopt(curl, CURLOPT_SHARE, SharedConnections::Get());
    // A finished transfer hands its connection back to the shared cache, which keeps no more than
    // its multi handle allows: four times its transfers, one here. With more workers than that,
    // connections would be closed and opened again for every file.
    curl_multi_setopt(multi_.get(), CURLMOPT_MAXCONNECTS, static_cast<long>(KEPT_CONNECTIONS));
    curl_easy_setopt(curl, CURLOPT_MAXCONNECTS, static_cast<long>(KEPT_CONNECTIONS));
    headers_.reset(list);
    const HttpLimits limits = GetHttpLimits();
    curl_easy_setopt(curl, CURLOPT_URL, requestUrl.c_str());
    if (resolve_ != nullptr) curl_easy_setopt(curl, CURLOPT_RESOLVE, resolve_.get());
    const std::string authority = GetCertificateAuthorityFile();
    if (!authority.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, authority.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    // The proxy is chosen here, by the patch host's name (proxy.h), never by libcurl from the
    // address in the URL.
    curl_easy_setopt(curl, CURLOPT_PROXY, proxy.c_str());
    // A tunnel's "200 Connection established" is the proxy's answer, not the server's.
    curl_easy_setopt(curl, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, static_cast<long>(limits.connectSeconds));
    watch_.limit = std::chrono::seconds(limits.stallSeconds);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, CheckStall);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &watch_);
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, static_cast<long>(HTTP_CHUNK));
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error_);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
    added_ = curl_multi_add_handle(multi_.get(), curl) == CURLM_OK;
  }
  ~CurlTransport() override {
    if (added_) curl_multi_remove_handle(multi_.get(), easy_.get());
  }

  bool ReadHead(AnswerHead& head, StepCode& failCode, std::wstring& cause) override {
    if (!added_) {
      failCode = DownloadCode::NoInternet;
      cause = L"libcurl could not make a request";
      return false;
    }
    while (!headDone_ && !finished_) Pump();
    if (!headDone_) {
      failCode = Stalled()                      ? DownloadCode::Stalled
                 : IsCertificateFailure(result_) ? DownloadCode::Certificate
                 : ProxyWantsSignIn()            ? DownloadCode::ProxySignIn
                 : ProxyUnreachable()            ? DownloadCode::ProxyDown
                                                 : DownloadCode::RequestFailed;
      cause = badStatusLine_ ? L"the answer's status line is not HTTP's" : FailureText();
      return false;
    }
    head = head_;
    return true;
  }

  Piece NextPiece(std::string& piece, std::wstring& cause) override {
    // The time between two pieces was the caller's (writing, or keeping to a rate cap), not a
    // stalled network's.
    watch_.lastChange = std::chrono::steady_clock::now();
    if (paused_) {
      paused_ = false;
      curl_easy_pause(easy_.get(), CURLPAUSE_CONT);  // may hand over the held bytes at once
    }
    // A slow body hands over what it has each second, so that the rules see a trickle (and end it
    // at the speed floor) rather than wait for a whole piece.
    const auto called = std::chrono::steady_clock::now();
    while (!paused_ && !finished_ && (piece_.empty() || std::chrono::steady_clock::now() - called < std::chrono::seconds(1))) {
      Pump();
    }
    if (!piece_.empty()) {
      piece.swap(piece_);
      piece_.clear();
      return Piece::Data;
    }
    // A connection that closes early ends the body: the length decides.
    if (result_ == CURLE_OK || result_ == CURLE_PARTIAL_FILE) return Piece::End;
    cause = FailureText();
    return Stalled() ? Piece::Stalled : Piece::Failed;
  }

 private:
  // Lets libcurl work until something happens or a second passes.
  void Pump() {
    int running = 0;
    curl_multi_perform(multi_.get(), &running);
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_.get(), &left)) {
      if (message->msg == CURLMSG_DONE) {
        finished_ = true;
        result_ = message->data.result;
      }
    }
    if (!finished_ && !paused_) curl_multi_poll(multi_.get(), nullptr, 0, 1000, nullptr);
  }

  static bool IsCertificateFailure(CURLcode result) {
    return result == CURLE_PEER_FAILED_VERIFICATION || result == CURLE_SSL_CACERT_BADFILE ||
           result == CURLE_SSL_CERTPROBLEM || result == CURLE_SSL_ISSUER_ERROR;
  }

  // "https://10.0.0.1:8443/x" with the host "name:8443" becomes "https://name:8443/x", with
  // "name:8443:10.0.0.1" resolved in advance.
  std::string PinAddress(const std::string& url, const std::string& host) {
    const std::size_t start = 8;
    const std::size_t pathStart = url.find('/', start);
    const std::string authority = url.substr(start, pathStart - start);
    const std::string path = pathStart == std::string::npos ? "/" : url.substr(pathStart);
    const std::size_t colon = authority.rfind(':');
    const std::string address = authority.substr(0, colon);
    const std::size_t hostColon = host.rfind(':');
    const std::string name = host.substr(0, hostColon);
    const std::string port = hostColon != std::string::npos ? host.substr(hostColon + 1)
                             : colon != std::string::npos   ? authority.substr(colon + 1)
                                                            : "443";
    resolve_.reset(curl_slist_append(nullptr, (name + ":" + port + ":" + address).c_str()));
    return "https://" + name + ":" + port + path;
  }

  // A tunnel (https through the proxy) refused with 407: the proxy's answer, which libcurl does
  // not hand over as the server's.
  bool ProxyWantsSignIn() const {
    long code = 0;
    return proxied_ && curl_easy_getinfo(easy_.get(), CURLINFO_HTTP_CONNECTCODE, &code) == CURLE_OK && code == 407;
  }
  // Through a proxy the connection is the proxy's: one that is not made means the proxy is down.
  bool ProxyUnreachable() const {
    return proxied_ && (result_ == CURLE_COULDNT_RESOLVE_PROXY || result_ == CURLE_COULDNT_CONNECT);
  }

  // Our stall watch ended the transfer, or the connection was not made in time.
  bool Stalled() const { return result_ == CURLE_ABORTED_BY_CALLBACK || result_ == CURLE_OPERATION_TIMEDOUT; }

  std::wstring FailureText() const {
    if (result_ == CURLE_ABORTED_BY_CALLBACK) return StallCause(url_, static_cast<int>(watch_.limit.count()), false);
    if (result_ == CURLE_OPERATION_TIMEDOUT && !connected_) return StallCause(url_, GetHttpLimits().connectSeconds, true);
    const char* text = error_[0] != '\0' ? error_ : curl_easy_strerror(result_);
    return Latin1ToWide(text);
  }

  static std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto* self = static_cast<CurlTransport*>(user);
    const std::size_t n = size * count;
    AnswerHead& head = self->head_;
    if (self->statusLineNext_) {
      // A new answer: an interim one's headers are forgotten. libcurl reads more forms of the
      // status line than HTTP has; the other back end is held to HTTP's, and so is this one.
      head = AnswerHead{};
      self->statusLineNext_ = false;
      self->connected_ = true;
      if (!ParseStatusLine(std::string(data, n), head.status)) {
        self->badStatusLine_ = true;
        return 0;
      }
    } else if (IsBlankLine(data, n)) {
      if (head.status >= 200) {
        self->headDone_ = true;
      } else {
        self->statusLineNext_ = true;
      }
    } else {
      TakeHeaderLine(std::string(data, n), head);
    }
    return n;
  }

  static std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto* self = static_cast<CurlTransport*>(user);
    const std::size_t n = size * count;
    if (!self->headDone_) return 0;
    if (!self->piece_.empty() && self->piece_.size() + n > HTTP_CHUNK) {
      self->paused_ = true;
      return CURL_WRITEFUNC_PAUSE;
    }
    self->piece_.append(data, n);
    return n;
  }

  std::wstring url_;
  bool proxied_ = false;
  bool connected_ = false;
  UniqueCurl easy_;
  UniqueMulti multi_;
  UniqueHeaderList headers_;
  UniqueHeaderList resolve_;
  StallWatch watch_;
  bool added_ = false;
  char error_[CURL_ERROR_SIZE] = {};
  AnswerHead head_;
  bool headDone_ = false;
  bool statusLineNext_ = true;
  bool badStatusLine_ = false;
  std::string piece_;
  bool paused_ = false;
  bool finished_ = false;
  CURLcode result_ = CURLE_OK;
};

}  // namespace

std::unique_ptr<HttpTransport> OpenTransport(const std::wstring& url, const std::vector<std::string>& headers) {
  return std::make_unique<CurlTransport>(url, headers);
}

bool ReachesPinnedAddressOverHttps() { return true; }

