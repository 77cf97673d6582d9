#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "services/embedded_resources.h"
#include "services/files.h"
#include "services/posix_path.h"
#include "services/text.h"

// Programs that embed nothing link this empty table; the build's generated table replaces it.
extern const EmbeddedResourceTable zepoEmbeddedResources __attribute__((weak)) = {nullptr, 0};

namespace {

int Fd(std::intptr_t handle) { return static_cast<int>(handle); }

int OpenRetrying(const std::string& path, int flags, mode_t mode = 0666) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

bool IsOwnerReadOnly(const struct stat& st) { return (st.st_mode & S_IWUSR) == 0; }

}  // namespace

FileHandle FileHandle::OpenForRead(const std::wstring& path) {
  int fd = OpenRetrying(PosixPath(path), O_RDONLY);
  if (fd >= 0) {
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
      ::close(fd);
      fd = -1;
    }
  }
  return FileHandle(fd);
}

FileHandle FileHandle::CreateForWrite(const std::wstring& path) {
  // Windows refuses to replace a read-only file; so do we, so that both back ends agree.
  std::string native = PosixPath(path);
  struct stat st;
  if (stat(native.c_str(), &st) == 0 && (IsOwnerReadOnly(st) || S_ISDIR(st.st_mode))) return FileHandle();
  return FileHandle(OpenRetrying(native, O_WRONLY | O_CREAT | O_TRUNC));
}

FileHandle FileHandle::OpenForAppend(const std::wstring& path) {
  return FileHandle(OpenRetrying(PosixPath(path), O_WRONLY | O_CREAT | O_APPEND));
}

