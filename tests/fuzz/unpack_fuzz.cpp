// Any bytes as a packed file: UnpackFile must answer true or false and nothing worse, and a true
// answer must mean that the bytes began with a complete zlib stream of what was written.
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "services/files.h"
#include "services/packed.h"
#include "services/text.h"
#include "fuzz/fuzz_folder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::wstring packed = AnsiToWide(FuzzFolder() + "/packed");
  const std::wstring plain = AnsiToWide(FuzzFolder() + "/plain");
  {
    FileHandle out = FileHandle::CreateForWrite(packed);
    if (!out.Write(data, size)) std::abort();
  }
  if (UnpackFile(packed, plain)) {
    std::string result;
    if (!ReadWholeFile(plain, result)) std::abort();
    // zlib's one-shot inflate of the same bytes must agree.
    std::string expected(result.size() + 1, '\0');
    uLongf length = static_cast<uLongf>(expected.size());
    int status = uncompress(reinterpret_cast<Bytef*>(expected.data()), &length, data, static_cast<uLong>(size));
    if (status != Z_OK || length != result.size() || expected.compare(0, length, result) != 0) std::abort();
  }
  return 0;
}
