#pragma once
#include <string>

// Prints the packed bytes and the number of the distinct chunks that the files of a list (its
// unpacked text at listPath, its product's folder of the tree at productDir) are made of and that
// no file under installDir holds: what an updater of that installation has to download at least.
int LackingChunks(const std::string& productDir, const std::string& listPath, const std::string& installDir);
