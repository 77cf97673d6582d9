#pragma once
// The format-2 patch generator (engine/patch2.h): the shared matcher's stretches become
// differences against the old file and copied bytes, in three streams packed with zstd.
#include <cstddef>
#include <cstdint>
#include <string>

// The whole patch file; false when a file is too large for the matcher (2 GiB) or packing fails.
bool MakePatch2(const std::uint8_t* oldData, std::size_t oldSize, const std::uint8_t* newData, std::size_t newSize,
                std::string& patch);
