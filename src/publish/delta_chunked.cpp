#include "publish/delta_chunked.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <future>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "engine/patch2.h"
#include "publish/delta.h"
#include "publish/delta2.h"
#include "publish/delta_scan.h"
#include "publish/suffix_array.h"
#include "services/files.h"
#include "services/md5.h"
#include "services/packed2.h"
#include "services/text.h"

namespace {

// How much longer a match elsewhere must be than going on along the present alignment, chosen
// for each piece of differing bytes by trials among a wide margin and the whole-file
// generators' narrow ones. The gaps are searched only near where their bytes belong, so on pack
// files of records and blobs a match elsewhere is seldom worth the jump, and the wide margin
// makes patches about 1% smaller; it stays unless a narrow one saves a quarter of the piece's
// trial. Record-structured data files whose records all shifted save far more (an 80 MB one:
// 10.0 MB in format 2 against 17.8 MB with the wide margin alone).
constexpr std::int64_t WIDE_MARGIN = 32;
MarginSearch WithWideMargin(MarginSearch search) {
  search.margins.insert(search.margins.begin(), WIDE_MARGIN);
  search.firstUnless = 0.25;
  return search;
}

// Old bytes searched beside a piece of new bytes, beyond the piece's own length: enough for an
// edited record to find its old self, small enough that thousands of small gaps stay cheap.
constexpr std::size_t NEAR_BYTES = 8 << 10;

const std::array<std::uint64_t, 256>& Gear() {
  static const std::array<std::uint64_t, 256> table = [] {
    std::array<std::uint64_t, 256> values{};
    std::uint64_t x = 0x243F6A8885A308D3ULL;
    for (std::uint64_t& value : values) {
      x += 0x9E3779B97F4A7C15ULL;
      std::uint64_t z = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
      z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
      value = z ^ (z >> 31);
    }
    return values;
  }();
  return table;
}

// Calls found(from, size) for each chunk of data[0, size). Bit 63 - k of the rolling hash
// depends on the last 64 - k bytes only, so a boundary depends on the 64 bytes before it and on
// nothing earlier but the minimum chunk size.
template <typename Found>
void ForEachChunk(const std::uint8_t* data, std::size_t size, const ChunkedShape& shape, Found found) {
  const std::array<std::uint64_t, 256>& gear = Gear();
  const unsigned shift = 64 - shape.chunkBits;
  for (std::size_t start = 0; start < size;) {
    const std::size_t limit = std::min(size, start + shape.maxChunk);
    std::size_t end = limit;
    std::uint64_t hash = 0;
    for (std::size_t i = start + (shape.minChunk > 64 ? shape.minChunk - 64 : 0); i < limit; ++i) {
      hash = (hash << 1) + gear[data[i]];
      if ((hash >> shift) == 0 && i + 1 - start >= shape.minChunk) {
        end = i + 1;
        break;
      }
    }
    found(start, end - start);
    start = end;
  }
}

std::uint64_t ChunkHash(const std::uint8_t* data, std::size_t size) {
  std::uint64_t hash = 0x9E3779B97F4A7C15ULL ^ size;
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, data + i, 8);
    hash = (hash ^ word) * 0xFF51AFD7ED558CCDULL;
    hash ^= hash >> 32;
  }
  std::uint64_t tail = 0;
  std::memcpy(&tail, data + i, size - i);
  hash = (hash ^ tail) * 0xC4CEB9FE1A85EC53ULL;
  return hash ^ (hash >> 29);
}

bool ReadAt(FileHandle& file, std::uint64_t offset, std::uint8_t* data, std::size_t size) {
  std::size_t got = 0;
  return file.Seek(static_cast<std::int64_t>(offset)) && file.Read(data, size, got) && got == size;
}

