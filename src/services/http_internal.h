#pragma once
// Shared between the HTTP back ends and their portable part.
#include <cstdint>
#include <string>

#include "services/status_callback.h"

// The root that HasFreeDiskSpace is asked about for a failed write to localPath: the drive of
// the path ("C:\") or of the current directory on Windows, the file's folder on POSIX.
std::wstring DriveRootFor(const std::wstring& localPath);

// Code 2 when the drive of localPath has room for the chunk, else code 9.
int ClassifyWriteFailure(const std::wstring& localPath, std::uint64_t chunk);

// The start that every download shares: errorCode set to 0, the (0, 0) progress report that may
// cancel it (code 10), and a host that fits the Host header (else code 21). False stops it.
bool BeginDownload(IStatusCallback* callback, const std::wstring& host, int& errorCode);

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

// One download by the back end: DownloadFile when resume is null; otherwise it asks for the rest
// of the file after resume->offset (nothing to continue when it is 0) and keeps the answer's
// validator. mismatch: a 206 answered another range than the one asked for.
bool TransferFile(const std::wstring& localPath, IStatusCallback* callback, int& errorCode, const std::wstring& url,
                  const std::wstring& host, const ResumePoint* resume, bool& mismatch);

// A Content-Length value as HTTP allows it: decimal digits only (white space around them aside),
// below 2^63. "-1", "5x" and "" are refused.
bool ParseContentLength(const std::string& text, std::uint64_t& value);
