#include "services/packed.h"

#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "services/files.h"
#include "services/md5.h"
#include "services/platform.h"

namespace {

constexpr std::size_t CHUNK = 65536;

struct Buffers {
  std::unique_ptr<unsigned char[]> in{new unsigned char[CHUNK]};
  std::unique_ptr<unsigned char[]> out{new unsigned char[CHUNK]};
};

using StreamOperation = int (*)(FileHandle&, FileHandle&, int);

bool TransformFile(const std::wstring& source, const std::wstring& destination, int level,
                   StreamOperation operation) {
  FileHandle in = FileHandle::OpenForRead(source);
  if (!in.IsOpen()) return false;
  FileHandle out = FileHandle::CreateForWrite(destination);
  if (!out.IsOpen()) return false;
  return operation(out, in, level) == STREAM_OK;
}

// Hashes chunks on a thread of its own, so that verifying a file costs no time beside inflating
// it on a machine with a second core.
class BackgroundMd5 {
 public:
  BackgroundMd5() : worker_([this] { Run(); }) {}
  ~BackgroundMd5() {
    Finish();
  }
  void Add(const unsigned char* data, std::size_t size) {
    std::unique_lock<std::mutex> guard(lock_);
    room_.wait(guard, [this] { return chunks_.size() < 8; });
    chunks_.emplace_back(data, data + size);
    ready_.notify_one();
  }
  std::wstring Text() {
    Finish();
    return md5_.FinalText();
  }

 private:
  void Finish() {
    {
      std::lock_guard<std::mutex> guard(lock_);
      done_ = true;
      ready_.notify_one();
    }
    if (worker_.joinable()) worker_.join();
  }
  void Run() {
    for (;;) {
      std::vector<unsigned char> chunk;
      {
        std::unique_lock<std::mutex> guard(lock_);
        ready_.wait(guard, [this] { return !chunks_.empty() || done_; });
        if (chunks_.empty()) return;
        chunk.swap(chunks_.front());
        chunks_.pop_front();
        room_.notify_one();
      }
      md5_.Update(chunk.data(), chunk.size());
    }
  }

  Md5 md5_;
  std::mutex lock_;
  std::condition_variable ready_;
  std::condition_variable room_;
  std::deque<std::vector<unsigned char>> chunks_;
  bool done_ = false;
  std::thread worker_;
};

// Inflates the source's stream, handing its plain bytes to the sink piece by piece, and stops
// once more than limit plain bytes came out or the sink refuses a piece (STREAM_FILE_ERROR).
int InflateInto(FileHandle& source, const PlainSink& sink, std::uint64_t limit) {
  std::uint64_t total = 0;
  z_stream stream{};
  int status = inflateInit2(&stream, 15);
  if (status != Z_OK) return status;
  Buffers buffers;
  bool ended = false;
  while (!ended) {
    std::size_t got = 0;
    if (!source.Read(buffers.in.get(), CHUNK, got)) {
      inflateEnd(&stream);
      return STREAM_FILE_ERROR;
    }
    if (got == 0) break;
    stream.next_in = buffers.in.get();
    stream.avail_in = static_cast<uInt>(got);
    do {
      stream.next_out = buffers.out.get();
      stream.avail_out = CHUNK;
      status = inflate(&stream, Z_NO_FLUSH);
      if (status == Z_NEED_DICT) status = Z_DATA_ERROR;
      if (status == Z_DATA_ERROR || status == Z_MEM_ERROR) {
        inflateEnd(&stream);
        return status;
      }
      std::size_t produced = CHUNK - stream.avail_out;
      total += produced;
      if (total > limit) {
        inflateEnd(&stream);
        return STREAM_TOO_LARGE;
      }
      if (!sink(buffers.out.get(), produced)) {
        inflateEnd(&stream);
        return STREAM_FILE_ERROR;
      }
    } while (stream.avail_out == 0 && status != Z_STREAM_END);
    ended = status == Z_STREAM_END;
  }
  inflateEnd(&stream);
  return ended ? STREAM_OK : STREAM_BAD_DATA;
}

// InflateStream, handing every plain byte also to the digest when there is one, and stopping
// once more than limit plain bytes came out. A write that the destination refuses leaves the
// system's reason in writeFailure, when there is one.
int InflateHashing(FileHandle& destination, FileHandle& source, BackgroundMd5* digest,
                   std::uint64_t limit = UNPACK_NO_LIMIT, std::wstring* writeFailure = nullptr) {
  return InflateInto(
      source,
      [&](const unsigned char* data, std::size_t size) {
        if (!destination.Write(data, size)) {
          if (writeFailure != nullptr) *writeFailure = LastSystemErrorText();
          return false;
        }
        if (digest != nullptr && size > 0) digest->Add(data, size);
        return true;
      },
      limit);
}

}  // namespace

