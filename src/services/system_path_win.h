#pragma once
// Paths as the Windows build hands them to the system.
#include <cstddef>
#include <string>

// The longest path that every plain (not extended) call takes: a folder is created, entered and
// started from only below MAX_PATH less room for an 8.3 name.
constexpr std::size_t PLAIN_PATH_MAX = 247;

// The form every file call takes: made absolute against the current directory and extended, so
// that a game folder or a name deep in it may pass 260 characters.
std::wstring SystemPath(const std::wstring& path);


// The 8.3 form of an existing file or folder, in its plain form; empty when the volume keeps no
// short names for it.
std::wstring ShortPathForm(const std::wstring& path);
