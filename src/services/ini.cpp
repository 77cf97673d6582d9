#include "services/ini.h"

#include <algorithm>
#include <cstring>

#include "services/text.h"

namespace {

constexpr char UTF8_BOM[] = "\xEF\xBB\xBF";
constexpr char UTF16LE_BOM[] = "\xFF\xFE";

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\f' || c == L'\v'; }

std::wstring Trim(const std::wstring& text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

std::wstring StripQuotesAndCut(std::wstring value) {
  if (value.size() >= 2 && (value[0] == L'"' || value[0] == L'\'') && value.back() == value[0]) {
    value = value.substr(1, value.size() - 2);
  }
  if (value.size() > INI_VALUE_MAX) value.resize(INI_VALUE_MAX);
  return value;
}

// Names fold only ASCII letters, so folding the bytes of their UTF-8 text is the same as folding
// their characters.
char FoldByte(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// A name as the index compares it: trimmed, UTF-8, folded; in a buffer reused by the thread, as
// lookups are the hot path of a file check (several per listed file).
const std::string& FoldedName(const std::wstring& name) {
  thread_local std::string folded;
  std::size_t begin = 0;
  std::size_t end = name.size();
  while (begin < end && IsBlank(name[begin])) ++begin;
  while (end > begin && IsBlank(name[end - 1])) --end;
  folded.clear();
  for (std::size_t i = begin; i < end; ++i) {
    if (name[i] >= 0x80) {  // not ASCII: the general conversion
      folded = WideToUtf8(name.substr(begin, end - begin));
      break;
    }
    folded += static_cast<char>(name[i]);
  }
  for (char& c : folded) c = FoldByte(c);
  return folded;
}

bool SameFolded(const char* text, std::size_t size, const std::string& folded) {
  if (size != folded.size()) return false;
  for (std::size_t i = 0; i < size; ++i) {
    if (FoldByte(text[i]) != folded[i]) return false;
  }
  return true;
}

std::uint32_t HashFolded(const char* text, std::size_t size) {
  std::uint32_t hash = 2166136261u;  // FNV-1a
  for (std::size_t i = 0; i < size; ++i) hash = (hash ^ static_cast<unsigned char>(FoldByte(text[i]))) * 16777619u;
  return hash;
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

std::wstring IniDocument::DecodeLine(std::size_t offset, std::size_t size) const {
  const char* data = bytes_.data() + offset;
  if (encoding_ == Encoding::Utf16LeBom) return Utf16LeToWide(data, size);
  // Most lines of a file list are plain ASCII, which every encoding reads the same.
  std::size_t i = 0;
  while (i < size && static_cast<unsigned char>(data[i]) < 0x80) ++i;
  if (i == size) return std::wstring(data, data + size);
  std::string raw(data, size);
  if (encoding_ == Encoding::Utf8Bom) {
    std::wstring decoded;
    return Utf8ToWide(raw, decoded) ? decoded : Latin1ToWide(raw);
  }
  return AnsiToWide(raw);
}

std::wstring IniDocument::TextAt(std::uint32_t start, std::uint32_t size) const {
  const char* text = Text() + start;
  if (textIsBytes_) return std::wstring(text, text + size);  // ASCII
  std::wstring wide;
  Utf8ToWide(std::string(text, size), wide);
  return wide;
}

void IniDocument::Parse() {
  sections_.clear();
  keys_.clear();
  index_.clear();
  text_.clear();
  lineEnd_.clear();
  endsWithLineEnd_ = true;
  // An ASCII file's text is its bytes; any other keeps the UTF-8 text of its lines.
  textIsBytes_ = encoding_ != Encoding::Utf16LeBom;
  for (std::size_t i = 0; textIsBytes_ && i < bytes_.size(); ++i) {
    textIsBytes_ = static_cast<unsigned char>(bytes_[i]) < 0x80 || (encoding_ == Encoding::Utf8Bom && i < 3);
  }
  if (bytes_.size() > INI_BYTES_MAX) {
    lineEnd_ = "\r\n";
    return;
  }
  Reserve();
  // Keys before any header belong to the unnamed section, which exists only if it has lines.
  bool indexing = false;
  ForEachRawLine([&](std::size_t offset, std::size_t lineSize, std::size_t endSize) {
    if (lineEnd_.empty() && endSize > 0) {
      lineEnd_ = endSize == (encoding_ == Encoding::Utf16LeBom ? 2u : 1u) ? "\n" : "\r\n";
    }
    endsWithLineEnd_ = endSize > 0;
    if (!IsBlankLine(offset, lineSize)) ParseLine(offset, lineSize, endSize, indexing);
  });
  if (lineEnd_.empty()) lineEnd_ = "\r\n";
}

// The index is made for every header at once and the keys get room for every line: a list of
// 200,000 files is never rehashed nor copied while it grows, and takes no more than it needs.
void IniDocument::Reserve() {
  std::size_t lines = 1, headers = 1;
  const char* const end = bytes_.data() + bytes_.size();
  for (const char* at = bytes_.data(); (at = static_cast<const char*>(std::memchr(at, '\n', end - at))) != nullptr; ++at) {
    ++lines;
    if (at + 1 < end && at[1] == '[') ++headers;
  }
  std::size_t slots = 64;
  while (slots < 2 * headers) slots *= 2;
  index_.assign(slots, 0);
  sections_.reserve(headers);
  keys_.reserve(lines > headers ? lines - headers + 1 : lines);
}

// One line that is not blank: a section's header, or a key of the section it is in (read only
// while indexing, that is in the first section of its name).
void IniDocument::ParseLine(std::size_t offset, std::size_t lineSize, std::size_t endSize, bool& indexing) {
  std::size_t lineText = offset;
  std::size_t size = lineSize;
  if (!textIsBytes_) {
    lineText = text_.size();
    text_ += WideToUtf8(DecodeLine(offset, lineSize));
    size = text_.size() - lineText;
  }
  const char* text = Text() + lineText;
  const auto at = [lineText](std::size_t i) { return static_cast<std::uint32_t>(lineText + i); };
  const auto end = static_cast<std::uint32_t>(offset + lineSize + endSize);
  std::size_t begin = 0;
  while (begin < size && IsBlank(static_cast<unsigned char>(text[begin]))) ++begin;
  if (begin == size) return;  // white space that the encoding's decoding made of other bytes
  if (text[begin] == '[') {
    std::size_t close = size;
    while (close > begin && text[close - 1] != ']') --close;
    const bool reachable = close > begin + 1;
    std::size_t from = begin + 1;
    std::size_t to = reachable ? close - 1 : from;
    while (from < to && IsBlank(static_cast<unsigned char>(text[from]))) ++from;
    while (to > from && IsBlank(static_cast<unsigned char>(text[to - 1]))) --to;
    sections_.push_back({at(from), static_cast<std::uint32_t>(to - from), static_cast<std::uint32_t>(keys_.size()), 0,
                         end, reachable, endSize > 0, false});
    indexing = reachable && IndexSection(static_cast<std::uint32_t>(sections_.size() - 1));
    sections_.back().firstOfName = indexing;
    return;
  }
  if (sections_.empty()) {
    sections_.push_back({0, 0, 0, 0, end, true, endSize > 0, false});
    indexing = IndexSection(0);
    sections_.back().firstOfName = indexing;
  }
  Section& section = sections_.back();
  section.end = end;
  section.lastLineEnded = endSize > 0;
  if (!indexing || text[begin] == ';') return;
  std::size_t equals = begin;
  while (equals < size && text[equals] != '=') ++equals;
  std::size_t nameEnd = equals;
  while (nameEnd > begin && IsBlank(static_cast<unsigned char>(text[nameEnd - 1]))) --nameEnd;
  std::size_t valueStart = equals < size ? equals + 1 : size;
  std::size_t valueEnd = size;
  while (valueStart < valueEnd && IsBlank(static_cast<unsigned char>(text[valueStart]))) ++valueStart;
  while (valueEnd > valueStart && IsBlank(static_cast<unsigned char>(text[valueEnd - 1]))) --valueEnd;
  keys_.push_back({at(begin), static_cast<std::uint32_t>(nameEnd - begin), at(valueStart),
                   static_cast<std::uint32_t>(valueEnd - valueStart), static_cast<std::uint32_t>(offset),
                   static_cast<std::uint32_t>(lineSize), at(0), static_cast<std::uint32_t>(size)});
  ++section.keyCount;
}

// Enters a section under its folded name unless an earlier section has it; true when entered.
bool IniDocument::IndexSection(std::uint32_t section) {
  if (index_.size() < 2 * (sections_.size() + 1)) {
    std::vector<std::uint32_t> old;
    old.swap(index_);
    index_.assign(old.empty() ? 64 : old.size() * 2, 0);
    for (std::uint32_t entry : old) {
      if (entry == 0) continue;
      const Section& s = sections_[entry - 1];
      std::size_t slot = HashFolded(Text() + s.nameStart, s.nameSize) & (index_.size() - 1);
      while (index_[slot] != 0) slot = (slot + 1) & (index_.size() - 1);
      index_[slot] = entry;
    }
  }
  const Section& s = sections_[section];
  thread_local std::string folded;
  folded.assign(Text() + s.nameStart, s.nameSize);
  for (char& c : folded) c = FoldByte(c);
  std::size_t slot = HashFolded(folded.data(), folded.size()) & (index_.size() - 1);
  for (; index_[slot] != 0; slot = (slot + 1) & (index_.size() - 1)) {
    const Section& other = sections_[index_[slot] - 1];
    if (SameFolded(Text() + other.nameStart, other.nameSize, folded)) return false;
  }
  index_[slot] = section + 1;
  return true;
}

std::size_t IniDocument::FindFolded(const std::string& folded) const {
  if (index_.empty()) return NO_SECTION;
  std::size_t slot = HashFolded(folded.data(), folded.size()) & (index_.size() - 1);
  for (; index_[slot] != 0; slot = (slot + 1) & (index_.size() - 1)) {
    const Section& s = sections_[index_[slot] - 1];
    if (SameFolded(Text() + s.nameStart, s.nameSize, folded)) return index_[slot] - 1;
  }
  return NO_SECTION;
}

std::size_t IniDocument::FindSection(const std::wstring& section) const { return FindFolded(FoldedName(section)); }

std::size_t IniDocument::SectionReadFor(std::size_t i) const {
  if (i >= sections_.size() || sections_[i].firstOfName) return i;
  const Section& s = sections_[i];
  std::string folded(Text() + s.nameStart, s.nameSize);
  for (char& c : folded) c = FoldByte(c);
  return FindFolded(folded);
}

// The first key of that name in the section, or null.
const IniDocument::Key* IniDocument::FindKey(std::size_t section, const std::wstring& key) const {
  if (section == NO_SECTION || section >= sections_.size()) return nullptr;
  const std::string& folded = FoldedName(key);
  const Section& s = sections_[section];
  for (std::size_t k = s.firstKey; k < s.firstKey + s.keyCount; ++k) {
    if (SameFolded(Text() + keys_[k].nameStart, keys_[k].nameSize, folded)) return &keys_[k];
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
  value = StripQuotesAndCut(TextAt(found->valueStart, found->valueSize));
  return true;
}

std::size_t IniDocument::KeyCount(std::size_t section) const {
  return section < sections_.size() ? sections_[section].keyCount : 0;
}

std::string_view IniDocument::KeyName(std::size_t section, std::size_t i) const {
  const Key& key = keys_[sections_[section].firstKey + i];
  return std::string_view(Text() + key.nameStart, key.nameSize);
}

std::wstring IniDocument::KeyValue(std::size_t section, std::size_t i) const {
  const Key& key = keys_[sections_[section].firstKey + i];
  return StripQuotesAndCut(TextAt(key.valueStart, key.valueSize));
}

bool IniDocument::NamedSection(std::size_t i, std::wstring& name) const {
  name.clear();
  if (i >= sections_.size() || !sections_[i].reachable || sections_[i].nameSize == 0) return false;
  name = TextAt(sections_[i].nameStart, sections_[i].nameSize);
  return true;
}

std::vector<std::wstring> IniDocument::SectionNames() const {
  std::vector<std::wstring> names;
  std::wstring name;
  for (std::size_t i = 0; i < sections_.size(); ++i) {
    if (NamedSection(i, name)) names.push_back(name);
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
  ForEachRawLine([&](std::size_t start, std::size_t size, std::size_t endSize) {
    text += DecodeLine(start, size);
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
  // Built at its exact size: a replace in place may double the capacity, and a list of 200,000
  // files would then hold twice its text for the whole check.
  const std::size_t tail = std::min(bytes_.size(), offset + removed);
  std::string spliced;
  spliced.reserve(offset + encoded.size() + (bytes_.size() - tail));
  spliced.append(bytes_, 0, offset).append(encoded).append(bytes_, tail, std::string::npos);
  bytes_ = std::move(spliced);
  Parse();
  return true;
}

bool IniDocument::SetValue(const std::wstring& section, const std::wstring& key, const std::wstring& value) {
  std::string probe;
  if (!Encode(section + key + value, probe)) ConvertToUtf16();
  const std::wstring end = Latin1ToWide(lineEnd_);
  const std::wstring sectionName = Trim(section);
  const std::wstring keyName = Trim(key);

  const std::size_t found = FindSection(sectionName);
  if (const Key* existing = FindKey(found, keyName)) {
    const std::wstring text = TextAt(existing->lineTextStart, existing->lineTextSize);
    std::size_t equals = text.find(L'=');
    std::wstring changed = equals == std::wstring::npos ? text + L"=" + value : text.substr(0, equals + 1) + value;
    return Splice(existing->lineOffset, existing->lineSize, changed);
  }
  if (found != NO_SECTION) {
    const Section& s = sections_[found];
    std::wstring text = keyName + L"=" + value + end;
    if (!s.lastLineEnded) text = end + text;
    return Splice(s.end, 0, text);
  }
  if (sectionName.empty()) return false;
  std::wstring text = L"[" + sectionName + L"]" + end + keyName + L"=" + value + end;
  if (!bytes_.empty() && !endsWithLineEnd_) text = end + text;
  return Splice(bytes_.size(), 0, text);
}