// Where each chunk of the old file lies, found by its content.
class ChunkIndex {
 public:
  // Reads the whole old file once, and its MD5 on the way.
  bool Build(FileHandle& old, std::uint64_t oldSize, const ChunkedShape& shape, Md5& md5) {
    std::vector<std::uint8_t> piece, next;
    for (std::uint64_t at = 0; at < oldSize; at += piece.size()) {
      piece.resize(static_cast<std::size_t>(std::min<std::uint64_t>(shape.segment, oldSize - at)));
      if (!ReadAt(old, at, piece.data(), piece.size())) return false;
      std::future<void> digest = std::async(std::launch::async, [&] { md5.Update(piece.data(), piece.size()); });
      ForEachChunk(piece.data(), piece.size(), shape, [&](std::size_t from, std::size_t size) {
        chunks_.push_back({ChunkHash(piece.data() + from, size), at + from, static_cast<std::uint32_t>(size)});
      });
      digest.get();
    }
    std::sort(chunks_.begin(), chunks_.end(), [](const OldChunk& a, const OldChunk& b) {
      return a.hash != b.hash ? a.hash < b.hash : a.offset < b.offset;
    });
    return true;
  }

  // The old chunk of this content nearest to where the new bytes are expected in the old file.
  bool Find(std::uint64_t hash, std::size_t size, std::uint64_t near, std::uint64_t& offset) const {
    auto it = std::lower_bound(chunks_.begin(), chunks_.end(), hash,
                               [](const OldChunk& chunk, std::uint64_t h) { return chunk.hash < h; });
    bool found = false;
    std::uint64_t bestDistance = 0;
    // Content that repeats often (padding, empty records) has many places; a few nearest do.
    for (int seen = 0; it != chunks_.end() && it->hash == hash && seen < 64; ++it, ++seen) {
      if (it->size != size) continue;
      const std::uint64_t distance = it->offset > near ? it->offset - near : near - it->offset;
      if (!found || distance < bestDistance) found = true, bestDistance = distance, offset = it->offset;
    }
    return found;
  }

 private:
  struct OldChunk {
    std::uint64_t hash;
    std::uint64_t offset;
    std::uint32_t size;
  };
  std::vector<OldChunk> chunks_;
};

// One segment of the new file and what it becomes: stretches in file positions, covering it.
struct Segment {
  std::uint64_t start = 0;
  std::vector<std::uint8_t> bytes;
  std::vector<Stretch> stretches;
  bool failed = false;
};

// Old bytes gathered from a few places of the old file, one after the other, for the matcher.
class OldRegion {
 public:
  // Adds the old bytes [from, to) that the region does not hold yet.
  void Add(std::uint64_t from, std::uint64_t to) {
    if (to <= from) return;
    for (const Part& part : parts_) {
      const std::uint64_t end = part.file + part.size;
      if (from < end && part.file < to) {
        Add(from, part.file);
        Add(end, to);
        return;
      }
    }
    parts_.push_back({bytes_.size(), from, static_cast<std::size_t>(to - from)});
    bytes_.resize(bytes_.size() + static_cast<std::size_t>(to - from));
  }
  bool Read(FileHandle& old) {
    for (const Part& part : parts_) {
      if (!ReadAt(old, part.file, bytes_.data() + part.at, part.size)) return false;
    }
    return true;
  }
  const std::vector<std::uint8_t>& Bytes() const { return bytes_; }

  // A stretch found in the region, as stretches of the file: split where its aligned bytes
  // cross from one part into the next.
  void Place(const Stretch& found, std::uint64_t newFrom, std::vector<Stretch>& out) const {
    std::size_t at = found.oldFrom;
    std::size_t left = found.aligned;
    std::uint64_t from = newFrom + found.newFrom;
    do {
      const Part& part = PartOf(at);
      const std::size_t take = std::min(left, part.at + part.size - at);
      left -= take;
      out.push_back({static_cast<std::size_t>(part.file + (at - part.at)), static_cast<std::size_t>(from), take,
                     left == 0 ? found.gap : 0, 0});
      at += take;
      from += take;
    } while (left > 0);
  }

 private:
  struct Part {
    std::size_t at;      // in the region
    std::uint64_t file;  // in the old file
    std::size_t size;
  };
  // The part holding region position at; the end of the region belongs to the last part.
  const Part& PartOf(std::size_t at) const {
    for (const Part& part : parts_) {
      if (at < part.at + part.size) return part;
    }
    return parts_.back();
  }
  std::vector<Part> parts_;
  std::vector<std::uint8_t> bytes_;
};

