#pragma once
// A release folder as the tree builder sees it: every file and folder, named as the file list
// names them (relative, backslash-separated).
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

struct ReleaseItem {
  std::wstring name;      // "data\map.pak"
  std::filesystem::path path;
  bool folder = false;
  std::uint64_t size = 0;
};

// Every item below the folder, sorted by name without regard to case so that lists come out the
// same on every run and platform. False when the folder cannot be read.
bool ScanRelease(const std::filesystem::path& folder, std::vector<ReleaseItem>& items);

// The path as our services take it, and back; UTF-8 on POSIX whatever the locale.
std::wstring WideOf(const std::filesystem::path& path);
std::filesystem::path PathOf(const std::wstring& path);
