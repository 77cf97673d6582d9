#include "services/ini_file.h"

#include <cstdint>

#include "services/files.h"

IniDocument LoadIniFile(const std::wstring& file) {
  std::string bytes;
  if (!ReadWholeFile(file, bytes)) bytes.clear();
  return IniDocument(std::move(bytes));
}

void ReadIniString(const std::wstring& file, const std::wstring& section, const std::wstring& key,
                   std::wstring& value) {
  LoadIniFile(file).ReadString(section, key, value);
}

int IniTextToInt(const std::wstring& text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == L' ' || text[i] == L'\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == L'-' || text[i] == L'+')) negative = text[i++] == L'-';
  std::uint32_t value = 0;
  for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
    value = value * 10 + static_cast<std::uint32_t>(text[i] - L'0');  // wraps like a 32-bit int
  }
  return static_cast<int>(negative ? 0u - value : value);
}

int ReadIniInt(const std::wstring& file, const std::wstring& section, const std::wstring& key) {
  std::wstring text;
  ReadIniString(file, section, key, text);
  return IniTextToInt(text);
}

bool ReadIniSectionNames(const std::wstring& file, std::vector<std::wstring>& names) {
  names = LoadIniFile(file).SectionNames();
  return !names.empty();
}

bool WriteIniString(const std::wstring& file, const std::wstring& section, const std::wstring& key,
                    const std::wstring& value) {
  IniDocument document = LoadIniFile(file);
  return document.SetValue(section, key, value) && WriteIniFile(file, document);
}

bool WriteIniFile(const std::wstring& file, const IniDocument& document) {
  const std::wstring temporary = file + L".new";
  {
    FileHandle out = FileHandle::CreateForWrite(temporary);
    if (!out.IsOpen()) return false;
    if (!out.Write(document.Bytes().data(), document.Bytes().size()) || !out.Flush()) {
      out.Close();
      RemoveFile(temporary);
      return false;
    }
  }
  if (MoveFileReplace(temporary, file)) return true;
  RemoveFile(temporary);
  return false;
}
