#include "publish/delta.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include <zlib.h>

#include "engine/patch.h"
#include "publish/suffix_array.h"

void PatchWriter::Operator(std::uint8_t op) {
  out_ += static_cast<char>(PATCH_ESCAPE);
  out_ += static_cast<char>(op);
}

// The shortest form: b + 1 for 1 to 252, 252 c for 253 to 508, then two or four bytes.
void PatchWriter::Length(std::uint32_t length) {
  if (length >= 1 && length <= 252) {
    out_ += static_cast<char>(length - 1);
  } else if (length >= 253 && length <= 508) {
    out_ += static_cast<char>(252);
    out_ += static_cast<char>(length - 253);
  } else if (length <= 0xFFFF) {
    out_ += static_cast<char>(253);
    out_ += static_cast<char>(length >> 8);
    out_ += static_cast<char>(length & 0xFF);
  } else {
    out_ += static_cast<char>(254);
    for (int shift = 24; shift >= 0; shift -= 8) out_ += static_cast<char>((length >> shift) & 0xFF);
  }
}

void PatchWriter::Data(const std::uint8_t* data, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    // An escape byte as data is written twice; no other byte needs escaping.
    if (data[i] == PATCH_ESCAPE) out_ += static_cast<char>(PATCH_ESCAPE);
    out_ += static_cast<char>(data[i]);
  }
}

void PatchWriter::MoveTo(std::int64_t to) {
  while (to > oldPosition_) {
    const auto step = static_cast<std::uint32_t>(std::min<std::int64_t>(to - oldPosition_, 0xFFFFFFFF));
    Operator(PATCH_DELETE);
    Length(step);
    oldPosition_ += step;
    mode_ = Mode::None;
  }
  while (to < oldPosition_) {
    // Back takes a signed 32-bit move.
    const auto step = static_cast<std::uint32_t>(std::min<std::int64_t>(oldPosition_ - to, 0x7FFFFFFF));
    Operator(PATCH_BACK);
    Length(step);
    oldPosition_ -= step;
    mode_ = Mode::None;
  }
}

void PatchWriter::Equal(std::uint64_t length) {
  while (length > 0) {
    const auto step = static_cast<std::uint32_t>(std::min<std::uint64_t>(length, 0xFFFFFFFF));
    Operator(PATCH_EQUAL);
    Length(step);
    oldPosition_ += step;
    length -= step;
    mode_ = Mode::None;
  }
}

void PatchWriter::Insert(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  if (mode_ != Mode::Insert) Operator(PATCH_INSERT), mode_ = Mode::Insert;
  Data(data, size);
}

void PatchWriter::Modify(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  if (mode_ != Mode::Modify) Operator(PATCH_MODIFY), mode_ = Mode::Modify;
  Data(data, size);
  oldPosition_ += static_cast<std::int64_t>(size);
}

