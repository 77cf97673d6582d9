#pragma once
// Patches that bring a client's last list to the live one. A list names every file with its MD5
// and SHA-256, digests that no packer shrinks: the list of a 2,000-file game packs to 136 KB and
// is downloaded whole on every release, although a release changes a few dozen of its entries.
// Beside each product list the tree keeps the texts of the lists it served last and, for each, a
// patch to the live text, in the byte code of file patches:
//
//   velora/filelist.enc.patches/<MD5 of an earlier text>-<check>.pat   the patch, packed
//   velora/filelist.enc.patches/<MD5>.list                             that earlier text, packed
//   velora/filelist.enc.patches/recent                                 their MD5s, newest first
//
// where <check> is the live packed list's check of its text (its last four bytes, packed.h). A
// client asks for the patch named by the MD5 of the text it holds and the check of the list the
// server answered, so a patch always leads from exactly that text to exactly that list, and no
// URL ever serves other bytes: caches keep them for ever. A text not among the last ones kept
// has no patch, and its client downloads the whole list. Each publication that changes a list writes its patches again, before
// the list goes live (a client that sees the new list finds patches to it).
#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

// Lists of this many publications back have patches to the live one.
constexpr std::size_t LIST_TEXTS_KEPT = 8;

struct ListPatchFiles {
  std::vector<std::pair<std::string, std::string>> written;  // relative to the tree, and the bytes
  std::vector<std::string> removed;                          // relative to the tree
};

// The folder of a list's patches, relative to the tree: "velora/filelist.enc.patches/".
std::string ListPatchFolder(const std::string& list);

// The files that bring the last texts of the list at relative (a tree-relative path) to after
// (the packed list going live), given before (the packed list it replaces, empty when none).
// False with the reason when a kept text cannot be read back or a patch does not rebuild after.
bool ListPatchesFor(const std::filesystem::path& tree, const std::string& relative, const std::string& before,
                    const std::string& after, ListPatchFiles& files, std::string& error);

// Problems of the list at relative's patches: each must rebuild the live text from the kept text
// its name gives. Empty when there are none.
std::vector<std::string> ListPatchProblems(const std::filesystem::path& tree, const std::string& relative);