int InflateStream(FileHandle& destination, FileHandle& source) { return InflateHashing(destination, source, nullptr); }

int DeflateStream(FileHandle& destination, int level, FileHandle& source, const PackProgress& progress) {
  z_stream stream{};
  int status = deflateInit2(&stream, level, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY);
  if (status != Z_OK) return status;
  Buffers buffers;
  std::uint64_t read = 0;
  for (;;) {
    std::size_t got = 0;
    if (!source.Read(buffers.in.get(), CHUNK, got)) {
      deflateEnd(&stream);
      return STREAM_FILE_ERROR;
    }
    read += got;
    if (progress) progress(read);
    int flush = got == 0 ? Z_FINISH : Z_NO_FLUSH;
    stream.next_in = buffers.in.get();
    stream.avail_in = static_cast<uInt>(got);
    do {
      stream.next_out = buffers.out.get();
      stream.avail_out = CHUNK;
      deflate(&stream, flush);
      std::size_t produced = CHUNK - stream.avail_out;
      if (!destination.Write(buffers.out.get(), produced)) {
        deflateEnd(&stream);
        return STREAM_FILE_ERROR;
      }
    } while (stream.avail_out == 0);
    if (flush == Z_FINISH) {
      deflateEnd(&stream);
      return STREAM_OK;
    }
  }
}

// In pieces, as DeflateStream reads a file: zlib's counters are 32-bit, and the output does not
// depend on how the input is cut (no flush before the end).
std::string PackBytes(const std::string& plain, int level, const std::vector<std::size_t>& blockEnds) {
  z_stream stream{};
  if (deflateInit2(&stream, level, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return {};
  Buffers buffers;
  std::string packed;
  std::size_t offset = 0;
  auto nextEnd = std::upper_bound(blockEnds.begin(), blockEnds.end(), std::size_t{0});
  int status = Z_OK;
  while (status == Z_OK) {
    const std::size_t end = nextEnd == blockEnds.end() ? plain.size() : std::min(*nextEnd, plain.size());
    const std::size_t piece = std::min(end - offset, CHUNK);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data() + offset));
    stream.avail_in = static_cast<uInt>(piece);
    offset += piece;
    int flush = Z_NO_FLUSH;
    if (offset == plain.size()) {
      flush = Z_FINISH;
    } else if (offset == end) {
      flush = Z_BLOCK;
      nextEnd = std::upper_bound(nextEnd, blockEnds.end(), offset);
    }
    do {
      stream.next_out = buffers.out.get();
      stream.avail_out = CHUNK;
      status = deflate(&stream, flush);
      packed.append(reinterpret_cast<const char*>(buffers.out.get()), CHUNK - stream.avail_out);
    } while (stream.avail_out == 0);
    if (flush == Z_FINISH) break;
  }
  deflateEnd(&stream);
  return status == Z_STREAM_END ? packed : std::string();
}

std::wstring TextCheckOfTail(const std::string& tail) {
  if (tail.size() != TEXT_CHECK_BYTES) return L"";
  static const wchar_t HEX[] = L"0123456789abcdef";
  std::wstring check;
  for (unsigned char byte : tail) {
    check += HEX[byte >> 4];
    check += HEX[byte & 15];
  }
  return check;
}

std::wstring TextCheckOfPacked(const std::string& packed) {
  return packed.size() < TEXT_CHECK_BYTES ? L"" : TextCheckOfTail(packed.substr(packed.size() - TEXT_CHECK_BYTES));
}

std::wstring TextCheckOfPackedFile(const std::wstring& path) {
  FileHandle file = FileHandle::OpenForRead(path);
  const std::int64_t size = file.IsOpen() ? file.Size() : -1;
  std::string tail(TEXT_CHECK_BYTES, '\0');
  std::size_t got = 0;
  if (size < static_cast<std::int64_t>(TEXT_CHECK_BYTES) || !file.Seek(size - static_cast<std::int64_t>(TEXT_CHECK_BYTES)) ||
      !file.Read(tail.data(), tail.size(), got) || got != tail.size()) {
    return L"";
  }
  return TextCheckOfTail(tail);
}

