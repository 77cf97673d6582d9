#include "publish/release.h"

std::wstring WideOf(const std::filesystem::path& path) { return path.wstring(); }

std::filesystem::path PathOf(const std::wstring& path) { return std::filesystem::path(path); }
