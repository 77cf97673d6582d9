#include "publish/rollout_status.h"

#include <cstdio>
#include <fstream>

#include "protocol/file_list.h"
#include "publish/channel_tree.h"
#include "publish/rollout.h"
#include "services/json.h"
#include "services/text.h"

namespace fs = std::filesystem;

namespace {

// A name of the report's path: what a channel, version or code may hold.
bool IsReportPart(const std::string& part) {
  if (part.empty() || part.size() > 64 || part[0] == '.') return false;
  for (const char c : part) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-') return false;
  }
  return true;
}

// One access log line's report: its channel, version and result; false when the line holds none.
bool ReportOf(const std::string& line, const std::string& prefix, std::string parts[3]) {
  const std::size_t at = line.find(prefix);
  if (at == std::string::npos) return false;
  const std::size_t end = line.find_first_of("? \"", at + prefix.size());
  const std::string path = line.substr(at + prefix.size(), end == std::string::npos ? std::string::npos : end - at - prefix.size());
  std::size_t start = 0;
  for (int i = 0; i < 3; ++i) {
    const std::size_t slash = path.find('/', start);
    parts[i] = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (!IsReportPart(parts[i]) || (i < 2 && slash == std::string::npos)) return false;
    start = slash + 1;
  }
  return true;
}

}  // namespace

void PrintReportCounts(const std::string& channel, const std::map<std::string, ReportCount>& versions,
                       std::string* json) {
  std::printf("reports of the channel %s:\n", channel.c_str());
  std::printf("  %-12s %9s %9s %8s  %s\n", "version", "runs", "failed", "share", "failures by code");
  std::vector<std::string> items;
  for (const auto& [version, count] : versions) {
    std::string codes;
    JsonObject byCode;
    for (const auto& [code, n] : count.failures) {
      codes += (codes.empty() ? "" : ", ") + code + " " + std::to_string(n);
      byCode.Number(code.c_str(), n);
    }
    const std::uint64_t failed = count.total - count.ok;
    std::printf("  %-12s %9llu %9llu %7.2f%%  %s\n", version.c_str(), static_cast<unsigned long long>(count.total),
                static_cast<unsigned long long>(failed),
                count.total == 0 ? 0.0 : 100.0 * static_cast<double>(failed) / static_cast<double>(count.total),
                codes.c_str());
    items.push_back(
        JsonObject().Text("version", version).Number("runs", count.total).Number("failed", failed).Json("failures", byCode.Close()).Close());
  }
  if (json != nullptr) *json = JsonArray(items);
}

bool CountReports(const std::vector<fs::path>& logs, const std::wstring& productName, ReportCounts& counts,
                  std::string& error) {
  const std::string prefix = "/" + WideToUtf8(productName) + "report/";
  for (const fs::path& log : logs) {
    std::ifstream in(log, std::ios::binary);
    if (!in) {
      error = "cannot read the access log " + log.string();
      return false;
    }
    std::string parts[3];
    for (std::string line; std::getline(in, line);) {
      if (!ReportOf(line, prefix, parts)) continue;
      ReportCount& count = counts[parts[0]][parts[1]];
      ++count.total;
      if (parts[2] == "ok") {
        ++count.ok;
      } else {
        ++count.failures[parts[2]];
      }
    }
  }
  return true;
}

bool WatchRollout(const fs::path& root, const std::wstring& rootKey, const RolloutWatch& watch,
                  const SigningOptions& signing, std::string& error) {
  Tree tree;
  ReportCounts counts;
  if (!LoadTree(root, rootKey, watch.channel, tree, error) || !CountReports(watch.logs, tree.productName, counts, error)) {
    return false;
  }
  const std::string channel = WideToUtf8(watch.channel);
  PrintReportCounts(channel, counts[channel]);
  const IndexedRollout& rollout = tree.index.rollout();
  if (rollout.version.empty() || rollout.state != ROLLOUT_RUNNING) {
    std::printf("the channel %s has no running rollout\n", channel.c_str());
    return true;
  }
  const ReportCount& count = counts[channel][WideToUtf8(rollout.version)];
  const std::uint64_t failed = count.total - count.ok;
  std::printf("rollout: %s to %s%% of the installations: %llu reports, %llu failed\n",
              WideToUtf8(rollout.version).c_str(), WideToUtf8(rollout.percent).c_str(),
              static_cast<unsigned long long>(count.total), static_cast<unsigned long long>(failed));
  if (watch.haltAt == 0 || count.total < watch.least || failed * 10000 < watch.haltAt * count.total) return true;
  std::printf("its failures reach the limit of %u.%02u%%: the rollout is halted\n", watch.haltAt / 100,
              watch.haltAt % 100);
  RolloutOptions halt;
  halt.channel = watch.channel;
  halt.halt = true;
  return RolloutTree(root, rootKey, halt, signing, false, error);
}
