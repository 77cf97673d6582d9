#include "engine/run_report.h"

#include "engine/content_source.h"
#include "engine/work_plan.h"

void DescribeWork(const WorkPlan& work, const ContentSource& source, RunPlan& plan) {
  using Action = RunPlan::Action;
  plan.steps.clear();
  const auto add = [&](const WorkPlan::EntryList& entries, Action action) {
    for (const auto& entry : entries) {
      const std::wstring copySource = work.LocalSourceOf(*entry);
      const bool copied = !copySource.empty() || work.RepeatsEarlierContent(*entry);
      RunPlan::Step step{copied ? Action::Copy : action, entry->target, copySource, ListedSize(*entry)};
      // What a file in chunks downloads depends on what the installation holds of them, which
      // only its fetch finds out.
      if (!copied) {
        step.downloadKnown = entry->form != ContentForm::Chunks && source.DownloadLength(*entry, step.downloadBytes);
      }
      if (!step.downloadKnown) step.downloadBytes = step.bytes;
      plan.steps.push_back(step);
    }
  };
  add(work.selfUpdates, Action::SelfUpdate);
  add(work.updates, Action::Download);
  add(work.patches, Action::Patch);
  for (const std::wstring& name : work.PresentRemovals()) plan.steps.push_back({Action::Remove, name, L"", 0});
}

void CountWork(const WorkPlan& work, RunSummary& summary) {
  for (const WorkPlan::EntryList* entries : {&work.selfUpdates, &work.updates, &work.patches}) {
    for (const auto& entry : *entries) {
      if (!entry->staged) continue;
      summary.bytes += entry->fetchedBytes;
      if (entry->repaired) summary.repaired.push_back(entry->target);
      if (entry->copied) {
        ++summary.copied;
      } else if (entry->form == ContentForm::Patch || entry->form == ContentForm::Patch2) {
        ++summary.patched;
      } else {
        ++summary.downloaded;
      }
    }
  }
}
