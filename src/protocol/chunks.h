#pragma once
// Content in chunks, as publisher and updater both cut and name it. A file is cut where a rolling
// hash of its last bytes meets a mask, so an edit moves the cuts near it only: the chunks before
// and after it keep their bytes and with them their names, in every version of the file, under
// every name, wherever they moved. A chunk is served once, named by its SHA-256, packed on its own
// with zstd:
//   <product>/chunks/<two hex digits>/<SHA-256>          a chunk's packed bytes
//   <product>/chunks/<two hex digits>/<SHA-256>.index    a file's chunk index
// A file's index (its size, then each chunk's SHA-256, size and packed size in order) is itself
// named by its SHA-256, which the signed list states ("Chunks.3="): one hash proves every chunk.
// Neither name ever changes content, so every cache and mirror may keep them for ever.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// 64 KiB on average (about 79 KiB with the minimum) keeps a 1 MiB edit's new chunks near
// 1.2 MiB, a 4 GiB pack's index near 2.2 MB and a repair of one damaged byte near 80 KiB.
constexpr std::size_t CHUNK_MIN = 16 << 10;
constexpr std::size_t CHUNK_AVERAGE = 64 << 10;
constexpr std::size_t CHUNK_MAX = 256 << 10;
// A packed chunk is one zstd frame of a chunk; it never needs more than this.
constexpr std::size_t PACKED_CHUNK_MAX = CHUNK_MAX + (4 << 10);

// The length of the chunk that starts data: data holds at least CHUNK_MAX bytes, or all that is
// left of the file (size, then, is the last chunk's end when no cut comes before).
std::size_t ChunkLength(const std::uint8_t* data, std::size_t size);

// Reads a file once, in bounded memory, and hands each chunk to use in order with its offset;
// use returns false to stop. False when the file cannot be read or use stopped.
bool ForEachChunk(const std::wstring& path,
                  const std::function<bool(const std::uint8_t* data, std::size_t size, std::uint64_t at)>& use,
                  const std::function<void(std::uint64_t read)>& progress = {});

struct ChunkRef {
  std::string sha256;  // 64 lower-case hexadecimal digits
  std::uint32_t size = 0;
  std::uint32_t packed = 0;  // the served object's bytes
};

struct ChunkIndex {
  std::uint64_t fileSize = 0;
  std::vector<ChunkRef> chunks;

  std::string Encode() const;
  // False unless bytes are one whole index whose chunks are each of a size a cut can make and add
  // up to its file size.
  bool Decode(const std::string& bytes);
  std::uint64_t PackedBytes() const;
};

// The served names of a chunk and of a file's index, relative to the product's folder.
std::wstring ChunkObjectName(const std::string& sha256);
std::wstring ChunkIndexName(const std::string& sha256);
// The folder every chunk and index is under, relative to the product's folder.
constexpr const char* CHUNKS_FOLDER = "chunks";
// Whether text is 64 lower- or upper-case hexadecimal digits: a SHA-256 that may name an object.
bool IsSha256Text(const std::string& text);
// The index that a list's "Chunks.3" names, as its served name spells it (lower case); empty when
// the value is not a SHA-256.
std::string ListedChunkIndex(const std::wstring& value);
