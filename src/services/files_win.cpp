#include <windows.h>

#include "services/files.h"
#include "services/platform.h"
#include "services/system_path_win.h"
#include "services/win_handle.h"

namespace {

HANDLE Native(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

std::intptr_t Wrap(HANDLE handle) {
  return handle == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<std::intptr_t>(handle);
}

std::uint64_t TicksOf(const FILETIME& ft) {
  return (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

}  // namespace

FileHandle FileHandle::OpenForRead(const std::wstring& path) {
  return FileHandle(Wrap(CreateFileW(SystemPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr)));
}

FileHandle FileHandle::CreateForWrite(const std::wstring& path) {
  // Windows refuses to replace a read-only file by itself; Wine run as root does not, so ask.
  DWORD attributes = GetFileAttributesW(SystemPath(path).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) return FileHandle();
  return FileHandle(
      Wrap(CreateFileW(SystemPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)));
}

FileHandle FileHandle::OpenForAppend(const std::wstring& path) {
  return FileHandle(Wrap(CreateFileW(SystemPath(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                     OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)));
}

bool FileHandle::Read(void* buffer, std::size_t size, std::size_t& got) {
  got = 0;
  DWORD n = 0;
  DWORD ask = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
  if (!ReadFile(Native(handle_), buffer, ask, &n, nullptr)) return false;
  got = n;
  return true;
}

bool FileHandle::Write(const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    DWORD n = 0;
    if (!WriteFile(Native(handle_), p, chunk, &n, nullptr) || n == 0) return false;
    p += n;
    size -= n;
  }
  return true;
}

bool FileHandle::Seek(std::int64_t position) {
  LARGE_INTEGER to;
  to.QuadPart = position;
  return IsOpen() && SetFilePointerEx(Native(handle_), to, nullptr, FILE_BEGIN);
}

bool FileHandle::Flush() { return IsOpen() && FlushFileBuffers(Native(handle_)); }

std::int64_t FileHandle::Size() const {
  LARGE_INTEGER size;
  if (!IsOpen() || !GetFileSizeEx(Native(handle_), &size)) return -1;
  return size.QuadPart;
}

void FileHandle::Close() {
  if (IsOpen()) CloseHandle(Native(handle_));
  handle_ = INVALID;
}

void GetFileTimeText(const std::wstring& path, std::wstring& text) {
  text.clear();
  UniqueFile file(CreateFileW(SystemPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  FILETIME written;
  if (!file.valid() || !GetFileTime(file.get(), nullptr, nullptr, &written)) return;
  text = FormatFileTime(TicksOf(written));
}

bool SetFileTimeText(const std::wstring& path, const std::wstring& text) {
  std::uint64_t ticks = 0;
  if (!ParseHoldableFileTime(text, ticks)) return false;
  UniqueFile file(CreateFileW(SystemPath(path).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return false;
  FILETIME written;
  written.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  written.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFULL);
  return SetFileTime(file.get(), nullptr, nullptr, &written) != FALSE;
}

bool ClearReadOnly(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(SystemPath(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY)) return true;
  return SetFileAttributesW(SystemPath(path).c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY)) != FALSE;
}

void DeleteFolderTree(const std::wstring& path) {
  std::wstring folder = SystemPath(path);
  if (folder.empty() || !IsPathSeparator(folder.back())) folder += L'\\';
  WIN32_FIND_DATAW found;
  UniqueFind search(FindFirstFileW((folder + L"*.*").c_str(), &found));
  if (!search.valid()) return;
  do {
    // "." and ".." are skipped by name: no file system promises to list them first, and a
    // drive's root lists neither.
    if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0) continue;
    std::wstring full = folder + found.cFileName;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      // A junction or link: remove the link itself, never what it points at.
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveDirectoryW(SystemPath(full).c_str());
      } else {
        ClearReadOnly(full);
        DeleteFileW(SystemPath(full).c_str());
      }
    } else if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      DeleteFolderTree(full);
    } else {
      ClearReadOnly(full);
      DeleteFileW(SystemPath(full).c_str());
    }
  } while (FindNextFileW(search.get(), &found));
  search.reset();
  RemoveDirectoryW(SystemPath(path).c_str());
}

std::vector<std::wstring> FolderEntries(const std::wstring& path) {
  std::wstring folder = SystemPath(path);
  if (folder.empty() || !IsPathSeparator(folder.back())) folder += L'\\';
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  UniqueFind search(FindFirstFileW((folder + L"*.*").c_str(), &found));
  if (!search.valid()) return names;
  do {
    if (wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0) names.push_back(found.cFileName);
  } while (FindNextFileW(search.get(), &found));
  return names;
}

bool WriteResourceToFile(int id, const std::wstring& type, const std::wstring& destination) {
  HRSRC resource = FindResourceW(nullptr, MAKEINTRESOURCEW(id), type.c_str());
  if (resource == nullptr) return false;
  HGLOBAL loaded = LoadResource(nullptr, resource);
  DWORD size = SizeofResource(nullptr, resource);
  const void* bytes = loaded ? LockResource(loaded) : nullptr;
  if (bytes == nullptr) return false;
  FileHandle file = FileHandle::CreateForWrite(destination);
  if (!file.IsOpen()) return false;
  bool written = file.Write(bytes, size);
  return file.Flush() && written;
}

bool PathExists(const std::wstring& path) { return GetFileAttributesW(SystemPath(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

bool IsLink(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(SystemPath(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool IsFolder(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(SystemPath(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool RegularFileSize(const std::wstring& path, std::uint64_t& size) {
  // Opened without access, through links: this never waits, and tells a disk file from others.
  HANDLE file = CreateFileW(SystemPath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const bool regular = GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info) != FALSE &&
                       (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
  if (regular) size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  CloseHandle(file);
  return regular;
}

bool FileIdentityOf(const std::wstring& path, std::uint64_t& volume, std::uint64_t& number) {
  HANDLE file = CreateFileW(SystemPath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = GetFileInformationByHandle(file, &info) != FALSE;
  CloseHandle(file);
  if (!known) return false;
  volume = info.dwVolumeSerialNumber;
  number = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

bool MakeFolder(const std::wstring& path) { return CreateDirectoryW(SystemPath(path).c_str(), nullptr) != FALSE; }

bool RemoveFile(const std::wstring& path) { return DeleteFileW(SystemPath(path).c_str()) != FALSE; }

// A link to a folder is a folder entry of its own and goes as a folder does; its target stays.
bool RemoveLink(const std::wstring& path) {
  if (!IsLink(path)) return false;
  return IsFolder(path) ? RemoveDirectoryW(SystemPath(path).c_str()) != FALSE : DeleteFileW(SystemPath(path).c_str()) != FALSE;
}

// Flushing a whole volume needs an administrator's handle on it: files are flushed one by one.
bool FlushFileSystem(const std::wstring&) { return false; }

bool MoveFileReplace(const std::wstring& source, const std::wstring& destination) {
  return MoveFileExW(SystemPath(source).c_str(), SystemPath(destination).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) !=
         FALSE;
}


bool MarkExecutable(const std::wstring& path) { return PathExists(path); }

bool WriteNewPrivateFile(const std::wstring& path, const std::string& bytes) {
  UniqueFile file(CreateFileW(SystemPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return false;
  DWORD written = 0;
  const bool ok = WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) != FALSE &&
                  written == bytes.size();
  return CloseHandle(file.release()) != FALSE && ok;
}

bool OthersMayRead(const std::wstring&) { return false; }

bool HasFreeDiskSpace(const std::wstring& folder, std::uint64_t bytes) {
  std::wstring path = SystemPath(AbsolutePath(folder));
  if (path.empty() || path.back() != L'\\') path += L'\\';
  // Only a fixed volume's free space is known to be the room a write has.
  wchar_t volume[MAX_PATH + 1] = {};
  if (!GetVolumePathNameW(path.c_str(), volume, MAX_PATH + 1) || GetDriveTypeW(volume) != DRIVE_FIXED) return false;
  ULARGE_INTEGER available{};
  if (!GetDiskFreeSpaceExW(path.c_str(), &available, nullptr, nullptr)) return false;
  return available.QuadPart > bytes;
}

std::wstring DriveRootFor(const std::wstring& localPath) {
  // "C:\" of a drive path; "\\server\share\" of a network one.
  const std::wstring full = AbsolutePath(localPath);
  if (full.size() >= 3 && full[1] == L':') return full.substr(0, 3);
  std::size_t share = full.rfind(L"\\\\", 0) == 0 ? full.find(L'\\', 2) : std::wstring::npos;
  std::size_t end = share == std::wstring::npos ? std::wstring::npos : full.find(L'\\', share + 1);
  return end == std::wstring::npos ? full : full.substr(0, end + 1);
}
