// Any bytes as a chunk index (what a server sends for one) and as content to cut: an index that
// reads back is whole and adds up, and writing it again gives the same bytes, so that its name
// (their SHA-256) proves exactly what was read; every cut lies within the bounds.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "protocol/chunks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  ChunkIndex index;
  if (index.Decode(bytes)) {
    std::uint64_t total = 0;
    for (const ChunkRef& chunk : index.chunks) {
      if (chunk.size == 0 || chunk.size > CHUNK_MAX || chunk.packed == 0 || chunk.packed > PACKED_CHUNK_MAX ||
          !IsSha256Text(chunk.sha256)) {
        std::abort();
      }
      total += chunk.size;
    }
    if (total != index.fileSize || index.Encode() != bytes) std::abort();
  }
  for (std::size_t at = 0; at < size;) {
    const std::size_t length = ChunkLength(data + at, size - at);
    if (length == 0 || length > size - at || length > CHUNK_MAX) std::abort();
    if (length < CHUNK_MIN && at + length != size) std::abort();
    at += length;
  }
  return 0;
}
