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
// same on every run and platform. Nothing is published that a client would refuse or that is not
// the release's own: each of these is a problem, with the item's name and the reason:
//   - a name that the client's name rule refuses, or a POSIX name that holds a backslash;
//   - two names that differ only in letter case (one file on Windows);
//   - a symbolic link, unless followLinks; then one whose target is missing or outside the
//     release, or that closes a loop;
//   - a named pipe, socket or device (never opened), or a file that cannot be read.
// False when the folder cannot be read or there is any problem.
bool ScanRelease(const std::filesystem::path& folder, bool followLinks, std::vector<ReleaseItem>& items,
                 std::vector<std::string>& problems);

// What is wrong with a path given as a folder: "PATH does not exist", "PATH is a file, not a
// folder", "cannot read the folder PATH"; empty when it is a folder.
std::string FolderProblem(const std::filesystem::path& folder);

// A name as a person should see it in a message: UTF-8, control characters escaped ("\r", "\x01").
std::string ShownName(const std::wstring& name);

// A size as people read it: "512 bytes", "14.2 KiB", "3.1 MiB".
std::string ByteSize(std::uint64_t bytes);

// The path as our services take it, and back; UTF-8 on POSIX whatever the locale.
std::wstring WideOf(const std::filesystem::path& path);
std::filesystem::path PathOf(const std::wstring& path);
