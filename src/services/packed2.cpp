#include "services/packed2.h"

#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include "services/files.h"
#include "services/md5.h"
#include "services/platform.h"

namespace {

constexpr std::size_t CHUNK = 1 << 17;

// The content size that a frame's header states; no bound when it states none.
std::uint64_t StatedContentSize(PackedBytesAt& source) {
  std::uint8_t header[18];  // the longest frame header
  std::size_t got = 0;
  if (!source.ReadAt(0, header, sizeof header, got)) return UNPACK_NO_LIMIT;
  const unsigned long long size = ZSTD_getFrameContentSize(header, got);
  return size == ZSTD_CONTENTSIZE_UNKNOWN || size == ZSTD_CONTENTSIZE_ERROR ? UNPACK_NO_LIMIT : size;
}

struct DecoderDeleter {
  void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};
using Decoder = std::unique_ptr<ZSTD_DCtx, DecoderDeleter>;

Decoder MakeDecoder() {
  Decoder decoder(ZSTD_createDCtx());
  if (decoder && ZSTD_isError(ZSTD_DCtx_setParameter(decoder.get(), ZSTD_d_windowLogMax, PACK2_WINDOW_LOG))) {
    decoder.reset();
  }
  return decoder;
}

}  // namespace

struct Pack2Stream::State {
  ZSTD_CCtx* context = ZSTD_createCCtx();
  ~State() { ZSTD_freeCCtx(context); }
};

Pack2Stream::Pack2Stream(int level, std::uint64_t plainSize) : state_(std::make_unique<State>()) {
  ZSTD_CCtx* context = state_->context;
  failed_ = context == nullptr || ZSTD_isError(ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, level)) ||
            ZSTD_isError(ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, PACK2_WINDOW_LOG)) ||
            ZSTD_isError(ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1)) ||
            (plainSize != UNKNOWN_SIZE && ZSTD_isError(ZSTD_CCtx_setPledgedSrcSize(context, plainSize)));
  // Large inputs pack in jobs on every core (small ones would only pay for the threads); a zstd
  // built without threads refuses the parameter and packs on one, which changes only the time.
  if (!failed_ && (plainSize == UNKNOWN_SIZE || plainSize >= PARALLEL_FROM)) {
    ZSTD_CCtx_setParameter(context, ZSTD_c_nbWorkers, static_cast<int>(std::max(1u, std::thread::hardware_concurrency())));
  }
}

Pack2Stream::~Pack2Stream() = default;

bool Pack2Stream::Pump(const void* data, std::size_t size, bool end) {
  ZSTD_inBuffer in{data, size, 0};
  std::size_t remaining = 1;
  while (!failed_ && (in.pos < in.size || (end && remaining != 0))) {
    const std::size_t before = packed_.size();
    packed_.resize(before + CHUNK);
    ZSTD_outBuffer out{packed_.data() + before, CHUNK, 0};
    remaining = ZSTD_compressStream2(state_->context, &out, &in, end ? ZSTD_e_end : ZSTD_e_continue);
    packed_.resize(before + out.pos);
    failed_ = ZSTD_isError(remaining);
  }
  return !failed_;
}

Pack2Stream Pack2Stream::Adaptive(int level) {
  Pack2Stream stream(level);
  stream.level_ = level;
  return stream;
}

bool Pack2Stream::Add(const void* data, std::size_t size) {
  if (size == 0) return true;
  if (level_ == 0) return Pump(data, size, false);
  pending_.append(static_cast<const char*>(data), size);
  return pending_.size() < ADAPTIVE_PIECE || PumpPending(false);
}

// The top levels search hard for matches that bytes which do not pack lack: zstd's top level
// packs random bytes at well under 1 MB/s. A piece that the fastest level cannot shrink by 2%
// is packed fast instead (the level applies from the frame's next job on).
bool Pack2Stream::PumpPending(bool end) {
  std::string probe(ZSTD_compressBound(pending_.size()), '\0');
  const std::size_t fast = ZSTD_compress(probe.data(), probe.size(), pending_.data(), pending_.size(), 1);
  const bool packs = !ZSTD_isError(fast) && fast * 100 < pending_.size() * 98;
  ZSTD_CCtx_setParameter(state_->context, ZSTD_c_compressionLevel, packs ? level_ : 1);
  const bool pumped = Pump(pending_.data(), pending_.size(), end);
  pending_.clear();
  return pumped;
}

std::string Pack2Stream::Finish() {
  if (!(level_ != 0 && !pending_.empty() ? PumpPending(true) : Pump(nullptr, 0, true))) return {};
  return std::move(packed_);
}

bool Pack2File(const std::wstring& source, const std::wstring& destination, int level, const PackProgress& progress) {
  FileHandle in = FileHandle::OpenForRead(source);
  FileHandle out = FileHandle::CreateForWrite(destination);
  bool ok = in.IsOpen() && out.IsOpen();
  if (ok) {
    Pack2Stream stream(level, static_cast<std::uint64_t>(in.Size()));
    std::vector<std::uint8_t> piece(4 << 20);
    std::uint64_t read = 0;
    while (ok) {
      std::size_t got = 0;
      ok = in.Read(piece.data(), piece.size(), got);
      if (!ok || got == 0) break;
      read += got;
      if (progress) progress(read);
      ok = stream.Add(piece.data(), got);
      const std::string packed = stream.TakePacked();
      ok = ok && (packed.empty() || out.Write(packed.data(), packed.size()));
    }
    const std::string rest = stream.Finish();
    ok = ok && !rest.empty() && out.Write(rest.data(), rest.size()) && out.Flush();
  }
  out.Close();
  if (!ok) RemoveFile(destination);
  return ok;
}

