#pragma once
// The second packed form, which trees offer beside the zlib one to clients that know it: one zstd
// frame. Its window is at most 16 MiB, and a frame that asks for more is refused, so that
// unpacking holds a bounded amount of memory whatever a server sends.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "services/packed.h"

class FileHandle;

constexpr int PACK2_WINDOW_LOG = 24;
constexpr int PACK2_LEVEL = 19;

// The frame of plain at the level; empty on failure.
std::string Pack2Bytes(const std::string& plain, int level = PACK2_LEVEL);

// Packs a file into one frame at the level, reading and writing it in pieces. False when a file
// cannot be read or written or packing fails; the destination is then not left.
bool Pack2File(const std::wstring& source, const std::wstring& destination, int level = PACK2_LEVEL,
               const PackProgress& progress = {});

// One frame packed from plain bytes given in pieces, for inputs too large to hold whole.
class Pack2Stream {
 public:
  static constexpr std::uint64_t UNKNOWN_SIZE = ~std::uint64_t{0};
  // A frame of a known size states it, as Pack2Bytes's frames do.
  explicit Pack2Stream(int level = PACK2_LEVEL, std::uint64_t plainSize = UNKNOWN_SIZE);
  // A stream of mixed content that packs each piece of a few MiB at the level only when the
  // piece packs at all, and fast when it does not.
  static Pack2Stream Adaptive(int level = PACK2_LEVEL);
  ~Pack2Stream();
  Pack2Stream(Pack2Stream&&) = default;
  Pack2Stream(const Pack2Stream&) = delete;
  Pack2Stream& operator=(const Pack2Stream&) = delete;

  bool Add(const void* data, std::size_t size);
  // The packed bytes made so far, which the stream then no longer holds: a caller that writes
  // them out as they come packs any size in bounded memory.
  std::string TakePacked() { return std::exchange(packed_, std::string()); }
  // The whole frame (or its rest, after TakePacked); empty when any step failed.
  std::string Finish();

 private:
  struct State;
  static constexpr std::uint64_t PARALLEL_FROM = 4 << 20;
  static constexpr std::size_t ADAPTIVE_PIECE = 4 << 20;
  bool Pump(const void* data, std::size_t size, bool end);
  bool PumpPending(bool end);
  std::unique_ptr<State> state_;
  std::string packed_;
  std::string pending_;
  int level_ = 0;  // the level of an adaptive stream; 0 for one level throughout
  bool failed_ = false;
};
// True exactly when packed is one complete frame (nothing after it) of at most limit plain bytes.
bool Unpack2Bytes(const std::string& packed, std::string& plain, std::uint64_t limit);
// The length of the complete frame that bytes begin with; 0 when they begin with none.
std::size_t Packed2FrameLength(const std::string& bytes);

// Unpacks a file of one frame into destination, handing back the MD5 digest text of what it wrote
// and flushing it to the disk. False when the source is not one complete frame (digest empty) or
// a write failed; then writeFailure holds the system's reason when the destination refused to be
// made or written, and is empty when the source is at fault.
// Past limit plain bytes (or the frame's own content size, when it states one and is smaller),
// it stops at once with cause saying so.
bool Unpack2FileWithDigest(const std::wstring& source, const std::wstring& destination, std::wstring& digest,
                           std::wstring& cause, std::wstring& writeFailure, std::uint64_t limit = UNPACK_NO_LIMIT);

// Where packed bytes are read from by position: an open file, or bytes in memory.
class PackedBytesAt {
 public:
  // Up to size bytes at offset; got = 0 past the end. False on a read error.
  virtual bool ReadAt(std::uint64_t offset, std::uint8_t* data, std::size_t size, std::size_t& got) = 0;

 protected:
  ~PackedBytesAt() = default;
};

class PackedFileAt final : public PackedBytesAt {
 public:
  explicit PackedFileAt(FileHandle& file) : file_(file) {}
  bool ReadAt(std::uint64_t offset, std::uint8_t* data, std::size_t size, std::size_t& got) override;

 private:
  FileHandle& file_;
};

class PackedMemoryAt final : public PackedBytesAt {
 public:
  explicit PackedMemoryAt(const std::string& bytes) : bytes_(bytes) {}
  bool ReadAt(std::uint64_t offset, std::uint8_t* data, std::size_t size, std::size_t& got) override;

 private:
  const std::string& bytes_;
};

// Reads the plain bytes of one frame that lies at [offset, offset + length) of its source, in
// pieces, with the same window bound. Several readers may share a source.
class Pack2Reader {
 public:
  Pack2Reader(PackedBytesAt& source, std::uint64_t offset, std::uint64_t length);
  ~Pack2Reader();
  Pack2Reader(const Pack2Reader&) = delete;
  Pack2Reader& operator=(const Pack2Reader&) = delete;

  // Up to size plain bytes into data; fewer only at the end of the frame (0 there) or on a
  // failure, after which Failed() is true.
  std::size_t Read(std::uint8_t* data, std::size_t size);
  bool Failed() const { return failed_; }
  // True when the frame ended exactly at the end of its region.
  bool Finished() const;

 private:
  struct State;
  bool Fill();
  PackedBytesAt& source_;
  std::uint64_t next_;  // the file offset of the next packed byte to read
  std::uint64_t end_;
  std::unique_ptr<State> state_;
  bool failed_ = false;
  bool frameEnded_ = false;
};
