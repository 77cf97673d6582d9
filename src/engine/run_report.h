#pragma once
// What a run reports to its front end beyond the view: the plan of a dry run, and the summary of
// what a run did. Both are made from the run's work plan.
#include <cstdint>
#include <string>
#include <vector>

class ContentSource;
struct WorkPlan;

// What a run would do, as a dry run finds it: each file to fetch (whole, by a patch, or by a local
// copy of content the installation holds), each file or folder to remove, with the bytes that the
// list gives (0 when it gives none).
struct RunPlan {
  enum class Action { Download, Patch, Copy, SelfUpdate, Remove };
  struct Step {
    Action action;
    std::wstring name;
    std::wstring source;  // a copy's source: an installed file, or empty for another file of the run
    std::uint64_t bytes = 0;          // the file's size as the list gives it (0: none given)
    std::uint64_t downloadBytes = 0;  // what crosses the network for it: 0 for a copy or removal
    bool downloadKnown = true;        // false when the server did not say (bytes is the guess then)
  };
  std::wstring version;
  std::vector<Step> steps;
};

// What a run did, for the front end's closing summary: the files it fetched by each way, the
// removals, the bytes of the forms it downloaded, and its first failure split into its parts.
struct RunSummary {
  std::wstring versionBefore;  // the version of the last finished run; empty when unknown
  std::wstring version;        // the version the list describes
  std::wstring channel;        // the channel the run followed
  std::size_t downloaded = 0, patched = 0, copied = 0, removed = 0;
  std::uint64_t bytes = 0;
  std::vector<std::wstring> repaired;  // files of the listed time but other content, put right
  std::wstring errorCode, errorStep, errorFile, errorCause;  // empty when nothing failed
};

// The dry run's plan of the work: each entry of the plan as the run would take it (a copy when
// the installation holds its content or an earlier entry brings it), with what its download
// would bring as the source says, and each removal whose file is there.
void DescribeWork(const WorkPlan& work, const ContentSource& source, RunPlan& plan);
// The work a run staged, counted into the summary by the way each file came.
void CountWork(const WorkPlan& work, RunSummary& summary);
