#pragma once
// The failures of one run. Every failure passes here, once: it fails the run, writes the
// diagnostic failure line, and the first one becomes the run's error line and summary. The status
// texts and the update log keep their own words. The later files of a run go on and fail with
// their own codes: a full disk among them is remembered for the status.
#include <string>

#include "engine/file_entry.h"

class RunFailures {
 public:
  void Note(const StepOutcome& failure);
  // The file another program held (past the commit's wait, or while the check read it), and who
  // held it: the status names both.
  void NoteHeld(const std::wstring& file, const std::wstring& holders) {
    heldFile_ = file;
    heldBy_ = holders;
  }

  bool Any() const { return count_ > 0; }
  bool DiskFull() const { return diskFull_; }
  const StepOutcome& First() const { return first_; }
  // "cannot download [http://…/b.dat]: HTTP_NOT_FOUND (…): the server answered 404"; empty when
  // nothing failed.
  std::wstring FirstLine() const;
  // The first failure's step split into its parts: "download", and the file or URL it worked on.
  void SplitFirstStep(std::wstring& step, std::wstring& subject) const;
  // The failed run's status: the cause in the player's words when it is one the player can act
  // on (player_words.h), else the step's own text.
  std::wstring CauseStatus(const std::wstring& stepText) const;

 private:
  // Whether the first failure is a write that the file system refused for want of permission: the
  // game's folder, or the folder of the file the step worked on, takes no new file.
  bool FolderAtFault(std::wstring& folder) const;

  StepOutcome first_;
  std::size_t count_ = 0;
  bool diskFull_ = false;
  std::wstring heldFile_;
  std::wstring heldBy_;
};
