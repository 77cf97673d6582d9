#pragma once
// The times a player's file may carry. Clients take a file whose time is the listed one to the
// minute as up to date, without reading it, so a list must never give a changed file a time that
// another content of that name had: packs, archives and reproducible builds give every file one
// fixed time, and an installation the game's installer made carries the release folder's own
// times, not the ones the list gave. The history of a name is every time a list of the tree gave
// it (each release's list, the served list, the texts kept for list patches), and for a file
// whose time a build moved, its release folder's time, which the list keeps as SourceTime.
#include <filesystem>
#include <string>
#include <unordered_map>
#include <vector>

class IniDocument;

class ListedTimes {
 public:
  // Every list the tree of the product folder keeps, on every channel: an installation that
  // changes channels holds files with the times of another channel's lists.
  static ListedTimes Of(const std::filesystem::path& product);

  // When time is in the same minute as a time that name had with another content than checksum:
  // the latest time the name ever had, which a time to list instead must come after. Empty when
  // there is no clash, and the time can be listed as it is.
  std::wstring Clash(const std::wstring& name, const std::wstring& time, const std::wstring& checksum) const;

 private:
  void Add(const IniDocument& list);
  struct Held {
    std::wstring time;
    std::wstring checksum;
  };
  std::unordered_map<std::wstring, std::vector<Held>> byName_;
};
