#include "publish/chunk_catalog.h"

#include <cstring>
#include <map>

#include "publish/release.h"
#include "services/files.h"
#include "services/signing.h"
#include "services/text.h"

namespace fs = std::filesystem;

namespace {

bool KeyOf(const std::string& sha256, std::array<unsigned char, 32>& key) {
  if (!IsSha256Text(sha256)) return false;
  const auto digit = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
  for (std::size_t i = 0; i < key.size(); ++i) {
    key[i] = static_cast<unsigned char>(digit(sha256[2 * i]) * 16 + digit(sha256[2 * i + 1]));
  }
  return true;
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

std::size_t ChunkCatalog::KeyHash::operator()(const Key& key) const {
  std::size_t hash = 0;
  std::memcpy(&hash, key.data(), sizeof hash);  // a SHA-256's bytes are spread well already
  return hash;
}

bool ChunkCatalog::Find(ChunkRef& chunk) {
  std::call_once(loaded_, [this] { Load(); });
  Key key{};
  if (!KeyOf(chunk.sha256, key)) return false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    const auto found = places_.find(key);
    if (found != places_.end()) {
      chunk.pack = packs_[found->second.pack];
      chunk.at = found->second.at;
      chunk.packed = found->second.packed;
      return true;
    }
  }
  std::error_code error;
  const std::uintmax_t alone = fs::file_size(root_ / PathOf(ChunkObjectName(chunk.sha256)), error);
  if (error || alone == 0 || alone > PACKED_CHUNK_MAX) return false;
  chunk.pack.clear();
  chunk.at = 0;
  chunk.packed = static_cast<std::uint32_t>(alone);
  return true;
}

void ChunkCatalog::Add(const ChunkRef& chunk) {
  std::lock_guard<std::mutex> guard(lock_);
  AddLocked(chunk);
}

void ChunkCatalog::AddLocked(const ChunkRef& chunk) {
  Key key{};
  if (chunk.pack.empty() || !KeyOf(chunk.sha256, key)) return;
  const auto pack = packNumbers_.emplace(chunk.pack, static_cast<std::uint32_t>(packs_.size()));
  if (pack.second) packs_.push_back(chunk.pack);
  places_.emplace(key, Place{pack.first->second, chunk.packed, chunk.at});
}

void ChunkCatalog::Load() {
  std::error_code error;
  std::map<std::string, std::uintmax_t> packSizes;  // 0: gone
  const auto packSize = [&](const std::string& pack) {
    const auto known = packSizes.find(pack);
    if (known != packSizes.end()) return known->second;
    std::error_code missing;
    const std::uintmax_t size = fs::file_size(root_ / PathOf(ChunkPackName(pack)), missing);
    return packSizes[pack] = missing ? 0 : size;
  };
  std::lock_guard<std::mutex> guard(lock_);
  for (fs::recursive_directory_iterator it(root_ / CHUNKS_FOLDER, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (!EndsWith(name, ".index")) continue;
    std::string bytes;
    ChunkIndex index;
    if (!ReadWholeFile(WideOf(it->path()), bytes) || Sha256Hex(bytes) + ".index" != name || !index.Decode(bytes)) {
      continue;
    }
    for (const ChunkRef& chunk : index.chunks) {
      if (!chunk.pack.empty() && chunk.at + chunk.packed <= packSize(chunk.pack)) AddLocked(chunk);
    }
  }
}
