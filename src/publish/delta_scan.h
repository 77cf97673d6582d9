#pragma once
// The matcher that both patch formats share: it walks the new file and cuts it into stretches,
// each an approximate match of the old file (aligned bytes, mostly equal) followed by a gap of
// new bytes that match nothing near.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

struct Stretch {
  std::size_t oldFrom;  // where the aligned bytes lie in the old file
  std::size_t newFrom;  // and in the new one
  std::size_t aligned;  // how many new bytes follow the old ones from there
  std::size_t gap;      // the new bytes after them that match nothing
  std::size_t nextOld;  // where the next stretch starts in the old file (the cursor at the end)
};

// The longest old match of each position of a stretch of new bytes, as far as scans found them:
// scans of the same bytes with other margins search mostly the same positions, and take them
// from here instead of searching the old file again. Only the old position is kept; its length
// is measured again, which costs no more than the search's own last comparison did.
class MatchCache {
 public:
  explicit MatchCache(std::size_t size) : position_(size, UNKNOWN) {}
  bool Find(std::size_t at, std::size_t& position) const {
    if (position_[at] == UNKNOWN) return false;
    position = position_[at];
    return true;
  }
  void Keep(std::size_t at, std::size_t position) { position_[at] = static_cast<std::uint32_t>(position); }

 private:
  // Positions fit 31 bits: the suffix array holds at most 2 GiB.
  static constexpr std::uint32_t UNKNOWN = 0xFFFFFFFF;
  std::vector<std::uint32_t> position_;
};

// Hands over the stretches of data (the new file) in order; they cover it exactly. A new exact
// match is taken where it is longer by `margin` bytes than continuing the previous alignment.
// A cache, when given, covers data[0, newSize) and is used and filled by the scan.
void ScanStretches(const std::vector<std::int32_t>& suffixes, const std::uint8_t* old, std::size_t oldSize,
                   const std::uint8_t* data, std::size_t newSize, std::int64_t margin,
                   const std::function<void(const Stretch&)>& sink, MatchCache* cache = nullptr);

// The packed size of a patch for data[0, size) made with a margin, scanning with the cache given;
// called from several threads at once, each with a cache of its own.
using TrialSize =
    std::function<std::size_t(const std::uint8_t* data, std::size_t size, std::int64_t margin, MatchCache& cache)>;
// How much longer a new exact match must be than continuing the previous alignment. The best
// margin depends on the data: executables' patches are smallest with a wide one (fewer jumps
// between near-identical stretches of code), record-structured data files' with a narrow one
// (shifted records find their new neighbours). Each candidate is tried on `slices` slices of the
// new file (the whole file when it is smaller) and the one whose packed sample is smallest serves
// for the whole file. The slices are tried side by side, each with every margin in turn over one
// cache of matches. The first margin stays unless another's samples pack at least `firstUnless`
// (a share of its size) smaller: a choice made on a small sample, good for it alone, may cost the
// stretches after it more than it saves.
struct MarginSearch {
  std::vector<std::int64_t> margins;
  std::size_t slice;
  std::size_t slices;
  double firstUnless = 0;
};
struct MarginChoice {
  std::int64_t margin;
  // When the whole file was the sample: its matches, which serve the scan of the whole file.
  std::unique_ptr<MatchCache> wholeFile;
};
MarginChoice ChooseMargin(const std::uint8_t* data, std::size_t newSize, const MarginSearch& search,
                          const TrialSize& trialSize);
