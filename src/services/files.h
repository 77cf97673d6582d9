#pragma once
// File and folder services shared by the engine, the logger and the tools. Paths are Windows
// paths (backslashes, relative to the current directory, which is the program folder); the POSIX
// back end maps "\" to "/" at the system boundary. Every handle is opened and closed within the
// call that needs it, except through FileHandle, which owns one open file.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "services/file_time.h"

// One open file. Move-only; closes itself.
class FileHandle {
 public:
  FileHandle() = default;
  ~FileHandle();
  FileHandle(FileHandle&& other) noexcept;
  FileHandle& operator=(FileHandle&& other) noexcept;
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;

  // An existing file for reading; others may read it at the same time.
  static FileHandle OpenForRead(const std::wstring& path);
  // A new file for writing, replacing any existing one; nobody else may open it meanwhile.
  // A read-only file is not replaced.
  static FileHandle CreateForWrite(const std::wstring& path);
  // A file for appending, created when missing; others may read and write it meanwhile.
  static FileHandle OpenForAppend(const std::wstring& path);

  bool IsOpen() const { return handle_ != INVALID; }
  // Reads up to size bytes; got = 0 at the end of the file. False on a read error.
  bool Read(void* buffer, std::size_t size, std::size_t& got);
  // Writes all bytes; false when fewer could be written.
  bool Write(const void* data, std::size_t size);
  bool Flush();
  // Moves the file position to an absolute offset.
  bool Seek(std::int64_t position);
  // The file's size in bytes; -1 when it cannot be read.
  std::int64_t Size() const;
  void Close();

 private:
  static constexpr std::intptr_t INVALID = -1;
  explicit FileHandle(std::intptr_t handle) : handle_(handle) {}
  std::intptr_t handle_ = INVALID;
};

// The file's last-write time as file-time text; empty when the file cannot be opened for reading
// or its time cannot be read.
void GetFileTimeText(const std::wstring& path, std::wstring& text);
// Sets the last-write time from file-time text; creation and access times stay. False when the
// text does not parse as a holdable time (the file is not touched) or the time cannot be set.
bool SetFileTimeText(const std::wstring& path, const std::wstring& text);

// True when the path's attributes cannot be read or it is not read-only; otherwise whether the
// read-only attribute (POSIX: the missing owner write permission) could be removed.
bool ClearReadOnly(const std::wstring& path);

// Creates every missing folder along the path ("\" or "/" separated), the last one included.
// A trailing separator ends the walk. True when the path is a folder afterwards: false when a
// file stands in the way or a folder cannot be made.
bool CreateDirectoryPath(const std::wstring& path);

// Removes the folder's files and sub-folders, then the folder itself, as far as possible.
// Read-only files are removed too. Links to folders are removed, never followed.
void DeleteFolderTree(const std::wstring& path);

// The names of a folder's entries, "." and ".." left out; empty when it cannot be listed.
std::vector<std::wstring> FolderEntries(const std::wstring& path);

// Writes the program's own resource of numeric id and type name to a new file.
// True when the whole resource was written.
bool WriteResourceToFile(int id, const std::wstring& type, const std::wstring& destination);

// The MD5 digest of the file as 32 lowercase hexadecimal digits; empty when it cannot be read.
void Md5OfFile(std::wstring& digest, const std::wstring& path);

// Small queries and single steps that the operations above and their callers share.
bool PathExists(const std::wstring& path);
// True for a symbolic link, junction or other reparse point (which folder deletions never follow).
bool IsLink(const std::wstring& path);
bool IsFolder(const std::wstring& path);
// Whether two files hold the same bytes (read in pieces; false when either cannot be read).
bool SameFileContent(const std::wstring& a, const std::wstring& b);
// The system's folder for temporary files, without a trailing separator ("." when there is none).
std::wstring TemporaryFolder();
// Whether the path (through links) is a regular file, and its size; false for a folder, a named
// pipe, a device or a socket, which a reader never opens (a pipe blocks the opening, a device
// reads without end), and for a path that is not there.
bool RegularFileSize(const std::wstring& path, std::uint64_t& size);
// Whether two paths name the same existing file (however they are spelt: case, links, a
// relative or a drive form).
bool SameFile(const std::wstring& a, const std::wstring& b);
// What tells an existing file from every other: its volume and its number on it (a file with
// several hard links has one identity). False when the file cannot be looked at.
bool FileIdentityOf(const std::wstring& path, std::uint64_t& volume, std::uint64_t& number);
bool MakeFolder(const std::wstring& path);
bool RemoveFile(const std::wstring& path);
// The root of the drive that holds a path ("C:\\", "\\\\server\\share\\"); on POSIX its folder.
std::wstring DriveRootFor(const std::wstring& localPath);
// Whether the file system that holds the folder has more than bytes free for the user. Asked of
// the folder itself, not of its drive's root: a volume mounted in a folder has a room of its own.
bool HasFreeDiskSpace(const std::wstring& folder, std::uint64_t bytes);
// Whether a new file can be made in the folder (tried with one that is removed again): false for
// a folder that is missing, read-only to this user or on a read-only volume.
bool CanMakeFilesIn(const std::wstring& folder);
// Removes a symbolic link or junction itself, whether it points to a file or a folder; what it
// points to is never touched.
bool RemoveLink(const std::wstring& path);
// Makes every file written on the file system that holds path durable at once, where the system
// can (one journal commit for thousands of new files); false where it cannot, and each file must
// be flushed on its own.
bool FlushFileSystem(const std::wstring& path);
// Moves a file over another, replacing it in one step where the platform allows.
bool MoveFileReplace(const std::wstring& source, const std::wstring& destination);
// Lets the file be run as a program (POSIX: the execute permissions; Windows needs nothing).
bool MarkExecutable(const std::wstring& path);
// Creates a file that must not exist yet, with bytes, readable and writable by its owner only
// (POSIX mode 0600; on Windows the folder's access rules decide who else may read it).
bool WriteNewPrivateFile(const std::wstring& path, const std::string& bytes);
// Whether people other than the owner may read a file by its POSIX mode; false on Windows, whose
// folder access rules this does not judge.
bool OthersMayRead(const std::wstring& path);

// True for "\" and "/", the separators that paths may carry.
inline bool IsPathSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// The folder of a path, without the separator before the last part: "data\a.pak" gives "data",
// "a.pak" gives "".
std::wstring FolderOfPath(const std::wstring& path);

// The whole file's bytes; false when it cannot be read.
bool ReadWholeFile(const std::wstring& path, std::string& bytes);
// size bytes of the file from offset at; false when it cannot be read or ends before them.
bool ReadFileSlice(const std::wstring& path, std::uint64_t at, std::size_t size, std::string& bytes);
// The next size bytes of an open file; false when it cannot be read or ends before them.
bool ReadExactly(FileHandle& file, std::size_t size, std::string& bytes);
