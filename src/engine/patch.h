#pragma once
// The patch byte code and its interpreter. A patch describes a new file as operations on the old
// one: an escape byte 0xA7 and an operator (0xA2 back N, 0xA3 equal N, 0xA4 delete N, 0xA5
// insert, 0xA6 modify), and data bytes that insert or modify mode write out (modify also skips
// one old byte). 0xA7 0xA7 is the data byte 0xA7; 0xA7 X for another X is the two data bytes.
// Lengths N take one byte b (N = b + 1, b < 252), 252 and one byte (253 + c), 253 and two bytes,
// or 254 and four bytes (big-endian). The interpreter fails rather than write anything the patch
// does not describe: an eight-byte length (first byte 255), an equal past the old file's end, a
// back before its start, a stream that ends inside a length or right after an escape.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

constexpr std::uint8_t PATCH_ESCAPE = 0xA7;
constexpr std::uint8_t PATCH_BACK = 0xA2;
constexpr std::uint8_t PATCH_EQUAL = 0xA3;
constexpr std::uint8_t PATCH_DELETE = 0xA4;
constexpr std::uint8_t PATCH_INSERT = 0xA5;
constexpr std::uint8_t PATCH_MODIFY = 0xA6;

// The patch, read forward byte by byte.
class PatchInput {
 public:
  // The next byte, or -1 at the end (or on a read error, with Failed() true).
  virtual int Next() = 0;
  virtual bool Failed() const { return false; }

 protected:
  ~PatchInput() = default;
};

// The old file: a read position that may move back and forward. A position before the start is
// refused; one past the end is allowed, and reading there gives nothing.
class OldInput {
 public:
  std::int64_t Position() const { return position_; }
  bool SetPosition(std::int64_t position) {
    if (position < 0) return false;
    position_ = position;
    return true;
  }
  // Reads up to size bytes at the position and advances it; fewer at the end of the file.
  virtual std::size_t Read(std::uint8_t* data, std::size_t size) = 0;

 protected:
  ~OldInput() = default;
  std::int64_t position_ = 0;
};

class FileHandle;
class Md5;

// An old file read through a cache of 8 MiB in small aligned blocks: a patch of a moved-around
// file jumps back and forth, and a jump must cost neither a large read nor a reread of what was
// just read.
class CachedOldInput final : public OldInput {
 public:
  explicit CachedOldInput(FileHandle& file);
  std::size_t Read(std::uint8_t* data, std::size_t size) override;

 private:
  static constexpr std::size_t BLOCK = 4 * 1024;
  static constexpr std::size_t SLOTS = 2048;  // 8 MiB
  static constexpr std::size_t READ_AHEAD = 64;
  static constexpr std::size_t JUMP_READ = 2;
  std::size_t Load(std::int64_t block);

  FileHandle& file_;
  std::unique_ptr<std::uint8_t[]> data_;
  std::int64_t tags_[SLOTS];
  std::size_t sizes_[SLOTS] = {};
  std::int64_t sequentialNext_ = 0;
};

class PatchOutput {
 public:
  virtual bool Write(const std::uint8_t* data, std::size_t size) = 0;
  // The system's reason when a write failed for the destination's sake (a full disk).
  virtual std::wstring WriteFailure() const { return {}; }

 protected:
  ~PatchOutput() = default;
};

// A file written in pieces of 1 MiB, however small the writes: a patch's records are often a
// few bytes each. Hands every byte it writes to the digest as well, when there is one.
class FileOutput final : public PatchOutput {
 public:
  // Writes past limit bytes are refused (Exceeded then tells so).
  FileOutput(FileHandle& file, Md5* digest, std::uint64_t limit = ~std::uint64_t{0});
  bool Write(const std::uint8_t* data, std::size_t size) override;
  bool Exceeded() const { return exceeded_; }
  // Writes what the buffer holds; false when the file refused it.
  bool Flush();
  // The system's reason when the file refused a write; empty when none did.
  std::wstring WriteFailure() const override { return writeFailure_; }

 private:
  bool Put(const std::uint8_t* data, std::size_t size);
  FileHandle& file_;
  Md5* digest_;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::size_t used_ = 0;
  std::uint64_t limit_;
  std::uint64_t taken_ = 0;
  bool exceeded_ = false;
  std::wstring writeFailure_;
};

// The old content and the output in memory, for tools that make and check patches.
class BytesOldInput final : public OldInput {
 public:
  explicit BytesOldInput(const std::string& bytes) : bytes_(bytes) {}
  std::size_t Read(std::uint8_t* data, std::size_t size) override;

 private:
  const std::string& bytes_;
};

class BytesOutput final : public PatchOutput {
 public:
  explicit BytesOutput(std::string& bytes) : bytes_(bytes) {}
  bool Write(const std::uint8_t* data, std::size_t size) override {
    bytes_.append(reinterpret_cast<const char*>(data), size);
    return true;
  }

 private:
  std::string& bytes_;
};

// Reads a length. True with N = 0 when the stream ends where the first byte is due; false for
// the eight-byte form and for a stream that ends inside the further bytes.
bool ReadPatchLength(PatchInput& patch, std::uint32_t& length);

// Runs the whole patch. True when it was read to its end and every operation was possible.
bool ApplyPatchStream(OldInput& old, PatchInput& patch, PatchOutput& output);

// The same over bytes in memory, for tools that make and check patches.
bool ApplyPatchBytes(const std::string& old, const std::string& patch, std::string& output);

// The same over files; the output is created (or truncated). False when a file cannot be opened.
bool ApplyPatchFile(const std::wstring& oldPath, const std::wstring& patchPath, const std::wstring& outputPath);

// ApplyPatchFile that also hands back the MD5 digest text of the bytes it wrote, taken on the way
// (the output is not read again), and flushes the output to the disk. Empty on failure; when the
// output refused to be made or written (a full disk), writeFailure holds the system's reason.
// A rebuild that would write more than limit bytes stops there, at once, with cause saying so.
bool ApplyPatchFileWithDigest(const std::wstring& oldPath, const std::wstring& patchPath,
                              const std::wstring& outputPath, std::wstring& digest, std::wstring& cause,
                              std::wstring& writeFailure, std::uint64_t limit = ~std::uint64_t{0});