// Matches segments of the new file; one per thread, each with its own handle on the old file.
class SegmentMatcher {
 public:
  SegmentMatcher(const ChunkIndex& index, const std::wstring& oldPath, std::uint64_t oldSize, std::uint64_t newSize,
                 const ChunkedShape& shape, int format)
      : index_(index),
        old_(FileHandle::OpenForRead(oldPath)),
        oldSize_(oldSize),
        newSize_(newSize),
        shape_(shape),
        format_(format),
        margins_(WithWideMargin(format == 1 ? PATCH_MARGINS : PATCH2_MARGINS)) {}

  void Match(Segment& segment) {
    segment.failed = !old_.IsOpen();
    const std::vector<Copy> copies = Copies(segment);
    const std::size_t size = segment.bytes.size();
    std::size_t at = 0;
    for (std::size_t k = 0; k <= copies.size() && !segment.failed; ++k) {
      const std::size_t gapEnd = k < copies.size() ? copies[k].newFrom : size;
      if (gapEnd > at) {
        // Where the gap's bytes would lie in the old file: after the copy before them and
        // before the copy after them; a side without a copy is guessed from the other.
        const std::size_t length = gapEnd - at;
        std::uint64_t before = k > 0 ? copies[k - 1].oldFrom + copies[k - 1].size : Expected(segment.start + at);
        std::uint64_t after = k < copies.size() ? copies[k].oldFrom : std::min(oldSize_, before + length);
        if (k == 0 && !copies.empty()) before = after > length ? after - length : 0;
        segment.failed = !MatchGap(segment.bytes.data() + at, length, segment.start + at, before, after,
                                   segment.stretches);
      }
      if (k < copies.size()) {
        segment.stretches.push_back({static_cast<std::size_t>(copies[k].oldFrom),
                                     static_cast<std::size_t>(segment.start + copies[k].newFrom), copies[k].size, 0, 0});
        at = copies[k].newFrom + copies[k].size;
      }
    }
  }

 private:
  struct Copy {
    std::uint64_t oldFrom;
    std::size_t newFrom;  // in the segment
    std::size_t size;
  };

  // Where new bytes would lie in the old file if the two files differed evenly.
  std::uint64_t Expected(std::uint64_t newAt) const {
    if (newSize_ == 0) return 0;
    return std::min(oldSize_, static_cast<std::uint64_t>(static_cast<double>(newAt) / static_cast<double>(newSize_) *
                                                         static_cast<double>(oldSize_)));
  }

  // The segment's chunks that the old file holds, joined where they follow each other there too.
  std::vector<Copy> Copies(const Segment& segment) const {
    std::vector<Copy> copies;
    std::uint64_t near = Expected(segment.start);
    ForEachChunk(segment.bytes.data(), segment.bytes.size(), shape_, [&](std::size_t from, std::size_t size) {
      std::uint64_t offset = 0;
      if (!index_.Find(ChunkHash(segment.bytes.data() + from, size), size, near, offset)) {
        near += size;
        return;
      }
      if (!copies.empty() && copies.back().oldFrom + copies.back().size == offset &&
          copies.back().newFrom + copies.back().size == from) {
        copies.back().size += size;
      } else {
        copies.push_back({offset, from, size});
      }
      near = offset + size;
    });
    return copies;
  }

  // The matcher's stretches for new bytes that no chunk copies, in pieces of bounded size, each
  // searched in the old bytes from where it would continue (first, so that the matcher starts
  // aligned there), before it, and around where the next copy begins.
  bool MatchGap(const std::uint8_t* data, std::size_t size, std::uint64_t newFrom, std::uint64_t before,
                std::uint64_t after, std::vector<Stretch>& out) {
    for (std::size_t done = 0; done < size;) {
      const std::size_t length = std::min(shape_.piece, size - done);
      const std::uint64_t from = std::min(oldSize_, before + done);
      const std::uint64_t rest = size - done - length;
      const std::uint64_t to = std::min(oldSize_, after > rest ? after - rest : 0);
      const std::uint64_t reach = std::min<std::uint64_t>(shape_.reach, length + NEAR_BYTES);
      OldRegion region;
      region.Add(from, std::min(oldSize_, from + length + reach));
      region.Add(to > length + reach ? to - length - reach : 0, std::min(oldSize_, to + reach));
      region.Add(from > reach ? from - reach : 0, from);
      if (!region.Read(old_)) return false;
      const std::vector<std::uint8_t>& bytes = region.Bytes();
      if (bytes.empty()) {
        out.push_back({0, static_cast<std::size_t>(newFrom + done), 0, length, 0});
      } else {
        std::vector<std::int32_t> suffixes;
        if (!BuildSuffixArray(bytes.data(), bytes.size(), suffixes)) return false;
        const MarginChoice choice = ChooseMargin(suffixes, bytes, data + done, length);
        ScanStretches(
            suffixes, bytes.data(), bytes.size(), data + done, length, choice.margin,
            [&](const Stretch& found) { region.Place(found, newFrom + done, out); }, choice.wholeFile.get());
      }
      done += length;
    }
    return true;
  }

