#include "publish/chunk_store.h"

#include <atomic>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "publish/release.h"
#include "publish/tree_writes.h"
#include "services/md5.h"
#include "services/files.h"
#include "services/packed2.h"
#include "services/platform.h"
#include "services/signing.h"
#include "services/text.h"

namespace fs = std::filesystem;

namespace {

// Chunks packed together: at most 64 MaxChunks (16 MiB) held at once, plenty for two cores.
constexpr std::size_t BATCH_CHUNKS = 64;
// Objects made durable together: a game of 12,000 small files would otherwise wait for the disk
// once a file.
constexpr std::size_t LAND_FROM = 256;

fs::path ObjectPath(const fs::path& productRoot, const std::wstring& name) { return productRoot / PathOf(name); }

struct StoredChunk {
  ChunkRef ref;
  std::uint64_t stored = 0;
  std::string error;
};

// Names, packs and writes one chunk unless the tree or the batch holds it.
StoredChunk StoreChunk(const fs::path& productRoot, const std::string& plain, SharedObjectBatch& objects) {
  StoredChunk chunk;
  chunk.ref.sha256 = Sha256Hex(plain);
  chunk.ref.size = static_cast<std::uint32_t>(plain.size());
  const fs::path target = ObjectPath(productRoot, ChunkObjectName(chunk.ref.sha256));
  const std::uint64_t held = objects.Held(target);
  if (held > 0) {
    chunk.ref.packed = static_cast<std::uint32_t>(held);
    return chunk;
  }
  const std::string packed = Pack2Bytes(plain, CHUNK_PACK_LEVEL);
  if (packed.empty() || packed.size() > PACKED_CHUNK_MAX) {
    chunk.error = "cannot pack a chunk of " + target.string();
    return chunk;
  }
  bool wrote = false;
  if (!objects.Write(target, packed, wrote, chunk.error)) return chunk;
  chunk.ref.packed = static_cast<std::uint32_t>(packed.size());
  if (wrote) chunk.stored = packed.size();
  return chunk;
}

// Writes a batch of chunks on the threads into objects and adds them to the index in order.
bool StoreBatch(const fs::path& productRoot, const std::vector<std::string>& batch, unsigned threads,
                SharedObjectBatch& objects, ChunkIndex& index, ChunkedFile& result, std::string& error) {
  std::vector<StoredChunk> stored(batch.size());
  std::atomic<std::size_t> next{0};
  auto work = [&] {
    for (std::size_t i; (i = next++) < batch.size();) stored[i] = StoreChunk(productRoot, batch[i], objects);
  };
  std::vector<std::thread> helpers;
  for (unsigned t = 1; t < threads && t < batch.size(); ++t) helpers.emplace_back(work);
  work();
  for (std::thread& helper : helpers) helper.join();
  for (const StoredChunk& chunk : stored) {
    if (!chunk.error.empty()) {
      error = chunk.error;
      return false;
    }
  }
  for (const StoredChunk& chunk : stored) {
    index.chunks.push_back(chunk.ref);
    index.fileSize += chunk.ref.size;
    result.packedBytes += chunk.ref.packed;
    result.storedBytes += chunk.stored;
    if (chunk.stored > 0) ++result.newChunks;
  }
  return true;
}

// The MD5 and SHA-256 of a file given batch after batch, each digest on a thread of its own; a
// batch is held until both have taken it.
class WholeDigests {
 public:
  explicit WholeDigests(bool sha256) : sha256Wanted_(sha256) {}
  ~WholeDigests() { Wait(); }
  void Take(std::vector<std::string> batch) {
    Wait();
    batch_ = std::make_shared<const std::vector<std::string>>(std::move(batch));
    md5Done_ = std::async(std::launch::async, [this, held = batch_] {
      for (const std::string& chunk : *held) md5_.Update(chunk.data(), chunk.size());
    });
    if (!sha256Wanted_) return;
    shaDone_ = std::async(std::launch::async, [this, held = batch_] {
      for (const std::string& chunk : *held) sha256_.Add(chunk.data(), chunk.size());
    });
  }
  const std::vector<std::string>& Batch() const { return *batch_; }
  void Finish(std::string& md5, std::string& sha256) {
    Wait();
    md5 = WideToUtf8(md5_.FinalText());
    if (sha256Wanted_) sha256 = sha256_.Hex();
  }