bool FileHandle::Read(void* buffer, std::size_t size, std::size_t& got) {
  got = 0;
  ssize_t n;
  do {
    n = ::read(Fd(handle_), buffer, size);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return false;
  got = static_cast<std::size_t>(n);
  return true;
}

bool FileHandle::Write(const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::write(Fd(handle_), p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool FileHandle::Seek(std::int64_t position) {
  return IsOpen() && lseek(Fd(handle_), static_cast<off_t>(position), SEEK_SET) == static_cast<off_t>(position);
}

bool FileHandle::Flush() { return IsOpen() && ::fsync(Fd(handle_)) == 0; }

std::int64_t FileHandle::Size() const {
  struct stat st;
  if (!IsOpen() || fstat(Fd(handle_), &st) != 0) return -1;
  return st.st_size;
}

void FileHandle::Close() {
  if (IsOpen()) ::close(Fd(handle_));
  handle_ = INVALID;
}

// One stat: a file check asks this of every listed file. Unlike Windows, POSIX has no sharing
// locks, so a file that can be looked at can be opened; a folder has no file time here either.
void GetFileTimeText(const std::wstring& path, std::wstring& text) {
  text.clear();
  struct stat st;
  if (stat(PosixPath(path).c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return;
  text = FormatFileTime(TicksFromUnixTime(st.st_mtim.tv_sec, st.st_mtim.tv_nsec));
}

bool SetFileTimeText(const std::wstring& path, const std::wstring& text) {
  std::uint64_t ticks = 0;
  if (!ParseHoldableFileTime(text, ticks)) return false;
  std::int64_t seconds = 0;
  long nanoseconds = 0;
  UnixTimeFromTicks(ticks, seconds, nanoseconds);
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(seconds);
  times[1].tv_nsec = nanoseconds;
  return utimensat(AT_FDCWD, PosixPath(path).c_str(), times, 0) == 0;
}

bool ClearReadOnly(const std::wstring& path) {
  std::string native = PosixPath(path);
  struct stat st;
  if (stat(native.c_str(), &st) != 0 || !IsOwnerReadOnly(st)) return true;
  return chmod(native.c_str(), (st.st_mode & 07777) | S_IWUSR) == 0;
}

namespace {

void DeleteFolderTreeNative(const std::string& folder) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return;
  std::string prefix = folder;
  if (prefix.empty() || prefix.back() != '/') prefix += '/';
  while (struct dirent* entry = readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    std::string full = prefix + entry->d_name;
    struct stat st;
    if (lstat(full.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      DeleteFolderTreeNative(full);
    } else {
      ::unlink(full.c_str());
    }
  }
  closedir(dir);
  ::rmdir(folder.c_str());
}

}  // namespace

void DeleteFolderTree(const std::wstring& path) {
  std::string native = PosixPath(path);
  struct stat st;
  // A link to a folder is not a folder of ours to empty.
  if (lstat(native.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
  DeleteFolderTreeNative(native);
}

std::vector<std::wstring> FolderEntries(const std::wstring& path) {
  std::vector<std::wstring> names;
  DIR* dir = opendir(PosixPath(path).c_str());
  if (dir == nullptr) return names;
  while (struct dirent* entry = readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      names.push_back(AnsiToWide(entry->d_name));
    }
  }
  closedir(dir);
  return names;
}

bool WriteResourceToFile(int id, const std::wstring& type, const std::wstring& destination) {
  const EmbeddedResource* found = nullptr;
  for (std::size_t i = 0; i < zepoEmbeddedResources.count; ++i) {
    const EmbeddedResource& r = zepoEmbeddedResources.entries[i];
    if (r.id == id && EqualNoCase(r.type, type)) {
      found = &r;
      break;
    }
  }
  if (found == nullptr) return false;
  FileHandle file = FileHandle::CreateForWrite(destination);
  if (!file.IsOpen()) return false;
  bool written = file.Write(found->data, found->size);
  return file.Flush() && written;
}

bool PathExists(const std::wstring& path) {
  struct stat st;
  return stat(PosixPath(path).c_str(), &st) == 0;
}

bool IsLink(const std::wstring& path) {
  struct stat st;
  return lstat(PosixPath(path).c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool IsFolder(const std::wstring& path) {
  struct stat st;
  return stat(PosixPath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool RegularFileSize(const std::wstring& path, std::uint64_t& size) {
  struct stat st;
  if (stat(PosixPath(path).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  size = static_cast<std::uint64_t>(st.st_size);
  return true;
}

bool FileIdentityOf(const std::wstring& path, std::uint64_t& volume, std::uint64_t& number) {
  struct stat status;
  if (stat(PosixPath(path).c_str(), &status) != 0) return false;
  volume = static_cast<std::uint64_t>(status.st_dev);
  number = static_cast<std::uint64_t>(status.st_ino);
  return true;
}

bool MakeFolder(const std::wstring& path) { return ::mkdir(PosixPath(path).c_str(), 0777) == 0; }

bool RemoveFile(const std::wstring& path) { return ::unlink(PosixPath(path).c_str()) == 0; }

bool RemoveLink(const std::wstring& path) { return IsLink(path) && ::unlink(PosixPath(path).c_str()) == 0; }

bool FlushFileSystem(const std::wstring& path) {
#ifdef __linux__
  const int fd = ::open(PosixPath(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool flushed = ::syncfs(fd) == 0;
  ::close(fd);
  return flushed;
#else
  (void)path;
  return false;
#endif
}

bool MoveFileReplace(const std::wstring& source, const std::wstring& destination) {
  return ::rename(PosixPath(source).c_str(), PosixPath(destination).c_str()) == 0;
}


bool WriteNewPrivateFile(const std::wstring& path, const std::string& bytes) {
  const int fd = OpenRetrying(PosixPath(path), O_CREAT | O_EXCL | O_WRONLY, 0600);
  if (fd < 0) return false;
  const bool ok = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  return ::close(fd) == 0 && ok;
}

bool OthersMayRead(const std::wstring& path) {
  struct stat status {};
  return ::stat(PosixPath(path).c_str(), &status) == 0 && (status.st_mode & 077) != 0;
}

bool MarkExecutable(const std::wstring& path) {
  std::string native = PosixPath(path);
  struct stat st;
  return stat(native.c_str(), &st) == 0 && chmod(native.c_str(), (st.st_mode & 07777) | S_IXUSR | S_IXGRP | S_IXOTH) == 0;
}

// Every local file system counts as a fixed drive; its free space is what the user may fill.
bool HasFreeDiskSpace(const std::wstring& folder, std::uint64_t bytes) {
  struct statvfs fs;
  if (statvfs(PosixPath(folder).c_str(), &fs) != 0) return false;
  return static_cast<std::uint64_t>(fs.f_bavail) * fs.f_frsize > bytes;
}

std::wstring DriveRootFor(const std::wstring& localPath) {
  std::size_t cut = localPath.find_last_of(L"\\/");
  if (cut == std::wstring::npos) return L".";
  return cut == 0 ? localPath.substr(0, 1) : localPath.substr(0, cut);
}
