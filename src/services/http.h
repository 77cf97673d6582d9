#pragma once
// The whole HTTP client: downloads into files, with the Last-Modified stamps of descriptors. Every
// request goes to "http://" + numeric address [+ ":" + port] + "/" + path and carries "Host: " +
// the patch server's name, so that the name-based site is reached on the chosen address (through
// a proxy, and for https on Windows, the URL names the host instead). No user agent is sent;
// downloads always come from the server, never from a cache, over connections that the process
// keeps open to each server and that any thread may reuse. Each call opens and closes its own
// file.
#include <cstdint>
#include <string>

#include "services/codes.h"
#include "services/status_callback.h"

// The longest host name that fits the Host header.
constexpr std::size_t HOST_NAME_MAX_CHARS = 251;

// Connection and stall limits, in seconds: a connection that is not made within the first, or a
// transfer that receives no byte for the second, fails with DownloadCode::Stalled, its cause naming the
// address ("no data for 10 s from 10.0.0.1:80"). Short, so that a hung mirror among healthy ones
// costs a run seconds: the run moves to the next address at once. A body that brings less than
// floorBytesPerSecond over any floorSeconds in a row fails alike ("slower than 1024 bytes/s for
// 30 s from 10.0.0.1:80"): a server sending a byte now and then never stalls, and would hold a
// run for ever. A rate cap below twice the floor lowers the floor to half the cap. Settable for
// tests and by the command line.
struct HttpLimits {
  int connectSeconds = 5;
  int stallSeconds = 10;
  std::uint64_t floorBytesPerSecond = 1024;
  int floorSeconds = 30;
};
void SetHttpLimits(const HttpLimits& limits);
HttpLimits GetHttpLimits();

// An https URL ("https://10.0.0.1:8443/x", with "Host: name:8443") reaches the address given but
// verifies the server's certificate against the host name, with the system's certificate store.
// A file of PEM certificates given here is trusted instead of the store (a staging server's own
// authority; libcurl only: WinINet always takes the system's store). Empty: the system's store.
void SetCertificateAuthorityFile(const std::string& pemFile);
// Whether an https request reaches the address in its URL (libcurl pins it to the host name). WinINet
// cannot: it checks the certificate against the URL's host, so an https request names the host and
// WinINet finds the address itself; a client then has no address of its own to fail over to, and
// WinINet tries the name's addresses in turn.
bool ReachesPinnedAddressOverHttps();
std::string GetCertificateAuthorityFile();

// Caps the rate of all downloads of the process together, in bytes per second (0: no cap), so
// that a player can keep playing while a large update arrives. A download that would pass the
// cap waits before it takes its next piece from the network, which slows the sender down.
void SetDownloadRateLimit(std::uint64_t bytesPerSecond);

// The rate at which this process's downloads brought their bodies, in bytes per second, over the
// transfers long enough to tell it (from 64 KiB); 0 while there was none. Each transfer counts at
// its own rate, so that downloads running side by side measure what each of them gets.
double MeasuredDownloadRate();

// Downloads url into localPath. True only when the whole body was written and its length equals
// the announced Content-Length. A failed download leaves the file as far as it was written.
[[nodiscard]] bool DownloadFile(const std::wstring& localPath, IStatusCallback* callback, StepCode& errorCode,
                                const std::wstring& url, const std::wstring& host);

// DownloadFile that continues what an earlier call left: when localPath holds bytes and the
// Last-Modified they came with (kept beside it as localPath + ".lm"), only the rest is asked for,
// with "Range" guarded by "If-Range". A 200 answer starts the file from zero; a 206 whose
// Content-Range does not continue the file is dropped and the whole file asked for again.
// A failed transfer keeps what arrived, and its validator, for the next call.
[[nodiscard]] bool ResumeDownloadFile(const std::wstring& localPath, IStatusCallback* callback, StepCode& errorCode,
                                      const std::wstring& url, const std::wstring& host);

// Downloads bytes [from, from + length) of the file at url into localPath (made anew): a server
// that ignores the range sends the whole file, of which the range is kept and the rest left
// unread. A failed download leaves what arrived of the range.
[[nodiscard]] bool DownloadByteRange(const std::wstring& localPath, IStatusCallback* callback, StepCode& errorCode,
                                     const std::wstring& url, const std::wstring& host, std::uint64_t from,
                                     std::uint64_t length);

// One GET whose answer's body does not matter (a run's result, which the server's access log
// keeps): true when any answer came.
bool SendNotice(const std::wstring& url, const std::wstring& host);

