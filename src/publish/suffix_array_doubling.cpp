// Builds without libdivsufsort (the Windows build) sort suffixes by prefix doubling: ranks of
// prefixes of length k give the order of prefixes of length 2k. O(n log^2 n): slower on large
// files, the same result.
#include <algorithm>
#include <numeric>

#include "publish/suffix_array.h"

bool BuildSuffixArray(const std::uint8_t* text, std::size_t size, std::vector<std::int32_t>& suffixes) {
  if (size > 0x7FFFFFFF) return false;
  const auto n = static_cast<std::int32_t>(size);
  suffixes.resize(size);
  if (n == 0) return true;  // an empty file has no suffixes to sort
  std::iota(suffixes.begin(), suffixes.end(), 0);
  std::vector<std::int32_t> rank(size);
  std::vector<std::int32_t> next(size);
  for (std::int32_t i = 0; i < n; ++i) rank[i] = text[i];
  for (std::int32_t k = 1;; k *= 2) {
    auto key = [&](std::int32_t i) { return i + k < n ? rank[i + k] : -1; };
    auto less = [&](std::int32_t a, std::int32_t b) {
      return rank[a] != rank[b] ? rank[a] < rank[b] : key(a) < key(b);
    };
    std::sort(suffixes.begin(), suffixes.end(), less);
    next[suffixes[0]] = 0;
    for (std::int32_t i = 1; i < n; ++i) {
      next[suffixes[i]] = next[suffixes[i - 1]] + (less(suffixes[i - 1], suffixes[i]) ? 1 : 0);
    }
    rank.swap(next);
    if (rank[suffixes[n - 1]] == n - 1) return true;
  }
}
