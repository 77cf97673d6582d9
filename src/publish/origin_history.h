#pragma once
// One history per origin. A push replaces what an origin serves with what the tree holds; when
// the origin holds something the tree does not know (a release that another build machine
// published, a rollback made elsewhere, signatures renewed from another copy, or files that are no
// tree at all), the push would take it away from players who may have installed it already, and a
// lower signature serial would be refused by every client that took the higher one. Before it
// uploads, push fetches the origin's descriptor, index, full list and its signature, and this
// compares them with the tree.
#include <filesystem>
#include <string>
#include <vector>

// The origin's files a push reads first, relative to the tree's root, for product "velora/".
std::vector<std::string> OriginFilesToRead(const std::wstring& product);

// What the origin (its files fetched into originCopy, laid out as in a tree; originEmpty when it
// holds nothing at all) has that the tree at tree does not know: one line per difference, empty
// when the tree's history contains the origin's.
std::vector<std::string> OriginHistoryProblems(const std::filesystem::path& tree, const std::wstring& product,
                                               const std::filesystem::path& originCopy, bool originEmpty);
