#pragma once
// The packed form of every file the patch server offers and of the local descriptor caches: one
// zlib stream (RFC 1950, 32 KiB window) and nothing else; bytes after the stream are ignored.
// Both operations stream in 64 KiB chunks, so memory does not grow with the file.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class FileHandle;

// zlib's own result codes, which the stream operations return.
constexpr int STREAM_OK = 0;
constexpr int STREAM_FILE_ERROR = -1;   // a read or write of a file failed
constexpr int STREAM_BAD_LEVEL = -2;    // an invalid compression level
constexpr int STREAM_BAD_DATA = -3;     // corrupt or incomplete data, or a preset dictionary
constexpr int STREAM_NO_MEMORY = -4;
constexpr int STREAM_TOO_LARGE = -100;  // ours: more plain bytes than the caller allows

constexpr std::uint64_t UNPACK_NO_LIMIT = ~std::uint64_t{0};

// True exactly when the source held a complete zlib stream and all of its plain bytes were
// written to the destination. A missing source creates no destination; on failure the
// destination holds what was written so far.
bool UnpackFile(const std::wstring& source, const std::wstring& destination);

// The plain bytes of a packed file, handed to sink piece by piece without writing them anywhere
// (a content checked against its digest); a sink that returns false stops it. STREAM_OK, or the
// failure's code (STREAM_FILE_ERROR also when the sink stopped).
using PlainSink = std::function<bool(const unsigned char* data, std::size_t size)>;
int UnpackFileInto(const std::wstring& source, const PlainSink& sink);

// UnpackFile for files that a hostile server could inflate without end (file lists, descriptors):
// STREAM_OK, or the failure's code; past limit plain bytes STREAM_TOO_LARGE, and the destination
// is removed.
int UnpackFileBounded(const std::wstring& source, const std::wstring& destination, std::uint64_t limit);

// The first size plain bytes of a packed file (fewer when it holds fewer), without unpacking the
// rest: a list's first section from a cache of megabytes. False when nothing could be unpacked.
bool UnpackHead(const std::wstring& source, std::size_t size, std::string& head);

// True exactly when the whole source was packed into the destination at the level (0 to 9).
// How much of its input a long packing has read, for a progress display.
using PackProgress = std::function<void(std::uint64_t read)>;
bool PackFile(const std::wstring& source, const std::wstring& destination, int level,
              const PackProgress& progress = {});

int InflateStream(FileHandle& destination, FileHandle& source);

// The same forms in memory, for the publisher's lists and patches: PackBytes gives exactly the
// bytes that PackFile writes for the same content and level (empty on failure); UnpackBytes is
// true exactly when packed holds a complete stream.
// With blockEnds (offsets into plain, ascending), a deflate block ends at each of them: content
// whose parts differ in kind (random bytes between short operators) is packed with codes fitted
// to each part. Any zlib reader unpacks it the same.
std::string PackBytes(const std::string& plain, int level, const std::vector<std::size_t>& blockEnds = {});
bool UnpackBytes(const std::string& packed, std::string& plain);

// Every packed stream ends with the Adler-32 of the text it holds (four bytes, RFC 1950): a
// packed list's last bytes tell which text it is without unpacking it, and a client learns them
// from the server's list with one small range request. The check as 8 lowercase hex digits, of a
// stream's last four bytes (TextCheckOfTail), of a whole packed stream or file; empty when there
// are not four bytes.
constexpr std::size_t TEXT_CHECK_BYTES = 4;
std::wstring TextCheckOfTail(const std::string& tail);
std::wstring TextCheckOfPacked(const std::string& packed);
std::wstring TextCheckOfPackedFile(const std::wstring& path);

// UnpackFile that also hands back the MD5 digest text of the plain bytes it wrote, so that a
// caller who verifies them does not read the file a second time, and flushes the destination to
// the disk. Empty on failure; when the destination refused to be made or written (a full disk),
// writeFailure holds the system's reason, else it is empty (the source is at fault, and cause
// may say how). A stream that would write more than limit bytes stops there, at once.
bool UnpackFileWithDigest(const std::wstring& source, const std::wstring& destination, std::wstring& digest,
                          std::wstring& cause, std::wstring& writeFailure, std::uint64_t limit = UNPACK_NO_LIMIT);

// The cause of content that stopped at its bound.
std::wstring BeyondBound(std::uint64_t limit);
int DeflateStream(FileHandle& destination, int level, FileHandle& source, const PackProgress& progress = {});
