#include "game_release.h"

#include <cstdint>
#include <cstdio>
#include <string>

#include "services/files.h"
#include "services/text.h"

namespace {

std::uint64_t Mix(std::uint64_t a, std::uint64_t b = 0, std::uint64_t c = 0) {
  std::uint64_t x = a * 0x9E3779B97F4A7C15ULL ^ (b + 0x632BE59BD9B4E019ULL) * 0xBF58476D1CE4E5B9ULL ^ c * 0x94D049BB133111EBULL;
  x ^= x >> 31;
  x *= 0xD6E8FEB86659FD93ULL;
  return x ^ (x >> 29);
}

void AppendRandom(std::string& out, std::size_t bytes, std::uint64_t seed) {
  for (std::size_t i = 0; i < bytes; i += 8) {
    seed = Mix(seed, i);
    for (std::size_t k = 0; k < 8 && i + k < bytes; ++k) out += static_cast<char>(seed >> (8 * k));
  }
}

// One record of a pack file: a structured text record (most) or a compressed blob (random bytes).
void AppendRecord(std::string& out, std::uint64_t seed) {
  const std::uint64_t kind = Mix(seed, 1);
  if (kind % 3 == 0) {
    AppendRandom(out, 2048 + kind % 4096, seed);
    return;
  }
  char line[160];
  const int count = 4 + static_cast<int>(kind % 12);
  for (int k = 0; k < count; ++k) {
    const std::uint64_t v = Mix(seed, k + 2);
    std::snprintf(line, sizeof line, "item=%llu;level=%llu;name=sword-%llu;price=%llu;weight=%llu.%llu\n",
                  static_cast<unsigned long long>(v % 100000), static_cast<unsigned long long>(v % 90),
                  static_cast<unsigned long long>(v % 977), static_cast<unsigned long long>(v % 50000),
                  static_cast<unsigned long long>(v % 40), static_cast<unsigned long long>(v % 10));
    out += line;
  }
}

// How much release v (2 and later) changes, one in so many: records of the packs, and small files.
// Set so that a release's new content is about what the measured game's was: 1.4 MB in release 2,
// 0.5 MB in release 3 (beside what moved), in between later.
std::uint64_t RecordEdits(int v) { return v == 2 ? 400 : v == 3 ? 1200 : 800; }
std::uint64_t FileEdits(int v) { return v == 2 ? 150 : v == 3 ? 600 : 300; }

// The release that last changed record i of a pack (1 when none did).
std::uint64_t EditedIn(int pack, std::uint64_t i, int version) {
  for (int v = version; v >= 2; --v) {
    if (Mix(pack, i, v) % RecordEdits(v) == 0) return static_cast<std::uint64_t>(v);
  }
  return 1;
}

std::string PackFile(int pack, std::size_t bytes, int version) {
  std::string out;
  out.reserve(bytes + (bytes >> 4));
  for (std::uint64_t i = 0; out.size() < bytes; ++i) {
    AppendRecord(out, Mix(pack, i, EditedIn(pack, i, version) * 1000003));
    for (int v = 2; v <= version; ++v) {
      if (Mix(pack, i, v + 100) % (3 * RecordEdits(v)) == 0) AppendRecord(out, Mix(pack, i, v + 200));
    }
  }
  return out;
}

std::string SmallFile(std::uint64_t i, int version) {
  std::uint64_t changedIn = 1;
  for (int v = version; v >= 2 && changedIn == 1; --v) {
    if (Mix(i, v, 7) % FileEdits(v) == 0) changedIn = static_cast<std::uint64_t>(v);
  }
  std::string out;
  const std::size_t bytes = 20000 + Mix(i, 3) % 80000;
  for (std::uint64_t r = 0; out.size() < bytes; ++r) AppendRecord(out, Mix(i, r, changedIn * 7919));
  return out;
}

bool Write(const std::string& dir, const std::string& name, const std::string& bytes) {
  const std::wstring path = AnsiToWide((dir + "/" + name).c_str());
  CreateDirectoryPath(FolderOfPath(path));
  FileHandle out = FileHandle::CreateForWrite(path);
  return out.IsOpen() && out.Write(bytes.data(), bytes.size());
}

}  // namespace

