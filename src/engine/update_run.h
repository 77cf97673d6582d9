#pragma once
// One whole update, from the first server contact to the verdict: connect, load the version
// description, check the installation, then stop (already current), hand over to the engine
// helper (self-update), or download, rebuild and apply. Every step shows one status text and
// writes one update-log line. Runs on a thread of its own; the view is its only way out.
#include <functional>
#include <string>
#include <vector>

#include "engine/run_view.h"

constexpr int RUN_SELF_UPDATE = 16;  // the engine helper was started to swap the program's files
constexpr int RUN_FAILED = 17;
constexpr int RUN_FINISHED = 18;
// Another update run holds the installation's lock; this run touched nothing. The window takes
// it as a failed run.
constexpr int RUN_LOCKED = 19;

struct RunSettings {
  // The patch-server host, "name" or "name:port".
  std::wstring host;
  // Non-zero: work from the full file list ("filelistfull.enc") instead of the update list.
  int fullList = 0;
  // Starts the engine helper with the prepared self-update files (their localPaths); true when the
  // helper process was created. Empty: the client's own StartEngineHelper.
  std::function<bool(const std::vector<std::wstring>& files)> startEngineHelper;
};

// The local working folder of a run, relative to the program folder.
constexpr const wchar_t* RUN_LOCAL_FOLDER = L"update\\";

int UpdateRun(RunView& view, const RunSettings& settings);
