// Any bytes as a file list: every section parses without fault, and an entry composed from what
// was parsed parses back to the same entry, so that the publisher's lists say to the updater
// exactly what it composed. Values that a list line cannot carry as they are (a pair of quotes
// around them, which reading strips, or text that UTF-8 cannot hold) are left out of the check.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "protocol/file_list.h"
#include "services/text.h"

namespace {

bool Carried(const std::wstring& value) {
  std::wstring back;
  if (!Utf8ToWide(WideToUtf8(value), back) || back != value) return false;
  return value.size() < 2 || !((value.front() == L'"' || value.front() == L'\'') && value.back() == value.front());
}

bool AllCarried(const ListEntry& entry) {
  for (const std::wstring* value : {&entry.name, &entry.dateTime, &entry.sourceTime, &entry.checksum, &entry.sha256,
                                    &entry.size, &entry.whole2, &entry.chunks}) {
    if (!Carried(*value)) return false;
  }
  for (const ListedPatch& patch : entry.patches) {
    if (!Carried(patch.folder) || !Carried(patch.folder2) || !Carried(patch.source)) return false;
  }
  return true;
}

bool Same(const ListEntry& a, const ListEntry& b) {
  if (a.name != b.name || a.method != b.method || a.target != b.target || a.dateTime != b.dateTime ||
      a.sourceTime != b.sourceTime || a.checksum != b.checksum || a.sha256 != b.sha256 || a.size != b.size ||
      a.whole2 != b.whole2 || a.chunks != b.chunks || a.patches.size() != b.patches.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.patches.size(); ++i) {
    const ListedPatch &p = a.patches[i], &q = b.patches[i];
    if (!EqualNoCase(p.from, q.from) || p.folder != q.folder || p.folder2 != q.folder2 || p.source != q.source) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const IniDocument list{std::string(reinterpret_cast<const char*>(data), size)};
  ParseListHeader(list);
  ListEntry entry, back;
  for (std::size_t i = 0; i < list.SectionCount(); ++i) {
    if (!ParseListEntry(list, list.SectionReadFor(i), entry) || !AllCarried(entry)) continue;
    const IniDocument composed("\xEF\xBB\xBF" + WideToUtf8(ComposeListEntry(entry)));
    if (!ParseListEntry(composed, 0, back) && !ParseListEntry(composed, 1, back)) std::abort();
    if (!Same(entry, back)) std::abort();
  }
  return 0;
}
