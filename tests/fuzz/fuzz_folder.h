#pragma once
// A temporary folder of the fuzz run's own for the files a target writes, made once per process.
#include <unistd.h>

#include <string>

#include "services/files.h"
#include "services/text.h"

inline const std::string& FuzzFolder() {
  static const std::string folder = [] {
    char pattern[] = "/tmp/zepo-fuzz-XXXXXX";
    return std::string(mkdtemp(pattern));
  }();
  return folder;
}

// The path of a file of the folder, written with bytes.
inline std::wstring FuzzFile(const char* name, const void* bytes, std::size_t size) {
  const std::wstring path = AnsiToWide(FuzzFolder() + "/" + name);
  FileHandle file = FileHandle::CreateForWrite(path);
  file.Write(bytes, size);
  return path;
}