  MarginChoice ChooseMargin(const std::vector<std::int32_t>& suffixes, const std::vector<std::uint8_t>& old,
                            const std::uint8_t* data, std::size_t size) const {
    return format_ == 1 ? ChoosePatchMargin(suffixes, old.data(), old.size(), data, size, margins_)
                        : ChoosePatch2Margin(suffixes, old.data(), old.size(), data, size, margins_);
  }

  const ChunkIndex& index_;
  FileHandle old_;
  std::uint64_t oldSize_;
  std::uint64_t newSize_;
  const ChunkedShape& shape_;
  int format_;
  MarginSearch margins_;
};

// Writes the stretches of segments in order as a patch of either format. A stretch's record
// needs where the next one starts in the old file, so the last stretch of a segment waits, with
// its segment, for the next segment's first.
class PatchEmitter {
 public:
  PatchEmitter(int format, FileHandle& old, std::uint64_t oldSize)
      : format_(format), old_(old), oldSize_(oldSize), writer_(code_), copy_(Pack2Stream::Adaptive()) {}

  bool Emit(Segment segment) {
    if (segment.stretches.empty()) return true;
    if (held_.has_value() && !Put(held_->stretches.back(), *held_, segment.stretches.front().oldFrom)) return false;
    if (!held_.has_value() && segment.stretches.front().oldFrom != 0 && format_ == 2) {
      // Format 2 starts at the old file's start; an empty record moves to the first stretch.
      control_.Add({0, 0, 0, 0, segment.stretches.front().oldFrom});
    }
    for (std::size_t i = 0; i + 1 < segment.stretches.size(); ++i) {
      if (!Put(segment.stretches[i], segment, segment.stretches[i + 1].oldFrom)) return false;
    }
    held_.emplace(std::move(segment));
    return true;
  }

  // The patch: format 1's byte code, or format 2's file with the MD5s given.
  bool Finish(Md5& oldMd5, Md5& newMd5, std::uint64_t newSize, std::string& patch) {
    if (held_.has_value()) {
      const Stretch& last = held_->stretches.back();
      if (!Put(last, *held_, last.oldFrom + last.aligned)) return false;
    }
    if (format_ == 1) {
      patch = std::move(code_);
      return true;
    }
    Patch2Header header;
    header.oldSize = oldSize_;
    header.newSize = newSize;
    oldMd5.Final(header.oldMd5);
    newMd5.Final(header.newMd5);
    const std::string control = Pack2Bytes(control_.Encode());
    const std::string difference = difference_.Finish();
    const std::string copy = copy_.Finish();
    if (control.empty() || difference.empty() || copy.empty()) return false;
    patch = Patch2File(header, control, difference, copy);
    return true;
  }

 private:
  bool Put(Stretch stretch, const Segment& segment, std::size_t nextOld) {
    stretch.nextOld = nextOld;
    oldBytes_.resize(stretch.aligned);
    if (!ReadAt(old_, stretch.oldFrom, oldBytes_.data(), oldBytes_.size())) return false;
    const std::uint8_t* newBytes = segment.bytes.data() + (stretch.newFrom - segment.start);
    if (format_ == 1) {
      WriteStretch(writer_, oldBytes_.data(), static_cast<std::size_t>(oldSize_), newBytes, stretch);
      return true;
    }
    control_.Add(stretch);
    differences_.clear();
    AppendDifferences(differences_, oldBytes_.data(), newBytes, stretch.aligned);
    return difference_.Add(differences_.data(), differences_.size()) && copy_.Add(newBytes + stretch.aligned, stretch.gap);
  }

