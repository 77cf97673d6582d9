#pragma once
// Where a build takes the old contents that it makes patches from: the release folders it is
// given and the last releases the tree itself published (whose packed whole files it keeps), and
// for a file that such a release lacks under its name, the old file it most likely came from.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "publish/release.h"

struct BuildOptions;
class ReleaseIndex;

// An earlier release's content of one file: in memory when small, else as a file on disk (the
// release folder's own, or the tree's packed file unpacked to a scratch file, removed with this).
struct OldContent {
  std::string bytes;
  std::filesystem::path file;
  bool scratch = false;

  OldContent() = default;
  OldContent(const OldContent&) = delete;
  OldContent& operator=(const OldContent&) = delete;
  ~OldContent();
  bool OnDisk() const { return !file.empty(); }
  // The MD5 and SHA-256 digest texts of the content, and its size.
  std::string Checksum() const;
  std::string Sha256() const;
  std::uint64_t Size() const;
};

// A packed file of the tree unpacked: into memory, or to a scratch file when the packed file is
// large, so that no file of any size is held whole.
constexpr std::uint64_t LARGE_PACKED = 16 << 20;
bool UnpackContent(const std::filesystem::path& packed, OldContent& plain);

// Whether the patch (format 1's byte code, not packed, or format 2's file) rebuilds the content
// whose MD5 is checksum from old, by the client's own interpreter; through scratch files when old
// is on disk.
bool PatchRebuilds(int format, const OldContent& old, const std::string& patch, const std::string& checksum);

// A scratch file of its own, in the system's temporary folder, for a build's passing contents.
std::filesystem::path ScratchFile();

struct PatchSource {
  std::wstring label;  // the version, or the folder's path
  std::filesystem::path folder;
  bool packed = false;
  // Its files, each with its size (packed, when the source is), to choose a similar one from.
  std::vector<ReleaseItem> files;

  // The old content of name; on disk when the new content is large or the old one is (from
  // largeFrom bytes on).
  bool Fetch(const std::wstring& name, bool large, std::uint64_t largeFrom, OldContent& old) const;

  // The old file to patch name from when this release lacks it: one of the same extension and
  // size class (half to twice its size; wholeSize is its packed size, content its bytes, empty
  // when large) and, first, of the same file name in another folder (a renamed folder); else
  // the one that shares most of its content by samples (at least 30%), among the closest in
  // size. Empty when none fits.
  std::wstring SimilarTo(const std::wstring& name, const std::string& content, std::uint64_t wholeSize,
                         std::uint64_t largeFrom) const;
};

// The release folders given (oldest first), then the tree's own last releases.
std::vector<PatchSource> PatchSources(const BuildOptions& options, const ReleaseIndex& index,
                                      const std::filesystem::path& productRoot);
