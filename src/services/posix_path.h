#pragma once
// POSIX back ends only: the system's form of one of our paths, "\" mapped to "/", UTF-8 encoded.
#include <string>

#include "services/text.h"

inline std::string PosixPath(const std::wstring& path) {
  std::wstring mapped(path);
  for (auto& c : mapped) {
    if (c == L'\\') c = L'/';
  }
  return WideToUtf8(mapped);
}
