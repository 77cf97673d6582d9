#pragma once
// The INI model: one parse of a file's bytes, then any number of lookups in constant time, and
// writes that change only the line they concern. It reads files written by the Windows
// private-profile service the way that service reads them:
// - section and key names match without regard to case, and are trimmed of white space;
// - sections keep file order; of duplicated sections or keys the first one wins (a key that only
//   a later duplicate of a section holds is not found), and duplicates are still listed;
// - keys before the first section belong to the section named "";
// - a "[" line without "]" opens a section that no name reaches; in "[a]b]" the name is "a]b";
// - values are trimmed, lose one pair of surrounding quotes (" or ') and are cut at 2047 characters;
// - lines starting with ';' are comments;
// - encodings: ANSI, UTF-8 with BOM, UTF-16LE with BOM.
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

constexpr std::size_t INI_VALUE_MAX = 2047;
constexpr std::size_t INI_BYTES_MAX = 0xFFFFFFF0;  // larger files read as empty

class IniDocument {
 public:
  enum class Encoding { Ansi, Utf8Bom, Utf16LeBom };

  explicit IniDocument(std::string bytes = {});

  // The key's value, or false (and an empty value) when the section or key is absent.
  bool ReadString(const std::wstring& section, const std::wstring& key, std::wstring& value) const;

  // A section looked up once, for reading several of its keys; NO_SECTION when absent.
  static constexpr std::size_t NO_SECTION = static_cast<std::size_t>(-1);
  std::size_t FindSection(const std::wstring& section) const;
  bool ReadString(std::size_t section, const std::wstring& key, std::wstring& value) const;
  // The keys of a section in file order with their values as ReadString gives them.
  std::vector<std::pair<std::wstring, std::wstring>> KeysOf(const std::wstring& section) const;
  // Every named section in file order, duplicates included.
  std::vector<std::wstring> SectionNames() const;
  // How many sections the file has, unnamed and unreachable ones included: FindSection's results
  // lie below it.
  std::size_t SectionCount() const { return sections_.size(); }

  // Sets a key, creating the section or key at the end of the file or of the section when
  // missing, or replacing the value on its own line. Every other byte of the file stays as it
  // was, line ends included; a value that the file's ANSI encoding cannot hold turns the file
  // into UTF-16LE with BOM. False for the unnamed section when the file has none.
  bool SetValue(const std::wstring& section, const std::wstring& key, const std::wstring& value);

  const std::string& Bytes() const { return bytes_; }
  Encoding encoding() const { return encoding_; }

 private:
  // Offsets are 32-bit (files past INI_BYTES_MAX read as empty), so that a file of many short
  // lines costs little beyond its text; white-space lines have no record at all.
  struct Line {
    std::uint32_t offset;     // of the line's first byte
    std::uint32_t size;       // bytes of the text, without the line end
    std::uint32_t textStart;  // the decoded text, line end removed, within text_
    std::uint32_t textSize;
    std::uint8_t endSize;     // bytes of the line end: 0 on a last line without one
  };
  struct Key {
    std::uint32_t nameStart, nameSize;    // trimmed, within text_
    std::uint32_t valueStart, valueSize;  // trimmed, quotes not yet stripped
    std::uint32_t line;
  };
  struct Section {
    std::wstring name;
    bool reachable;
    std::size_t lastLine;  // the header or the last key or comment line of the section
    std::size_t firstKey;  // its keys in keys_, in file order; only the first of duplicated
    std::size_t keyCount;  // sections has any, as only it is ever read
  };

  void Parse();
  template <typename LineHandler>
  void ForEachRawLine(LineHandler handle) const;
  bool IsBlankLine(std::size_t offset, std::size_t size) const;
  void SplitLines();
  void AppendLineText(std::size_t offset, std::size_t size);
  const Key* FindKey(std::size_t section, const std::wstring& key) const;
  std::wstring LineText(const Line& line) const { return text_.substr(line.textStart, line.textSize); }
  bool Encode(const std::wstring& text, std::string& bytes) const;
  void ConvertToUtf16();
  bool Splice(std::size_t offset, std::size_t removed, const std::wstring& text);

  std::string bytes_;
  Encoding encoding_ = Encoding::Ansi;
  std::wstring text_;
  std::vector<Line> lines_;
  std::string lineEnd_;          // the file's line end, "\r\n" or "\n" (its first line's)
  bool endsWithLineEnd_ = true;  // false when the last line has no line end
  std::vector<Section> sections_;
  std::vector<Key> keys_;
  std::unordered_map<std::wstring, std::size_t> firstSection_;  // folded name to index
};
