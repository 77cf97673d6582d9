// Hashing while unpacking must be unpacking and then hashing: UnpackFileWithDigest and UnpackFile
// agree on every input, write the same bytes, and the digest is the MD5 of what was written.
// The first byte chooses the input: the rest as a packed file as it is (0), packed first so that
// the whole inflate path is reached (1), or packed and then cut or spoilt at a place the next
// bytes name (2, 3).
#include <cstdint>
#include <cstdlib>
#include <string>

#include "services/files.h"
#include "services/md5.h"
#include "services/packed.h"
#include "services/text.h"
#include "fuzz/fuzz_folder.h"

namespace {

void Write(const std::wstring& path, const std::string& bytes) {
  FileHandle out = FileHandle::CreateForWrite(path);
  if (!out.Write(bytes.data(), bytes.size())) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const std::wstring source = AnsiToWide(FuzzFolder() + "/source");
  const std::wstring packed = AnsiToWide(FuzzFolder() + "/packed");
  const std::wstring hashed = AnsiToWide(FuzzFolder() + "/hashed");
  const std::wstring plain = AnsiToWide(FuzzFolder() + "/plain");
  const int mode = data[0] & 3;
  const std::size_t place = static_cast<std::size_t>(data[1]) | (static_cast<std::size_t>(data[2]) << 8);
  const std::string rest(reinterpret_cast<const char*>(data) + 3, size - 3);
  if (mode == 0) {
    Write(packed, rest);
  } else {
    Write(source, rest);
    if (!PackFile(source, packed, 1 + data[1] % 9)) std::abort();
    std::string bytes;
    if (!ReadWholeFile(packed, bytes)) std::abort();
    if (mode == 2) bytes.resize(place % (bytes.size() + 1));
    if (mode == 3 && !bytes.empty()) bytes[place % bytes.size()] ^= static_cast<char>(1 + (data[2] & 0x7F));
    Write(packed, bytes);
  }
  RemoveFile(hashed);
  RemoveFile(plain);
  std::wstring digest;
  std::wstring writeFailure, cause;
  const bool withDigest = UnpackFileWithDigest(packed, hashed, digest, cause, writeFailure);
  const bool without = UnpackFile(packed, plain);
  if (withDigest != without) std::abort();
  if (mode == 1 && !withDigest) std::abort();
  if (!withDigest) return 0;
  std::string a, b;
  if (!ReadWholeFile(hashed, a) || !ReadWholeFile(plain, b) || a != b) std::abort();
  if (mode == 1 && a != rest) std::abort();
  if (digest != Md5OfBytes(a.data(), a.size())) std::abort();
  return 0;
}
