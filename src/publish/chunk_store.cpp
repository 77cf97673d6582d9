#include "publish/chunk_store.h"

#include <atomic>
#include <future>
#include <memory>
#include <thread>
#include <unordered_map>
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
// once a file; a large file's packs land every few, so that a build stopped inside it keeps them.
constexpr std::size_t LAND_FROM = 256;
constexpr std::uint64_t LAND_FROM_BYTES = 2 * PACK_MAX;

fs::path ObjectPath(const fs::path& productRoot, const std::wstring& name) { return productRoot / PathOf(name); }

// A chunk as cut: placed where the tree serves it already, or packed to be stored.
struct CutChunk {
  ChunkRef ref;
  std::string packed;  // empty: the tree holds it
  std::string error;
};

CutChunk CutOne(const std::string& plain, ChunkCatalog& catalog) {
  CutChunk chunk;
  chunk.ref.sha256 = Sha256Hex(plain);
  chunk.ref.size = static_cast<std::uint32_t>(plain.size());
  if (catalog.Find(chunk.ref)) return chunk;
  chunk.packed = Pack2Bytes(plain, CHUNK_PACK_LEVEL);
  if (chunk.packed.empty() || chunk.packed.size() > PACKED_CHUNK_MAX) chunk.error = "cannot pack a chunk";
  chunk.ref.packed = static_cast<std::uint32_t>(chunk.packed.size());
  return chunk;
}

// A file's new chunks, one pack at a time, in the file's order: a fresh installation asks for a
// pack in one request. A full pack goes into the batch with its own index, which places its
// chunks for a build that stops before the file's index is written.
class PackWriter {
 public:
  PackWriter(const fs::path& productRoot, SharedObjectBatch& objects, ChunkCatalog& catalog,
             ChunkIndex& index, ChunkedFile& result)
      : root_(productRoot), objects_(objects), catalog_(catalog), index_(index), result_(result) {}

  // Adds the chunk to the file's index, and its bytes to the open pack unless the tree or the pack
  // holds them.
  bool Add(CutChunk& chunk, std::string& error) {
    index_.fileSize += chunk.ref.size;
    result_.packedBytes += chunk.ref.packed;
    if (chunk.packed.empty()) {
      index_.chunks.push_back(chunk.ref);
      return true;
    }
    const auto held = at_.find(chunk.ref.sha256);
    if (held == at_.end()) {
      if (bytes_.size() + chunk.packed.size() > PACK_MAX && !Close(error)) return false;
      // Held at its largest from the first chunk on: growing by doubling would hold it twice.
      if (bytes_.empty()) bytes_.reserve(PACK_MAX);
      chunk.ref.at = bytes_.size();
      bytes_ += chunk.packed;
      at_.emplace(chunk.ref.sha256, chunk.ref.at);
      table_.chunks.push_back(chunk.ref);
      table_.fileSize += chunk.ref.size;
      ++result_.newChunks;
    } else {
      chunk.ref.at = held->second;
    }
    placed_.push_back(index_.chunks.size());
    index_.chunks.push_back(chunk.ref);
    return true;
  }

  // Names the open pack by its bytes and stores it and its index.
  bool Close(std::string& error) {
    if (bytes_.empty()) return true;
    const std::string name = Sha256Hex(bytes_);
    for (const std::size_t i : placed_) index_.chunks[i].pack = name;
    for (ChunkRef& chunk : table_.chunks) {
      chunk.pack = name;
      catalog_.Add(chunk);
    }
    const std::string table = table_.Encode();
    if (!Store(ChunkPackName(name), bytes_, error) || !Store(ChunkIndexName(Sha256Hex(table)), table, error)) {
      return false;
    }
    bytes_.clear();
    at_.clear();
    placed_.clear();
    table_ = ChunkIndex{};
    return true;
  }

  // Stores an object the tree does not hold yet.
  bool Store(const std::wstring& name, const std::string& bytes, std::string& error) {
    const fs::path target = ObjectPath(root_, name);
    bool wrote = false;
    if (objects_.Held(target) == 0 && !objects_.Write(target, bytes, wrote, error)) return false;
    if (wrote) result_.storedBytes += bytes.size();
    return true;
  }

