#pragma once
// The suffix array of a byte string: the starting positions of all its suffixes in sorted order.
#include <cstddef>
#include <cstdint>
#include <vector>

// False when the text is too long for 32-bit positions (2 GiB) or memory runs out.
bool BuildSuffixArray(const std::uint8_t* text, std::size_t size, std::vector<std::int32_t>& suffixes);
