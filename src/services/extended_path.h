#pragma once
// Windows names a path of any length (up to 32,767 characters) only in its extended form, which
// the system takes as it stands: no "." or ".." resolved, no "/" turned into "\", no trailing
// space or dot dropped. Kept free of system calls so that both builds test it.
#include <string>

// The extended form of an absolute Windows path: "C:\Games\x" becomes "\\?\C:\Games\x",
// "\\server\share\x" becomes "\\?\UNC\server\share\x"; a path already in an extended or device
// form ("\\?\", "\\.\") and a path that is not absolute are returned as they are.
std::wstring ExtendedPathForm(const std::wstring& absolute);

// The plain form of an extended path, for the paths shown to people and given to programs.
std::wstring PlainPathForm(const std::wstring& path);
