#include "publish/delta.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include <zlib.h>

#include "engine/patch.h"
#include "publish/delta_scan.h"
#include "publish/suffix_array.h"
#include "services/packed.h"

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

// Writes new data against the old bytes from oldFrom on (as many): equal stretches as equal
// runs, the rest as modified bytes.
void WriteAligned(PatchWriter& writer, const std::uint8_t* old, std::size_t oldFrom, const std::uint8_t* data,
                  std::size_t length) {
  auto equalRun = [&](std::size_t at, std::size_t cap) {
    std::size_t run = 0;
    while (run < cap && at + run < length && old[at + run] == data[at + run]) ++run;
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

}  // namespace

// The aligned bytes as equal runs and modified bytes, then the gap. Modified bytes move the old
// cursor, inserted ones do not: as many gap bytes as bring the cursor to the next stretch's start
// are written as modified, which saves the move.
void WriteStretch(PatchWriter& writer, const std::uint8_t* oldBytes, std::size_t oldSize, const std::uint8_t* newBytes,
                  const Stretch& stretch) {
  WriteAligned(writer, oldBytes, stretch.oldFrom, newBytes, stretch.aligned);
  if (stretch.gap == 0) return;
  const std::size_t cursor = stretch.oldFrom + stretch.aligned;
  const std::size_t modified =
      stretch.nextOld > cursor ? std::min({stretch.nextOld - cursor, stretch.gap, oldSize - cursor}) : 0;
  writer.Modify(newBytes + stretch.aligned, modified);
  writer.Insert(newBytes + stretch.aligned + modified, stretch.gap - modified);
}

namespace {

void ScanPatch(const std::vector<std::int32_t>& suffixes, const std::uint8_t* old, std::size_t oldSize,
               const std::uint8_t* data, std::size_t newSize, std::int64_t margin, std::string& patch,
               MatchCache* cache = nullptr) {
  patch.clear();
  PatchWriter writer(patch);
  ScanStretches(
      suffixes, old, oldSize, data, newSize, margin,
      [&](const Stretch& stretch) {
        WriteStretch(writer, old + stretch.oldFrom, oldSize, data + stretch.newFrom, stretch);
      },
      cache);
}

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

namespace {

// A run of data bytes from this long on is packed apart from the operators around it; shorter
// ones are not worth a block's code tables.
constexpr std::size_t SEPARATE_DATA_RUN = 256;

// The bytes of the length form at the start of bytes (see PatchWriter::Length).
std::size_t LengthFormSize(std::uint8_t first) { return first <= 251 ? 1 : first == 252 ? 2 : first == 253 ? 3 : 5; }

// Where the byte code's long runs of data bytes begin and end.
std::vector<std::size_t> LongDataRunEdges(const std::string& patch) {
  std::vector<std::size_t> edges;
  constexpr std::size_t NO_RUN = SIZE_MAX;
  std::size_t runStart = NO_RUN;
  const auto endRun = [&](std::size_t at) {
    if (runStart != NO_RUN && at - runStart >= SEPARATE_DATA_RUN) edges.insert(edges.end(), {runStart, at});
    runStart = NO_RUN;
  };
  for (std::size_t i = 0; i + 1 < patch.size();) {
    if (static_cast<std::uint8_t>(patch[i]) != PATCH_ESCAPE) {
      ++i;
      continue;
    }
    const auto op = static_cast<std::uint8_t>(patch[i + 1]);
    if (op == PATCH_ESCAPE) {  // an escaped data byte
      i += 2;
      continue;
    }
    endRun(i);
    i += 2;
    if (op == PATCH_INSERT || op == PATCH_MODIFY) {
      runStart = i;
    } else if (i < patch.size()) {
      i += LengthFormSize(static_cast<std::uint8_t>(patch[i]));
    }
  }
  endRun(patch.size());
  return edges;
}

}  // namespace

std::string PackPatch(const std::string& patch) { return PackBytes(patch, 9, LongDataRunEdges(patch)); }

const MarginSearch PATCH_MARGINS{{6, 8, 12}, 256 * 1024, 4};

MarginChoice ChoosePatchMargin(const std::vector<std::int32_t>& suffixes, const std::uint8_t* old, std::size_t oldSize,
                               const std::uint8_t* data, std::size_t newSize, const MarginSearch& search) {
  return ChooseMargin(data, newSize, search, [&](const std::uint8_t* from, std::size_t size, std::int64_t m, MatchCache& cache) {
    std::string trial;
    ScanPatch(suffixes, old, oldSize, from, size, m, trial, &cache);
    return PackedSize(trial);
  });
}

bool MakePatch(const std::uint8_t* old, std::size_t oldSize, const std::uint8_t* data, std::size_t newSize,
               std::string& patch) {
  std::vector<std::int32_t> suffixes;
  if (!BuildSuffixArray(old, oldSize, suffixes)) return false;
  const MarginChoice choice = ChoosePatchMargin(suffixes, old, oldSize, data, newSize, PATCH_MARGINS);
  ScanPatch(suffixes, old, oldSize, data, newSize, choice.margin, patch, choice.wholeFile.get());
  return true;
}
