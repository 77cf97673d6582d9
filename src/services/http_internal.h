#pragma once
// Shared between the HTTP back ends and their portable part.
#include <cstdint>
#include <string>
#include <vector>

#include "services/http_transport.h"
#include "services/status_callback.h"

// The URL as the patch host names it, for the choice of a proxy: the Host header's name in place
// of the address a request goes to.
std::wstring NamedUrl(const std::wstring& url, const std::vector<std::string>& headers);

// Bytes of one transfer chunk: reads from the network and writes to the file.
constexpr std::size_t HTTP_CHUNK = 65536;

// Where a resumed download stands: the bytes already on disk and the Last-Modified text they
// came with. offset 0: nothing to continue, the request asks for the whole file.
struct ResumePoint {
  std::uint64_t offset = 0;
  std::string validator;
};
ResumePoint FindResumePoint(const std::wstring& localPath);

// Keeps the Last-Modified text of an accepted answer beside the download (none: no validator,
// and the download cannot be continued).
void RecordValidator(const std::wstring& localPath, const std::string& lastModified);

// Reads a Content-Range ("bytes 100-199/200"): false unless it names a range inside a known length.
bool ParseContentRange(const std::string& contentRange, std::uint64_t& first, std::uint64_t& last,
                       std::uint64_t& total);
// Whether a 206 answer's Content-Range ("bytes 100-199/200") continues a file of offset bytes;
// sets total to the whole file's length.
bool ContinuesAt(const std::string& contentRange, std::uint64_t offset, std::uint64_t& total);

// What an answer to a resumed request means for the file.
enum class ResumeAnswer {
  Whole,     // 200: the whole file, from byte 0
  Continue,  // 206 continuing the file
  Mismatch,  // 206 for another range, or 416: drop it and ask for the whole file
  Refused,   // any other status
};
ResumeAnswer ClassifyResumeAnswer(long status, const std::string& contentRange, std::uint64_t offset,
                                  std::uint64_t& total);

// What the download rules make of an answer's head.
enum class AnswerVerdict {
  Create,    // the whole file (200, or 206 to a plain request): the local file is made anew
  Append,    // a 206 that continues the file at offset
  NotFound,  // 404 or 410: asking again is no use
  Mismatch,  // another range than asked: drop what is there and ask for the whole file
  Refused,   // any other status, no length, two lengths or one that is no plain number
};
// offset: the bytes already on disk (0: a plain request). total: the length of the whole file
// (Create, Append). cause: why an answer is not taken, for the diagnostic log.
AnswerVerdict JudgeAnswer(const AnswerHead& head, std::uint64_t offset, std::uint64_t& total, std::wstring& cause);

// One download: DownloadFile when resume is null; otherwise it asks for the rest
// of the file after resume->offset (nothing to continue when it is 0) and keeps the answer's
// validator. mismatch: a 206 answered another range than the one asked for.
bool TransferFile(const std::wstring& localPath, IStatusCallback* callback, StepCode& errorCode, const std::wstring& url,
                  const std::wstring& host, const ResumePoint* resume, bool& mismatch);

// A Content-Length value as HTTP allows it: decimal digits only (white space around them aside),
// below 2^63. "-1", "5x" and "" are refused.
bool ParseContentLength(const std::string& text, std::uint64_t& value);

// Reads a status line strictly ("HTTP/1.1 200 OK", "HTTP/1.0 404"; a line end may be left on):
// both back ends refuse an answer whose status line is anything else.
bool ParseStatusLine(const std::string& line, long& status);

// Reads one header line ("Content-Length: 5", its line end may be left on) into the head: the
// lengths, Content-Range and Last-Modified; any other header is passed over.
void TakeHeaderLine(const std::string& line, AnswerHead& head);

// Reads one answer head from the start of bytes: the status line, header lines and the blank
// line, each ended by CR LF or a bare LF. The bytes the head took; 0 while it is not complete;
// npos when the bytes are no HTTP answer.
std::size_t ParseAnswerHead(const std::string& bytes, AnswerHead& head);