int WriteGameRelease(const std::string& dir, int version, long sizeMib) {
  if (version < 1 || version > GAME_RELEASES || sizeMib < 8) return 2;
  const std::size_t total = static_cast<std::size_t>(sizeMib) << 20;
  // Five eighths in the packs, a thirtieth in the video, the rest in small files of 60 KB on
  // average in 20 folders.
  const std::size_t packBytes = total * 5 / 32;
  for (int pack = 0; pack < 4; ++pack) {
    if (!Write(dir, "data/pack" + std::to_string(pack) + ".pak", PackFile(pack, packBytes, version))) return 1;
  }
  std::string video;
  AppendRandom(video, total / 30, 42);
  if (!Write(dir, std::string(version >= 2 ? "movies" : "video") + "/intro.bik", video)) return 1;
  const std::size_t smallFiles = (total - 4 * packBytes - total / 30) / 60000;
  for (std::uint64_t i = 0; i < smallFiles; ++i) {
    const std::uint64_t folder = i % 20;
    const std::string folderName = folder == 3 && version >= 3 ? "level03" : "lvl" + std::string(folder < 10 ? "0" : "") +
                                                                              std::to_string(folder);
    if (!Write(dir, "data/" + folderName + "/file" + std::to_string(i) + ".dat", SmallFile(i, version))) return 1;
  }
  return 0;
}

namespace {

// Records of a large pack file come in blocks; a block is what moves between releases.
constexpr std::uint64_t BLOCK_RECORDS = 256;

class AppendingFile {
 public:
  explicit AppendingFile(const std::string& path) : file_(FileHandle::CreateForWrite(AnsiToWide(path.c_str()))) {}
  bool Put(std::string& buffer, bool last) {
    if (buffer.size() < (8u << 20) && !last) return true;
    const bool written = file_.IsOpen() && file_.Write(buffer.data(), buffer.size());
    total_ += buffer.size();
    buffer.clear();
    return written;
  }
  std::uint64_t Total(const std::string& buffer) const { return total_ + buffer.size(); }

 private:
  FileHandle file_;
  std::uint64_t total_ = 0;
};

// The block that release 2 holds where release 1 held block b: pairs of blocks 20 apart trade
// places, a few in every 50.
std::uint64_t MovedBlock(std::uint64_t b, std::uint64_t blocks) {
  if (b % 50 == 7 && b + 20 < blocks) return b + 20;
  if (b % 50 == 27 && b >= 20) return b - 20;
  return b;
}

// A record of release 2: most as they were, one in 300 with a few bytes changed in place, one in
// 150 replaced, and a new record after one in 20 (5% of the bytes inserted).
void AppendNewRecord(std::string& out, std::uint64_t i) {
  const std::size_t at = out.size();
  AppendRecord(out, Mix(i, Mix(i, 1) % 150 == 0 ? 77 : 9));
  if (Mix(i, 2) % 300 == 0 && out.size() - at > 64) {
    for (std::size_t k = 0; k < 8; ++k) out[at + 40 + k] = static_cast<char>('A' + (Mix(i, k) % 26));
  }
  if (Mix(i, 3) % 20 == 0) AppendRecord(out, Mix(i, 5));
}

}  // namespace

int WritePackPair(const std::string& oldPath, const std::string& newPath, long sizeMib) {
  const std::uint64_t target = static_cast<std::uint64_t>(sizeMib) << 20;
  AppendingFile oldFile(oldPath);
  std::string buffer;
  std::uint64_t blocks = 0;
  for (; oldFile.Total(buffer) < target; ++blocks) {
    for (std::uint64_t r = 0; r < BLOCK_RECORDS; ++r) AppendRecord(buffer, Mix(blocks * BLOCK_RECORDS + r, 9));
    if (!oldFile.Put(buffer, false)) return 1;
  }
  if (!oldFile.Put(buffer, true)) return 1;
  AppendingFile newFile(newPath);
  for (std::uint64_t b = 0; b < blocks; ++b) {
    const std::uint64_t moved = MovedBlock(b, blocks);
    for (std::uint64_t r = 0; r < BLOCK_RECORDS; ++r) AppendNewRecord(buffer, moved * BLOCK_RECORDS + r);
    if (!newFile.Put(buffer, false)) return 1;
  }
  return newFile.Put(buffer, true) ? 0 : 1;
}
