#pragma once
// One whole update, from the first server contact to the verdict: connect, load the version
// description, check the installation, then stop (already current), hand over to the engine
// helper (self-update), or download, rebuild and apply (engine/run_driver.h), under the
// installation's lock. Runs on a thread of its own; the view is its only way out.
#include <string>
#include <vector>

#include "engine/run_settings.h"
#include "engine/run_view.h"

// The front end's arguments without an earlier SELF_UPDATED_ARGUMENT; sets stamp to its value.
std::vector<std::wstring> TakeSelfUpdatedArgument(const std::vector<std::wstring>& arguments, std::wstring& stamp);

// The local working folder of a run, relative to the program folder.
constexpr const wchar_t* RUN_LOCAL_FOLDER = L"update\\";

// The run in the current folder (the program folder), under the installation's lock: its result
// (RUN_FINISHED, RUN_FAILED, ...). A dry run takes no lock and works in a folder of its own.
int UpdateRun(RunView& view, const RunSettings& settings);
