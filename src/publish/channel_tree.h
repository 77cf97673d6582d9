#pragma once
// A tree as the commands that change a channel or report on it find it (status, rollback,
// promote, resign, rollout): the product folder, the channel's folder of lists and its release
// index, and the steps they share.
#include <filesystem>
#include <set>
#include <string>

#include "protocol/served_names.h"
#include "publish/publication.h"
#include "publish/release_index.h"
#include "publish/release_signing.h"
#include "services/ini.h"
#include "services/text.h"

struct Tree {
  std::filesystem::path root;
  std::filesystem::path product;
  std::wstring productName;        // as the root descriptor names it: "velora/"
  std::wstring channel;            // whose lists and index the command works on
  std::filesystem::path lists;     // that channel's folder of lists and index
  ReleaseIndex index;              // that channel's

  // The channel's lists and index relative to the tree: "velora/", "velora/channels/beta/".
  std::string ListsFolder() const { return WideToUtf8(productName + ChannelFolder(channel)); }
};

// Loads the tree and the channel's index; a channel that has none yet is refused unless newChannel
// (a promotion makes it). False with the reason.
bool LoadTree(const std::filesystem::path& root, const std::wstring& rootKey, const std::wstring& channel, Tree& tree,
              std::string& error, bool newChannel = false);

// A served list of a folder of lists, read; empty when there is none.
IniDocument PublishedList(const std::filesystem::path& lists, const char* name = FULL_LIST.narrow);

// The full and update lists of a kept version of the channel, as it would serve them live:
// its kept list with the times that no earlier list gave other content, patches to it from the
// content of version from (none when empty), and the removals of what other kept releases shipped.
// Neither carries the channel's header line yet. False with the reason.
bool ComposeServedLists(Tree& tree, const std::wstring& version, const std::wstring& from, std::wstring& full,
                        std::wstring& update, std::string& error);

// Copies a release of the source channel into the target channel's index as it was built (its
// kept list and record, never its content, which the channels share), not live; nothing when the
// target has it. False with the reason.
bool ImportRelease(const Tree& source, Tree& target, const std::wstring& version, std::string& error);

// The names of a list's files (not its folders or removals), folded to one case.
std::set<std::wstring> FilesOf(const IniDocument& list);

// Whether a kept release can serve clients again: indexed, not pruned, its list kept, and every
// file its list names in the tree and sound. False with the reason.
bool CanGoLiveAgain(const std::filesystem::path& root, const Tree& tree, const std::wstring& version,
                    const IniDocument& kept, std::string& error);

// Publishes the lists added to the publication (when any) with signatures as signing asks, and
// the channel's index.
bool PublishTree(const Tree& tree, Publication& publication, const SigningOptions& signing, std::string& error);
