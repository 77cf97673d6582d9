#include "engine/patch2.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/patch.h"
#include "services/files.h"
#include "services/md5.h"
#include "services/packed2.h"
#include "services/platform.h"

namespace {

constexpr std::size_t PIECE = 1 << 16;

void PutU64(std::string& out, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::uint64_t GetU64(const std::uint8_t* bytes) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

std::wstring HexOf(const std::uint8_t digest[16]) {
  static const wchar_t DIGITS[] = L"0123456789abcdef";
  std::wstring text;
  for (int i = 0; i < 16; ++i) {
    text += DIGITS[digest[i] >> 4];
    text += DIGITS[digest[i] & 15];
  }
  return text;
}

// The control frame, read a block of records at a time.
class ControlReader {
 public:
  explicit ControlReader(Pack2Reader& frame) : frame_(frame) {}

  enum class Result { Record, End, Damaged };
  Result Next(std::uint64_t& add, std::uint64_t& copy, std::uint64_t& move) {
    if (next_ == adds_.size()) {
      std::uint64_t count = 0;
      bool ended = false;
      if (!Number(count, ended)) return ended ? Result::End : Result::Damaged;
      if (count == 0 || count > PATCH2_BLOCK_RECORDS) return Result::Damaged;
      for (std::vector<std::uint64_t>* column : {&adds_, &copies_, &moves_}) {
        column->resize(static_cast<std::size_t>(count));
        for (std::uint64_t& value : *column) {
          if (!Number(value, ended)) return Result::Damaged;
        }
      }
      next_ = 0;
    }
    add = adds_[next_];
    copy = copies_[next_];
    move = moves_[next_];
    ++next_;
    return Result::Record;
  }

 private:
  // The next LEB128 number; false at the end of the frame (ended true when it ends before the
  // first byte of a number) or for a number longer than 64 bits.
  bool Number(std::uint64_t& value, bool& ended) {
    value = 0;
    ended = false;
    for (int shift = 0; shift < 64; shift += 7) {
      if (at_ == size_) {
        size_ = frame_.Read(buffer_, sizeof buffer_);
        at_ = 0;
        if (size_ == 0) {
          ended = shift == 0 && !frame_.Failed();
          return false;
        }
      }
      const std::uint8_t byte = buffer_[at_++];
      if (shift == 63 && byte > 1) return false;
      value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
      if ((byte & 0x80) == 0) return true;
    }
    return false;
  }

  Pack2Reader& frame_;
  std::uint8_t buffer_[4096];
  std::size_t at_ = 0;
  std::size_t size_ = 0;
  std::vector<std::uint64_t> adds_, copies_, moves_;
  std::size_t next_ = 0;
};

class Rebuild {
 public:
  Rebuild(const Patch2Header& header, PackedBytesAt& patch, OldInput& old, PatchOutput& output)
      : header_(header),
        control_(patch, PATCH2_HEADER_SIZE, header.controlLength),
        difference_(patch, PATCH2_HEADER_SIZE + header.controlLength, header.differenceLength),
        copy_(patch, PATCH2_HEADER_SIZE + header.controlLength + header.differenceLength, header.copyLength),
        old_(old),
        output_(output),
        piece_(new std::uint8_t[PIECE]),
        oldPiece_(new std::uint8_t[PIECE]) {}

  bool Run(std::wstring& digest, std::wstring& cause, std::wstring& writeFailure) {
    ControlReader records(control_);
    for (;;) {
      std::uint64_t add = 0, copy = 0, move = 0;
      const ControlReader::Result next = records.Next(add, copy, move);
      if (next == ControlReader::Result::End) break;
      if (next == ControlReader::Result::Damaged) return Fail(cause, L"the control stream is damaged or cut short");
      if (!Add(add, cause, writeFailure) || !Copy(copy, cause, writeFailure)) return false;
      // Zigzag: 0, -1, 1, -2, ... as 0, 1, 2, 3, ...
      const std::int64_t step = static_cast<std::int64_t>(move >> 1) ^ -static_cast<std::int64_t>(move & 1);
      const std::int64_t to = old_.Position() + step;
      if (to < 0 || static_cast<std::uint64_t>(to) > header_.oldSize) {
        return Fail(cause, L"a record moves outside the old file");
      }
      old_.SetPosition(to);
    }
    if (written_ != header_.newSize) return Fail(cause, L"the patch makes fewer bytes than its header says");
    std::uint8_t rest = 0;
    if (difference_.Read(&rest, 1) != 0 || copy_.Read(&rest, 1) != 0 || !control_.Finished() ||
        !difference_.Finished() || !copy_.Finished()) {
      return Fail(cause, L"a stream goes on after the last record or is damaged");
    }
    std::uint8_t made[16];
    md5_.Final(made);
    if (std::memcmp(made, header_.newMd5, 16) != 0) return Fail(cause, L"the result's MD5 is not the header's");
    digest = HexOf(made);
    return true;
  }

 private:
  static bool Fail(std::wstring& cause, const wchar_t* why) {
    cause = why;
    return false;
  }

  bool Room(std::uint64_t length, std::wstring& cause) {
    if (length > header_.newSize - written_) return Fail(cause, L"a record writes past the new size");
    return true;
  }

  bool Add(std::uint64_t length, std::wstring& cause, std::wstring& writeFailure) {
    if (!Room(length, cause)) return false;
    if (length > header_.oldSize - static_cast<std::uint64_t>(old_.Position())) {
      return Fail(cause, L"a record reads past the old file's end");
    }
    while (length > 0) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(length, PIECE));
      if (difference_.Read(piece_.get(), n) != n) return Fail(cause, L"the difference stream ends early");
      if (old_.Read(oldPiece_.get(), n) != n) return Fail(cause, L"the old file cannot be read");
      for (std::size_t i = 0; i < n; ++i) piece_[i] = static_cast<std::uint8_t>(piece_[i] + oldPiece_[i]);
      if (!Write(n, writeFailure)) return false;
      length -= n;
    }
    return true;
  }

