#pragma once
// What a build is asked to publish, and how: the release, its version, the tree, the earlier
// releases to patch from, signing and the formats. Read by the build and by the choice of patch
// sources alike.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "protocol/served_names.h"
#include "publish/delta_chunked.h"
#include "publish/release_signing.h"

struct BuildOptions {
  std::filesystem::path release;
  std::wstring version;
  std::filesystem::path out;
  std::vector<std::filesystem::path> previous;  // oldest first; the last is the newest
  // Patches are also made from this many of the tree's own last releases.
  std::size_t patchFrom = 3;
  std::wstring product = L"game/";
  std::wstring rootKey = DEFAULT_ROOT_KEY;
  // The channel the release goes live on (publish/channels.h); its content is the product's.
  std::wstring channel = DEFAULT_CHANNEL;
  std::vector<std::wstring> selfUpdate;
  std::vector<std::wstring> keep;
  unsigned jobs = 1;
  // Symbolic links are published as the files they point to, when those lie inside the release.
  bool followLinks = false;
  // A patch is published only when its packed size is below this share of the packed whole file.
  double patchShare = 0.8;
  // A signed tree: every list section also carries the content's "SHA256" and "Size", and every
  // descriptor and list a signature file.
  SigningOptions signing;
  // 2: every file also packed with zstd, and every patch also made in the second format, each
  // published beside the first where it is smaller; 1: the first format only; 0: neither (a tree
  // of chunks alone, whose updater's own files still come whole in the first format).
  int highestFormat = 2;
  // The third format: every file in chunks (publish/chunk_store.h), beside the others.
  bool chunks = true;
  // A release may take away every file of the live one, or more than half of them.
  bool allowRemovals = false;
  // Files from this size on (old or new) are patched in chunks, in bounded memory.
  std::uint64_t chunkedFrom = CHUNKED_FROM;
};
