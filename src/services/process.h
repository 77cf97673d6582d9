#pragma once
// Starting other programs: command lines built and split by the Windows rules on every platform,
// so that paths with spaces, quotes or letters outside ASCII reach the program whole.
#include <string>
#include <vector>

// Quotes an argument when it needs it: "update\Game Launcher.exe" stays one argument.
std::wstring QuoteArgument(const std::wstring& argument);
std::wstring BuildCommandLine(const std::vector<std::wstring>& arguments);
// The standard splitting of a command line into arguments (backslashes before quotes, doubled
// quotes), the one the helper's runtime applies.
std::vector<std::wstring> SplitCommandLine(const std::wstring& commandLine);

// Starts a program with its arguments (the first is the program) in the current directory,
// without a window or terminal of its own, and does not wait for it. True when it started.
bool StartDetachedProcess(const std::vector<std::wstring>& arguments);

// How a program that a process started in the current folder starts is named there: on Windows,
// when its path is too long for process creation, relative to that folder when it lies in it,
// else by its short (8.3) form; the path itself otherwise.
std::wstring LaunchablePath(const std::wstring& path);
