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
#include <vector>

class IniDocument;

// An MD5 digest as a list writes it (32 hex digits, either case), held in 16 bytes: a game of
// 200,000 files keeps several sets of them, and their text would cost ten times as much.
struct ContentKey {
  std::uint64_t high = 0, low = 0;
  bool operator==(const ContentKey& other) const { return high == other.high && low == other.low; }
};
struct ContentKeyHash {
  std::size_t operator()(const ContentKey& key) const { return static_cast<std::size_t>(key.high ^ key.low); }
};
using ContentKeys = std::unordered_set<ContentKey, ContentKeyHash>;
// False for text that is not 32 hex digits: no MD5 matches it, so it names no content.
bool ParseContentKey(const std::wstring& digest, ContentKey& key);

class LocalContent {
 public:
  // The files of a list whose checksum is one of wanted: each is taken to hold its listed content
  // while its time is its listed DateTime. Sections marked in skipped (the files the run itself
  // replaces, whose content is not the listed one) are left out.
  void NoteListed(const IniDocument& list, const ContentKeys& wanted, const std::vector<bool>& skipped = {});
  // For an installation that no run has recorded a list of (the game's installer made it): the
  // installed files that list does not name with content (names it removes, files it does not
  // know) whose size a wanted content has (size -> checksums, lower case) are hashed, each once,
  // and noted when they hold one; skip is a folder (the updater's own) left out. A renamed
  // folder or a moved file is then copied, not downloaded, on the first update too.
  void NoteUnlisted(const IniDocument& list, const std::unordered_map<std::uint64_t, ContentKeys>& wantedBySize,
                    const std::wstring& skip);
  // An installed file other than except that still holds the content of checksum (and size,
  // when both are known); empty when there is none. Its time is read now: only a candidate is
  // looked at on the disk.
  std::wstring Find(const std::wstring& checksum, const std::wstring& size, const std::wstring& except) const;

 private:
  struct Holder {
    std::wstring name, dateTime, size;
  };
  std::unordered_multimap<ContentKey, Holder, ContentKeyHash> byChecksum_;
};

// Copies a file, taking its MD5 on the way; at most bound bytes. writeFailure names a failed
// write (the disk's fault); cause any other failure.
bool CopyFileWithDigest(const std::wstring& from, const std::wstring& to, std::uint64_t bound, std::wstring& digest,
                        std::wstring& cause, std::wstring& writeFailure);
