#pragma once
// Patches between files of any size in bounded memory, in either format. The whole-file matcher
// (delta.h, delta2.h) holds both files and 4 bytes of suffix array per old byte: 6 GB for a 1 GiB
// pack file. This one cuts both files into chunks where their content says (a rolling hash of
// the last 64 bytes decides a boundary, so an edit or insert moves no boundary but its own),
// takes every chunk of the new file found in the old one as copied bytes, wherever it lies, and
// searches the new bytes between copies with the matcher against the old bytes around where
// they would be: after the copy before them and before the copy after them. Memory: the old
// file's chunk index (about 10 bytes per KiB), a segment of the new file per thread and the
// matcher's tables for one stretch of differing bytes at a time; the patch itself in memory.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Files from this size on (old or new) are patched in chunks.
constexpr std::uint64_t CHUNKED_FROM = 64ULL << 20;

// The sizes the generator works in; tests make them small, so that small files cross them all.
struct ChunkedShape {
  std::size_t segment = 32 << 20;  // new bytes matched by one thread at a time
  std::size_t piece = 4 << 20;     // the most new bytes searched with the matcher at once
  std::size_t reach = 1 << 20;     // the most old bytes searched beyond a piece's neighbours
  unsigned chunkBits = 11;         // a boundary is one position in 2^bits, past the minimum
  std::size_t minChunk = 512;
  std::size_t maxChunk = 16 << 10;
};

// How far a long patch has come: new bytes done of the new file's.
using ChunkedProgress = std::function<void(std::uint64_t done, std::uint64_t total)>;

// The patch from the file at oldPath to the one at newPath: format 1's byte code (not packed)
// or format 2's whole patch file. False with error when a file cannot be read or packing fails.
bool MakeChunkedPatch(const std::wstring& oldPath, const std::wstring& newPath, int format, std::string& patch,
                      std::string& error, const ChunkedShape& shape = {}, const ChunkedProgress& progress = {});

// A content's fingerprint for finding similar files: the hashes of its small chunks over a few
// slices of it (the whole of a small file), sorted. Chunks are cut by content, so two files that
// share much share many of these wherever their bytes moved.
std::vector<std::uint64_t> SampleChunkHashes(const std::string& content);
// The share of a's hashes that b holds too: 0 for nothing in common, 1 for all.
double SharedShare(const std::vector<std::uint64_t>& a, const std::vector<std::uint64_t>& b);
