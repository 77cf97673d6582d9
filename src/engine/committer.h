#pragma once
// The commit: once every file of the run is staged and verified, each staged file is moved over
// its installed file in one step (keeping the list's time that its staged copy carries, so no
// file ever shows the new time with other content), the listed removals are carried out, and the
// updater's own files are handed to the engine helper, which swaps them after this process.
#include <string>
#include <vector>

#include "engine/staging.h"
#include "engine/work_plan.h"

class Committer {
 public:
  // localFolder: the run's working folder, where the engine helper and the handed-over files lie.
  Committer(const StagingArea& staging, const WorkPlan& plan, const std::wstring& localFolder)
      : staging_(staging), plan_(plan), localFolder_(localFolder) {}

  // Moves a staged entry over its installed file; a failure is the entry's outcome.
  [[nodiscard]] bool CommitEntry(FileEntry& entry);
  // Hands a staged self-update file to the helper's place, its localPath ("update\" + target).
  [[nodiscard]] bool HandOverEntry(FileEntry& entry);
  // Carries out the plan's removals. A removal that fails is logged with its cause and its name
  // added to failed; the others go on.
  void RemoveListed(std::vector<std::wstring>& failed);

  // Starts the engine helper written to localFolder + "engine.dat" with the prepared self-update
  // files: it waits for this process to end (unless waitForExit is false: then this program's
  // own file, if it is to be replaced, is first moved aside into localFolder), swaps the files
  // and runs the restart command (the first file without arguments when it is empty). True when
  // the helper process was created.
  [[nodiscard]] bool StartEngineHelper(const std::vector<std::wstring>& files, const std::vector<std::wstring>& restart,
                                       bool waitForExit = true);

 private:
  bool MoveOwnProgramAside(const std::vector<std::wstring>& files) const;

  const StagingArea& staging_;
  const WorkPlan& plan_;
  std::wstring localFolder_;
};
