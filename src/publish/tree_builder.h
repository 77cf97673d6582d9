#pragma once
// Builds or updates a patch-server tree from a release folder: the packed whole files under the
// version's folder, verified packed patches from every previous release's content, the file list
// and the root descriptors. Published files never change under their URL; only the lists and
// "rootfolder.enc" are rewritten, each in one step.
#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "publish/build_options.h"
#include "publish/release_signing.h"

// The extension of a whole file packed with zstd, beside the zlib one.
constexpr const wchar_t* WHOLE2_EXTENSION = L".zst";

// The patches made from one earlier release.
struct PatchSet {
  std::wstring from;  // the version, or the release folder
  std::size_t patches = 0;
  std::uint64_t bytes = 0;
};

struct BuildSummary {
  bool unchanged = false;           // the version was published already with this content
  std::wstring live;                // the live version afterwards
  std::size_t changed = 0;          // files whose content differs from the live release's
  std::size_t added = 0;            // files the live release did not have
  std::size_t patchedFiles = 0;
  std::uint64_t versionBytes = 0;   // every packed whole file of this version
  std::uint64_t storedBytes = 0;    // what the build added to the tree: content and patches it lacked
  std::vector<PatchSet> patchSets;  // oldest source first
  std::size_t files = 0;
  std::uint64_t bytes = 0;          // of the release's files
  std::size_t wholeFiles = 0;
  std::uint64_t wholeBytes = 0;     // packed whole files of this version
  std::size_t patches = 0;
  std::uint64_t patchBytes = 0;     // packed patches published or reused
  std::uint64_t patchedWholeBytes = 0;  // what the patched files would cost whole
  std::size_t whole2Files = 0;      // whole files also offered packed with zstd
  std::uint64_t whole2Bytes = 0;
  std::size_t patches2 = 0;          // format-2 patches published or reused
  std::uint64_t patch2Bytes = 0;
  std::size_t chunkedFiles = 0;      // files also offered in chunks
  std::size_t chunks = 0;            // their chunks, a chunk counted once per place
  std::size_t newChunks = 0;         // chunks the tree did not hold
  std::uint64_t chunkBytes = 0;      // every chunk's packed bytes
  std::size_t removed = 0;
  std::size_t movedTimes = 0;       // changed files listed with the publish time (see SettleTimes)
};

// The keys of patches to add to a list's file sections, by file name folded to one case: the old
// content's MD5 (with ".2" for the second format) and the patch folder.
using ReversePatchKeys = std::map<std::wstring, std::vector<std::pair<std::wstring, std::wstring>>>;

// Patches that take clients from one published version's content (from, the live one) to
// another's (to, an earlier one going live again), so that a rollback costs what an update does:
// for each of the names whose content the two versions' kept whole files hold differently, a
// verified patch in each format that pays, published (or found published) under the tree's patch
// folders. False with a message when a patch does not rebuild its file.
bool PublishReversePatches(const std::filesystem::path& out, const std::wstring& product, const std::wstring& from,
                           const std::wstring& to, const std::vector<std::wstring>& names, ReversePatchKeys& keys,
                           std::string& error);

// False with a message when the tree cannot be built; nothing of the list is changed then.
bool BuildTree(const BuildOptions& options, BuildSummary& summary, std::string& error);

// The time a changed file is listed with when its own time is in the minute listed before for
// it: the publish time (now, in file-time ticks), on a whole minute after the listed one.
std::wstring PublishTimeAfter(const std::wstring& listed, std::uint64_t now);


// Refuses a list that takes away every file of the live list, or more than half of them (names
// folded to one case), unless allowed: the message says how many files players would lose.
bool CheckRemovals(const std::set<std::wstring>& liveFiles, const std::set<std::wstring>& newFiles,
                   const std::wstring& version, bool allow, std::string& error);
