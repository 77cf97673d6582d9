#include "services/ini.h"

#include "services/text.h"

namespace {

constexpr char UTF8_BOM[] = "\xEF\xBB\xBF";
constexpr char UTF16LE_BOM[] = "\xFF\xFE";

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\f' || c == L'\v'; }

std::wstring Trim(const std::wstring& text, std::size_t begin, std::size_t end) {
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

std::wstring StripQuotesAndCut(const std::wstring& raw) {
  std::wstring value = raw;
  if (value.size() >= 2 && (value[0] == L'"' || value[0] == L'\'') && value.back() == value[0]) {
    value = value.substr(1, value.size() - 2);
  }
  if (value.size() > INI_VALUE_MAX) value.resize(INI_VALUE_MAX);
  return value;
}

}  // namespace

IniDocument::IniDocument(std::string bytes) : bytes_(std::move(bytes)) {
  if (bytes_.compare(0, 3, UTF8_BOM) == 0) {
    encoding_ = Encoding::Utf8Bom;
  } else if (bytes_.compare(0, 2, UTF16LE_BOM) == 0) {
    encoding_ = Encoding::Utf16LeBom;
    // Half a character at the end is no text; dropped, so that written lines stay aligned.
    if (bytes_.size() % 2 != 0) bytes_.pop_back();
  }
  Parse();
}

std::wstring IniDocument::KeyId(const std::wstring& section, const std::wstring& key) {
  std::wstring id = FoldCase(section);
  id += L'\x1';
  id += FoldCase(key);
  return id;
}

void IniDocument::SplitLines() {
  lines_.clear();
  const std::size_t unit = encoding_ == Encoding::Utf16LeBom ? 2 : 1;
  std::size_t start = encoding_ == Encoding::Utf8Bom ? 3 : encoding_ == Encoding::Utf16LeBom ? 2 : 0;
  const std::size_t n = bytes_.size() - (bytes_.size() - start) % unit;
  std::size_t i = start;
  for (; i < n; i += unit) {
    if (bytes_[i] != '\n' || (unit == 2 && bytes_[i + 1] != 0)) continue;
    std::size_t size = i - start;
    std::size_t endSize = unit;
    bool cr = size >= unit && bytes_[i - unit] == '\r' && (unit == 1 || bytes_[i - 1] == 0);
    if (cr) size -= unit, endSize += unit;
    lines_.push_back({start, size, endSize, DecodeLine(start, size)});
    start = i + unit;
  }
  if (start < bytes_.size()) lines_.push_back({start, bytes_.size() - start, 0, DecodeLine(start, bytes_.size() - start)});
}

std::wstring IniDocument::DecodeLine(std::size_t offset, std::size_t size) const {
  if (encoding_ == Encoding::Utf16LeBom) return Utf16LeToWide(bytes_.data() + offset, size);
  std::string raw = bytes_.substr(offset, size);
  if (encoding_ == Encoding::Utf8Bom) {
    std::wstring text;
    return Utf8ToWide(raw, text) ? text : Latin1ToWide(raw);
  }
  return AnsiToWide(raw);
}

void IniDocument::Parse() {
  SplitLines();
  sections_.clear();
  firstSection_.clear();
  keys_.clear();
  // Keys before any header belong to the unnamed section, which exists only if it has lines.
  bool indexing = false;
  std::wstring current;
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    const std::wstring& text = lines_[i].text;
    std::size_t begin = 0;
    while (begin < text.size() && IsBlank(text[begin])) ++begin;
    if (begin == text.size()) continue;
    if (text[begin] == L'[') {
      std::size_t close = text.rfind(L']');
      bool reachable = close != std::wstring::npos && close > begin;
      current = reachable ? Trim(text, begin + 1, close) : std::wstring();
      sections_.push_back({current, reachable, i});
      indexing = reachable && firstSection_.emplace(FoldCase(current), sections_.size() - 1).second;
      continue;
    }
    if (sections_.empty()) {
      sections_.push_back({L"", true, i});
      indexing = firstSection_.emplace(L"", 0).second;
    }
    sections_.back().lastLine = i;
    if (!indexing || text[begin] == L';') continue;
    std::size_t equals = text.find(L'=', begin);
    std::wstring name = Trim(text, begin, equals == std::wstring::npos ? text.size() : equals);
    std::wstring value = equals == std::wstring::npos ? std::wstring() : Trim(text, equals + 1, text.size());
    keys_.emplace(KeyId(current, name), Key{std::move(value), i});
  }
}

