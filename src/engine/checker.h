#pragma once
// The check: the file list against the installation, into the run's work plan. Every name is
// judged before anything is touched; then each listed file is up to date by its time or its
// digest, or becomes an entry to fetch (whole, by a patch, or copied from content the
// installation holds), and each rule a removal or a folder made. Runs on the run's thread.
#include <cstdint>
#include <string>

#include "engine/applied_list.h"
#include "engine/run_modes.h"
#include "engine/work_plan.h"
#include "protocol/file_list.h"
#include "services/codes.h"
#include "services/ini.h"

class IStatusCallback;

class Checker {
 public:
  // callback: asked before each file that is read (it may cancel); localFolder: the run's working
  // folder; plan: filled by CheckFiles.
  Checker(IStatusCallback* callback, const std::wstring& localFolder, WorkPlan& plan);

  // The product folder's URL and the list's folder of whole files, where entries are fetched from.
  void SetServer(const std::wstring& serverUrl, const std::wstring& updateFolder) {
    serverUrl_ = serverUrl;
    updateFolder_ = updateFolder;
  }
  // A dry run's check touches nothing (see RunSettings::plan).
  void SetDryRun(bool dryRun) { dryRun_ = dryRun; }
  // The highest format of patches and packed files that the run takes from a list that offers
  // it: 2 (the default), or 1 for the forms that every updater reads.
  void SetHighestFormat(int format) { highestFormat_ = format; }

  // Checks every listed file and folder of list (read from listPath); makes missing folders and
  // fills the plan. TrustSameTime accepts a file whose time matches the list to the minute
  // without hashing it.
  [[nodiscard]] bool CheckFiles(IniDocument list, const std::wstring& listPath, CheckMode mode, StepCode& errorCode,
                                std::wstring& failedName);
  // Why the last check failed, in the words of the system or the rule it broke; empty if none.
  const std::wstring& FailureCause() const { return failureCause_; }

 private:
  // A new entry without a form yet: the caller gives it url and form, or fallbacks and
  // TakeNextOffer.
  FileEntry& Append(WorkPlan::EntryList& list, const std::wstring& name, const std::wstring& dateTime,
                    const std::wstring& checksum);
  bool ValidateNames(std::size_t first, StepCode& errorCode, std::wstring& failedName);
  void ClassifyRule(ListEntry& listed);
  // The entry of the section being checked, read whole (the check reads only each entry's head).
  const ListEntry& Completed(ListEntry& listed);
  bool ClassifyFile(ListEntry& listed, CheckMode mode, StepCode& errorCode, std::wstring& failedName);
  // The entry of a file whose content is not the listed one; null when its method fetches none.
  FileEntry* QueueChanged(const ListEntry& listed, const std::wstring& digest);
  // Whether the run takes any of these patches: the byte code's, or format 2's up to the highest.
  bool TakesPatches(const ListedPatch& patches) const;
  FileEntry& QueuePatch(const ListEntry& listed, const ListedPatch& patches);
  bool QueuePatchFromOtherFile(const ListEntry& listed);
  void AddContentForms(FileEntry& entry, const ListEntry& listed);
  // After a check that found files to fetch: which installed files may hold their content (this
  // list's and the applied list's), and which entries repeat an earlier one's content.
  void NoteLocalContent();
  void RemoveOtherChannelsFiles();
  void LogSameTime(const std::wstring& name);

  IStatusCallback* callback_;
  std::wstring localFolder_;
  WorkPlan& plan_;
  std::wstring serverUrl_;
  std::wstring updateFolder_;
  bool dryRun_ = false;
  int highestFormat_ = 2;
  bool wholeFiles_ = true;  // the list's tree keeps whole files (see ListHeader::formats)
  IniDocument list_;  // while a check runs
  std::size_t section_ = 0;  // the section being checked
  std::vector<bool> replaced_;  // the sections whose files the run replaces, by section
  AppliedList applied_;
  std::wstring failureCause_;
  // What this month's update log may still take of per-file "Same time" lines (see LogSameTime).
  static constexpr std::uint64_t SAME_TIME_LOG_BOUND = 8 << 20;
  std::uint64_t sameTimeRoom_ = 0;
  bool sameTimeCut_ = false;
};

// An extension that "Whole.2" may give: a dot and letters or digits, nothing that could leave
// the folder.
bool IsWhole2Extension(const std::wstring& extension);
