#pragma once
// Whether a file-list name may be acted on: a path relative to the program folder that stays
// inside it on Windows and on POSIX alike. The publisher refuses to publish what this refuses,
// and the client refuses a list that names it: one rule for both. Refused: absolute paths, drive
// letters and any ":" (alternate data streams), UNC and device paths, device names (CON, NUL,
// COM1, LPT1... with or without extension), "." and ".." components, empty components,
// components ending in a dot or a space or longer than 255 UTF-16 units, a space at the start
// (which a list's section name loses), control characters and the characters that Windows does
// not allow in names.
#include <string>

// What is wrong with the name, in a few words ("a component ends in a dot or a space"); empty
// when it is safe.
std::wstring EntryNameProblem(const std::wstring& name);

inline bool IsSafeEntryName(const std::wstring& name) { return EntryNameProblem(name).empty(); }