  bool Copy(std::uint64_t length, std::wstring& cause, std::wstring& writeFailure) {
    if (!Room(length, cause)) return false;
    while (length > 0) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(length, PIECE));
      if (copy_.Read(piece_.get(), n) != n) return Fail(cause, L"the copy stream ends early");
      if (!Write(n, writeFailure)) return false;
      length -= n;
    }
    return true;
  }

  bool Write(std::size_t n, std::wstring& writeFailure) {
    md5_.Update(piece_.get(), n);
    written_ += n;
    if (output_.Write(piece_.get(), n)) return true;
    writeFailure = output_.WriteFailure();
    return false;
  }

  const Patch2Header& header_;
  Pack2Reader control_;
  Pack2Reader difference_;
  Pack2Reader copy_;
  OldInput& old_;
  PatchOutput& output_;
  std::unique_ptr<std::uint8_t[]> piece_;
  std::unique_ptr<std::uint8_t[]> oldPiece_;
  Md5 md5_;
  std::uint64_t written_ = 0;
};

// A patch of this size is exactly the header and its three frames.
bool LengthsMatch(const Patch2Header& header, std::uint64_t size) {
  if (size < PATCH2_HEADER_SIZE) return false;
  const std::uint64_t frames = size - PATCH2_HEADER_SIZE;
  return header.controlLength <= frames && header.differenceLength <= frames - header.controlLength &&
         header.copyLength == frames - header.controlLength - header.differenceLength;
}

// The header, and a file whose length is exactly the header's and its three frames'.
bool ReadHeader(FileHandle& patch, Patch2Header& header, std::wstring& cause) {
  std::uint8_t bytes[PATCH2_HEADER_SIZE];
  std::size_t got = 0;
  if (!patch.Read(bytes, sizeof bytes, got) || !DecodePatch2Header(bytes, got, header)) {
    cause = L"the patch has no format-2 header";
    return false;
  }
  if (!LengthsMatch(header, static_cast<std::uint64_t>(patch.Size()))) {
    cause = L"the patch's length is not what its header says";
    return false;
  }
  return true;
}

bool OldFileMatches(FileHandle& old, const std::wstring& oldPath, const Patch2Header& header, std::wstring& cause) {
  if (old.Size() < 0 || static_cast<std::uint64_t>(old.Size()) != header.oldSize) {
    cause = L"the installed file's size is not the one the patch was made from";
    return false;
  }
  std::wstring digest;
  Md5OfFile(digest, oldPath);
  if (digest != HexOf(header.oldMd5)) {
    cause = L"the installed file is not the one the patch was made from";
    return false;
  }
  return true;
}

}  // namespace

