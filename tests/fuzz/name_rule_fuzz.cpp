// Any text as an entry name of a list (client) or a release (publisher): the shared rule must
// agree with a plain reference written from the rule's own words, and a name it takes can never
// leave the game folder: no component is empty, "." or "..", and the name is not absolute.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/safe_name.h"
#include "services/text.h"

namespace {

std::vector<std::wstring> Components(const std::wstring& name) {
  std::vector<std::wstring> parts(1);
  for (wchar_t c : name) {
    if (c == L'\\' || c == L'/') {
      parts.emplace_back();
    } else {
      parts.back() += c;
    }
  }
  return parts;
}

std::wstring Lower(std::wstring text) {
  for (wchar_t& c : text) c = (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
  return text;
}

bool IsDevice(const std::wstring& component) {
  std::wstring base = Lower(component.substr(0, component.find(L'.')));
  while (!base.empty() && base.back() == L' ') base.pop_back();
  for (const wchar_t* device : {L"con", L"prn", L"aux", L"nul", L"conin$", L"conout$", L"clock$"}) {
    if (base == device) return true;
  }
  if (base.size() != 4 || (base.compare(0, 3, L"com") != 0 && base.compare(0, 3, L"lpt") != 0)) return false;
  return std::wstring(L"0123456789\u00B9\u00B2\u00B3").find(base[3]) != std::wstring::npos;
}

std::size_t Utf16Length(const std::wstring& text) {
  std::size_t units = 0;
  for (wchar_t c : text) units += static_cast<std::uint32_t>(c) > 0xFFFF ? 2 : 1;
  return units;
}

bool ReferenceAllows(const std::wstring& name) {
  if (name.empty() || name[0] == L'\\' || name[0] == L'/' || name[0] == L' ') return false;
  for (const std::wstring& part : Components(name)) {
    if (part.empty() || part == L"." || part == L"..") return false;
    if (part.back() == L'.' || part.back() == L' ') return false;
    for (wchar_t c : part) {
      if (c < 0x20 || c == 0x7F || std::wstring(L"<>:\"|?*").find(c) != std::wstring::npos) return false;
      if (sizeof(wchar_t) == 4 && c >= 0xD800 && c <= 0xDFFF) return false;
    }
    if (Utf16Length(part) > 255 || IsDevice(part)) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::wstring name;
  // The bytes as UTF-8 when they are; else each byte pair as one UTF-16 unit, which reaches
  // surrogates and letters that UTF-8 cannot carry on its own.
  if (!Utf8ToWide(std::string(reinterpret_cast<const char*>(data), size), name)) {
    name.clear();
    for (std::size_t i = 0; i + 1 < size; i += 2) name += static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
  }
  const std::wstring problem = EntryNameProblem(name);
  if (problem.empty() != ReferenceAllows(name)) std::abort();
  if (IsSafeEntryName(name) != problem.empty()) std::abort();
  return 0;
}
