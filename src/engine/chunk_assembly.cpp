#include "engine/chunk_assembly.h"

#include <unordered_map>
#include <utility>

#include "engine/digest_writer.h"
#include "services/files.h"
#include "services/md5.h"
#include "services/packed2.h"
#include "services/platform.h"
#include "services/signing.h"

std::size_t ChunkAssembly::Missing() const {
  std::size_t missing = 0;
  for (const ChunkPlace& place : places) missing += place.path.empty() ? 1 : 0;
  return missing;
}

std::uint64_t ChunkAssembly::MissingPackedBytes() const {
  std::uint64_t bytes = 0;
  for (std::size_t i = 0; i < places.size(); ++i) {
    if (places[i].path.empty()) bytes += index.chunks[i].packed;
  }
  return bytes;
}

void FindHeldChunks(const std::vector<std::wstring>& files, ChunkAssembly& assembly) {
  assembly.places.resize(assembly.index.chunks.size());
  // The chunks without a place, by name: a chunk that the file holds twice is read once.
  std::unordered_map<std::string, std::vector<std::size_t>> wanted;
  for (std::size_t i = 0; i < assembly.places.size(); ++i) {
    if (assembly.places[i].path.empty()) wanted[assembly.index.chunks[i].sha256].push_back(i);
  }
  for (const std::wstring& file : files) {
    if (wanted.empty()) return;
    std::uint64_t size = 0;
    if (!RegularFileSize(file, size)) continue;
    // A file that stops being readable half-way keeps the places found before: each is checked
    // again as the file is built, and the whole result against the list.
    (void)ForEachChunk(file, [&](const std::uint8_t* data, std::size_t length, std::uint64_t at) {
      const auto found = wanted.find(Sha256Hex(std::string(reinterpret_cast<const char*>(data), length)));
      if (found == wanted.end()) return true;
      for (const std::size_t i : found->second) assembly.places[i] = ChunkPlace{file, at, false};
      wanted.erase(found);
      return !wanted.empty();
    });
  }
}

namespace {

bool UnpackChunkAt(const std::wstring& path, std::uint64_t at, const ChunkRef& chunk, std::string& plain) {
  std::string packed;
  return chunk.packed <= PACKED_CHUNK_MAX && ReadFileSlice(path, at, chunk.packed, packed) &&
         Unpack2Bytes(packed, plain, CHUNK_MAX) && plain.size() == chunk.size;
}

// The chunk's bytes from its place. They are not proved again: each was proved when found or
// downloaded, and the whole file is held to the list's digest once made, which also catches a
// held file that changed since it was read.
// open: the held file read last, kept open for the next chunk, which is mostly in it too.
bool ReadChunkAt(const ChunkPlace& place, const ChunkRef& chunk, std::pair<std::wstring, FileHandle>& open,
                 std::string& plain, std::wstring& cause) {
  if (place.packed) {
    if (UnpackChunkAt(place.path, place.at, chunk, plain)) return true;
    cause = L"the downloaded chunk [" + place.path + L"] no longer unpacks";
    return false;
  }
  if (open.first != place.path) open = {place.path, FileHandle::OpenForRead(place.path)};
  FileHandle& file = open.second;
  plain.assign(chunk.size, '\0');
  std::size_t got = 0;
  if (!file.IsOpen() || !file.Seek(static_cast<std::int64_t>(place.at)) || !file.Read(plain.data(), chunk.size, got) ||
      got != chunk.size) {
    cause = L"[" + place.path + L"] no longer holds a chunk it held";
    return false;
  }
  return true;
}

}  // namespace

bool IsPackedChunk(const std::wstring& path, std::uint64_t at, const ChunkRef& chunk) {
  std::string plain;
  return UnpackChunkAt(path, at, chunk, plain) && Sha256Hex(plain) == chunk.sha256;
}

bool UnpackChunkPack(const std::wstring& pack, const std::wstring& path, std::wstring& digest, std::wstring& cause,
                     std::wstring& writeFailure, std::uint64_t limit) {
  std::uint64_t size = 0;
  DigestWriter out;
  if (!out.Create(path, writeFailure) || !RegularFileSize(pack, size)) return false;
  std::string packed, plain;
  std::uint64_t written = 0;
  for (std::uint64_t at = 0; at < size; at += packed.size()) {
    const std::size_t window = static_cast<std::size_t>(std::min<std::uint64_t>(PACKED_CHUNK_MAX, size - at));
    std::size_t frame = 0;
    if (!ReadFileSlice(pack, at, window, packed) || (frame = Packed2FrameLength(packed)) == 0) {
      cause = L"the pack [" + pack + L"] holds no whole chunk at byte " + std::to_wstring(at);
      return false;
    }
    packed.resize(frame);
    if (!Unpack2Bytes(packed, plain, CHUNK_MAX) || (written += plain.size()) > limit) {
      cause = L"the pack [" + pack + L"] does not unpack to at most " + std::to_wstring(limit) + L" bytes";
      return false;
    }
    if (!out.Write(plain.data(), plain.size(), writeFailure)) return false;
  }
  return out.Finish(digest, writeFailure);
}

bool AssembleChunks(const ChunkAssembly& assembly, const std::wstring& path, std::wstring& digest, std::wstring& cause,
                    std::wstring& writeFailure) {
  DigestWriter out;
  if (!out.Create(path, writeFailure)) return false;
  std::string plain;
  std::pair<std::wstring, FileHandle> open;
  for (std::size_t i = 0; i < assembly.index.chunks.size(); ++i) {
    const ChunkRef& chunk = assembly.index.chunks[i];
    if (i >= assembly.places.size() || assembly.places[i].path.empty()) {
      cause = L"chunk " + std::to_wstring(i) + L" has no place";
      return false;
    }
    if (!ReadChunkAt(assembly.places[i], chunk, open, plain, cause) ||
        !out.Write(plain.data(), plain.size(), writeFailure)) {
      return false;
    }
  }
  return out.Finish(digest, writeFailure);
}
