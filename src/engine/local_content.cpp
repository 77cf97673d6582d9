#include "engine/local_content.h"

#include <cstdint>
#include <vector>

#include "engine/digest_writer.h"
#include "protocol/file_list.h"
#include "services/file_time.h"
#include "services/files.h"
#include "services/ini.h"
#include "services/md5.h"
#include "services/platform.h"
#include "services/text.h"

namespace {

int HexDigit(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

}  // namespace

bool ParseContentKey(const std::wstring& digest, ContentKey& key) {
  if (digest.size() != 32) return false;
  key = ContentKey{};
  for (std::size_t i = 0; i < 32; ++i) {
    const int digit = HexDigit(digest[i]);
    if (digit < 0) return false;
    std::uint64_t& half = i < 16 ? key.high : key.low;
    half = half << 4 | static_cast<std::uint64_t>(digit);
  }
  return true;
}

void LocalContent::NoteListed(const IniDocument& list, const ContentKeys& wanted, const std::vector<bool>& skipped) {
  ListEntry entry;
  ContentKey key;
  for (std::size_t i = 0; i < list.SectionCount(); ++i) {
    if (i < skipped.size() && skipped[i]) continue;
    // A repeated name reads its first section only.
    if (list.SectionReadFor(i) != i || !ParseListEntry(list, i, entry, ListParts::Head)) continue;
    if (!entry.HasContent() || !ParseContentKey(entry.checksum, key) || entry.dateTime.empty()) continue;
    if (wanted.count(key) == 0) continue;
    byChecksum_.emplace(key, Holder{entry.name, entry.dateTime, entry.size});
  }
}

namespace {

// Whether the list gives the name content (or keeps it): such a file is the check's own.
bool ListedWithContent(const IniDocument& list, const std::wstring& name) {
  const std::size_t section = list.FindSection(name);
  ListEntry entry;
  return section != IniDocument::NO_SECTION && ParseListEntry(list, section, entry, ListParts::Head) &&
         entry.method != ListMethod::Remove;
}

// Walks at most this many entries of an installation: a folder of a million files is no game's.
constexpr std::size_t MOST_ENTRIES_WALKED = 200000;

}  // namespace

void LocalContent::NoteUnlisted(const IniDocument& list, const std::unordered_map<std::uint64_t, ContentKeys>& wantedBySize,
                                const std::wstring& skip) {
  if (wantedBySize.empty()) return;
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
      if (ListedWithContent(list, name)) continue;
      std::uint64_t size = 0;
      if (!RegularFileSize(name, size)) continue;  // a pipe or a device is never opened
      const auto wanted = size > 0 ? wantedBySize.find(size) : wantedBySize.end();
      if (wanted == wantedBySize.end()) continue;
      std::wstring digest, fileTime;
      GetFileTimeText(name, fileTime);
      Md5OfFile(digest, name);
      ContentKey key;
      if (!ParseContentKey(digest, key) || fileTime.empty() || wanted->second.count(key) == 0) continue;
      byChecksum_.emplace(key, Holder{name, fileTime, std::to_wstring(size)});
    }
  }
}

std::wstring LocalContent::Find(const std::wstring& checksum, const std::wstring& size,
                                const std::wstring& except) const {
  ContentKey key;
  if (!ParseContentKey(checksum, key)) return L"";
  const auto [first, last] = byChecksum_.equal_range(key);
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
  DigestWriter out;
  if (!out.Create(to, writeFailure)) return false;
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
    if (!out.Write(buffer.data(), got, writeFailure)) return false;
  }
  return out.Finish(digest, writeFailure);
}
