#pragma once
// The matcher that both patch formats share: it walks the new file and cuts it into stretches,
// each an approximate match of the old file (aligned bytes, mostly equal) followed by a gap of
// new bytes that match nothing near.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

struct Stretch {
  std::size_t oldFrom;  // where the aligned bytes lie in the old file
  std::size_t newFrom;  // and in the new one
  std::size_t aligned;  // how many new bytes follow the old ones from there
  std::size_t gap;      // the new bytes after them that match nothing
  std::size_t nextOld;  // where the next stretch starts in the old file (the cursor at the end)
};

// Hands over the stretches of data (the new file) in order; they cover it exactly. A new exact
// match is taken where it is longer by `margin` bytes than continuing the previous alignment.
void ScanStretches(const std::vector<std::int32_t>& suffixes, const std::uint8_t* old, std::size_t oldSize,
                   const std::uint8_t* data, std::size_t newSize, std::int64_t margin,
                   const std::function<void(const Stretch&)>& sink);

// The packed size of a patch for data[0, size) made with a margin; called from several threads
// at once.
using TrialSize = std::function<std::size_t(const std::uint8_t* data, std::size_t size, std::int64_t margin)>;
// How much longer a new exact match must be than continuing the previous alignment. The best
// margin depends on the data: executables' patches are smallest with a wide one (fewer jumps
// between near-identical stretches of code), record-structured data files' with a narrow one
// (shifted records find their new neighbours). Each candidate is tried on `slices` slices of the
// new file (the whole file when it is smaller) and the one whose packed sample is smallest serves
// for the whole file.
struct MarginSearch {
  std::vector<std::int64_t> margins;
  std::size_t slice;
  std::size_t slices;
};
std::int64_t ChooseMargin(const std::uint8_t* data, std::size_t newSize, const MarginSearch& search,
                          const TrialSize& trialSize);
