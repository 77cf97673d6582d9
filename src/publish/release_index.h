#pragma once
// What a tree has published, kept in the tree beside the lists: "releases.ini" in the product
// folder names the versions in the order they were published, each with its date and sizes, and
// which one is live; "releases/VERSION.enc" keeps each version's full list as it was published.
// From these the builder takes earlier releases' contents (their whole files stay under
// files/VERSION/), the removals of a new release, and what status and rollback show and do.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "services/ini.h"

struct IndexedRelease {
  std::wstring version;
  std::wstring date;  // "2026-12-07 17:50" UTC, when it was published
  std::size_t files = 0;
  std::uint64_t bytes = 0;        // of the release's files
  std::uint64_t packedBytes = 0;  // of its packed whole files
  std::size_t patches = 0;
  // What its build added to the tree (content the store lacked, and new patches); unknown for
  // releases that an older publisher built.
  std::optional<std::uint64_t> addedBytes;
  std::wstring liveAgain;  // when a rollback last made it live again
  // When prune took its files away; its record and kept list stay, so that later releases still
  // remove what it shipped and a push still knows it at the origin.
  std::wstring pruned;
};

// A staged rollout of a channel: a version offered beside the live one to a share of the
// installations (see ListHeader::rollout).
struct IndexedRollout {
  std::wstring version;  // empty: none
  std::wstring percent;  // "10", "0.5"
  std::wstring state;    // ROLLOUT_RUNNING, ROLLOUT_HALTED or ROLLOUT_BACK
};

class ReleaseIndex {
 public:
  // The index of the tree's product folder. A tree built before the index was kept has none;
  // exists() then tells so.
  static ReleaseIndex Load(const std::filesystem::path& product);
  bool exists() const { return exists_; }

  const std::vector<IndexedRelease>& releases() const { return releases_; }
  const std::wstring& live() const { return live_; }
  const IndexedRelease* Find(const std::wstring& version) const;

  // The full list that a version was published with; empty when it is not kept.
  IniDocument ListOf(const std::wstring& version) const;
  bool KeepList(const std::wstring& version, const std::string& listText, std::string& error) const;

  // Records a release (or replaces its record) and makes it live; any rollout ends.
  void Publish(const IndexedRelease& release);
  // Records a release that another channel published, not live yet.
  void Add(const IndexedRelease& release) { releases_.push_back(release); }
  // Makes an indexed version live again (date: when, for the record; empty: not again); any
  // rollout ends.
  void MakeLive(const std::wstring& version, const std::wstring& date);
  const IndexedRollout& rollout() const { return rollout_; }
  void SetRollout(const IndexedRollout& rollout) { rollout_ = rollout; }
  // Records that prune took the version's files away.
  void MarkPruned(const std::wstring& version, const std::wstring& date);
  // The index's text, which a publication makes live as FILE_NAME in the product folder.
  std::string Text() const;
  static constexpr const char* FILE_NAME = "releases.ini";

 private:
  std::filesystem::path product_;
  bool exists_ = false;
  std::vector<IndexedRelease> releases_;
  std::wstring live_;
  IndexedRollout rollout_;
};

// The first entry of a file list: the section after its first named one, its ServerConfig.
std::size_t FirstEntrySection(const IniDocument& list);

// The current time as the index writes dates: "2026-12-07 17:50" in UTC; and a time given in
// seconds since 1970.
std::wstring IndexDateNow();
std::wstring IndexDateAt(std::int64_t unixTime);

// The versions the index names whose files the tree holds (not pruned), in the order they were
// published.
std::vector<std::wstring> IndexedVersions(const ReleaseIndex& index);
