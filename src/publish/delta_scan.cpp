#include "publish/delta_scan.h"

#include <algorithm>
#include <atomic>
#include <thread>

namespace {

std::size_t CommonPrefix(const std::uint8_t* a, std::size_t aSize, const std::uint8_t* b, std::size_t bSize) {
  std::size_t n = std::min(aSize, bSize);
  std::size_t i = 0;
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

// The longest match of the new text at `text` in the old file, by binary search over the
// suffix array; its length, and its old position in `position`. Every suffix sorted between two
// that share their first k bytes with the text shares them too, so each comparison starts after
// the shorter of the bounds' common prefixes: a long match costs its length once, not once per
// step of the search.
std::size_t LongestMatch(const std::vector<std::int32_t>& suffixes, const std::uint8_t* old, std::size_t oldSize,
                         const std::uint8_t* text, std::size_t textSize, std::size_t& position) {
  std::size_t low = 0;
  std::size_t high = suffixes.size();
  std::size_t lowCommon = 0;
  std::size_t highCommon = 0;
  position = 0;
  if (high == 0) return 0;
  // Invariant: the best match lies among suffixes[low..high).
  while (high - low > 2) {
    const std::size_t middle = low + (high - low) / 2;
    const std::size_t at = static_cast<std::size_t>(suffixes[middle]);
    const std::size_t n = std::min(oldSize - at, textSize);
    std::size_t i = std::min({lowCommon, highCommon, n});
    while (i < n && old[at + i] == text[i]) ++i;
    // The suffix sorts before the text when it is smaller at the first difference, or when it
    // ends first (a proper prefix of the text).
    const bool before = i < n ? old[at + i] < text[i] : n < textSize;
    if (before) {
      low = middle;
      lowCommon = i;
    } else {
      high = middle;
      highCommon = i;
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

// How far the previous match extends forward over small differences: as long as at least half
// the bytes agree.
std::size_t ForwardExtension(const std::uint8_t* old, std::size_t oldSize, const std::uint8_t* data,
                             std::size_t lastScan, std::size_t lastPosition, std::size_t scan) {
  std::size_t forward = 0;
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
  return forward;
}

// How far the new match at position extends backward, by the same rule.
std::size_t BackwardExtension(const std::uint8_t* old, const std::uint8_t* data, std::size_t lastScan,
                              std::size_t scan, std::size_t position) {
  std::size_t backward = 0;
  std::int64_t score = 0;
  std::int64_t best = 0;
  for (std::size_t i = 1; scan >= lastScan + i && position >= i; ++i) {
    if (old[position - i] == data[scan - i]) ++score;
    if (score * 2 - static_cast<std::int64_t>(i) > best * 2 - static_cast<std::int64_t>(backward)) {
      best = score;
      backward = i;
    }
  }
  return backward;
}

// Where the two extensions overlap, splits them at the best point.
void SplitOverlap(const std::uint8_t* old, const std::uint8_t* data, std::size_t lastScan, std::size_t lastPosition,
                  std::size_t scan, std::size_t position, std::size_t& forward, std::size_t& backward) {
  if (lastScan + forward <= scan - backward) return;
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

}  // namespace

// The scan follows the classic approximate-matching plan: look for an exact match that is
// clearly better (by `margin` bytes) than just continuing the previous alignment; then extend the
// previous match forward and the new one backward over small differences, and hand over the
// stretch between them.
void ScanStretches(const std::vector<std::int32_t>& suffixes, const std::uint8_t* old, std::size_t oldSize,
                   const std::uint8_t* data, std::size_t newSize, std::int64_t margin,
                   const std::function<void(const Stretch&)>& sink, MatchCache* cache) {
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
      if (cache != nullptr && cache->Find(scan, position)) {
        length = CommonPrefix(old + position, oldSize - position, data + scan, newSize - scan);
      } else {
        length = LongestMatch(suffixes, old, oldSize, data + scan, newSize - scan, position);
        if (cache != nullptr) cache->Keep(scan, position);
      }
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

    std::size_t forward = ForwardExtension(old, oldSize, data, lastScan, lastPosition, scan);
    std::size_t backward = scan < newSize ? BackwardExtension(old, data, lastScan, scan, position) : 0;
    SplitOverlap(old, data, lastScan, lastPosition, scan, position, forward, backward);

    const std::size_t cursor = lastPosition + forward;
    sink({lastPosition, lastScan, forward, scan - backward - (lastScan + forward),
          scan < newSize ? position - backward : cursor});

    lastScan = scan - backward;
    lastPosition = position - backward;
    lastOffset = static_cast<std::int64_t>(position) - static_cast<std::int64_t>(scan);
  }
}

MarginChoice ChooseMargin(const std::uint8_t* data, std::size_t newSize, const MarginSearch& search,
                          const TrialSize& trialSize) {
  const bool wholeFileSample = newSize <= search.slice * search.slices;
  const std::size_t slices = wholeFileSample ? 1 : search.slices;
  MarginChoice choice{search.margins.front(), nullptr};
  if (wholeFileSample) choice.wholeFile = std::make_unique<MatchCache>(newSize);
  // The slices are independent of each other: they are tried side by side, and the choice is
  // the same whatever their order. The margins of one slice share its cache.
  std::vector<std::size_t> sizes(search.margins.size() * slices);
  std::atomic<std::size_t> next{0};
  const auto work = [&] {
    for (std::size_t i; (i = next++) < slices;) {
      const std::size_t from = wholeFileSample ? 0 : i * (newSize - search.slice) / (slices - 1);
      const std::size_t size = wholeFileSample ? newSize : search.slice;
      std::unique_ptr<MatchCache> own = wholeFileSample ? nullptr : std::make_unique<MatchCache>(size);
      MatchCache& cache = wholeFileSample ? *choice.wholeFile : *own;
      for (std::size_t m = 0; m < search.margins.size(); ++m) {
        sizes[m * slices + i] = trialSize(data + from, size, search.margins[m], cache);
      }
    }
  };
  std::vector<std::thread> helpers;
  const std::size_t threads = std::min<std::size_t>(slices, std::max(1u, std::thread::hardware_concurrency()));
  for (std::size_t t = 1; t < threads; ++t) helpers.emplace_back(work);
  work();
  for (std::thread& helper : helpers) helper.join();

  std::size_t bestSize = SIZE_MAX, firstSize = 0;
  for (std::size_t m = 0; m < search.margins.size(); ++m) {
    std::size_t size = 0;
    for (std::size_t i = 0; i < slices; ++i) size += sizes[m * slices + i];
    if (m == 0) firstSize = size;
    if (size < bestSize) bestSize = size, choice.margin = search.margins[m];
  }
  if (static_cast<double>(bestSize) > static_cast<double>(firstSize) * (1 - search.firstUnless)) {
    choice.margin = search.margins.front();
  }
  return choice;
}
