#pragma once
// Retiring old releases. Every release a tree keeps costs its disk and its origin: the whole files
// only it holds, the patches only its list names. Prune takes that away for releases nobody is
// served any more, and keeps their record and list in the index: later releases still remove on
// players' machines what they shipped, and push still knows them at the origin. Players still on
// a pruned release update as any other client does (whole files, patches from contents that
// kept releases hold, content they already have).
#include <cstddef>
#include <filesystem>
#include <string>

#include "protocol/served_names.h"

struct PruneOptions {
  std::size_t keep = 0;  // the last this many releases stay; 0: not asked
  std::wstring before;   // releases published before this date ("2026-12-01") go; empty: not asked
  std::wstring channel = DEFAULT_CHANNEL;  // whose releases are chosen; what every channel keeps stays
};

// Prunes the releases that options choose, never the live one nor the last options.keep: marks
// them in the index first, then removes their files, the patches that no kept release's list or
// served list names, and the stored contents no release names any more. Prints what it frees.
// A prune stopped anywhere is finished by the next. False with the reason.
bool PruneTree(const std::filesystem::path& tree, const std::wstring& rootKey, const PruneOptions& options,
               std::string& error);
