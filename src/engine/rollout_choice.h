#pragma once
// Which installations take a staged rollout. Each installation keeps a random id, made once and
// kept in its folder ("autoupdate.id"); its bucket for a version (0 to 9,999) is a hash of the id
// and the version, so the same installation always falls in the same bucket for it, and raising
// the rollout's percent keeps every installation that took it. The id never leaves the machine:
// only the bucket does (see engine/run_report.h).
#include <string>

#include "protocol/file_list.h"

constexpr unsigned ROLLOUT_BUCKETS = 10000;

// The installation's id, 32 hex digits: read from the program folder (the current directory),
// made and kept there when missing or unreadable, unless keep is false (a dry run touches nothing:
// it gets an id for the run alone).
std::string InstallationId(bool keep);

// The installation's bucket for a version, 0 to ROLLOUT_BUCKETS - 1.
unsigned RolloutBucket(const std::string& id, const std::wstring& version);

// Whether an installation of that bucket, whose last finished run applied appliedVersion, takes
// the rollout that the list's header announces: running, when its bucket lies under the percent;
// halted, when it took the version already; back, never.
bool TakesRollout(const ListHeader& header, unsigned bucket, const std::wstring& appliedVersion);
