// Any bytes as a format-2 patch over a small old file. Odd first byte: the rest is the patch file
// itself (headers and frames). Even: the rest is a new size and three raw streams, packed and put
// behind a header that matches the old file, so that the records reach the rebuild. Either way
// the rebuild answers true or false and nothing worse, never makes more than the header's size,
// the file rebuild agrees with the one in memory and leaves no output when it fails, and the old
// file is never changed.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/patch2.h"
#include "services/files.h"
#include "services/md5.h"
#include "services/packed2.h"
#include "services/text.h"
#include "fuzz/fuzz_folder.h"

namespace {

const std::string OLD = "The old file: abcdefghijklmnopqrstuvwxyz 0123456789, and some more of it.";

// new size (2 bytes), control length (2), difference length (2), then the streams.
std::string PatchOfStreams(const std::string& input, std::uint64_t& newSize) {
  if (input.size() < 6) return input;
  const auto u16 = [&](std::size_t at) {
    return static_cast<std::size_t>(static_cast<std::uint8_t>(input[at]) | static_cast<std::uint8_t>(input[at + 1]) << 8);
  };
  newSize = u16(0);
  const std::string rest = input.substr(6);
  const std::size_t c = std::min(u16(2), rest.size());
  const std::size_t d = std::min(u16(4), rest.size() - c);
  const std::string control = Pack2Bytes(rest.substr(0, c), 1);
  const std::string difference = Pack2Bytes(rest.substr(c, d), 1);
  const std::string copy = Pack2Bytes(rest.substr(c + d), 1);
  Patch2Header header;
  header.oldSize = OLD.size();
  header.newSize = newSize;
  Md5 md5;
  md5.Update(OLD.data(), OLD.size());
  md5.Final(header.oldMd5);
  header.controlLength = control.size();
  header.differenceLength = difference.size();
  header.copyLength = copy.size();
  return EncodePatch2Header(header) + control + difference + copy;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::uint64_t newSize = UINT64_MAX;
  const std::string patch = (data[0] & 1) != 0 ? input : PatchOfStreams(input, newSize);
  std::string output;
  std::wstring cause;
  const bool ok = ApplyPatch2Bytes(OLD, patch, output, cause);
  if (output.size() > newSize || output.size() > (1u << 20)) std::abort();

  const std::wstring oldPath = FuzzFile("old", OLD.data(), OLD.size());
  const std::wstring patchPath = FuzzFile("patch", patch.data(), patch.size());
  const std::wstring outPath = AnsiToWide(FuzzFolder() + "/out");
  RemoveFile(outPath);  // a success of the last input left its output
  std::wstring digest, fileCause, writeFailure;
  const bool fileOk = ApplyPatch2File(oldPath, patchPath, outPath, digest, fileCause, writeFailure);
  std::string oldAfter, written;
  if (fileOk != ok || !ReadWholeFile(oldPath, oldAfter) || oldAfter != OLD) std::abort();
  if (ok && (!ReadWholeFile(outPath, written) || written != output)) std::abort();
  if (!ok && PathExists(outPath)) std::abort();
  return 0;
}
