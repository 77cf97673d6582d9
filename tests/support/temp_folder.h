#pragma once
// A fresh folder for one test, removed with everything in it (read-only files included) at the
// end. Tests use std::filesystem to prepare and inspect files; the code under test never does.
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "services/text.h"

class TempFolder {
 public:
  TempFolder() {
    std::random_device random;
    auto base = std::filesystem::temp_directory_path();
    for (;;) {
      path_ = base / ("zepo-test-" + std::to_string(random()));
      if (std::filesystem::create_directory(path_)) break;
    }
  }
  ~TempFolder() { RemoveAll(path_); }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // A path inside the folder, as the code under test takes it.
  std::wstring operator/(const std::string& relative) const { return (path_ / relative).wstring(); }
  std::wstring wide() const { return path_.wstring(); }

 private:
  static void RemoveAll(const std::filesystem::path& p) {
    std::error_code ignored;
    for (auto it = std::filesystem::recursive_directory_iterator(p, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ignored);
    }
    std::filesystem::remove_all(p, ignored);
  }
  std::filesystem::path path_;
};

inline void WriteBytes(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (auto& b : bytes) b = static_cast<char>(random());
  return bytes;
}

// A path as the code under test takes it; on POSIX the bytes are UTF-8 whatever the locale.
inline std::wstring WidePath(const std::filesystem::path& path) {
#ifdef _WIN32
  return path.wstring();
#else
  std::wstring wide;
  for (unsigned char c : path.string()) wide += static_cast<wchar_t>(c);
  std::wstring decoded;
  return Utf8ToWide(path.string(), decoded) ? decoded : wide;
#endif
}

// One of our Windows-form paths as std::filesystem takes it on this platform.
inline std::filesystem::path NativePath(std::wstring path) {
#ifndef _WIN32
  for (auto& c : path) {
    if (c == L'\\') c = L'/';
  }
#endif
  return std::filesystem::path(path);
}

// Runs a test in a current directory of its own, as the programs run in their folder.
class InFolder {
 public:
  explicit InFolder(const std::filesystem::path& folder) : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(folder);
  }
  ~InFolder() { std::filesystem::current_path(previous_); }
  InFolder(const InFolder&) = delete;
  InFolder& operator=(const InFolder&) = delete;

 private:
  std::filesystem::path previous_;
};