namespace {

// An equal run shorter than this, inside modified bytes, is written as data rather than as an
// equal operator and a new modify operator. Measured on executables and data files, packed
// patches are smallest at 3: the packer absorbs the repeated operators better than the bytes.
constexpr std::size_t MIN_EQUAL_RUN = 3;

std::size_t CommonPrefix(const std::uint8_t* a, std::size_t aSize, const std::uint8_t* b, std::size_t bSize) {
  std::size_t n = std::min(aSize, bSize);
  std::size_t i = 0;
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

// The longest match of the new text at `text` in the old file, by binary search over the
// suffix array; its length, and its old position in `position`.
std::size_t LongestMatch(const std::vector<std::int32_t>& suffixes, const std::uint8_t* old, std::size_t oldSize,
                         const std::uint8_t* text, std::size_t textSize, std::size_t& position) {
  std::size_t low = 0;
  std::size_t high = suffixes.size();
  position = 0;
  if (high == 0) return 0;
  // Invariant: the best match lies among suffixes[low..high).
  while (high - low > 2) {
    std::size_t middle = low + (high - low) / 2;
    const std::size_t at = static_cast<std::size_t>(suffixes[middle]);
    const std::size_t n = std::min(oldSize - at, textSize);
    if (std::lexicographical_compare(old + at, old + at + n, text, text + n) ||
        (n < textSize && std::equal(old + at, old + at + n, text))) {
      low = middle;
    } else {
      high = middle;
    }
  }
  std::size_t best = 0;
  for (std::size_t i = low; i < high; ++i) {
    const std::size_t at = static_cast<std::size_t>(suffixes[i]);
    std::size_t length = CommonPrefix(old + at, oldSize - at, text, textSize);
    if (length > best) best = length, position = at;
  }
  return best;
}

// Writes new data against old[oldFrom...): equal stretches as equal runs, the rest as modified bytes.
void WriteAligned(PatchWriter& writer, const std::uint8_t* old, std::size_t oldSize, std::size_t oldFrom,
                  const std::uint8_t* data, std::size_t length) {
  auto equalRun = [&](std::size_t at, std::size_t cap) {
    std::size_t run = 0;
    while (run < cap && at + run < length && oldFrom + at + run < oldSize && old[oldFrom + at + run] == data[at + run]) {
      ++run;
    }
    return run;
  };
  writer.MoveTo(static_cast<std::int64_t>(oldFrom));
  std::size_t i = 0;
  while (i < length) {
    const std::size_t run = equalRun(i, SIZE_MAX);
    if (run >= MIN_EQUAL_RUN) {
      writer.Equal(run);
      i += run;
      continue;
    }
    std::size_t end = i + std::max<std::size_t>(run, 1);
    while (end < length) {
      const std::size_t next = equalRun(end, MIN_EQUAL_RUN);
      if (next >= MIN_EQUAL_RUN) break;
      end += std::max<std::size_t>(next, 1);
    }
    writer.Modify(data + i, end - i);
    i = end;
  }
}

// The scan follows the classic approximate-matching plan: look for an exact match that is
// clearly better (by `margin` bytes) than just continuing the previous alignment; then extend the
// previous match forward and the new one backward over small differences, and write the stretch
// between them.
void ScanPatch(const std::vector<std::int32_t>& suffixes, const std::uint8_t* old, std::size_t oldSize,
               const std::uint8_t* data, std::size_t newSize, std::int64_t margin, std::string& patch) {
  patch.clear();
  PatchWriter writer(patch);

  std::size_t scan = 0;
  std::size_t length = 0;
  std::size_t position = 0;
  std::size_t lastScan = 0;
  std::size_t lastPosition = 0;
  std::int64_t lastOffset = 0;
  while (scan < newSize) {
    std::int64_t oldScore = 0;
    std::size_t scored = scan += length;
    for (; scan < newSize; ++scan) {
      length = LongestMatch(suffixes, old, oldSize, data + scan, newSize - scan, position);
      for (; scored < scan + length; ++scored) {
        const std::int64_t o = static_cast<std::int64_t>(scored) + lastOffset;
        if (o >= 0 && o < static_cast<std::int64_t>(oldSize) && old[o] == data[scored]) ++oldScore;
      }
      const auto matched = static_cast<std::int64_t>(length);
      if ((matched == oldScore && length != 0) || matched > oldScore + margin) break;
      const std::int64_t o = static_cast<std::int64_t>(scan) + lastOffset;
      if (o >= 0 && o < static_cast<std::int64_t>(oldSize) && old[o] == data[scan]) --oldScore;
    }
    if (static_cast<std::int64_t>(length) == oldScore && scan != newSize) continue;

    // Forward extension of the previous match: as long as at least half the bytes agree.
    std::size_t forward = 0;
    {
      std::int64_t score = 0;
      std::int64_t best = 0;
      for (std::size_t i = 0; lastScan + i < scan && lastPosition + i < oldSize;) {
        if (old[lastPosition + i] == data[lastScan + i]) ++score;
        ++i;
        if (score * 2 - static_cast<std::int64_t>(i) > best * 2 - static_cast<std::int64_t>(forward)) {
          best = score;
          forward = i;
        }
      }
    }
    // Backward extension of the new match.
    std::size_t backward = 0;
    if (scan < newSize) {
      std::int64_t score = 0;
      std::int64_t best = 0;
      for (std::size_t i = 1; scan >= lastScan + i && position >= i; ++i) {
        if (old[position - i] == data[scan - i]) ++score;
        if (score * 2 - static_cast<std::int64_t>(i) > best * 2 - static_cast<std::int64_t>(backward)) {
          best = score;
          backward = i;
        }
      }
    }
    // Where the two extensions overlap, split them at the best point.
    if (lastScan + forward > scan - backward) {
      const std::size_t overlap = (lastScan + forward) - (scan - backward);
      std::int64_t score = 0;
      std::int64_t best = 0;
      std::size_t split = 0;
      for (std::size_t i = 0; i < overlap; ++i) {
        if (data[lastScan + forward - overlap + i] == old[lastPosition + forward - overlap + i]) ++score;
        if (data[scan - backward + i] == old[position - backward + i]) --score;
        if (score > best) best = score, split = i + 1;
      }
      forward += split - overlap;
      backward -= split;
    }

    WriteAligned(writer, old, oldSize, lastPosition, data + lastScan, forward);
    const std::size_t gapStart = lastScan + forward;
    const std::size_t gapEnd = scan - backward;
    if (gapEnd > gapStart) {
      // Modified bytes move the old cursor, inserted ones do not: as many gap bytes as bring the
      // cursor to the next stretch's start are written as modified, which saves the move.
      const std::size_t cursor = lastPosition + forward;
      const std::size_t next = scan < newSize ? position - backward : cursor;
      const std::size_t modified = next > cursor ? std::min({next - cursor, gapEnd - gapStart, oldSize - cursor}) : 0;
      writer.Modify(data + gapStart, modified);
      writer.Insert(data + gapStart + modified, gapEnd - gapStart - modified);
    }

    lastScan = scan - backward;
    lastPosition = position - backward;
    lastOffset = static_cast<std::int64_t>(position) - static_cast<std::int64_t>(scan);
  }
}

// How much longer a new exact match must be than continuing the previous alignment. The best
// margin depends on the data: executables' patches are smallest with a wide one (fewer jumps
// between near-identical stretches of code), record-structured data files' with a narrow one
// (shifted records find their new neighbours). Each candidate is tried on a few slices of the
// new file and the one whose packed sample is smallest serves for the whole file.
constexpr std::int64_t MARGINS[] = {6, 8, 12};
constexpr std::size_t SAMPLE_SLICE = 256 * 1024;
constexpr std::size_t SAMPLE_SLICES = 4;

std::size_t PackedSize(const std::string& plain) {
  uLongf size = compressBound(static_cast<uLong>(plain.size()));
  std::vector<Bytef> packed(size);
  if (compress2(packed.data(), &size, reinterpret_cast<const Bytef*>(plain.data()), static_cast<uLong>(plain.size()),
                9) != Z_OK) {
    return plain.size();
  }
  return size;
}

}  // namespace

bool MakePatch(const std::uint8_t* old, std::size_t oldSize, const std::uint8_t* data, std::size_t newSize,
               std::string& patch) {
  std::vector<std::int32_t> suffixes;
  if (!BuildSuffixArray(old, oldSize, suffixes)) return false;
  const bool wholeFileSample = newSize <= SAMPLE_SLICE * SAMPLE_SLICES;
  std::size_t bestSize = SIZE_MAX;
  std::int64_t bestMargin = MARGINS[0];
  std::string sample;
  for (std::int64_t margin : MARGINS) {
    std::string trial;
    if (wholeFileSample) {
      ScanPatch(suffixes, old, oldSize, data, newSize, margin, trial);
    } else {
      for (std::size_t i = 0; i < SAMPLE_SLICES; ++i) {
        const std::size_t from = i * (newSize - SAMPLE_SLICE) / (SAMPLE_SLICES - 1);
        ScanPatch(suffixes, old, oldSize, data + from, SAMPLE_SLICE, margin, sample);
        trial += sample;
      }
    }
    const std::size_t size = PackedSize(trial);
    if (size < bestSize) {
      bestSize = size, bestMargin = margin;
      if (wholeFileSample) patch.swap(trial);
    }
  }
  if (!wholeFileSample) ScanPatch(suffixes, old, oldSize, data, newSize, bestMargin, patch);
  return true;
}