std::string Pack2Bytes(const std::string& plain, int level) {
  Pack2Stream stream(level, plain.size());
  stream.Add(plain.data(), plain.size());
  return stream.Finish();
}

bool Unpack2Bytes(const std::string& packed, std::string& plain, std::uint64_t limit) {
  plain.clear();
  Decoder decoder = MakeDecoder();
  if (!decoder) return false;
  ZSTD_inBuffer in{packed.data(), packed.size(), 0};
  std::vector<char> out(CHUNK);
  std::size_t remaining = 1;
  while (remaining != 0) {
    ZSTD_outBuffer piece{out.data(), out.size(), 0};
    remaining = ZSTD_decompressStream(decoder.get(), &piece, &in);
    if (ZSTD_isError(remaining)) return false;
    if (plain.size() + piece.pos > limit) return false;
    plain.append(out.data(), piece.pos);
    if (remaining != 0 && in.pos == in.size && piece.pos < piece.size) return false;  // the frame is cut short
  }
  return in.pos == in.size;
}

std::size_t Packed2FrameLength(const std::string& bytes) {
  const std::size_t length = ZSTD_findFrameCompressedSize(bytes.data(), bytes.size());
  return ZSTD_isError(length) ? 0 : length;
}

struct Pack2Reader::State {
  Decoder decoder = MakeDecoder();
  std::vector<std::uint8_t> input = std::vector<std::uint8_t>(CHUNK);
  ZSTD_inBuffer in{nullptr, 0, 0};
};

bool PackedFileAt::ReadAt(std::uint64_t offset, std::uint8_t* data, std::size_t size, std::size_t& got) {
  got = 0;
  return file_.Seek(static_cast<std::int64_t>(offset)) && file_.Read(data, size, got);
}

bool PackedMemoryAt::ReadAt(std::uint64_t offset, std::uint8_t* data, std::size_t size, std::size_t& got) {
  got = offset >= bytes_.size() ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(size, bytes_.size() - offset));
  if (got > 0) std::memcpy(data, bytes_.data() + offset, got);
  return true;
}

Pack2Reader::Pack2Reader(PackedBytesAt& source, std::uint64_t offset, std::uint64_t length)
    : source_(source), next_(offset), end_(offset + length), state_(new State) {
  state_->in.src = state_->input.data();
  failed_ = !state_->decoder;
}

Pack2Reader::~Pack2Reader() = default;

bool Pack2Reader::Fill() {
  const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(CHUNK, end_ - next_));
  std::size_t got = 0;
  if (want == 0 || !source_.ReadAt(next_, state_->input.data(), want, got) || got == 0) {
    return false;
  }
  next_ += got;
  state_->in.size = got;
  state_->in.pos = 0;
  return true;
}

std::size_t Pack2Reader::Read(std::uint8_t* data, std::size_t size) {
  ZSTD_outBuffer out{data, size, 0};
  while (out.pos < out.size && !failed_ && !frameEnded_) {
    if (state_->in.pos == state_->in.size && !Fill()) {
      // No more input: a frame that has not ended is cut short, unless zstd still holds output.
      const std::size_t before = out.pos;
      const std::size_t left = ZSTD_decompressStream(state_->decoder.get(), &out, &state_->in);
      if (ZSTD_isError(left)) failed_ = true;
      else if (left == 0) frameEnded_ = true;
      else if (out.pos == before) failed_ = true;
      continue;
    }
    const std::size_t left = ZSTD_decompressStream(state_->decoder.get(), &out, &state_->in);
    if (ZSTD_isError(left)) failed_ = true;
    else if (left == 0) frameEnded_ = true;
  }
  return out.pos;
}

bool Pack2Reader::Finished() const {
  return frameEnded_ && !failed_ && state_->in.pos == state_->in.size && next_ == end_;
}

bool Unpack2FileWithDigest(const std::wstring& source, const std::wstring& destination, std::wstring& digest,
                           std::wstring& cause, std::wstring& writeFailure, std::uint64_t limit) {
  digest.clear();
  cause.clear();
  writeFailure.clear();
  FileHandle in = FileHandle::OpenForRead(source);
  if (!in.IsOpen()) return false;
  const std::int64_t size = in.Size();
  if (size < 0) return false;
  FileHandle out = FileHandle::CreateForWrite(destination);
  if (!out.IsOpen()) {
    writeFailure = LastSystemErrorText();
    return false;
  }
  PackedFileAt packed(in);
  Pack2Reader reader(packed, 0, static_cast<std::uint64_t>(size));
  std::vector<std::uint8_t> buffer(CHUNK);
  limit = std::min(limit, StatedContentSize(packed));
  Md5 md5;
  std::uint64_t written = 0;
  for (;;) {
    const std::size_t got = reader.Read(buffer.data(), buffer.size());
    if (got == 0) break;
    written += got;
    if (written > limit) {
      cause = BeyondBound(limit);
      return false;
    }
    md5.Update(buffer.data(), got);
    if (!out.Write(buffer.data(), got)) {
      writeFailure = LastSystemErrorText();
      return false;
    }
  }
  if (!reader.Finished()) return false;
  if (!out.Flush()) {
    writeFailure = LastSystemErrorText();
    return false;
  }
  digest = md5.FinalText();
  return true;
}
