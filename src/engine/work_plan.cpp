#include "engine/work_plan.h"

#include "services/files.h"

std::vector<std::wstring> WorkPlan::ReplacedTargets() const {
  std::vector<std::wstring> targets;
  for (const EntryList* list : {&updates, &patches}) {
    for (const auto& entry : *list) targets.push_back(entry->target);
  }
  return targets;
}

std::vector<std::wstring> WorkPlan::PresentRemovals() const {
  std::vector<std::wstring> names;
  for (const Removal& removal : removals) {
    if (PathExists(removal.name) || IsLink(removal.name)) names.push_back(removal.name);
  }
  return names;
}

std::vector<std::wstring> WorkPlan::RemovedTargets() const {
  std::vector<std::wstring> targets;
  for (const Removal& removal : removals) {
    if (!removal.folder) targets.push_back(removal.name);
  }
  return targets;
}