  int format_;
  FileHandle& old_;
  std::uint64_t oldSize_;
  std::optional<Segment> held_;
  std::vector<std::uint8_t> oldBytes_;
  std::string code_;
  PatchWriter writer_;
  Patch2Control control_;
  std::string differences_;
  Pack2Stream difference_;
  Pack2Stream copy_;
};

}  // namespace

bool MakeChunkedPatch(const std::wstring& oldPath, const std::wstring& newPath, int format, std::string& patch,
                      std::string& error, const ChunkedShape& shape, const ChunkedProgress& progress) {
  FileHandle old = FileHandle::OpenForRead(oldPath);
  FileHandle fresh = FileHandle::OpenForRead(newPath);
  if (!old.IsOpen() || !fresh.IsOpen()) {
    error = "cannot open " + WideToUtf8(old.IsOpen() ? newPath : oldPath);
    return false;
  }
  const auto oldSize = static_cast<std::uint64_t>(old.Size());
  const auto newSize = static_cast<std::uint64_t>(fresh.Size());
  ChunkIndex index;
  Md5 oldMd5, newMd5;
  if (!index.Build(old, oldSize, shape, oldMd5)) {
    error = "cannot read " + WideToUtf8(oldPath);
    return false;
  }
  const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
  std::vector<std::unique_ptr<SegmentMatcher>> matchers;
  for (unsigned t = 0; t < threads; ++t) {
    matchers.push_back(std::make_unique<SegmentMatcher>(index, oldPath, oldSize, newSize, shape, format));
  }
  PatchEmitter emitter(format, old, oldSize);
  // Segments are read in order (the new MD5 with them), matched side by side, written in order.
  for (std::uint64_t at = 0; at < newSize;) {
    std::vector<Segment> batch;
    for (; batch.size() < threads && at < newSize; at += batch.back().bytes.size()) {
      batch.emplace_back();
      batch.back().start = at;
      batch.back().bytes.resize(static_cast<std::size_t>(std::min<std::uint64_t>(shape.segment, newSize - at)));
      if (!ReadAt(fresh, at, batch.back().bytes.data(), batch.back().bytes.size())) {
        error = "cannot read " + WideToUtf8(newPath);
        return false;
      }
      newMd5.Update(batch.back().bytes.data(), batch.back().bytes.size());
    }
    std::vector<std::thread> helpers;
    for (std::size_t i = 1; i < batch.size(); ++i) helpers.emplace_back([&, i] { matchers[i]->Match(batch[i]); });
    matchers[0]->Match(batch[0]);
    for (std::thread& helper : helpers) helper.join();
    for (Segment& segment : batch) {
      if (segment.failed || !emitter.Emit(std::move(segment))) {
        error = "cannot read " + WideToUtf8(oldPath);
        return false;
      }
    }
    if (progress) progress(at, newSize);
  }
  if (!emitter.Finish(oldMd5, newMd5, newSize, patch)) {
    error = "cannot pack the patch";
    return false;
  }
  return true;
}

std::vector<std::uint64_t> SampleChunkHashes(const std::string& content) {
  // Chunks of about 300 bytes, so that a file of a few KB has a dozen.
  constexpr ChunkedShape FINE{0, 0, 0, 8, 64, 4 << 10};
  constexpr std::size_t SLICE = 64 << 10;
  const auto* data = reinterpret_cast<const std::uint8_t*>(content.data());
  std::vector<std::uint64_t> hashes;
  const auto sample = [&](std::size_t from, std::size_t size) {
    ForEachChunk(data + from, size, FINE, [&](std::size_t at, std::size_t length) {
      hashes.push_back(ChunkHash(data + from + at, length));
    });
  };
  if (content.size() <= 4 * SLICE) {
    sample(0, content.size());
  } else {
    for (int k = 0; k < 4; ++k) sample((content.size() - SLICE) / 3 * k, SLICE);
  }
  std::sort(hashes.begin(), hashes.end());
  return hashes;
}

double SharedShare(const std::vector<std::uint64_t>& a, const std::vector<std::uint64_t>& b) {
  if (a.empty()) return 0;
  std::size_t shared = 0;
  for (auto i = a.begin(), j = b.begin(); i != a.end() && j != b.end();) {
    if (*i < *j) {
      ++i;
    } else if (*j < *i) {
      ++j;
    } else {
      ++shared, ++i, ++j;
    }
  }
  return static_cast<double>(shared) / static_cast<double>(a.size());
}
