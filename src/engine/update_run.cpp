#include "engine/update_run.h"

#include <chrono>
#include <thread>

#include "engine/player_words.h"
#include "engine/run_driver.h"
#include "engine/staging.h"
#include "services/files.h"
#include "services/language.h"
#include "services/logger.h"
#include "services/platform.h"
#include "services/run_lock.h"

namespace {

std::wstring AnotherUpdaterRuns() {
  return Say(L"Một chương trình cập nhật khác đang chạy trong thư mục này.", L"Another updater is running in this folder.");
}

}  // namespace

std::vector<std::wstring> TakeSelfUpdatedArgument(const std::vector<std::wstring>& arguments, std::wstring& stamp) {
  const std::wstring prefix = SELF_UPDATED_ARGUMENT;
  std::vector<std::wstring> kept;
  stamp.clear();
  for (const std::wstring& argument : arguments) {
    if (argument.compare(0, prefix.size(), prefix) == 0) {
      stamp = argument.substr(prefix.size());
    } else {
      kept.push_back(argument);
    }
  }
  return kept;
}

namespace {

// While the engine helper swaps the updater's files it holds the lock, and "update\engine.dat"
// lies in the working folder: a player who starts the updater again at that moment waits for the
// helper instead of failing; any other run holding the lock
// refuses this one at once.
bool AcquireRunLock(RunLock& lock, RunView& view, const RunSettings& settings, std::wstring& cause) {
  if (lock.TryAcquire(RUN_LOCK_FILE, cause)) return true;
  if (!lock.held() || !PathExists(std::wstring(RUN_LOCAL_FOLDER) + L"engine.dat")) return false;
  view.SetStatus(Say(L"Đang chờ chương trình cập nhật khác kết thúc...", L"Waiting for the other updater to finish..."));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(settings.helperWaitMs);
  while (std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    if (lock.TryAcquire(RUN_LOCK_FILE, cause)) return true;
    if (!lock.held()) return false;
  }
  return false;
}

}  // namespace

// A dry run's working folder, outside the installation: a dry run makes and writes nothing there.
std::wstring DryRunFolder() {
  return TemporaryFolder() + L"\\zepo-dry-run-" + std::to_wstring(CurrentProcessId()) + L"\\";
}

int DryRun(RunView& view, const RunSettings& settings) {
  // Another run's lock is honoured when there is one; none is made.
  RunLock lock;
  std::wstring cause;
  if (PathExists(RUN_LOCK_FILE) && !lock.TryAcquire(RUN_LOCK_FILE, cause)) {
    view.SetStatus(AnotherUpdaterRuns());
    return RUN_LOCKED;
  }
  const std::wstring folder = DryRunFolder();
  // Its update-log lines go nowhere: that folder has no "logs".
  SetUpdateLogFolder(folder);
  const int result = ExecuteRun(view, settings, folder);
  SetUpdateLogFolder(L"");
  DeleteFolderTree(folder);
  return result;
}

int UpdateRun(RunView& view, const RunSettings& settings) {
  if (settings.plan != nullptr) return DryRun(view, settings);
  // The lock is held from before anything is touched until the working folder is tidied.
  RunLock lock;
  std::wstring cause;
  if (!AcquireRunLock(lock, view, settings, cause)) {
    if (!lock.held()) TheLogger().WriteFailure(L"AutoUpdateApp: " + cause + L"; this run does nothing");
    if (lock.held()) {
      // The other run's logs are its own: this run says why it stops and writes nothing.
      view.SetStatus(AnotherUpdaterRuns());
      return RUN_LOCKED;
    }
    // A game folder that cannot be written: nothing can be updated, and the player is told why.
    view.ReportError(cause);
    view.SetStatus(CanMakeFilesIn(L".") ? Say(L"Tạo tập tin [zepo.lock] thất bại.", L"Could not create [zepo.lock].")
                                        : UnwritableFolderWords(L""));
    WriteUpdateLog(L"Create file [zepo.lock] => Failed");
    return RUN_FAILED;
  }
  TheLogger().Write(LOG_FYI, L"AutoUpdateApp: the run holds the installation's lock");
  const int result = ExecuteRun(view, settings, RUN_LOCAL_FOLDER);
  TidyWorkingFolder(RUN_LOCAL_FOLDER, result);
  return result;
}
