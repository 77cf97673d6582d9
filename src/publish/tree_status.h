#pragma once
// What a release engineer asks of a published tree: which version is live and what each release
// costs its players, and making an earlier release live again.
#include <filesystem>
#include <string>

#include "publish/release_signing.h"

// The product folder that the tree's rootfolder.enc names under the key; false when it has none.
bool ProductFolderOf(const std::filesystem::path& tree, const std::wstring& rootKey, std::filesystem::path& product);

// Prints the live version, then each release with its date, file count, packed size, patch count
// and the bytes that a client on that release downloads to reach the live one.
bool ShowTreeStatus(const std::filesystem::path& tree, const std::wstring& rootKey, std::string& error);

// Makes an earlier release live again: its list is published anew (clients go back by checksum,
// downloading that version's whole files), with removals of whatever other releases shipped.
// With signing enabled, the lists are signed as a build signs them.
bool RollbackTree(const std::filesystem::path& tree, const std::wstring& rootKey, const std::wstring& version,
                  const SigningOptions& signing, std::string& error);
