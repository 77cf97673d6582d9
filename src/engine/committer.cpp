#include "engine/committer.h"

#include "services/files.h"
#include "services/logger.h"
#include "services/platform.h"
#include "services/process.h"

bool Committer::CommitEntry(FileEntry& entry) {
  entry.outcome = StepOutcome{};
  const std::wstring target = entry.target;
  const std::wstring staged = staging_.StagedPath(target, Utf8Text(entry.checksum));
  if (PathExists(target)) ClearReadOnly(target);
  const std::wstring folder = FolderOfPath(target);
  if (!folder.empty()) CreateDirectoryPath(folder);
  if (!MoveFileReplace(staged, target)) {
    entry.outcome.cause = LogFileFailure(L"cannot replace", target);
    entry.outcome.code = CommitCode::MoveFailed;
    return false;
  }
  return true;
}

bool Committer::HandOverEntry(FileEntry& entry) {
  entry.outcome = StepOutcome{};
  // A self-update's file waits beside the helper, in the working folder, for the hand-over.
  const std::wstring handedOver = localFolder_ + entry.target;
  const std::wstring folder = FolderOfPath(handedOver);
  if (!folder.empty()) CreateDirectoryPath(folder);
  if (PathExists(handedOver)) ClearReadOnly(handedOver);
  if (!MoveFileReplace(staging_.StagedPath(entry.target, Utf8Text(entry.checksum)), handedOver)) {
    entry.outcome.cause = LogFileFailure(L"cannot hand over", handedOver);
    entry.outcome.code = StageCode::NoFile;
    return false;
  }
  return true;
}

void Committer::RemoveListed(std::vector<std::wstring>& failed) {
  for (const Removal& removal : plan_.removals) {
    const std::wstring& name = removal.name;
    bool removed = true;
    if (IsLink(name)) {
      // The link itself goes; what it points to is not ours.
      removed = RemoveLink(name);
    } else if (removal.folder) {
      DeleteFolderTree(name);
      removed = !PathExists(name);
    } else if (PathExists(name)) {
      ClearReadOnly(name);
      removed = RemoveFile(name);
    }
    if (!removed) {
      LogFileFailure(removal.folder ? L"cannot remove the folder" : L"cannot remove the file", name);
      failed.push_back(name);
    }
  }
}

namespace {

// The installed file that a prepared self-update file replaces: its path without the working
// folder's part, relative to the program folder.
std::wstring InstalledPathOf(const std::wstring& prepared, const std::wstring& localFolder) {
  return prepared.substr(localFolder.size());
}

}  // namespace

// A process that stays while the helper swaps its files (zepo-update --wait) moves its own
// program file out of the way: Windows renames a running program's file but never replaces it.
// The moved file lies in the working folder, which the restarted updater tidies.
bool Committer::MoveOwnProgramAside(const std::vector<std::wstring>& files) const {
  const std::wstring self = ExecutablePath();
  for (const std::wstring& prepared : files) {
    if (!SameFile(InstalledPathOf(prepared, localFolder_), self)) continue;
    if (!MoveFileReplace(self, localFolder_ + L"replaced-" + std::to_wstring(CurrentProcessId()) + L".bin")) {
      TheLogger().WriteFailure(L"AutoUpdateApp: cannot move the running updater [" + self + L"] aside: " +
                               LastSystemErrorText());
      return false;
    }
    // The helper gives a new file the permissions of the one it replaces; there is none now.
    if (!MarkExecutable(prepared)) return false;
  }
  return true;
}

// Every argument is quoted where it needs it, so that a self-update file whose path holds a
// space is swapped like any other; the helper learns this process's id and waits for its end
// before its first attempt, instead of racing a slow exit. The updater it restarts is named in a
// form that the helper can start at any length of the game folder's path.
bool Committer::StartEngineHelper(const std::vector<std::wstring>& files, const std::vector<std::wstring>& restart,
                                     bool waitForExit) {
  const std::wstring helper = localFolder_ + L"engine.dat";
  if (!MarkExecutable(helper)) return false;
  if (!waitForExit && !MoveOwnProgramAside(files)) return false;
  std::vector<std::wstring> arguments{helper};
  if (waitForExit) arguments.push_back(L"--wait-pid=" + std::to_wstring(CurrentProcessId()));
  arguments.insert(arguments.end(), files.begin(), files.end());
  if (!restart.empty()) {
    arguments.push_back(L"--");
    arguments.push_back(LaunchablePath(restart.front()));
    arguments.insert(arguments.end(), restart.begin() + 1, restart.end());
  }
  if (StartDetachedProcess(arguments)) return true;
  TheLogger().WriteFailure(L"AutoUpdateApp: cannot start the engine helper [" + helper + L"]: " +
                           LastSystemErrorText());
  return false;
}
