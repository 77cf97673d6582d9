#include "engine/patch.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "services/files.h"
#include "services/md5.h"
#include "services/packed.h"
#include "services/platform.h"

namespace {

enum class Mode { None, Back, Equal, Delete, Insert, Modify };

constexpr std::size_t BUFFER = 1 << 20;

bool ReadBigEndian(PatchInput& patch, int bytes, std::uint32_t& value) {
  value = 0;
  for (int i = 0; i < bytes; ++i) {
    int b = patch.Next();
    if (b < 0) return false;
    value = (value << 8) | static_cast<std::uint32_t>(b);
  }
  return true;
}

// Copies N bytes of the old file to the output; false when the old file ends first.
bool CopyEqual(OldInput& old, PatchOutput& output, std::uint32_t length) {
  std::uint8_t block[65536];
  while (length > 0) {
    std::size_t want = length < sizeof block ? length : sizeof block;
    std::size_t got = old.Read(block, want);
    if (got > 0 && !output.Write(block, got)) return false;
    if (got < want) return false;
    length -= static_cast<std::uint32_t>(got);
  }
  return true;
}

// A data byte: written in insert and modify mode; modify also passes over one old byte, which
// may lie beyond the old file's end (the position simply moves on).
bool Data(Mode mode, std::uint8_t byte, OldInput& old, PatchOutput& output) {
  if (mode != Mode::Insert && mode != Mode::Modify) return true;
  if (!output.Write(&byte, 1)) return false;
  return mode == Mode::Insert || old.SetPosition(old.Position() + 1);
}

// Buffered readers and writer over files, so that the byte-by-byte interpreter streams through
// large blocks.
class FilePatchInput final : public PatchInput {
 public:
  explicit FilePatchInput(FileHandle& file) : file_(file), buffer_(new std::uint8_t[BUFFER]) {}
  int Next() override {
    if (at_ == size_) {
      if (failed_ || !file_.Read(buffer_.get(), BUFFER, size_)) {
        failed_ = true;
        return -1;
      }
      at_ = 0;
      if (size_ == 0) return -1;
    }
    return buffer_[at_++];
  }
  bool Failed() const override { return failed_; }

 private:
  FileHandle& file_;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::size_t at_ = 0;
  std::size_t size_ = 0;
  bool failed_ = false;
};

class BytesPatchInput final : public PatchInput {
 public:
  explicit BytesPatchInput(const std::string& bytes) : bytes_(bytes) {}
  int Next() override { return at_ < bytes_.size() ? static_cast<unsigned char>(bytes_[at_++]) : -1; }

 private:
  const std::string& bytes_;
  std::size_t at_ = 0;
};

}  // namespace

FileOutput::FileOutput(FileHandle& file, Md5* digest, std::uint64_t limit)
    : file_(file), digest_(digest), buffer_(new std::uint8_t[BUFFER]), limit_(limit) {}

bool FileOutput::Write(const std::uint8_t* data, std::size_t size) {
  if (size > limit_ - taken_) {
    exceeded_ = true;
    return false;
  }
  taken_ += size;
  if (used_ + size > BUFFER && !Flush()) return false;
  if (size >= BUFFER) return Put(data, size);
  std::memcpy(buffer_.get() + used_, data, size);
  used_ += size;
  return true;
}

bool FileOutput::Flush() {
  const bool ok = used_ == 0 || Put(buffer_.get(), used_);
  used_ = 0;
  return ok;
}

bool FileOutput::Put(const std::uint8_t* data, std::size_t size) {
  if (digest_ != nullptr) digest_->Update(data, size);
  if (file_.Write(data, size)) return true;
  writeFailure_ = LastSystemErrorText();
  return false;
}

CachedOldInput::CachedOldInput(FileHandle& file) : file_(file), data_(new std::uint8_t[BLOCK * SLOTS]) {
  for (auto& tag : tags_) tag = -1;
}

std::size_t CachedOldInput::Read(std::uint8_t* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const std::int64_t block = position_ / static_cast<std::int64_t>(BLOCK);
    const std::size_t offset = static_cast<std::size_t>(position_ % static_cast<std::int64_t>(BLOCK));
    const std::size_t slot = Load(block);
    if (offset >= sizes_[slot]) break;  // the end of the file
    const std::size_t take = std::min(size - done, sizes_[slot] - offset);
    std::memcpy(data + done, data_.get() + slot * BLOCK + offset, take);
    done += take;
    position_ += static_cast<std::int64_t>(take);
  }
  return done;
}

// The cache slot that holds the block (slot = block modulo SLOTS), read on demand. A copy that
// goes on past what was read reads the blocks that follow in one large piece; a jump elsewhere
// reads only a little, since patches of record-structured files jump often and briefly, and a
// large read there would both cost time and push useful blocks out of the cache.
std::size_t CachedOldInput::Load(std::int64_t block) {
  const std::size_t home = static_cast<std::size_t>(block) % SLOTS;
  if (tags_[home] == block) return home;
  const std::size_t wanted = block == sequentialNext_ ? READ_AHEAD : JUMP_READ;
  const std::size_t count = std::min(wanted, SLOTS - home);
  sequentialNext_ = block + static_cast<std::int64_t>(count);
  std::size_t got = 0;
  if (!file_.Seek(block * static_cast<std::int64_t>(BLOCK)) ||
      !file_.Read(data_.get() + home * BLOCK, count * BLOCK, got)) {
    got = 0;
  }
  for (std::size_t k = 0; k < count; ++k) {
    tags_[home + k] = block + static_cast<std::int64_t>(k);
    sizes_[home + k] = got > k * BLOCK ? std::min(BLOCK, got - k * BLOCK) : 0;
  }
  return home;
}

