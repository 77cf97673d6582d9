#include "engine/local_content.h"

#include <cstdint>
#include <vector>

#include "protocol/file_list.h"
#include "services/file_time.h"
#include "services/files.h"
#include "services/ini.h"
#include "services/md5.h"
#include "services/platform.h"
#include "services/text.h"

void LocalContent::NoteListed(const IniDocument& list, const std::unordered_set<std::wstring>& wanted) {
  ListEntry entry;
  for (std::size_t i = 0; i < list.SectionCount(); ++i) {
    // A repeated name reads its first section only.
    if (list.SectionReadFor(i) != i || !ParseListEntry(list, i, entry, ListParts::Head)) continue;
    if (!entry.HasContent() || entry.checksum.empty() || entry.dateTime.empty()) continue;
    if (wanted.count(FoldCase(entry.checksum)) == 0) continue;
    byChecksum_.emplace(FoldCase(entry.checksum), Holder{entry.name, entry.dateTime, entry.size});
  }
}

namespace {

// The names a list gives content (or keeps), folded: those files are the check's own.
std::unordered_set<std::wstring> NamesWithContent(const IniDocument& list) {
  std::unordered_set<std::wstring> names;
  ListEntry entry;
  for (std::size_t i = 0; i < list.SectionCount(); ++i) {
    if (ParseListEntry(list, list.SectionReadFor(i), entry, ListParts::Head) && entry.method != ListMethod::Remove) {
      names.insert(FoldCase(entry.name));
    }
  }
  return names;
}

// Walks at most this many entries of an installation: a folder of a million files is no game's.
constexpr std::size_t MOST_ENTRIES_WALKED = 200000;

}  // namespace

void LocalContent::NoteUnlisted(const IniDocument& list,
                                const std::unordered_map<std::uint64_t, std::unordered_set<std::wstring>>& wantedBySize,
                                const std::wstring& skip) {
  if (wantedBySize.empty()) return;
  const std::unordered_set<std::wstring> listed = NamesWithContent(list);
  const std::wstring skipped = FoldCase(skip.empty() || (skip.back() != L'\\' && skip.back() != L'/')
                                            ? skip
                                            : skip.substr(0, skip.size() - 1));
  std::vector<std::wstring> folders{L""};
  std::size_t walked = 0;
  while (!folders.empty() && walked < MOST_ENTRIES_WALKED) {
    const std::wstring folder = folders.back();
    folders.pop_back();
    for (const std::wstring& entry : FolderEntries(folder.empty() ? L"." : folder)) {
      if (++walked > MOST_ENTRIES_WALKED) break;
      const std::wstring name = folder.empty() ? entry : folder + L"\\" + entry;
      if (EqualNoCase(name, skipped) || IsLink(name)) continue;  // never our work, never through a link
      if (IsFolder(name)) {
        folders.push_back(name);
        continue;
      }
      if (listed.count(FoldCase(name)) != 0) continue;
      std::uint64_t size = 0;
      if (!RegularFileSize(name, size)) continue;  // a pipe or a device is never opened
      const auto wanted = size > 0 ? wantedBySize.find(size) : wantedBySize.end();
      if (wanted == wantedBySize.end()) continue;
      std::wstring digest, fileTime;
      GetFileTimeText(name, fileTime);
      Md5OfFile(digest, name);
      if (digest.empty() || fileTime.empty() || wanted->second.count(FoldCase(digest)) == 0) continue;
      byChecksum_.emplace(FoldCase(digest), Holder{name, fileTime, std::to_wstring(size)});
    }
  }
}

std::wstring LocalContent::Find(const std::wstring& checksum, const std::wstring& size,
                                const std::wstring& except) const {
  const auto [first, last] = byChecksum_.equal_range(FoldCase(checksum));
  for (auto it = first; it != last; ++it) {
    const Holder& holder = it->second;
    if (EqualNoCase(holder.name, except)) continue;
    if (!size.empty() && !holder.size.empty() && size != holder.size) continue;
    std::wstring fileTime;
    GetFileTimeText(holder.name, fileTime);
    std::uint64_t held = 0;
    // Only a regular file is ever read: a pipe of the right name and time would hold the run.
    if (!fileTime.empty() && SameFileTimeToMinute(fileTime, holder.dateTime) && RegularFileSize(holder.name, held) &&
        (size.empty() || size == std::to_wstring(held))) {
      return holder.name;
    }
  }
  return L"";
}

bool CopyFileWithDigest(const std::wstring& from, const std::wstring& to, std::uint64_t bound, std::wstring& digest,
                        std::wstring& cause, std::wstring& writeFailure) {
  FileHandle in = FileHandle::OpenForRead(from);
  if (!in.IsOpen()) {
    cause = L"cannot read [" + from + L"]: " + LastSystemErrorText();
    return false;
  }
  FileHandle out = FileHandle::CreateForWrite(to);
  if (!out.IsOpen()) {
    writeFailure = LastSystemErrorText();
    return false;
  }
  Md5 md5;
  std::vector<char> buffer(1 << 20);
  std::uint64_t copied = 0;
  for (std::size_t got = 0;;) {
    if (!in.Read(buffer.data(), buffer.size(), got)) {
      cause = L"cannot read [" + from + L"]: " + LastSystemErrorText();
      return false;
    }
    if (got == 0) break;
    copied += got;
    if (copied > bound) {
      cause = L"[" + from + L"] holds more than the " + std::to_wstring(bound) + L" bytes listed";
      return false;
    }
    md5.Update(buffer.data(), got);
    if (!out.Write(buffer.data(), got)) {
      writeFailure = LastSystemErrorText();
      return false;
    }
  }
  if (!out.Flush()) {
    writeFailure = LastSystemErrorText();
    return false;
  }
  digest = md5.FinalText();
  return true;
}
