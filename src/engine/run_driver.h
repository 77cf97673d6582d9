#pragma once
// The driver of one run along its data: the list source connects and brings the list, the checker
// turns it into the work plan, the stager fetches and stages the plan's entries on the download
// workers through the content source, and the committer moves them in, removes what the list
// removes, or hands the updater's own files to the engine helper. Every step shows one status
// text and writes one update-log line.
#include <string>

#include "engine/run_settings.h"
#include "engine/run_view.h"

// The run in workFolder (relative to the current folder, or a dry run's own folder): its result.
// No exception ends it: whatever escapes a step (memory exhausted by a hostile list, say) ends
// the run as a failure with its cause in the log and the view's error line.
int ExecuteRun(RunView& view, const RunSettings& settings, const std::wstring& workFolder);
