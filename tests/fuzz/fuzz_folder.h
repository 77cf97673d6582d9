#pragma once
// A temporary folder of the fuzz run's own for the files a target writes, made once per process.
#include <unistd.h>

#include <string>

inline const std::string& FuzzFolder() {
  static const std::string folder = [] {
    char pattern[] = "/tmp/zepo-fuzz-XXXXXX";
    return std::string(mkdtemp(pattern));
  }();
  return folder;
}