 private:
  void Wait() {
    if (md5Done_.valid()) md5Done_.get();
    if (shaDone_.valid()) shaDone_.get();
  }
  bool sha256Wanted_;
  std::shared_ptr<const std::vector<std::string>> batch_;
  Md5 md5_;
  Sha256Stream sha256_;
  std::future<void> md5Done_, shaDone_;
};

}  // namespace

bool StoreChunks(const fs::path& productRoot, const fs::path& file, unsigned threads, bool wholeSha256,
                 const std::function<void(std::uint64_t read)>& progress, SharedObjectBatch& objects,
                 ChunkedFile& result, std::string& error) {
  result = ChunkedFile{};
  ChunkIndex index;
  std::vector<std::string> batch;
  WholeDigests whole(wholeSha256);
  // Each batch is digested whole on threads of its own while the workers store it and the next
  // one is cut: the file is read once, and the digests cost no time of their own.
  auto flush = [&] {
    whole.Take(std::move(batch));
    batch.clear();
    return StoreBatch(productRoot, whole.Batch(), threads, objects, index, result, error) &&
           objects.LandFrom(LAND_FROM, error);
  };
  const bool read = ForEachChunk(
      WideOf(file),
      [&](const std::uint8_t* data, std::size_t size, std::uint64_t) {
        batch.emplace_back(reinterpret_cast<const char*>(data), size);
        return batch.size() < BATCH_CHUNKS || flush();
      },
      progress);
  const bool stored = read && flush();
  whole.Finish(result.md5, result.sha256);
  if (!stored) {
    if (error.empty()) error = "cannot read " + file.string() + ": " + WideToUtf8(LastSystemErrorText());
    return false;
  }
  result.chunks = index.chunks.size();
  result.bytes = index.fileSize;
  const std::string bytes = index.Encode();
  result.index = Sha256Hex(bytes);
  const fs::path target = ObjectPath(productRoot, ChunkIndexName(result.index));
  bool wrote = false;
  if (objects.Held(target) == 0 && !objects.Write(target, bytes, wrote, error)) return false;
  if (wrote) result.storedBytes += bytes.size();
  return true;
}

bool ReadChunkIndex(const fs::path& productRoot, const std::string& sha256, ChunkIndex& index, std::string& error) {
  const fs::path path = ObjectPath(productRoot, ChunkIndexName(sha256));
  std::string bytes;
  if (!IsSha256Text(sha256) || !ReadWholeFile(WideOf(path), bytes)) {
    error = "no chunk index at " + path.string();
    return false;
  }
  if (Sha256Hex(bytes) != sha256 || !index.Decode(bytes)) {
    error = "the chunk index at " + path.string() + " is not what its name says";
    return false;
  }
  return true;
}

bool ReadChunk(const fs::path& productRoot, const ChunkRef& chunk, std::string& plain, std::string& error) {
  const fs::path path = ObjectPath(productRoot, ChunkObjectName(chunk.sha256));
  std::string packed;
  if (!ReadWholeFile(WideOf(path), packed)) {
    error = "no chunk at " + path.string();
    return false;
  }
  if (!Unpack2Bytes(packed, plain, CHUNK_MAX) || plain.size() != chunk.size || Sha256Hex(plain) != chunk.sha256) {
    error = "the chunk at " + path.string() + " does not unpack to what its name says";
    return false;
  }
  return true;
}

bool ChunkObjectsOf(const fs::path& productRoot, const std::set<std::string>& indexes, std::set<std::string>& names,
                    std::string& error) {
  for (const std::string& sha256 : indexes) {
    ChunkIndex index;
    if (!ReadChunkIndex(productRoot, sha256, index, error)) return false;
    names.insert(WideToUtf8(ChunkIndexName(sha256)));
    for (const ChunkRef& chunk : index.chunks) names.insert(WideToUtf8(ChunkObjectName(chunk.sha256)));
  }
  return true;
}
