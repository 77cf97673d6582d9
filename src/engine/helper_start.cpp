#include "services/logger.h"
#include "engine/update_client.h"
#include "services/files.h"
#include "services/platform.h"
#include "services/process.h"

// Every argument is quoted where it needs it, so that a self-update file whose path holds a
// space is swapped like any other; the helper learns this process's id and waits for its end
// before its first attempt, instead of racing a slow exit. The updater it restarts is named in a
// form that the helper can start at any length of the game folder's path.
bool UpdateClient::StartEngineHelper(const std::vector<std::wstring>& files, const std::vector<std::wstring>& restart) {
  const std::wstring helper = localFolder_ + L"engine.dat";
  if (!MarkExecutable(helper)) return false;
  std::vector<std::wstring> arguments{helper, L"--wait-pid=" + std::to_wstring(CurrentProcessId())};
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
