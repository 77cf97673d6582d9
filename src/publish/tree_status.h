#pragma once
// What a release engineer asks of a published tree: which version is live and what each release
// costs its players, and making an earlier release live again.
#include <filesystem>
#include <string>
#include <vector>

#include "protocol/served_names.h"
#include "publish/release_signing.h"

// The product folder as the tree's rootfolder.enc names it under the key ("velora/"); false when
// it names none.
bool ProductNameOf(const std::filesystem::path& tree, const std::wstring& rootKey, std::wstring& name);
// The product folder that the tree's rootfolder.enc names under the key; false when it has none.
bool ProductFolderOf(const std::filesystem::path& tree, const std::wstring& rootKey, std::filesystem::path& product);

// Prints the live version and until when its signatures hold (a warning under 7 days), then each release with its date, file count, packed size, patch count
// and the bytes that a client on that release downloads to reach the live one, then what
// ServedProblems finds; false when it finds anything. With json, sets it to the same as one object.
// With access logs, also the channel's reports per version (publish/rollout_status.h).
bool ShowTreeStatus(const std::filesystem::path& tree, const std::wstring& rootKey, const std::wstring& channel,
                    std::string& error, std::string* json = nullptr,
                    const std::vector<std::filesystem::path>& accessLogs = {});

// What players download to reach the live version: for each kept release other than the live one
// (oldest first), its version and the bytes a client holding it downloads (patches where the live
// list has them from its content, else whole files); last, with an empty version, a new
// installation's. Empty when the tree cannot be read.
struct DownloadFrom {
  std::wstring version;
  std::uint64_t bytes;
};
std::vector<DownloadFrom> DownloadsToTheLive(const std::filesystem::path& tree, const std::wstring& rootKey,
                                             const std::wstring& channel = DEFAULT_CHANNEL);

// Makes an earlier release live again: its list is published anew (clients go back by checksum,
// downloading that version's whole files), with removals of whatever other releases shipped.
// Refused when the tree lacks a file its list names, or when it takes away every file of the live
// release or more than half of them (unless allowRemovals). With signing enabled, every served
// list is signed as a build signs them; a rollback to the live version then renews its signatures.
bool RollbackTree(const std::filesystem::path& tree, const std::wstring& rootKey, const std::wstring& channel,
                  const std::wstring& version, const SigningOptions& signing, bool allowRemovals, std::string& error);

// Makes a version of one channel (its live one when version is empty) live on another, without a
// build: its kept list and record are copied into the other channel's index, its content is the
// one the channels share, and its list is published on that channel as a rollback publishes one.
// A channel that has no index yet is made.
bool PromoteTree(const std::filesystem::path& tree, const std::wstring& rootKey, const std::wstring& from,
                 const std::wstring& to, const std::wstring& version, const SigningOptions& signing, bool allowRemovals,
                 std::string& error);

// Signs the live version's served lists again, root descriptor included, with a new serial and
// expiry: no new release is needed to keep a signed tree's signatures fresh.
bool ResignTree(const std::filesystem::path& tree, const std::wstring& rootKey, const std::wstring& channel,
                const SigningOptions& signing, std::string& error);

// What clients are served that the index does not say: lists of another version than the live
// one, a signature file that does not state its list, expired signatures, an unfinished
// publication, an index without a live version (the signatures only when asked), each with its
// kind, which status's closing line names. Empty when all agree.
struct TreeProblem {
  enum Kind { NOT_A_TREE, UNFINISHED, SERVED, SIGNATURE, EXPIRED, DAMAGED };
  Kind kind;
  std::string text;
};
std::vector<TreeProblem> TreeProblems(const std::filesystem::path& tree, const std::wstring& rootKey,
                                      bool signatures, const std::wstring& channel = DEFAULT_CHANNEL);
// The same problems' texts.
std::vector<std::string> ServedProblems(const std::filesystem::path& tree, const std::wstring& rootKey,
                                        bool signatures, const std::wstring& channel = DEFAULT_CHANNEL);
