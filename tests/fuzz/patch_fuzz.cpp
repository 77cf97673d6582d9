// Any bytes as a patch over a small old file: the interpreter answers true or false and nothing
// worse, the file interpreter agrees with an in-memory reading, and the old file is never changed.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/patch.h"
#include "services/files.h"
#include "services/text.h"

namespace {

const std::string OLD = "The old file: abcdefghijklmnopqrstuvwxyz 0123456789 \xA7\xA5\xA6 end.";

struct MemoryPatch final : PatchInput {
  MemoryPatch(const std::uint8_t* data, std::size_t size) : data(data), size(size) {}
  int Next() override { return at < size ? data[at++] : -1; }
  const std::uint8_t* data;
  std::size_t size;
  std::size_t at = 0;
};

struct MemoryOld final : OldInput {
  std::int64_t Position() const override { return position; }
  bool SetPosition(std::int64_t p) override {
    if (p < 0) return false;
    position = p;
    return true;
  }
  std::size_t Read(std::uint8_t* out, std::size_t n) override {
    std::size_t done = 0;
    while (done < n && position < static_cast<std::int64_t>(OLD.size())) out[done++] = static_cast<std::uint8_t>(OLD[position++]);
    return done;
  }
  std::int64_t position = 0;
};

struct MemoryOutput final : PatchOutput {
  bool Write(const std::uint8_t* data, std::size_t n) override {
    bytes.append(reinterpret_cast<const char*>(data), n);
    if (bytes.size() > (1u << 24)) std::abort();  // far more than any patch of this size describes
    return true;
  }
  std::string bytes;
};

std::string Folder() {
  static std::string folder = [] {
    char pattern[] = "/tmp/zepo-patch-fuzz-XXXXXX";
    return std::string(mkdtemp(pattern));
  }();
  return folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  MemoryOld old;
  MemoryPatch patch(data, size);
  MemoryOutput output;
  const bool ok = ApplyPatchStream(old, patch, output);

  const std::wstring oldPath = AnsiToWide(Folder() + "/old");
  const std::wstring patchPath = AnsiToWide(Folder() + "/patch");
  const std::wstring outPath = AnsiToWide(Folder() + "/out");
  {
    FileHandle f = FileHandle::CreateForWrite(oldPath);
    f.Write(OLD.data(), OLD.size());
    FileHandle p = FileHandle::CreateForWrite(patchPath);
    p.Write(data, size);
  }
  const bool fileOk = ApplyPatchFile(oldPath, patchPath, outPath);
  std::string oldAfter;
  std::string written;
  if (fileOk != ok || !ReadWholeFile(oldPath, oldAfter) || oldAfter != OLD) std::abort();
  if (ok && (!ReadWholeFile(outPath, written) || written != output.bytes)) std::abort();
  return 0;
}