// Why the calling thread's last download failed, in words for the diagnostic log: the status
// the server answered, the system's text for a failed write, the transport's for a broken
// connection. Empty after a download that succeeded.
std::wstring LastDownloadCause();

// What the network said along the way that a player can act on, whatever the step that met it:
// the run's words for its failure read them. Cleared when a run begins.
struct NetworkNotes {
  bool proxySignIn = false;       // a proxy asked for a sign-in (407) it did not get
  bool proxyDown = false;         // the proxy could not be reached
  bool certificate = false;       // an https server's certificate did not verify
  bool serverTimeKnown = false;   // an answer carried a Date that reads
  long long serverAheadSeconds = 0;  // the last such Date less this computer's clock
};
NetworkNotes TheNetworkNotes();
void ClearNetworkNotes();

// Removes a download and the validator that ResumeDownloadFile keeps beside it.
void RemovePartialDownload(const std::wstring& localPath);

// A plain download into a path of the installation: makes the path's folder, clears a read-only
// attribute of an existing file, then DownloadFile.
[[nodiscard]] bool DownloadFileInto(const std::wstring& localPath, const std::wstring& url, const std::wstring& host,
                                    IStatusCallback* progress, StepCode& errorCode);

// What FetchIfStampDiffers did.
enum class StampedFetch {
  Unchanged,  // the server's stamp is the one known: nothing was downloaded
  Fetched,    // the stamp differs and the body is in localPath
  Changed,    // the stamp differs and the body was not wanted: nothing was downloaded
  NoStamp,    // no answer, or a taken one without a Last-Modified time that reads (errorCode says why)
  Failed,     // the server has no such file or refused it (404, 500, ...), or the stamp differs and the
              // download failed (errorCode, LastDownloadCause)
};

// One GET of url for both its Last-Modified stamp (as FormatRemoteStamp writes it) and, when the
// stamp is not known, its body: the file is then downloaded into localPath from the same answer
// as DownloadFileInto does, so that a changed descriptor or list crosses the network once. When
// the stamp is known, the body is never read. Without bodyWanted (a caller that can patch what it
// holds) only the file's last TEXT_CHECK_BYTES are asked for, and handed back in tail from the
// answer that gave the stamp (Changed; tail is empty when they did not come); a server that
// ignores the range sends the whole file, which is taken (Fetched).
StampedFetch FetchIfStampDiffers(const std::wstring& localPath, const std::wstring& url, const std::wstring& host,
                                 const std::wstring& known, std::wstring& stamp, StepCode& errorCode,
                                 bool bodyWanted = true, std::string* tail = nullptr);

// The length of the file at url, as the server would send it, without its body: one request for
// its first byte ("Range: bytes=0-0"), the length read from the answer's Content-Range (or its
// Content-Length, from a server that ignores the range). False when the server has no such file
// or says no length (errorCode, LastDownloadCause).
bool RemoteLength(const std::wstring& url, const std::wstring& host, std::uint64_t& length, StepCode& errorCode);

// A Last-Modified time as the server sent it (GMT).
struct DateTimeRecord {
  std::uint16_t year, month, dayOfWeek, day, hour, minute, second, milliseconds;
};

// Reads an HTTP date strictly, in the three forms HTTP allows: "Sun, 06 Nov 1994 08:49:37 GMT",
// "Sunday, 06-Nov-94 08:49:37 GMT" and "Sun Nov  6 08:49:37 1994"; white space around it is
// allowed. The date must exist (no 30 February), the year has four digits (two in the second
// form: within 50 years of now, else the century before), and the weekday is computed, not
// taken. False for anything else: a stamp is absent rather than guessed.
bool ParseHttpDate(const std::string& text, DateTimeRecord& time);

// A Last-Modified time as 14 digits, "20121105140309".
std::wstring FormatRemoteStamp(const DateTimeRecord& time);

// The code of a failed write of a chunk to localPath: DownloadCode::WriteFailed when its drive has room
// for the chunk, else DownloadCode::DiskFull.
DownloadCode ClassifyWriteFailure(const std::wstring& localPath, std::uint64_t chunk);

// The request URL that both back ends send for one of our URLs: backslashes of the path become
// "/", and every byte of the path's UTF-8 outside RFC 3986's unreserved set and "/" is
// percent-encoded. "http://10.0.0.1/data\Th\u1eed 1.pak" becomes
// "http://10.0.0.1/data/Th%E1%BB%AD%201.pak". Scheme and authority are kept as they are.
std::string RequestUrl(const std::wstring& url);

