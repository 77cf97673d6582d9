#pragma once
// The list of the last finished run, kept packed as "autoupdate.als" beside the list's cache. It
// says what an installed file still holds while its time is the one that list gave it, so a
// changed list finds the content of renamed and moved files, and the patch of a file, without
// reading the file (see engine/local_content.h).
#include <optional>
#include <string>

#include "protocol/file_list.h"
#include "services/ini.h"

class AppliedList {
 public:
  // workFolder: the run's working folder, where the list is unpacked while it is read.
  explicit AppliedList(std::wstring workFolder) : workFolder_(std::move(workFolder)) {}

  // The list, read the first time it is asked for (empty when there is none).
  const IniDocument& List();
  // Lets its memory go; the next List reads it again.
  void Forget() { list_.reset(); }
  // The MD5 of an installed file known from the list without reading the file; empty when the
  // list does not vouch for it (another time, another name, no checksum).
  std::wstring Digest(const std::wstring& name, const std::wstring& fileTime);
  // The chunk index of that content ("Chunks.3"), under the same condition; empty when none.
  std::wstring ChunkIndex(const std::wstring& name, const std::wstring& fileTime);

  // Keeps the list of a finished run (listCache: its packed cache) as the applied one.
  static void Remember(const std::wstring& listCache);
  // The version of the last finished run's list; empty when there is none.
  static std::wstring Version();

 private:
  // Whether the list vouches for the installed file (it lists content for it, of its time); the
  // entry's parts in listed.
  bool Vouched(const std::wstring& name, const std::wstring& fileTime, ListParts parts, ListEntry& listed);

  std::wstring workFolder_;
  std::optional<IniDocument> list_;
};
