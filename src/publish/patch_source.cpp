#include "publish/patch_source.h"

#include <algorithm>
#include <atomic>

#include "engine/patch.h"
#include "engine/patch2.h"
#include "publish/build_options.h"
#include "publish/delta_chunked.h"
#include "publish/release_index.h"
#include "publish/tree_writes.h"
#include "services/files.h"
#include "services/ini.h"
#include "services/md5.h"
#include "services/packed.h"
#include "services/platform.h"
#include "services/signing.h"
#include "services/text.h"

namespace fs = std::filesystem;

namespace {

// The last part of a list name ("data\map.pak": "map.pak"), and its extension (".pak"; empty
// when it has none).
std::wstring FileNameOf(const std::wstring& name) {
  const std::size_t slash = name.find_last_of(L"\\/");
  return slash == std::wstring::npos ? name : name.substr(slash + 1);
}
std::wstring ExtensionOf(const std::wstring& name) {
  const std::wstring file = FileNameOf(name);
  const std::size_t dot = file.rfind(L'.');
  return dot == std::wstring::npos ? L"" : file.substr(dot);
}

}  // namespace

OldContent::~OldContent() {
  if (scratch) RemoveFile(WideOf(file));
}

std::string OldContent::Checksum() const {
  std::wstring digest = OnDisk() ? L"" : Md5OfBytes(bytes.data(), bytes.size());
  if (OnDisk()) Md5OfFile(digest, WideOf(file));
  return WideToUtf8(digest);
}

std::string OldContent::Sha256() const { return OnDisk() ? Sha256OfFile(WideOf(file)) : Sha256Hex(bytes); }

std::uint64_t OldContent::Size() const {
  std::error_code error;
  return OnDisk() ? fs::file_size(file, error) : bytes.size();
}

bool UnpackContent(const fs::path& packed, OldContent& plain) {
  std::error_code error;
  if (fs::file_size(packed, error) < LARGE_PACKED && !error) return UnpackToMemory(packed, plain.bytes);
  plain.file = ScratchFile();
  plain.scratch = true;
  return UnpackFile(WideOf(packed), WideOf(plain.file));
}

bool PatchRebuilds(int format, const OldContent& old, const std::string& patch, const std::string& checksum) {
  std::wstring digest;
  if (!old.OnDisk()) {
    std::string rebuilt;
    std::wstring cause;
    if (format == 1 ? ApplyPatchBytes(old.bytes, patch, rebuilt) : ApplyPatch2Bytes(old.bytes, patch, rebuilt, cause)) {
      digest = Md5OfBytes(rebuilt.data(), rebuilt.size());
    }
    return !digest.empty() && EqualNoCase(digest, AnsiToWide(checksum));
  }
  const fs::path patchFile = ScratchFile(), output = ScratchFile();
  std::string error;
  std::wstring cause, writeFailure;
  const bool rebuilt =
      WriteFileAtomically(patchFile, patch, error) &&
      (format == 1 ? ApplyPatchFileWithDigest(WideOf(old.file), WideOf(patchFile), WideOf(output), digest, cause, writeFailure)
                   : ApplyPatch2File(WideOf(old.file), WideOf(patchFile), WideOf(output), digest, cause, writeFailure));
  RemoveFile(WideOf(patchFile));
  RemoveFile(WideOf(output));
  return rebuilt && EqualNoCase(digest, AnsiToWide(checksum));
}

fs::path ScratchFile() {
  static std::atomic<unsigned> next{0};
  return fs::temp_directory_path() /
         ("zepo-publish-" + std::to_string(CurrentProcessId()) + "-" + std::to_string(next++) + ".old");
}

bool PatchSource::Fetch(const std::wstring& name, bool large, std::uint64_t largeFrom, OldContent& old) const {
  const fs::path path = folder / PathOf(name);
  std::error_code error;
  if (!fs::is_regular_file(path, error)) return false;
  if (!packed) {
    if (large || fs::file_size(path, error) >= largeFrom) {
      old.file = path;
      return true;
    }
    return ReadWholeFile(WideOf(path), old.bytes);
  }
  if (!large) {
    if (!UnpackToMemory(path, old.bytes)) return false;
    if (old.bytes.size() < largeFrom) return true;
    std::string().swap(old.bytes);
  }
  old.file = ScratchFile();
  old.scratch = true;
  return UnpackFile(WideOf(path), WideOf(old.file));
}

std::wstring PatchSource::SimilarTo(const std::wstring& name, const std::string& content, std::uint64_t wholeSize,
                                    std::uint64_t largeFrom) const {
  const std::uint64_t size = packed ? wholeSize : content.size();
  std::vector<const ReleaseItem*> candidates;
  for (const ReleaseItem& old : files) {
    if (!old.folder && old.size >= size / 2 && old.size <= 2 * size + 1 &&
        EqualNoCase(ExtensionOf(old.name), ExtensionOf(name)) && !EqualNoCase(old.name, name)) {
      candidates.push_back(&old);
    }
  }
  const auto distance = [&](const ReleaseItem* old) { return old->size > size ? old->size - size : size - old->size; };
  std::sort(candidates.begin(), candidates.end(),
            [&](const ReleaseItem* a, const ReleaseItem* b) { return distance(a) < distance(b); });
  for (const ReleaseItem* old : candidates) {
    if (EqualNoCase(FileNameOf(old->name), FileNameOf(name))) return old->name;
  }
  // Samples need the contents in memory: large files are matched by name only.
  if (content.empty() || content.size() >= largeFrom) return L"";
  constexpr std::size_t COMPARED = 16;
  const std::vector<std::uint64_t> wanted = SampleChunkHashes(content);
  std::wstring best;
  double bestShare = 0.3;
  for (std::size_t i = 0; i < candidates.size() && i < COMPARED; ++i) {
    OldContent old;
    if (!Fetch(candidates[i]->name, false, largeFrom, old) || old.OnDisk()) continue;
    const double share = SharedShare(wanted, SampleChunkHashes(old.bytes));
    if (share >= bestShare) bestShare = share, best = candidates[i]->name;
  }
  return best;
}

std::vector<PatchSource> PatchSources(const BuildOptions& options, const ReleaseIndex& index,
                                      const fs::path& productRoot) {
  std::vector<PatchSource> sources;
  for (const fs::path& folder : options.previous) {
    PatchSource& source = sources.emplace_back(PatchSource{WideOf(folder), folder, false, {}});
    std::vector<std::string> ignored;
    ScanRelease(folder, options.followLinks, source.files, ignored);
  }
  const std::vector<std::wstring> releases = IndexedVersions(index);
  const std::size_t first = releases.size() > options.patchFrom ? releases.size() - options.patchFrom : 0;
  for (std::size_t i = first; i < releases.size(); ++i) {
    const fs::path folder = productRoot / "files" / PathOf(releases[i]);
    PatchSource& source = sources.emplace_back(PatchSource{releases[i], folder, true, {}});
    const IniDocument list = index.ListOf(releases[i]);
    std::wstring name;
    for (std::size_t s = FirstEntrySection(list); s < list.SectionCount(); ++s) {
      if (!list.NamedSection(s, name)) continue;
      std::error_code error;
      const fs::path path = folder / PathOf(name);
      if (fs::is_regular_file(path, error)) source.files.push_back({name, path, false, fs::file_size(path, error)});
    }
  }
  return sources;
}