bool ApplyPatch2Bytes(const std::string& old, const std::string& patch, std::string& output, std::wstring& cause) {
  output.clear();
  cause.clear();
  Patch2Header header;
  if (!DecodePatch2Header(reinterpret_cast<const std::uint8_t*>(patch.data()), patch.size(), header) ||
      !LengthsMatch(header, patch.size())) {
    cause = L"the patch has no format-2 header, or its length is not the header's";
    return false;
  }
  if (old.size() != header.oldSize || Md5OfBytes(old.data(), old.size()) != HexOf(header.oldMd5)) {
    cause = L"the old content is not the one the patch was made from";
    return false;
  }
  BytesOldInput input(old);
  PackedMemoryAt bytes(patch);
  BytesOutput writer(output);
  std::wstring digest, writeFailure;
  Rebuild rebuild(header, bytes, input, writer);
  if (rebuild.Run(digest, cause, writeFailure)) return true;
  output.clear();
  return false;
}

std::string EncodePatch2Header(const Patch2Header& header) {
  std::string out(PATCH2_MAGIC, sizeof PATCH2_MAGIC);
  out += static_cast<char>(PATCH2_VERSION);
  out.append(3, '\0');
  PutU64(out, header.oldSize);
  PutU64(out, header.newSize);
  out.append(reinterpret_cast<const char*>(header.oldMd5), 16);
  out.append(reinterpret_cast<const char*>(header.newMd5), 16);
  PutU64(out, header.controlLength);
  PutU64(out, header.differenceLength);
  PutU64(out, header.copyLength);
  return out;
}

bool DecodePatch2Header(const std::uint8_t* bytes, std::size_t size, Patch2Header& header) {
  if (size < PATCH2_HEADER_SIZE || std::memcmp(bytes, PATCH2_MAGIC, 4) != 0 || bytes[4] != PATCH2_VERSION ||
      bytes[5] != 0 || bytes[6] != 0 || bytes[7] != 0) {
    return false;
  }
  header.oldSize = GetU64(bytes + 8);
  header.newSize = GetU64(bytes + 16);
  std::memcpy(header.oldMd5, bytes + 24, 16);
  std::memcpy(header.newMd5, bytes + 40, 16);
  header.controlLength = GetU64(bytes + 56);
  header.differenceLength = GetU64(bytes + 64);
  header.copyLength = GetU64(bytes + 72);
  return true;
}

bool ApplyPatch2File(const std::wstring& oldPath, const std::wstring& patchPath, const std::wstring& outputPath,
                     std::wstring& digest, std::wstring& cause, std::wstring& writeFailure) {
  digest.clear();
  cause.clear();
  writeFailure.clear();
  FileHandle patch = FileHandle::OpenForRead(patchPath);
  FileHandle oldFile = FileHandle::OpenForRead(oldPath);
  if (!patch.IsOpen() || !oldFile.IsOpen()) {
    cause = L"cannot open [" + (patch.IsOpen() ? oldPath : patchPath) + L"]: " + LastSystemErrorText();
    return false;
  }
  Patch2Header header;
  if (!ReadHeader(patch, header, cause) || !OldFileMatches(oldFile, oldPath, header, cause)) return false;
  FileHandle output = FileHandle::CreateForWrite(outputPath);
  if (!output.IsOpen()) {
    writeFailure = LastSystemErrorText();
    cause = L"cannot write [" + outputPath + L"]: " + writeFailure;
    return false;
  }
  CachedOldInput old(oldFile);
  PackedFileAt patchBytes(patch);
  FileOutput writer(output, nullptr);
  Rebuild rebuild(header, patchBytes, old, writer);
  bool ok = rebuild.Run(digest, cause, writeFailure);
  if (ok && !writer.Flush()) {
    writeFailure = writer.WriteFailure();
    ok = false;
  }
  if (ok && !output.Flush()) {
    writeFailure = LastSystemErrorText();
    ok = false;
  }
  if (!writeFailure.empty()) cause = L"cannot write [" + outputPath + L"]: " + writeFailure;
  if (ok) return true;
  digest.clear();
  output.Close();
  RemoveFile(outputPath);
  return false;
}