bool UnpackBytes(const std::string& packed, std::string& plain) {
  plain.clear();
  z_stream stream{};
  if (inflateInit(&stream) != Z_OK) return false;
  Buffers buffers;
  std::size_t offset = 0;
  int status = Z_OK;
  while (status == Z_OK) {
    if (stream.avail_in == 0) {
      const std::size_t piece = std::min(packed.size() - offset, CHUNK);
      if (piece == 0) break;  // the stream did not end
      stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data() + offset));
      stream.avail_in = static_cast<uInt>(piece);
      offset += piece;
    }
    stream.next_out = buffers.out.get();
    stream.avail_out = CHUNK;
    status = inflate(&stream, Z_NO_FLUSH);
    plain.append(reinterpret_cast<const char*>(buffers.out.get()), CHUNK - stream.avail_out);
  }
  inflateEnd(&stream);
  return status == Z_STREAM_END;
}

bool UnpackHead(const std::wstring& source, std::size_t size, std::string& head) {
  head.assign(size, '\0');
  FileHandle in = FileHandle::OpenForRead(source);
  z_stream stream{};
  if (!in.IsOpen() || inflateInit(&stream) != Z_OK) {
    head.clear();
    return false;
  }
  Buffers buffers;
  stream.next_out = reinterpret_cast<Bytef*>(head.data());
  stream.avail_out = static_cast<uInt>(size);
  int status = Z_OK;
  while (status == Z_OK && stream.avail_out > 0) {
    if (stream.avail_in == 0) {
      std::size_t got = 0;
      if (!in.Read(buffers.in.get(), CHUNK, got) || got == 0) break;
      stream.next_in = buffers.in.get();
      stream.avail_in = static_cast<uInt>(got);
    }
    status = inflate(&stream, Z_NO_FLUSH);
  }
  inflateEnd(&stream);
  head.resize(size - stream.avail_out);
  return (status == Z_OK || status == Z_STREAM_END) && !head.empty();
}

int UnpackFileInto(const std::wstring& source, const PlainSink& sink) {
  FileHandle in = FileHandle::OpenForRead(source);
  return in.IsOpen() ? InflateInto(in, sink, UNPACK_NO_LIMIT) : STREAM_FILE_ERROR;
}

bool UnpackFile(const std::wstring& source, const std::wstring& destination) {
  return TransformFile(source, destination, 0,
                       [](FileHandle& out, FileHandle& in, int) { return InflateStream(out, in); });
}

int UnpackFileBounded(const std::wstring& source, const std::wstring& destination, std::uint64_t limit) {
  FileHandle in = FileHandle::OpenForRead(source);
  if (!in.IsOpen()) return STREAM_FILE_ERROR;
  FileHandle out = FileHandle::CreateForWrite(destination);
  if (!out.IsOpen()) return STREAM_FILE_ERROR;
  const int status = InflateHashing(out, in, nullptr, limit);
  if (status == STREAM_TOO_LARGE) {
    out.Close();
    RemoveFile(destination);
  }
  return status;
}

std::wstring BeyondBound(std::uint64_t limit) {
  return L"it makes more than the " + std::to_wstring(limit) + L" bytes the file may have; stopped there";
}

bool UnpackFileWithDigest(const std::wstring& source, const std::wstring& destination, std::wstring& digest,
                          std::wstring& cause, std::wstring& writeFailure, std::uint64_t limit) {
  digest.clear();
  cause.clear();
  writeFailure.clear();
  FileHandle in = FileHandle::OpenForRead(source);
  if (!in.IsOpen()) return false;
  FileHandle out = FileHandle::CreateForWrite(destination);
  if (!out.IsOpen()) {
    writeFailure = LastSystemErrorText();
    return false;
  }
  BackgroundMd5 md5;
  const int status = InflateHashing(out, in, &md5, limit, &writeFailure);
  if (status == STREAM_TOO_LARGE) cause = BeyondBound(limit);
  if (status != STREAM_OK) return false;
  if (!out.Flush()) {
    writeFailure = LastSystemErrorText();
    return false;
  }
  digest = md5.Text();
  return true;
}

bool PackFile(const std::wstring& source, const std::wstring& destination, int level, const PackProgress& progress) {
  FileHandle in = FileHandle::OpenForRead(source);
  if (!in.IsOpen()) return false;
  FileHandle out = FileHandle::CreateForWrite(destination);
  return out.IsOpen() && DeflateStream(out, level, in, progress) == STREAM_OK;
}