bool IniDocument::ReadString(const std::wstring& section, const std::wstring& key, std::wstring& value) const {
  value.clear();
  auto found = keys_.find(KeyId(Trim(section, 0, section.size()), Trim(key, 0, key.size())));
  if (found == keys_.end()) return false;
  value = StripQuotesAndCut(found->second.value);
  return true;
}

std::vector<std::wstring> IniDocument::SectionNames() const {
  std::vector<std::wstring> names;
  names.reserve(sections_.size());
  for (const Section& s : sections_) {
    if (s.reachable && !s.name.empty()) names.push_back(s.name);
  }
  return names;
}

std::string IniDocument::LineEnd() const {
  for (const Line& line : lines_) {
    if (line.endSize > 0) {
      bool lfOnly = line.endSize == (encoding_ == Encoding::Utf16LeBom ? 2u : 1u);
      return lfOnly ? "\n" : "\r\n";
    }
  }
  return "\r\n";
}

bool IniDocument::Encode(const std::wstring& text, std::string& bytes) const {
  switch (encoding_) {
    case Encoding::Utf16LeBom:
      bytes = WideToUtf16Le(text);
      return true;
    case Encoding::Utf8Bom:
      bytes = WideToUtf8(text);
      return true;
    case Encoding::Ansi:
      return WideToAnsi(text, bytes);
  }
  return false;
}

void IniDocument::ConvertToUtf16() {
  std::wstring text;
  for (const Line& line : lines_) {
    text += line.text;
    if (line.endSize > 0) text += line.endSize > (encoding_ == Encoding::Utf16LeBom ? 2u : 1u) ? L"\r\n" : L"\n";
  }
  bytes_ = UTF16LE_BOM + WideToUtf16Le(text);
  encoding_ = Encoding::Utf16LeBom;
  Parse();
}

// Replaces `removed` bytes at `offset` with the encoded text and parses the result again.
bool IniDocument::Splice(std::size_t offset, std::size_t removed, const std::wstring& text) {
  std::string encoded;
  if (!Encode(text, encoded)) return false;
  bytes_.replace(offset, removed, encoded);
  Parse();
  return true;
}

bool IniDocument::SetValue(const std::wstring& section, const std::wstring& key, const std::wstring& value) {
  std::string probe;
  if (!Encode(section + key + value, probe)) ConvertToUtf16();
  const std::wstring end = Latin1ToWide(LineEnd());
  const std::wstring sectionName = Trim(section, 0, section.size());
  const std::wstring keyName = Trim(key, 0, key.size());

  auto k = keys_.find(KeyId(sectionName, keyName));
  if (k != keys_.end()) {
    const Line& line = lines_[k->second.line];
    std::size_t equals = line.text.find(L'=');
    std::wstring text = equals == std::wstring::npos ? line.text + L"=" + value : line.text.substr(0, equals + 1) + value;
    return Splice(line.offset, line.size, text);
  }
  auto s = firstSection_.find(FoldCase(sectionName));
  if (s != firstSection_.end()) {
    const Line& last = lines_[sections_[s->second].lastLine];
    std::wstring text = keyName + L"=" + value + end;
    if (last.endSize == 0) text = end + text;
    return Splice(last.offset + last.size + last.endSize, 0, text);
  }
  if (sectionName.empty()) return false;
  std::wstring text = L"[" + sectionName + L"]" + end + keyName + L"=" + value + end;
  if (!lines_.empty() && lines_.back().endSize == 0) text = end + text;
  return Splice(bytes_.size(), 0, text);
}
