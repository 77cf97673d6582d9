#pragma once
// Whether the tree's packed files still hold the content they are published for. Nothing writes
// into a tree's file in place, but people and disks do: a file copied over a release's path
// changes, through the hard links, every release and the store entry that share it. A build
// never links a release to a damaged stored file, verify and status name damaged content, and a
// rollback never makes a release live whose files do not unpack to what its list states.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

class ReleaseIndex;

// The digests of a packed file's content, unpacked in pieces (never held whole). False when the
// file does not unpack: a broken or truncated stream, or not one zstd frame (zstd, for ".zst").
struct ContentDigests {
  std::string md5;
  std::string sha256;
  std::uint64_t size = 0;
};
bool DigestPackedContent(const std::filesystem::path& packed, bool zstd, ContentDigests& digests);

// One damaged file of the tree, with every release path that names it (one file through hard links).
struct DamagedContent {
  std::vector<std::string> paths;     // relative to the tree, "velora/files/1.0/data/a.pak"
  std::vector<std::wstring> releases; // the versions whose lists name it, in the index's order
  std::string cause;                  // "does not unpack", "does not unpack to its CheckSum"

  std::string Text() const;
};

// The damaged whole files (both packed forms) of the given versions' kept lists; each file is
// unpacked once however many releases name it. Shows progress on a terminal.
std::vector<DamagedContent> DamagedContentOf(const std::filesystem::path& tree, const std::filesystem::path& product,
                                             const ReleaseIndex& index, const std::vector<std::wstring>& versions);
