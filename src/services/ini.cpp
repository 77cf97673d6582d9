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

template <typename LineHandler>
void IniDocument::ForEachRawLine(LineHandler handle) const {
  const std::size_t unit = encoding_ == Encoding::Utf16LeBom ? 2 : 1;
  std::size_t start = encoding_ == Encoding::Utf8Bom ? 3 : encoding_ == Encoding::Utf16LeBom ? 2 : 0;
  const std::size_t n = bytes_.size() - (bytes_.size() - start) % unit;
  for (std::size_t i = start; i < n; i += unit) {
    if (bytes_[i] != '\n' || (unit == 2 && bytes_[i + 1] != 0)) continue;
    std::size_t size = i - start;
    std::size_t endSize = unit;
    bool cr = size >= unit && bytes_[i - unit] == '\r' && (unit == 1 || bytes_[i - 1] == 0);
    if (cr) size -= unit, endSize += unit;
    handle(start, size, endSize);
    start = i + unit;
  }
  if (start < bytes_.size()) handle(start, bytes_.size() - start, std::size_t{0});
}

// Whether a line's bytes are all white space in the file's encoding: such lines mean nothing to a
// reader, and keeping no record of them bounds the model's memory whatever the file holds.
bool IniDocument::IsBlankLine(std::size_t offset, std::size_t size) const {
  const std::size_t unit = encoding_ == Encoding::Utf16LeBom ? 2 : 1;
  for (std::size_t i = offset; i + unit <= offset + size; i += unit) {
    if (!IsBlank(static_cast<unsigned char>(bytes_[i])) || (unit == 2 && bytes_[i + 1] != 0)) return false;
  }
  return true;
}

void IniDocument::SplitLines() {
  lines_.clear();
  text_.clear();
  lineEnd_.clear();
  endsWithLineEnd_ = true;
  if (bytes_.size() > INI_BYTES_MAX) return;
  ForEachRawLine([this](std::size_t start, std::size_t size, std::size_t endSize) {
    if (lineEnd_.empty() && endSize > 0) {
      lineEnd_ = endSize == (encoding_ == Encoding::Utf16LeBom ? 2u : 1u) ? "\n" : "\r\n";
    }
    endsWithLineEnd_ = endSize > 0;
    if (IsBlankLine(start, size)) return;
    const std::size_t textStart = text_.size();
    AppendLineText(start, size);
    lines_.push_back({static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(size),
                      static_cast<std::uint32_t>(textStart), static_cast<std::uint32_t>(text_.size() - textStart),
                      static_cast<std::uint8_t>(endSize)});
  });
  if (lineEnd_.empty()) lineEnd_ = "\r\n";
}

void IniDocument::AppendLineText(std::size_t offset, std::size_t size) {
  const char* data = bytes_.data() + offset;
  if (encoding_ == Encoding::Utf16LeBom) {
    text_ += Utf16LeToWide(data, size);
    return;
  }
  // Most lines of a file list are plain ASCII, which every encoding reads the same.
  std::size_t i = 0;
  while (i < size && static_cast<unsigned char>(data[i]) < 0x80) ++i;
  if (i == size) {
    text_.append(data, data + size);
    return;
  }
  std::string raw(data, size);
  if (encoding_ == Encoding::Utf8Bom) {
    std::wstring decoded;
    text_ += Utf8ToWide(raw, decoded) ? decoded : Latin1ToWide(raw);
  } else {
    text_ += AnsiToWide(raw);
  }
}

void IniDocument::Parse() {
  SplitLines();
  sections_.clear();
  keys_.clear();
  firstSection_.clear();
  // Keys before any header belong to the unnamed section, which exists only if it has lines.
  bool indexing = false;
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    const Line& line = lines_[i];
    const wchar_t* text = text_.data() + line.textStart;
    const std::size_t size = line.textSize;
    std::size_t begin = 0;
    while (begin < size && IsBlank(text[begin])) ++begin;
    if (begin == size) continue;  // white space that the encoding's decoding made of other bytes
    if (text[begin] == L'[') {
      std::size_t close = size;
      while (close > begin && text[close - 1] != L']') --close;
      const bool reachable = close > begin + 1;
      std::wstring name;
      if (reachable) {
        std::size_t from = begin + 1;
        std::size_t to = close - 1;
        while (from < to && IsBlank(text[from])) ++from;
        while (to > from && IsBlank(text[to - 1])) --to;
        name.assign(text + from, to - from);
      }
      indexing = reachable && firstSection_.emplace(FoldCase(name), sections_.size()).second;
      sections_.push_back({std::move(name), reachable, i, keys_.size(), 0});
      continue;
    }
    if (sections_.empty()) {
      indexing = firstSection_.emplace(L"", 0).second;
      sections_.push_back({L"", true, i, keys_.size(), 0});
    }
    Section& section = sections_.back();
    section.lastLine = i;
    if (!indexing || text[begin] == L';') continue;
    std::size_t equals = begin;
    while (equals < size && text[equals] != L'=') ++equals;
    std::size_t nameEnd = equals;
    while (nameEnd > begin && IsBlank(text[nameEnd - 1])) --nameEnd;
    std::size_t valueStart = equals < size ? equals + 1 : size;
    std::size_t valueEnd = size;
    while (valueStart < valueEnd && IsBlank(text[valueStart])) ++valueStart;
    while (valueEnd > valueStart && IsBlank(text[valueEnd - 1])) --valueEnd;
    keys_.push_back({static_cast<std::uint32_t>(line.textStart + begin), static_cast<std::uint32_t>(nameEnd - begin),
                     static_cast<std::uint32_t>(line.textStart + valueStart),
                     static_cast<std::uint32_t>(valueEnd - valueStart), static_cast<std::uint32_t>(i)});
    ++section.keyCount;
  }
}

