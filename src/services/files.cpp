#include "services/files.h"

#include <filesystem>
#include <cstring>
#include <memory>
#include <vector>

#include "services/md5.h"
#include "services/platform.h"

// Owning a handle is the same on every system; opening and closing it is not.
FileHandle::~FileHandle() { Close(); }

FileHandle::FileHandle(FileHandle&& other) noexcept : handle_(other.handle_) { other.handle_ = INVALID; }

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    other.handle_ = INVALID;
  }
  return *this;
}

bool CreateDirectoryPath(const std::wstring& path) {
  if (path.empty()) return false;
  if (PathExists(path)) return IsFolder(path);
  for (std::size_t i = 0; i < path.size(); ++i) {
    // i > 0: a leading separator is the root of an absolute path, not a folder to make.
    if (i > 0 && IsPathSeparator(path[i])) {
      std::wstring prefix = path.substr(0, i);
      if (!PathExists(prefix)) MakeFolder(prefix);
    }
  }
  if (!IsPathSeparator(path.back()) && !PathExists(path)) MakeFolder(path);
  return IsFolder(path);
}

std::wstring FolderOfPath(const std::wstring& path) {
  const std::size_t cut = path.find_last_of(L"\\/");
  return cut == std::wstring::npos ? std::wstring() : path.substr(0, cut);
}

void Md5OfFile(std::wstring& digest, const std::wstring& path) {
  digest.clear();
  FileHandle file = FileHandle::OpenForRead(path);
  if (!file.IsOpen()) return;
  constexpr std::size_t CHUNK = 65536;
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[CHUNK]);
  Md5 md5;
  std::size_t got = 0;
  do {
    if (!file.Read(buffer.get(), CHUNK, got)) return;
    md5.Update(buffer.get(), got);
  } while (got > 0);
  digest = md5.FinalText();
}

bool ReadWholeFile(const std::wstring& path, std::string& bytes) {
  bytes.clear();
  FileHandle file = FileHandle::OpenForRead(path);
  if (!file.IsOpen()) return false;
  std::int64_t size = file.Size();
  if (size > 0) bytes.reserve(static_cast<std::size_t>(size));
  char buffer[65536];
  std::size_t got = 0;
  do {
    if (!file.Read(buffer, sizeof buffer, got)) return false;
    bytes.append(buffer, got);
  } while (got > 0);
  return true;
}

bool ReadFileSlice(const std::wstring& path, std::uint64_t at, std::size_t size, std::string& bytes) {
  FileHandle file = FileHandle::OpenForRead(path);
  return file.IsOpen() && file.Seek(static_cast<std::int64_t>(at)) && ReadExactly(file, size, bytes);
}

bool ReadExactly(FileHandle& file, std::size_t size, std::string& bytes) {
  bytes.assign(size, '\0');
  std::size_t done = 0, got = 0;
  while (done < size) {
    if (!file.Read(bytes.data() + done, size - done, got) || got == 0) return false;
    done += got;
  }
  return true;
}

bool SameFile(const std::wstring& a, const std::wstring& b) {
  std::uint64_t volumeA = 0, numberA = 0, volumeB = 0, numberB = 0;
  return FileIdentityOf(a, volumeA, numberA) && FileIdentityOf(b, volumeB, numberB) && volumeA == volumeB &&
         numberA == numberB;
}

std::wstring TemporaryFolder() {
  std::error_code failure;
  std::wstring folder = std::filesystem::temp_directory_path(failure).wstring();
  while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
  return failure || folder.empty() ? L"." : folder;
}

bool SameFileContent(const std::wstring& a, const std::wstring& b) {
  FileHandle left = FileHandle::OpenForRead(a);
  FileHandle right = FileHandle::OpenForRead(b);
  if (!left.IsOpen() || !right.IsOpen() || left.Size() != right.Size()) return false;
  std::vector<char> one(1 << 20), two(1 << 20);
  for (;;) {
    std::size_t got = 0, other = 0;
    if (!left.Read(one.data(), one.size(), got) || !right.Read(two.data(), two.size(), other) || got != other) {
      return false;
    }
    if (got == 0) return true;
    if (std::memcmp(one.data(), two.data(), got) != 0) return false;
  }
}

bool CanMakeFilesIn(const std::wstring& folder) {
  std::wstring probe = folder;
  if (!probe.empty() && probe.back() != L'\\' && probe.back() != L'/') probe += L'\\';
  probe += L"zepo-write-check-" + std::to_wstring(CurrentProcessId()) + L".tmp";
  const bool made = FileHandle::CreateForWrite(probe).IsOpen();
  if (made) RemoveFile(probe);
  return made;
}
