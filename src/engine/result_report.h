#pragma once
// How a run ended, told to the server after it ends, so that a studio on a plain static host
// learns when an update fails for its players: one GET of
//   <product folder>report/<channel>/<version>/<ok|CODE>/bucket-<0-9999>
// which the server answers as it likes (a 404 does) and its access log keeps. It says nothing
// personal: the channel, the version the run was for, how it ended and the installation's rollout
// bucket for that version (engine/rollout_choice.h), never its id. "Report=0" in log.ini turns it
// off.
#include <string>

// The report's URL; result is "ok" or the failure's code name ("STAGE_BAD_CONTENT").
std::wstring ResultReportUrl(const std::wstring& serverUrl, const std::wstring& channel, const std::wstring& version,
                             const std::wstring& result, unsigned bucket);
