#pragma once
// Content in chunks, as publisher and updater both cut and name it. A file is cut where a rolling
// hash of its last bytes meets a mask, so an edit moves the cuts near it only: the chunks before
// and after it keep their bytes and with them their names, in every version of the file, under
// every name, wherever they moved. A chunk is served once, named by its SHA-256, packed on its own
// with zstd, in a pack with the other chunks that the same file brought to the tree:
//   <product>/chunks/<two hex digits>/<SHA-256>.pack     packed chunks one after another
//   <product>/chunks/<two hex digits>/<SHA-256>.index    a file's chunk index
//   <product>/chunks/<two hex digits>/<SHA-256>          a chunk served alone (trees before packs)
// A file's index (its size, then each chunk's SHA-256, size, packed size and place in order) is
// itself named by its SHA-256, which the signed list states ("Chunks.3="): one hash proves every
// chunk. A pack is named by the SHA-256 of its bytes. No name ever changes content, so every cache
// and mirror may keep them for ever. A file's chunks lie in its packs in the file's order, so a
// fresh installation asks for each pack at once and an update for each run of missing chunks: the
// requests grow with the files and the edits, not with the chunks.
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

// A pack holds at most this many bytes: a build stopped half-way in a large file keeps the packs
// it finished, and a fresh installation's request brings at most this much.
constexpr std::uint64_t PACK_MAX = 16 << 20;

struct ChunkRef {
  std::string sha256;  // 64 lower-case hexadecimal digits
  std::uint32_t size = 0;
  std::uint32_t packed = 0;  // the packed chunk's bytes
  std::string pack;          // the SHA-256 of the pack that serves it; empty: served alone
  std::uint64_t at = 0;      // where the packed chunk starts in its pack
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

// The served names of a chunk served alone, of a file's index and of a pack, relative to the
// product's folder.
std::wstring ChunkObjectName(const std::string& sha256);
std::wstring ChunkIndexName(const std::string& sha256);
std::wstring ChunkPackName(const std::string& sha256);
// The name of the object that serves the chunk: its pack, or the chunk alone.
std::wstring ChunkServedName(const ChunkRef& chunk);
// The folder every chunk and index is under, relative to the product's folder.
constexpr const char* CHUNKS_FOLDER = "chunks";
// Whether text is 64 lower- or upper-case hexadecimal digits: a SHA-256 that may name an object.
bool IsSha256Text(const std::string& text);
// The index that a list's "Chunks.3" names, as its served name spells it (lower case); empty when
// the value is not a SHA-256.
std::string ListedChunkIndex(const std::wstring& value);
