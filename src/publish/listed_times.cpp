#include "publish/listed_times.h"

#include "protocol/file_list.h"
#include "protocol/served_names.h"
#include "publish/channels.h"
#include "publish/list_patches.h"
#include "publish/release.h"
#include "publish/release_index.h"
#include "publish/tree_writes.h"
#include "services/file_time.h"
#include "services/ini.h"
#include "services/text.h"

namespace fs = std::filesystem;

ListedTimes ListedTimes::Of(const fs::path& product) {
  ListedTimes times;
  for (const std::wstring& channel : ChannelsOf(product)) {
    const fs::path lists = ChannelListsOf(product, channel);
    const ReleaseIndex index = ReleaseIndex::Load(lists);
    for (const IndexedRelease& release : index.releases()) times.Add(index.ListOf(release.version));
    std::string text;
    if (UnpackToMemory(lists / FULL_LIST.narrow, text)) times.Add(IniDocument(text));
    // The texts kept for list patches hold the lists a rollback served, which no release keeps.
    std::error_code failure;
    const fs::path kept = lists / ListPatchFolder(FULL_LIST.narrow);
    for (fs::directory_iterator it(kept, failure), end; !failure && it != end; it.increment(failure)) {
      if (it->path().extension() == ".list" && UnpackToMemory(it->path(), text)) times.Add(IniDocument(text));
    }
  }
  return times;
}

void ListedTimes::Add(const IniDocument& list) {
  ListEntry entry;
  for (std::size_t i = FirstEntrySection(list); i < list.SectionCount(); ++i) {
    if (!ParseListEntry(list, i, entry) || entry.checksum.empty()) continue;
    std::vector<Held>& held = byName_[FoldCase(entry.name)];
    for (const std::wstring* time : {&entry.dateTime, &entry.sourceTime}) {
      if (!time->empty()) held.push_back({*time, entry.checksum});
    }
  }
}

std::wstring ListedTimes::Clash(const std::wstring& name, const std::wstring& time, const std::wstring& checksum) const {
  const auto found = byName_.find(FoldCase(name));
  if (found == byName_.end()) return L"";
  bool clash = false;
  std::wstring latest;
  std::uint64_t latestTicks = 0, ticks = 0;
  for (const Held& held : found->second) {
    if (!EqualNoCase(held.checksum, checksum) && SameFileTimeToMinute(held.time, time)) clash = true;
    if (ParseHoldableFileTime(held.time, ticks) && (latest.empty() || ticks > latestTicks)) {
      latest = held.time;
      latestTicks = ticks;
    }
  }
  return clash ? latest : L"";
}
