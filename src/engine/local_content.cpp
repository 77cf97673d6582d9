#include "engine/local_content.h"

#include <cstdint>
#include <vector>

#include "services/file_time.h"
#include "services/files.h"
#include "services/ini.h"
#include "services/md5.h"
#include "services/platform.h"
#include "services/text.h"

void LocalContent::NoteListed(const IniDocument& list, const std::unordered_set<std::wstring>& wanted) {
  std::wstring name, method, checksum, dateTime, size;
  for (std::size_t i = 0; i < list.SectionCount(); ++i) {
    if (!list.NamedSection(i, name)) continue;
    const std::size_t section = list.FindSection(name);
    if (section != i) continue;  // a repeated name reads its first section only
    list.ReadString(section, L"Method", method);
    if (!EqualNoCase(method, L"Update") && !EqualNoCase(method, L"Patch") && !EqualNoCase(method, L"SelfUpdate")) continue;
    list.ReadString(section, L"CheckSum", checksum);
    if (checksum.empty() || wanted.count(FoldCase(checksum)) == 0) continue;
    list.ReadString(section, L"DateTime", dateTime);
    if (dateTime.empty()) continue;
    list.ReadString(section, L"Size", size);
    byChecksum_.emplace(FoldCase(checksum), Holder{name, dateTime, size});
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
    if (!fileTime.empty() && SameFileTimeToMinute(fileTime, holder.dateTime) && !IsFolder(holder.name)) {
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
