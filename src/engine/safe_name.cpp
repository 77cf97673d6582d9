#include "engine/safe_name.h"

#include "services/files.h"
#include "services/text.h"

namespace {

bool IsDeviceName(const wchar_t* component, std::size_t size) {
  // The device is named by the part before the first dot: "nul.txt" is NUL too.
  std::size_t length = 0;
  while (length < size && component[length] != L'.') ++length;
  while (length > 0 && component[length - 1] == L' ') --length;
  if (length < 3 || length > 7) return false;
  std::wstring base(component, length);
  for (auto& c : base) c = FoldCase(c);
  static const wchar_t* const DEVICES[] = {L"con", L"prn", L"aux", L"nul", L"conin$", L"conout$", L"clock$"};
  for (const wchar_t* device : DEVICES) {
    if (base == device) return true;
  }
  if (base.size() == 4 && (base.compare(0, 3, L"com") == 0 || base.compare(0, 3, L"lpt") == 0)) {
    wchar_t digit = base[3];
    // COM1 to COM9, and the superscript digits that Windows also takes as device numbers.
    return (digit >= L'0' && digit <= L'9') || digit == L'\u00B9' || digit == L'\u00B2' || digit == L'\u00B3';
  }
  return false;
}

bool IsSafeComponent(const wchar_t* component, std::size_t size) {
  if (size == 0 || (size == 1 && component[0] == L'.') || (size == 2 && component[0] == L'.' && component[1] == L'.')) {
    return false;
  }
  if (component[size - 1] == L'.' || component[size - 1] == L' ') return false;
  for (std::size_t i = 0; i < size; ++i) {
    const wchar_t c = component[i];
    if (c < 0x20 || c == 0x7F) return false;
    if (c == L'<' || c == L'>' || c == L'"' || c == L'|' || c == L'?' || c == L'*' || c == L':') return false;
    // Unpaired surrogates cannot be written as UTF-8 on POSIX, nor mean one name on both.
    if (sizeof(wchar_t) == 4 && c >= 0xD800 && c <= 0xDFFF) return false;
  }
  return !IsDeviceName(component, size);
}

}  // namespace

bool IsSafeEntryName(const std::wstring& name) {
  if (name.empty() || IsPathSeparator(name.front())) return false;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = start;
    while (end < name.size() && !IsPathSeparator(name[end])) ++end;
    if (!IsSafeComponent(name.data() + start, end - start)) return false;
    if (end == name.size()) return true;
    start = end + 1;
  }
}
