#pragma once
// Files that another program holds: an antivirus scan of a freshly written file, the game still
// running, an editor. On Windows such a file can be neither replaced nor removed until the holder
// lets go; on POSIX an open file may always be replaced.
#include <string>

// Whether another program holds the file so that it cannot be replaced or removed now. False for
// a file that does not exist.
bool FileIsHeld(const std::wstring& path);

// The programs that hold a file, as "scanner.exe (pid 1234)", separated by ", "; empty when the
// system cannot tell (POSIX, or no Restart Manager).
std::wstring FileHolders(const std::wstring& path);
