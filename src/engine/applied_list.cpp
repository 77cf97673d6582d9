#include "engine/applied_list.h"

#include "engine/descriptor_files.h"
#include "protocol/file_list.h"
#include "services/file_time.h"
#include "services/files.h"
#include "services/ini_file.h"
#include "services/packed.h"

namespace {

constexpr const wchar_t* APPLIED_LIST_CACHE = L"autoupdate.als";

}  // namespace

const IniDocument& AppliedList::List() {
  if (!list_) {
    list_.emplace();
    const std::wstring applied = workFolder_ + L"applied.ini";
    if (PathExists(APPLIED_LIST_CACHE) && UnpackDescriptor(APPLIED_LIST_CACHE, applied)) {
      *list_ = LoadIniFile(applied);
    }
    RemoveFile(applied);
  }
  return *list_;
}

std::wstring AppliedList::Digest(const std::wstring& name, const std::wstring& fileTime) {
  ListEntry listed;
  return Vouched(name, fileTime, ListParts::Head, listed) ? listed.checksum : L"";
}

std::wstring AppliedList::ChunkIndex(const std::wstring& name, const std::wstring& fileTime) {
  ListEntry listed;
  return Vouched(name, fileTime, ListParts::All, listed) ? listed.chunks : L"";
}

bool AppliedList::Vouched(const std::wstring& name, const std::wstring& fileTime, ListParts parts, ListEntry& listed) {
  const IniDocument& applied = List();
  return ParseListEntry(applied, applied.FindSection(name), listed, parts) && listed.HasContent() &&
         !listed.dateTime.empty() && SameFileTimeToMinute(fileTime, listed.dateTime);
}

void AppliedList::Remember(const std::wstring& listCache) {
  // A run with nothing to do finds the copy as it left it: read, not written again (megabytes on a
  // game of many files).
  if (!listCache.empty() && !SameFileContent(listCache, APPLIED_LIST_CACHE)) {
    (void)CopyReplacing(listCache, APPLIED_LIST_CACHE);
  }
}

// The version is in the list's first section: only the list's head is unpacked and read, not the
// megabytes of a list of many files.
std::wstring AppliedList::Version() {
  std::string head;
  if (!UnpackHead(APPLIED_LIST_CACHE, 64 * 1024, head)) return L"";
  // A line cut at the head's end is no line.
  head.resize(head.rfind('\n') == std::string::npos ? 0 : head.rfind('\n') + 1);
  return ParseListHeader(IniDocument(head)).versionName;
}
