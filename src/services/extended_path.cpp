#include "services/extended_path.h"

namespace {

constexpr const wchar_t* EXTENDED = L"\\\\?\\";
constexpr const wchar_t* EXTENDED_UNC = L"\\\\?\\UNC\\";

bool StartsWith(const std::wstring& text, const wchar_t* prefix) { return text.rfind(prefix, 0) == 0; }

bool IsLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

}  // namespace

std::wstring ExtendedPathForm(const std::wstring& absolute) {
  if (StartsWith(absolute, EXTENDED) || StartsWith(absolute, L"\\\\.\\")) return absolute;
  if (absolute.size() >= 3 && IsLetter(absolute[0]) && absolute[1] == L':' && absolute[2] == L'\\') {
    return EXTENDED + absolute;
  }
  if (absolute.size() > 2 && StartsWith(absolute, L"\\\\")) return EXTENDED_UNC + absolute.substr(2);
  return absolute;
}

std::wstring PlainPathForm(const std::wstring& path) {
  if (StartsWith(path, EXTENDED_UNC)) return L"\\\\" + path.substr(8);
  if (StartsWith(path, EXTENDED)) return path.substr(4);
  return path;
}
