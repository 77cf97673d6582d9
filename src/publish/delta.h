#pragma once
// Our delta generator: the patch byte code that rebuilds a new file from an old one. It finds
// for each stretch of the new file the longest stretch of the old one that matches it, anywhere
// and in any order (so moved blocks cost a few bytes), extends matches over small differences,
// and writes them as equal runs, modified bytes and inserted bytes, with the shortest length
// forms. How eagerly it leaves one alignment for a better match elsewhere is tuned per file from
// a few sampled slices. Every data byte follows an explicit insert or modify operator.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct Stretch;
struct MarginSearch;
struct MarginChoice;

// The margins that MakePatch tries, and on what samples (publish/delta_scan.h).
extern const MarginSearch PATCH_MARGINS;
// The margin of the search whose byte code for data against old (suffixes: old's suffix array)
// packs smallest on the search's samples.
MarginChoice ChoosePatchMargin(const std::vector<std::int32_t>& suffixes, const std::uint8_t* old, std::size_t oldSize,
                               const std::uint8_t* data, std::size_t newSize, const MarginSearch& search);

// False when a file is too large for the matcher (2 GiB).
bool MakePatch(const std::uint8_t* oldData, std::size_t oldSize, const std::uint8_t* newData, std::size_t newSize,
               std::string& patch);

// A patch packed as trees publish it (zlib, level 9), with its long runs of data bytes in
// deflate blocks of their own: the random bytes of a new blob and the operators around them
// each get codes fitted to them (1.4% smaller on pack files of blobs and records).
std::string PackPatch(const std::string& patch);

// Appends the byte-code operators, for the generator and its tests.
class PatchWriter {
 public:
  explicit PatchWriter(std::string& out) : out_(out) {}
  // Moves the interpreter's old-file position from where it is to `to`.
  void MoveTo(std::int64_t to);
  void Equal(std::uint64_t length);
  void Insert(const std::uint8_t* data, std::size_t size);
  void Modify(const std::uint8_t* data, std::size_t size);

 private:
  enum class Mode { None, Insert, Modify };
  void Operator(std::uint8_t op);
  void Length(std::uint32_t length);
  void Data(const std::uint8_t* data, std::size_t size);

  std::string& out_;
  Mode mode_ = Mode::None;
  std::int64_t oldPosition_ = 0;
};

// Writes one stretch of the matcher (delta_scan.h) as byte code: oldBytes holds the old file's
// bytes from stretch.oldFrom on (stretch.aligned of them), newBytes the new file's from
// stretch.newFrom on (aligned + gap).
void WriteStretch(PatchWriter& writer, const std::uint8_t* oldBytes, std::size_t oldSize, const std::uint8_t* newBytes,
                  const Stretch& stretch);
