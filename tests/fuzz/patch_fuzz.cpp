// Any bytes as a patch over a small old file: the interpreter answers true or false and nothing
// worse, the file interpreter agrees with an in-memory reading, and the old file is never changed.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/patch.h"
#include "services/files.h"
#include "services/text.h"
#include "fuzz/fuzz_folder.h"

namespace {

const std::string OLD = "The old file: abcdefghijklmnopqrstuvwxyz 0123456789 \xA7\xA5\xA6 end.";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string output;
  const bool ok = ApplyPatchBytes(OLD, std::string(reinterpret_cast<const char*>(data), size), output);
  if (output.size() > (1u << 24)) std::abort();  // far more than any patch of this size describes

  const std::wstring oldPath = FuzzFile("old", OLD.data(), OLD.size());
  const std::wstring patchPath = FuzzFile("patch", data, size);
  const std::wstring outPath = AnsiToWide(FuzzFolder() + "/out");
  const bool fileOk = ApplyPatchFile(oldPath, patchPath, outPath);
  std::string oldAfter;
  std::string written;
  if (fileOk != ok || !ReadWholeFile(oldPath, oldAfter) || oldAfter != OLD) std::abort();
  if (ok && (!ReadWholeFile(outPath, written) || written != output)) std::abort();
  return 0;
}
