#pragma once
// Where the bytes of a file's download come from. The stager asks a source for an entry's
// current form (its url) to be brought and does everything else itself: unpacking, rebuilding, verification,
// fallback to the next form. The first source is the patch server's HTTP mirrors (http_mirrors.h);
// a LAN peer, a local folder or a chunk store is another implementation of the same two calls.
#include <cstdint>
#include <string>

#include "engine/file_entry.h"

class ContentSource {
 public:
  virtual ~ContentSource() = default;
  // Brings the download of the entry's current form to path, continuing what path already holds,
  // reporting progress through entry.callback. False leaves the code and cause in entry.outcome.
  // Called by several download workers at once, each on an entry of its own.
  [[nodiscard]] virtual bool Bring(FileEntry& entry, const std::wstring& path) = 0;
  // Brings bytes [from, from + length) of the object at the entry's url to path, made anew (a
  // pack's run of chunks). False leaves the code and cause in entry.outcome, and in path what
  // arrived of the range.
  [[nodiscard]] virtual bool BringRange(FileEntry& entry, const std::wstring& path, std::uint64_t from,
                                        std::uint64_t length) = 0;
  // The bytes that the download of the entry's current form would bring, as the source says
  // without sending it; false when it does not say.
  virtual bool DownloadLength(const FileEntry& entry, std::uint64_t& length) const = 0;
};
