#pragma once
// The INI model: one parse of a file's bytes, then any number of lookups in constant time, and
// writes that change only the line they concern. It holds little beyond the file's bytes: the
// text of an ASCII or UTF-8 file is its bytes (other files keep one UTF-8 copy), and each section
// and key costs a record of 32-bit offsets into it, so a file list of 200,000 files stays small. It reads files written by the Windows
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
#include <string_view>
#include <utility>
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
  // A section's keys by position, for reading a whole section in one pass: KeyCount of them (0
  // for NO_SECTION), each KeyName as the file's UTF-8 text (valid while the document is) and
  // KeyValue as ReadString gives it.
  // A key that a section repeats is listed each time; its first place is the one lookups read.
  std::size_t KeyCount(std::size_t section) const;
  std::string_view KeyName(std::size_t section, std::size_t i) const;
  std::wstring KeyValue(std::size_t section, std::size_t i) const;
  // Every named section in file order, duplicates included.
  std::vector<std::wstring> SectionNames() const;
  // How many sections the file has, unnamed and unreachable ones included: FindSection's results
  // lie below it. NamedSection gives the name of section i, false for one that no name reaches
  // (the unnamed section, a "[" line without "]"); SectionNames without holding every name.
  std::size_t SectionCount() const { return sections_.size(); }
  bool NamedSection(std::size_t i, std::wstring& name) const;
  // The section that lookups of section i's name read: i itself, or the first of that name.
  std::size_t SectionReadFor(std::size_t i) const;

  // Sets a key, creating the section or key at the end of the file or of the section when
  // missing, or replacing the value on its own line. Every other byte of the file stays as it
  // was, line ends included; a value that the file's ANSI encoding cannot hold turns the file
  // into UTF-16LE with BOM. False for the unnamed section when the file has none.
  bool SetValue(const std::wstring& section, const std::wstring& key, const std::wstring& value);

  const std::string& Bytes() const { return bytes_; }
  Encoding encoding() const { return encoding_; }

 private:
  // Positions in the text (Text()) and in the file's bytes are 32-bit: files past INI_BYTES_MAX
  // read as empty. White-space lines have no record at all.
  struct Key {
    std::uint32_t nameStart, nameSize;    // trimmed, in the text
    std::uint32_t valueStart, valueSize;  // trimmed, quotes not yet stripped
    std::uint32_t lineOffset, lineSize;   // the line in the bytes, without its line end
    std::uint32_t lineTextStart, lineTextSize;
  };
  struct Section {
    std::uint32_t nameStart, nameSize;  // trimmed, in the text
    std::uint32_t firstKey, keyCount;   // its keys; only the first of duplicated sections has any,
                                        // as only it is ever read
    std::uint32_t end;                  // the byte after the section's last line and its line end
    bool reachable;
    bool lastLineEnded;  // whether that last line has a line end
    bool firstOfName;    // no earlier section has its name: lookups of the name read this one
  };

  template <typename LineHandler>
  void ForEachRawLine(LineHandler handle) const;
  bool IsBlankLine(std::size_t offset, std::size_t size) const;
  void Parse();
  void Reserve();
  void ParseLine(std::size_t offset, std::size_t lineSize, std::size_t endSize, bool& indexing);
  bool IndexSection(std::uint32_t section);
  std::size_t FindFolded(const std::string& folded) const;
  const Key* FindKey(std::size_t section, const std::wstring& key) const;
  const char* Text() const { return textIsBytes_ ? bytes_.data() : text_.data(); }
  std::wstring TextAt(std::uint32_t start, std::uint32_t size) const;
  std::wstring DecodeLine(std::size_t offset, std::size_t size) const;
  bool Encode(const std::wstring& text, std::string& bytes) const;
  void ConvertToUtf16();
  bool Splice(std::size_t offset, std::size_t removed, const std::wstring& text);

  std::string bytes_;
  Encoding encoding_ = Encoding::Ansi;
  // The UTF-8 text of the lines, when it is not the bytes themselves (textIsBytes_); a line's
  // text keeps its place in the bytes either way only in the first case.
  std::string text_;
  bool textIsBytes_ = true;
  std::string lineEnd_;          // the file's line end, "\r\n" or "\n" (its first line's)
  bool endsWithLineEnd_ = true;  // false when the last line has no line end
  std::vector<Section> sections_;
  std::vector<Key> keys_;
  // Open addressing over the first section of each folded name: a section's index + 1, 0 for a
  // free slot. Twice as many slots as sections at least.
  std::vector<std::uint32_t> index_;
};
