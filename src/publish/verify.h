#pragma once
// Checks a published tree the way a client will use it.
#include <filesystem>
#include <string>

// Every URL the list implies exists, every packed file unpacks to its listed digest, and every
// patch rebuilds its target from the content its key names (found among the tree's whole files).
// With an installation, also says what an update of it would download. A signed tree's signature
// files must state the files' bytes, names and product, and every entry its SHA256 and Size; with
// publicKeys, each signature must be one of theirs and unexpired. Prints what it finds, and with
// json sets it to the same as one object; true when nothing is wrong.
bool VerifyTree(const std::filesystem::path& tree, const std::wstring& rootKey, const std::filesystem::path* install,
                const std::string& publicKeys = {}, std::string* json = nullptr);
