#pragma once
// Content the installation already holds, known without reading a byte of it. Every file reaches
// the installation with the time its list gives it and changes its time when it changes, so a
// file whose time is still the one a list gave it holds the content that list gave it. A file of
// a new list whose content is here under another name (a renamed folder, a moved video, a
// duplicate) is then copied locally instead of downloaded, and verified like a download.
#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>

class IniDocument;

class LocalContent {
 public:
  // The files of a list whose checksum is one of wanted (lower case): each is taken to hold its
  // listed content while its time is its listed DateTime.
  void NoteListed(const IniDocument& list, const std::unordered_set<std::wstring>& wanted);
  // For an installation that no run has recorded a list of (the game's installer made it): the
  // installed files that list does not name with content (names it removes, files it does not
  // know) whose size a wanted content has (size -> checksums, lower case) are hashed, each once,
  // and noted when they hold one; skip is a folder (the updater's own) left out. A renamed
  // folder or a moved file is then copied, not downloaded, on the first update too.
  void NoteUnlisted(const IniDocument& list,
                    const std::unordered_map<std::uint64_t, std::unordered_set<std::wstring>>& wantedBySize,
                    const std::wstring& skip);
  // An installed file other than except that still holds the content of checksum (and size,
  // when both are known); empty when there is none. Its time is read now: only a candidate is
  // looked at on the disk.
  std::wstring Find(const std::wstring& checksum, const std::wstring& size, const std::wstring& except) const;

 private:
  struct Holder {
    std::wstring name, dateTime, size;
  };
  std::unordered_multimap<std::wstring, Holder> byChecksum_;
};

// Copies a file, taking its MD5 on the way; at most bound bytes. writeFailure names a failed
// write (the disk's fault); cause any other failure.
bool CopyFileWithDigest(const std::wstring& from, const std::wstring& to, std::uint64_t bound, std::wstring& digest,
                        std::wstring& cause, std::wstring& writeFailure);
