#pragma once
// What players' runs report (engine/result_report.h), read back from the access logs of the
// servers that answered them, counted per channel, version and result; and a rollout halted by
// itself when its version fails for too many installations (run from cron).
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "protocol/served_names.h"
#include "publish/release_signing.h"

// The reports of one version of a channel.
struct ReportCount {
  std::uint64_t total = 0;
  std::uint64_t ok = 0;
  std::map<std::string, std::uint64_t> failures;  // by the failure's code
};
// Channel, then version, then its reports.
using ReportCounts = std::map<std::string, std::map<std::string, ReportCount>>;

// Counts the reports of the product (its folder as the root descriptor names it, "velora/") in
// access logs of any format that keeps the request's path. False with the reason when a log
// cannot be read.
bool CountReports(const std::vector<std::filesystem::path>& logs, const std::wstring& productName,
                  ReportCounts& counts, std::string& error);

// Prints a channel's reports per version: runs, failures and their codes; with json, sets it to
// the same as a JSON array.
void PrintReportCounts(const std::string& channel, const std::map<std::string, ReportCount>& versions,
                       std::string* json = nullptr);

struct RolloutWatch {
  std::wstring channel = DEFAULT_CHANNEL;
  std::vector<std::filesystem::path> logs;
  unsigned haltAt = 0;        // the failure share that halts the rollout, in hundredths of a point; 0: never
  std::uint64_t least = 100;  // reports of the rolled-out version needed before it is judged
};

// Prints the channel's reports per version and result, and halts its running rollout (signed as
// signing asks) when the rolled-out version's failures reach watch.haltAt of at least
// watch.least reports. False with the reason when the tree or a log cannot be read.
bool WatchRollout(const std::filesystem::path& tree, const std::wstring& rootKey, const RolloutWatch& watch,
                  const SigningOptions& signing, std::string& error);
