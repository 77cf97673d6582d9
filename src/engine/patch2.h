#pragma once
// The second patch format. A new file is made of stretches: "add" bytes, each the old file's byte
// at the old position plus a difference (mod 256), then "copy" bytes taken as they stand, then a
// signed move of the old position. Shifted code changes many bytes by the same small amounts, so
// the differences are mostly zeros and a few repeated values that pack to almost nothing.
//
// The file: a header of 80 bytes, then three zstd frames (packed2.h), each of its stated length:
//   "ZPAT", version 2, three zero bytes; old size, new size (u64); old MD5, new MD5 (16 bytes
//   each); the lengths of the control, difference and copy frames (u64). All little-endian.
// The control frame holds one record per stretch (add, copy and move, the move zigzag-coded) in
// blocks of 1 to 65,536 records: the count, then the block's adds, its copies and its moves, each
// a LEB128 number. Grouped by kind they pack smaller than record by record. The difference frame
// holds the add bytes' differences, the copy frame the copied bytes, both in order.
//
// A rebuild checks the old file's size and MD5 against the header before it creates the output,
// and refuses, leaving no output, any record that reads past the old file's end, moves before its
// start or writes past the new size, streams that end early or go on after the last record, and
// a result whose MD5 is not the header's. Memory stays bounded: each frame's window is at most
// 16 MiB, and the old file is read through its cache.
#include <cstdint>
#include <string>

constexpr char PATCH2_MAGIC[4] = {'Z', 'P', 'A', 'T'};
constexpr std::uint8_t PATCH2_VERSION = 2;
constexpr std::size_t PATCH2_HEADER_SIZE = 80;
constexpr std::uint64_t PATCH2_BLOCK_RECORDS = 65536;

struct Patch2Header {
  std::uint64_t oldSize = 0;
  std::uint64_t newSize = 0;
  std::uint8_t oldMd5[16] = {};
  std::uint8_t newMd5[16] = {};
  std::uint64_t controlLength = 0;
  std::uint64_t differenceLength = 0;
  std::uint64_t copyLength = 0;
};

std::string EncodePatch2Header(const Patch2Header& header);
// False for another magic or version, nonzero reserved bytes or too few bytes.
bool DecodePatch2Header(const std::uint8_t* bytes, std::size_t size, Patch2Header& header);

// The same over bytes in memory, for the publisher's check of what it made and for tests.
bool ApplyPatch2Bytes(const std::string& old, const std::string& patch, std::string& output, std::wstring& cause);

// Rebuilds outputPath from oldPath and a format-2 patch file, handing back the MD5 digest text of
// what it wrote and flushing it to the disk. On failure no output is left; cause says why, and
// writeFailure holds the system's reason when the output refused to be made or written.
bool ApplyPatch2File(const std::wstring& oldPath, const std::wstring& patchPath, const std::wstring& outputPath,
                     std::wstring& digest, std::wstring& cause, std::wstring& writeFailure);
