#pragma once
// What a back end (libcurl, WinINet) does for the download rules of http_download.cpp: it sends
// one GET and hands over the final answer's head, then the body in pieces. Everything that
// decides about the answer (which statuses and lengths are taken, when the file is made, what a
// failed write means, progress and cancelling) is in the rules, once for both back ends; the
// contract suite (tests/services/http_test.cpp) runs against each.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The head of the final answer. Interim answers (1xx) are skipped by the back end; their headers
// never reach it. Line ends may be CR LF or a bare LF, as HTTP lets a recipient accept.
struct AnswerHead {
  long status = 0;
  int lengthHeaders = 0;      // Content-Length headers in the answer
  bool lengthValid = true;    // each of them a plain number below 2^63 (ParseContentLength)
  std::uint64_t length = 0;   // the value of the last of them
  std::string contentRange;   // as sent, may be empty
  std::string lastModified;   // as sent, may be empty
  std::string date;           // the Date header as sent, may be empty
};

class HttpTransport {
 public:
  virtual ~HttpTransport() = default;

  // Sends the request and waits for the final answer's head. False when no head came: failCode
  // is NoInternet, RequestFailed, Stalled or, for an https server whose certificate does not
  // verify, Certificate (DownloadCode), and cause says why in the system's words.
  virtual bool ReadHead(AnswerHead& head, StepCode& failCode, std::wstring& cause) = 0;

  enum class Piece { Data, End, Failed, Stalled };
  // The next piece of the body, at most HTTP_CHUNK bytes as a rule; no more than head.length
  // bytes are handed over in all. End: the body ended (whole or cut short by a closed
  // connection: the length decides). Failed: a broken read, with the cause. Stalled: nothing
  // within the stall limit, with the cause. Called only after ReadHead answered true.
  virtual Piece NextPiece(std::string& piece, std::wstring& cause) = 0;
};

// The cause of a stalled transfer: "no data for 10 s from 10.0.0.1:8080" (the URL's authority).
std::wstring StallCause(const std::wstring& url, int seconds, bool connecting);

// A request for url (sent as RequestUrl(url)) with the given header lines ("Name: value", without
// line ends). Never null; a request that cannot be made fails in ReadHead.
std::unique_ptr<HttpTransport> OpenTransport(const std::wstring& url, const std::vector<std::string>& headers);
