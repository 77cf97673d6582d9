#pragma once
// The staging of the plan's entries (see engine/staging.h): each entry's content, taken from a
// content source, copied from what the installation holds, or found staged by an earlier run of
// the same list, is unpacked or rebuilt by its form, verified against the list while it is
// written, and left staged with the list's time. A form that fails gives way to the next.
// Several download and staging workers call it at once, each on an entry of its own; every
// failure is the entry's outcome (its code and cause), the step is the run's to name.
#include <string>

#include "engine/chunk_fetcher.h"
#include "engine/content_source.h"
#include "engine/form_choice.h"
#include "engine/release_trust.h"
#include "engine/staging.h"
#include "engine/work_plan.h"

class Stager {
 public:
  Stager(const StagingArea& staging, const WorkPlan& plan, ContentSource& source, const ReleaseTrust& trust)
      : staging_(staging), plan_(plan), source_(source), trust_(trust), chunks_(staging, plan, source) {}

  // Downloads the entry's packed form into the staging area, or finds its content staged and
  // verified already (a resumed run), or copies it from a file the installation holds.
  // entry.staged tells that nothing more is to be done.
  [[nodiscard]] bool FetchEntry(FileEntry& entry);
  // Unpacks a whole file or rebuilds a patch from the installed file, by the entry's form; it
  // verifies the content against the checksum while writing it and leaves it staged.
  [[nodiscard]] bool StageEntry(FileEntry& entry);
  // After a failed download, unpacking or rebuild: drops what the failed form left in the staging
  // area and moves the entry on to its next form (a format-2 patch to the byte code, a patch to
  // the whole file, zstd to zlib). False when it has none left; the entry is failed then.
  [[nodiscard]] bool FallBack(FileEntry& entry);

 private:
  bool Promote(FileEntry& entry, const std::wstring& digest);
  // Stages an entry by a local copy of content the installation holds under another name (or,
  // for a repeat, that an earlier entry staged); false, with nothing left behind, when there is
  // none or the copy is not the listed content.
  bool CopyLocalContent(FileEntry& entry);
  std::wstring StagedEarlier(const FileEntry& entry) const;
  // Makes the content of the entry's download at work, by its form (see StageEntry).
  bool MakeContent(const FileEntry& entry, const std::wstring& work, std::wstring& digest, std::wstring& cause,
                   std::wstring& writeFailure);

  const StagingArea& staging_;
  const WorkPlan& plan_;
  ContentSource& source_;
  const ReleaseTrust& trust_;
  ChunkFetcher chunks_;
  FormChoice choice_;
};

// Whether a file holds the content that the list describes: its MD5 is the checksum. An entry
// without a checksum ("Exists" files) has nothing to be held against and always matches.
bool MatchesChecksum(const std::wstring& path, const std::wstring& checksum);
