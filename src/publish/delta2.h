#pragma once
// The format-2 patch generator (engine/patch2.h): the shared matcher's stretches become
// differences against the old file and copied bytes, in three streams packed with zstd.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/patch2.h"

struct Stretch;
struct MarginSearch;
struct MarginChoice;

// The margins that MakePatch2 tries, and on what samples (publish/delta_scan.h).
extern const MarginSearch PATCH2_MARGINS;
// The margin of the search whose three streams for data against old (suffixes: old's suffix
// array) pack smallest on the search's samples.
MarginChoice ChoosePatch2Margin(const std::vector<std::int32_t>& suffixes, const std::uint8_t* old, std::size_t oldSize,
                                const std::uint8_t* data, std::size_t newSize, const MarginSearch& search);

// The whole patch file; false when a file is too large for the matcher (2 GiB) or packing fails.
bool MakePatch2(const std::uint8_t* oldData, std::size_t oldSize, const std::uint8_t* newData, std::size_t newSize,
                std::string& patch);

// The control records of the matcher's stretches, column by column as they come.
class Patch2Control {
 public:
  void Add(const Stretch& stretch);
  std::string Encode() const;

 private:
  std::vector<std::uint64_t> columns_[3];  // adds, copies, moves
};

// The add bytes' differences of size new bytes against as many old ones, appended to out.
void AppendDifferences(std::string& out, const std::uint8_t* oldBytes, const std::uint8_t* newBytes, std::size_t size);

// The patch file of the three packed frames; the header's lengths are set from them.
std::string Patch2File(Patch2Header header, const std::string& control, const std::string& difference,
                       const std::string& copy);