std::size_t BytesOldInput::Read(std::uint8_t* data, std::size_t size) {
  const auto end = static_cast<std::int64_t>(bytes_.size());
  const std::size_t n =
      position_ >= end ? 0 : static_cast<std::size_t>(std::min<std::int64_t>(end - position_, static_cast<std::int64_t>(size)));
  std::memcpy(data, bytes_.data() + position_, n);
  position_ += static_cast<std::int64_t>(n);
  return n;
}

bool ApplyPatchBytes(const std::string& old, const std::string& patch, std::string& output) {
  output.clear();
  BytesOldInput input(old);
  BytesPatchInput stream(patch);
  BytesOutput out(output);
  return ApplyPatchStream(input, stream, out);
}

bool ReadPatchLength(PatchInput& patch, std::uint32_t& length) {
  length = 0;
  int b = patch.Next();
  if (b < 0) return !patch.Failed();
  if (b < 252) {
    length = static_cast<std::uint32_t>(b) + 1;
    return true;
  }
  std::uint32_t value = 0;
  switch (b) {
    case 252:
      if (!ReadBigEndian(patch, 1, value)) return false;
      length = 253 + value;
      return true;
    case 253:
      if (!ReadBigEndian(patch, 2, value)) return false;
      length = value;
      return true;
    case 254:
      if (!ReadBigEndian(patch, 4, value)) return false;
      length = value;
      return true;
    default:
      return false;  // the eight-byte form: no file of ours is that long
  }
}

bool ApplyPatchStream(OldInput& old, PatchInput& patch, PatchOutput& output) {
  Mode mode = Mode::None;
  for (;;) {
    int b = patch.Next();
    if (b < 0) return !patch.Failed();
    if (b != PATCH_ESCAPE) {
      if (!Data(mode, static_cast<std::uint8_t>(b), old, output)) return false;
      continue;
    }
    int op = patch.Next();
    if (op < 0) return false;  // an escape with nothing after it
    std::uint32_t length = 0;
    switch (op) {
      case PATCH_BACK:
        if (!ReadPatchLength(patch, length) || !old.SetPosition(old.Position() - length)) return false;
        mode = Mode::Back;
        break;
      case PATCH_EQUAL:
        if (!ReadPatchLength(patch, length)) return false;
        mode = Mode::Equal;
        if (!CopyEqual(old, output, length)) return false;
        break;
      case PATCH_DELETE:
        if (!ReadPatchLength(patch, length) || !old.SetPosition(old.Position() + length)) return false;
        mode = Mode::Delete;
        break;
      case PATCH_INSERT:
        mode = Mode::Insert;
        break;
      case PATCH_MODIFY:
        mode = Mode::Modify;
        break;
      case PATCH_ESCAPE:
        if (!Data(mode, PATCH_ESCAPE, old, output)) return false;
        break;
      default:
        if (!Data(mode, PATCH_ESCAPE, old, output) || !Data(mode, static_cast<std::uint8_t>(op), old, output)) {
          return false;
        }
        break;
    }
  }
}

namespace {

bool RebuildFile(const std::wstring& oldPath, const std::wstring& patchPath, const std::wstring& outputPath,
                 Md5* digest, std::wstring& writeFailure, std::uint64_t limit = ~std::uint64_t{0},
                 bool* exceeded = nullptr) {
  writeFailure.clear();
  FileHandle oldFile = FileHandle::OpenForRead(oldPath);
  if (!oldFile.IsOpen()) return false;
  FileHandle patchFile = FileHandle::OpenForRead(patchPath);
  if (!patchFile.IsOpen()) return false;
  FileHandle outputFile = FileHandle::CreateForWrite(outputPath);
  if (!outputFile.IsOpen()) {
    writeFailure = LastSystemErrorText();
    return false;
  }
  CachedOldInput old(oldFile);
  FilePatchInput patch(patchFile);
  FileOutput output(outputFile, digest, limit);
  const bool ok = ApplyPatchStream(old, patch, output) && output.Flush();
  writeFailure = output.WriteFailure();
  if (exceeded != nullptr) *exceeded = output.Exceeded();
  if (!ok) return false;
  // A rebuild for the installation is also on the disk before anyone relies on it.
  if (digest != nullptr && !outputFile.Flush()) {
    writeFailure = LastSystemErrorText();
    return false;
  }
  return true;
}

}  // namespace

bool ApplyPatchFile(const std::wstring& oldPath, const std::wstring& patchPath, const std::wstring& outputPath) {
  std::wstring writeFailure;
  return RebuildFile(oldPath, patchPath, outputPath, nullptr, writeFailure);
}

bool ApplyPatchFileWithDigest(const std::wstring& oldPath, const std::wstring& patchPath,
                              const std::wstring& outputPath, std::wstring& digest, std::wstring& cause,
                              std::wstring& writeFailure, std::uint64_t limit) {
  digest.clear();
  cause.clear();
  Md5 md5;
  bool exceeded = false;
  if (!RebuildFile(oldPath, patchPath, outputPath, &md5, writeFailure, limit, &exceeded)) {
    if (exceeded) cause = BeyondBound(limit);
    return false;
  }
  digest = md5.FinalText();
  return true;
}
