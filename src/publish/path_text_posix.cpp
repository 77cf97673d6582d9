#include "publish/release.h"
#include "services/text.h"

std::wstring WideOf(const std::filesystem::path& path) {
  std::wstring wide;
  return Utf8ToWide(path.string(), wide) ? wide : Latin1ToWide(path.string());
}

std::filesystem::path PathOf(const std::wstring& path) {
  std::wstring mapped = path;
  for (auto& c : mapped) {
    if (c == L'\\') c = L'/';
  }
  return std::filesystem::path(WideToUtf8(mapped));
}
