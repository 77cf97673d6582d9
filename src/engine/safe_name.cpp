#include "engine/safe_name.h"

#include "services/files.h"
#include "services/text.h"

namespace {

// Windows and its file systems hold at most 255 UTF-16 units in one name.
constexpr std::size_t COMPONENT_MAX_UNITS = 255;

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

// A letter outside the basic plane is one wchar_t on POSIX and two on Windows.
std::size_t Utf16Units(const wchar_t* text, std::size_t size) {
  std::size_t units = size;
  for (std::size_t i = 0; i < size; ++i) units += (static_cast<std::uint32_t>(text[i]) >> 16) != 0 ? 1 : 0;
  return units;
}

const wchar_t* ComponentProblem(const wchar_t* component, std::size_t size) {
  if (size == 0) return L"an empty component (two separators, or one at the end)";
  if ((size == 1 && component[0] == L'.') || (size == 2 && component[0] == L'.' && component[1] == L'.')) {
    return L"a \".\" or \"..\" component";
  }
  if (component[size - 1] == L'.' || component[size - 1] == L' ') {
    return L"a component that ends in a dot or a space, which Windows drops";
  }
  for (std::size_t i = 0; i < size; ++i) {
    const wchar_t c = component[i];
    if (c < 0x20 || c == 0x7F) return L"a control character (CR, LF, TAB and the like)";
    if (c == L'<' || c == L'>' || c == L'"' || c == L'|' || c == L'?' || c == L'*' || c == L':') {
      return L"a character that Windows does not allow in names (< > : \" | ? *)";
    }
    // Unpaired surrogates cannot be written as UTF-8 on POSIX, nor mean one name on both.
    if (sizeof(wchar_t) == 4 && c >= 0xD800 && c <= 0xDFFF) return L"a lone UTF-16 surrogate";
  }
  if (Utf16Units(component, size) > COMPONENT_MAX_UNITS) return L"a component longer than 255 UTF-16 units";
  if (IsDeviceName(component, size)) return L"a Windows device name (CON, NUL, COM1, LPT1, ...)";
  return nullptr;
}

}  // namespace

std::wstring EntryNameProblem(const std::wstring& name) {
  if (name.empty()) return L"an empty name";
  if (IsPathSeparator(name.front())) return L"an absolute path";
  // A list's section name is read without the blanks around it.
  if (name.front() == L' ') return L"a space at its start, which a file list drops";
  std::size_t start = 0;
  for (;;) {
    std::size_t end = start;
    while (end < name.size() && !IsPathSeparator(name[end])) ++end;
    if (const wchar_t* problem = ComponentProblem(name.data() + start, end - start)) return problem;
    if (end == name.size()) return L"";
    start = end + 1;
  }
}
