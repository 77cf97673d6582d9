#include "publish/delta2.h"

#include <algorithm>
#include <cstring>
#include <future>
#include <vector>

#include "engine/patch2.h"
#include "publish/delta_scan.h"
#include "publish/suffix_array.h"
#include "services/md5.h"
#include "services/packed2.h"

namespace {

// A trial's streams are packed fast: the margin that wins there wins at the final level too.
constexpr int TRIAL_LEVEL = 3;
struct Streams {
  std::string control;
  std::string difference;
  std::string copy;
};

void PutNumber(std::string& out, std::uint64_t value) {
  while (value >= 0x80) {
    out += static_cast<char>((value & 0x7F) | 0x80);
    value >>= 7;
  }
  out += static_cast<char>(value);
}

}  // namespace

// Differences pack to little, so narrower margins pay here than in the byte code; the samples
// are larger, as a few small ones chose badly on executables.
const MarginSearch PATCH2_MARGINS{{4, 6, 8, 12}, 1 << 20, 8};

void Patch2Control::Add(const Stretch& s) {
  const std::int64_t move = static_cast<std::int64_t>(s.nextOld) - static_cast<std::int64_t>(s.oldFrom + s.aligned);
  columns_[0].push_back(s.aligned);
  columns_[1].push_back(s.gap);
  columns_[2].push_back((static_cast<std::uint64_t>(move) << 1) ^ static_cast<std::uint64_t>(move >> 63));
}

// The records in blocks, each kind together (see engine/patch2.h).
std::string Patch2Control::Encode() const {
  std::string control;
  const std::size_t records = columns_[0].size();
  for (std::size_t from = 0; from < records; from += PATCH2_BLOCK_RECORDS) {
    const std::size_t to = std::min<std::size_t>(records, from + PATCH2_BLOCK_RECORDS);
    PutNumber(control, to - from);
    for (const std::vector<std::uint64_t>& column : columns_) {
      for (std::size_t i = from; i < to; ++i) PutNumber(control, column[i]);
    }
  }
  return control;
}

void AppendDifferences(std::string& out, const std::uint8_t* oldBytes, const std::uint8_t* newBytes, std::size_t size) {
  const std::size_t at = out.size();
  out.resize(at + size);
  for (std::size_t i = 0; i < size; ++i) out[at + i] = static_cast<char>(newBytes[i] - oldBytes[i]);
}

namespace {

void ScanStreams(const std::vector<std::int32_t>& suffixes, const std::uint8_t* old, std::size_t oldSize,
                 const std::uint8_t* data, std::size_t newSize, std::int64_t margin, Streams& streams,
                 MatchCache* cache = nullptr) {
  streams = Streams();
  Patch2Control control;
  ScanStretches(suffixes, old, oldSize, data, newSize, margin, [&](const Stretch& s) {
    control.Add(s);
    AppendDifferences(streams.difference, old + s.oldFrom, data + s.newFrom, s.aligned);
    streams.copy.append(reinterpret_cast<const char*>(data + s.newFrom + s.aligned), s.gap);
  }, cache);
  streams.control = control.Encode();
}

void DigestOf(const std::uint8_t* data, std::size_t size, std::uint8_t digest[16]) {
  Md5 md5;
  md5.Update(data, size);
  md5.Final(digest);
}

}  // namespace

MarginChoice ChoosePatch2Margin(const std::vector<std::int32_t>& suffixes, const std::uint8_t* old, std::size_t oldSize,
                                const std::uint8_t* data, std::size_t newSize, const MarginSearch& search) {
  return ChooseMargin(data, newSize, search, [&](const std::uint8_t* from, std::size_t size, std::int64_t m, MatchCache& cache) {
    Streams trial;
    ScanStreams(suffixes, old, oldSize, from, size, m, trial, &cache);
    return Pack2Bytes(trial.control, TRIAL_LEVEL).size() + Pack2Bytes(trial.difference, TRIAL_LEVEL).size() +
           Pack2Bytes(trial.copy, TRIAL_LEVEL).size();
  });
}

bool MakePatch2(const std::uint8_t* old, std::size_t oldSize, const std::uint8_t* data, std::size_t newSize,
                std::string& patch) {
  std::vector<std::int32_t> suffixes;
  if (!BuildSuffixArray(old, oldSize, suffixes)) return false;
  MarginChoice choice = ChoosePatch2Margin(suffixes, old, oldSize, data, newSize, PATCH2_MARGINS);
  Streams streams;
  ScanStreams(suffixes, old, oldSize, data, newSize, choice.margin, streams, choice.wholeFile.get());
  // The matcher's memory goes before zstd's tables come.
  std::vector<std::int32_t>().swap(suffixes);
  choice.wholeFile.reset();
  // The streams pack side by side: at the final level packing takes as long as the scan.
  std::future<std::string> packedDifference = std::async(std::launch::async, [&] { return Pack2Bytes(streams.difference); });
  const std::string control = Pack2Bytes(streams.control);
  const std::string copy = Pack2Bytes(streams.copy);
  const std::string difference = packedDifference.get();
  if (control.empty() || difference.empty() || copy.empty()) return false;
  Patch2Header header;
  header.oldSize = oldSize;
  header.newSize = newSize;
  DigestOf(old, oldSize, header.oldMd5);
  DigestOf(data, newSize, header.newMd5);
  patch = Patch2File(header, control, difference, copy);
  return true;
}

std::string Patch2File(Patch2Header header, const std::string& control, const std::string& difference,
                       const std::string& copy) {
  header.controlLength = control.size();
  header.differenceLength = difference.size();
  header.copyLength = copy.size();
  return EncodePatch2Header(header) + control + difference + copy;
}
