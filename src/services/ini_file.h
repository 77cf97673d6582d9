#pragma once
// INI helpers over files, on the INI model. A missing file, section or key reads as the empty
// text or 0. Callers that read many keys of one file load an IniDocument once instead.
#include <string>
#include <vector>

#include "services/ini.h"

// The file's model; an empty model when the file cannot be read.
IniDocument LoadIniFile(const std::wstring& file);

// Sets value to the key's text, cut at 2047 characters, or "" when absent.
void ReadIniString(const std::wstring& file, const std::wstring& section, const std::wstring& key,
                   std::wstring& value);

// The key's value as an integer ("%d"-like: sign and leading digits), 0 when absent or not a number.
int ReadIniInt(const std::wstring& file, const std::wstring& section, const std::wstring& key);
int IniTextToInt(const std::wstring& text);

// Every section name in file order, however many; true when at least one was found.
bool ReadIniSectionNames(const std::wstring& file, std::vector<std::wstring>& names);

// Writes one value, creating the file, section or key when missing. The file is replaced in one
// step from a complete new copy, so a failure never leaves half a file.
bool WriteIniString(const std::wstring& file, const std::wstring& section, const std::wstring& key,
                    const std::wstring& value);
// Writes a whole model the same way, in one step.
bool WriteIniFile(const std::wstring& file, const IniDocument& document);
