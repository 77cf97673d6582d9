#pragma once
// What the check found for a run to do: the files to fetch (the updater's own, whole files,
// patches), in the list's order, and the files and folders to remove. The check fills it; the
// stager and the committer work through it; the run drives it. Each entry is owned here and never
// moves, so the run's workers may hold pointers to entries for the whole run.
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/file_entry.h"
#include "engine/local_content.h"

struct Removal {
  std::wstring name;
  bool folder;
  std::string heldChunks = {};  // the chunk index of the file's content, when the applied list vouches for it
};

struct WorkPlan {
  using EntryList = std::vector<std::unique_ptr<FileEntry>>;
  EntryList selfUpdates;
  EntryList updates;
  EntryList patches;
  std::vector<Removal> removals;
  // Content the installation holds under other names, and the entries whose content an earlier
  // entry of the run (whole files, then patches) has: those are staged after all others, copied
  // from the earlier one's staged file instead of downloaded again.
  LocalContent localContent;
  std::set<const FileEntry*> repeats;

  bool RepeatsEarlierContent(const FileEntry& entry) const { return repeats.count(&entry) != 0; }
  // An installed file that holds the entry's content under another name (empty: none), as the
  // run would copy it from.
  std::wstring LocalSourceOf(const FileEntry& entry) const {
    return entry.checksum.empty() ? L"" : localContent.Find(Utf8Text(entry.checksum), Utf8Text(entry.size), entry.target);
  }
  // The installed file an entry's patches apply to.
  static const std::wstring& PatchSourceOf(const FileEntry& entry) {
    return entry.patchSource.empty() ? entry.target : entry.patchSource;
  }
  // The removals whose file, folder or link is there now.
  std::vector<std::wstring> PresentRemovals() const;
  // The installed files that the commit replaces (whole files and patches), and that it removes.
  std::vector<std::wstring> ReplacedTargets() const;
  std::vector<std::wstring> RemovedTargets() const;
};