// The first key of that name in the first section of that name, or null. Lookups are the hot
// path of a file check (several per listed file), so they fold names into a reused buffer.
std::size_t IniDocument::FindSection(const std::wstring& section) const {
  thread_local std::wstring folded;
  std::size_t from = 0;
  std::size_t to = section.size();
  while (from < to && IsBlank(section[from])) ++from;
  while (to > from && IsBlank(section[to - 1])) --to;
  folded.assign(section, from, to - from);
  for (auto& c : folded) c = FoldCase(c);
  auto found = firstSection_.find(folded);
  return found == firstSection_.end() ? NO_SECTION : found->second;
}

const IniDocument::Key* IniDocument::FindKey(std::size_t section, const std::wstring& key) const {
  if (section == NO_SECTION || section >= sections_.size()) return nullptr;
  std::size_t keyFrom = 0;
  std::size_t keyTo = key.size();
  while (keyFrom < keyTo && IsBlank(key[keyFrom])) ++keyFrom;
  while (keyTo > keyFrom && IsBlank(key[keyTo - 1])) --keyTo;
  const std::size_t wanted = keyTo - keyFrom;
  const Section& s = sections_[section];
  for (std::size_t k = s.firstKey; k < s.firstKey + s.keyCount; ++k) {
    const Key& candidate = keys_[k];
    if (candidate.nameSize != wanted) continue;
    bool same = true;
    for (std::size_t c = 0; same && c < wanted; ++c) {
      same = FoldCase(text_[candidate.nameStart + c]) == FoldCase(key[keyFrom + c]);
    }
    if (same) return &candidate;
  }
  return nullptr;
}

bool IniDocument::ReadString(const std::wstring& section, const std::wstring& key, std::wstring& value) const {
  return ReadString(FindSection(section), key, value);
}

bool IniDocument::ReadString(std::size_t section, const std::wstring& key, std::wstring& value) const {
  value.clear();
  const Key* found = FindKey(section, key);
  if (found == nullptr) return false;
  value = StripQuotesAndCut(text_.substr(found->valueStart, found->valueSize));
  return true;
}

std::vector<std::pair<std::wstring, std::wstring>> IniDocument::KeysOf(const std::wstring& section) const {
  std::vector<std::pair<std::wstring, std::wstring>> keys;
  auto found = firstSection_.find(FoldCase(Trim(section, 0, section.size())));
  if (found == firstSection_.end()) return keys;
  const Section& s = sections_[found->second];
  for (std::size_t k = s.firstKey; k < s.firstKey + s.keyCount; ++k) {
    keys.emplace_back(text_.substr(keys_[k].nameStart, keys_[k].nameSize),
                      StripQuotesAndCut(text_.substr(keys_[k].valueStart, keys_[k].valueSize)));
  }
  return keys;
}

std::vector<std::wstring> IniDocument::SectionNames() const {
  std::vector<std::wstring> names;
  names.reserve(sections_.size());
  for (const Section& s : sections_) {
    if (s.reachable && !s.name.empty()) names.push_back(s.name);
  }
  return names;
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
  std::wstring line;
  ForEachRawLine([&](std::size_t start, std::size_t size, std::size_t endSize) {
    const std::size_t at = text_.size();
    AppendLineText(start, size);
    text.append(text_, at, std::wstring::npos);
    text_.resize(at);
    if (endSize > 0) text += endSize > (encoding_ == Encoding::Utf16LeBom ? 2u : 1u) ? L"\r\n" : L"\n";
  });
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
  const std::wstring end = Latin1ToWide(lineEnd_);
  const std::wstring sectionName = Trim(section, 0, section.size());
  const std::wstring keyName = Trim(key, 0, key.size());

  if (const Key* found = FindKey(FindSection(sectionName), keyName)) {
    const Line& line = lines_[found->line];
    const std::wstring text = LineText(line);
    std::size_t equals = text.find(L'=');
    std::wstring changed = equals == std::wstring::npos ? text + L"=" + value : text.substr(0, equals + 1) + value;
    return Splice(line.offset, line.size, changed);
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
  if (!bytes_.empty() && !endsWithLineEnd_) text = end + text;
  return Splice(bytes_.size(), 0, text);
}