 private:
  const fs::path& root_;
  SharedObjectBatch& objects_;
  ChunkCatalog& catalog_;
  ChunkIndex& index_;
  ChunkedFile& result_;
  std::string bytes_;
  std::unordered_map<std::string, std::uint64_t> at_;  // the open pack's chunks
  std::vector<std::size_t> placed_;                     // the file's chunks in the open pack
  ChunkIndex table_;                                    // the open pack's own index
};

// Cuts a batch of chunks on the threads (naming, finding, packing) and adds them in order.
bool StoreBatch(const std::vector<std::string>& batch, unsigned threads, ChunkCatalog& catalog, PackWriter& packs,
                std::string& error) {
  std::vector<CutChunk> cut(batch.size());
  std::atomic<std::size_t> next{0};
  auto work = [&] {
    for (std::size_t i; (i = next++) < batch.size();) cut[i] = CutOne(batch[i], catalog);
  };
  std::vector<std::thread> helpers;
  for (unsigned t = 1; t < threads && t < batch.size(); ++t) helpers.emplace_back(work);
  work();
  for (std::thread& helper : helpers) helper.join();
  for (CutChunk& chunk : cut) {
    if (!chunk.error.empty()) {
      error = chunk.error;
      return false;
    }
    if (!packs.Add(chunk, error)) return false;
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
                 ChunkCatalog& catalog, ChunkedFile& result, std::string& error) {
  result = ChunkedFile{};
  ChunkIndex index;
  PackWriter packs(productRoot, objects, catalog, index, result);
  std::vector<std::string> batch;
  WholeDigests whole(wholeSha256);
  // Each batch is digested whole on threads of its own while the workers store it and the next
  // one is cut: the file is read once, and the digests cost no time of their own.
  auto flush = [&] {
    whole.Take(std::move(batch));
    batch.clear();
    return StoreBatch(whole.Batch(), threads, catalog, packs, error) &&
           objects.LandFrom(LAND_FROM, LAND_FROM_BYTES, error);
  };
  const bool read = ForEachChunk(
      WideOf(file),
      [&](const std::uint8_t* data, std::size_t size, std::uint64_t) {
        batch.emplace_back(reinterpret_cast<const char*>(data), size);
        return batch.size() < BATCH_CHUNKS || flush();
      },
      progress);
  const bool stored = read && flush() && packs.Close(error);
  whole.Finish(result.md5, result.sha256);
  if (!stored) {
    if (error.empty()) error = "cannot read " + file.string() + ": " + WideToUtf8(LastSystemErrorText());
    return false;
  }
  result.chunks = index.chunks.size();
  result.bytes = index.fileSize;
  result.onePack =
      OnePackOf(index, [&](const std::wstring& name) { return objects.Held(ObjectPath(productRoot, name)); });
  const std::string bytes = index.Encode();
  result.index = Sha256Hex(bytes);
  return packs.Store(ChunkIndexName(result.index), bytes, error);
}

std::string OnePackOf(const ChunkIndex& index, const std::function<std::uint64_t(const std::wstring& name)>& sizeOf) {
  if (index.chunks.empty()) return "";
  const std::string& pack = index.chunks.front().pack;
  std::uint64_t at = 0;
  for (const ChunkRef& chunk : index.chunks) {
    if (pack.empty() || chunk.pack != pack || chunk.at != at) return "";
    at += chunk.packed;
  }
  return sizeOf(ChunkPackName(pack)) == at ? pack : "";
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
  const fs::path path = ObjectPath(productRoot, ChunkServedName(chunk));
  std::string packed;
  if (chunk.packed > PACKED_CHUNK_MAX || !ReadFileSlice(WideOf(path), chunk.at, chunk.packed, packed)) {
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
    for (const ChunkRef& chunk : index.chunks) names.insert(WideToUtf8(ChunkServedName(chunk)));
  }
  return true;
}
