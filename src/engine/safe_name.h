#pragma once
// Whether a file-list name may be acted on: a path relative to the program folder that stays
// inside it on Windows and on POSIX alike. Refused: absolute paths, drive letters and any ":"
// (alternate data streams), UNC and device paths, device names (CON, NUL, COM1, LPT1... with or
// without extension), "." and ".." components, empty components, components ending in a dot or
// a space, control characters and the characters that Windows does not allow in names.
#include <string>

bool IsSafeEntryName(const std::wstring& name);
