#pragma once
// Checks a published tree the way a client will use it.
#include <filesystem>
#include <string>

// Every URL the list implies exists, every packed file unpacks to its listed digest, and every
// patch rebuilds its target from the content its key names (found among the tree's whole files).
// With an installation, also says what an update of it would download. Prints what it finds;
// true when nothing is wrong.
bool VerifyTree(const std::filesystem::path& tree, const std::wstring& rootKey, const std::filesystem::path* install);
