// Native builds sort suffixes with libdivsufsort: linear memory beyond the array, and fast.
#include <divsufsort.h>

#include "publish/suffix_array.h"

bool BuildSuffixArray(const std::uint8_t* text, std::size_t size, std::vector<std::int32_t>& suffixes) {
  if (size > 0x7FFFFFFF) return false;
  suffixes.resize(size);
  if (size == 0) return true;
  return divsufsort(text, suffixes.data(), static_cast<saidx_t>(size)) == 0;
}
