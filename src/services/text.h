#pragma once
// Text conversions at the system boundary. Inside the program text is std::wstring: UTF-16 on
// Windows, UTF-32 on POSIX. Files and system calls see UTF-8, UTF-16LE or the ANSI code page.
#include <cstdint>
#include <string>

// UTF-8 of a wide text. Unpaired surrogates become U+FFFD, so the result is always valid UTF-8.
std::string WideToUtf8(const std::wstring& text);

// Wide text of UTF-8 bytes. False when the bytes are not valid UTF-8 (the text is then empty).
bool Utf8ToWide(const std::string& bytes, std::wstring& text);
// The same for bytes that are UTF-8 by construction (WideToUtf8's, which read back unchanged):
// text kept as UTF-8 to take less room, a byte a character where it is ASCII.
std::wstring Utf8Text(const std::string& bytes);

// UTF-16LE bytes of a wide text, and back; surrogate pairs are combined on POSIX.
std::string WideToUtf16Le(const std::wstring& text);
std::wstring Utf16LeToWide(const char* bytes, std::size_t size);

// Latin-1 bytes as wide text (every byte is a character).
std::wstring Latin1ToWide(const std::string& bytes);

// The system's narrow text of a wide text and back: the ANSI code page on Windows; on POSIX
// UTF-8, with Latin-1 as the reading of bytes that are not valid UTF-8. False when a character
// has no narrow form (the result is then empty).
bool WideToAnsi(const std::wstring& text, std::string& bytes);
std::wstring AnsiToWide(const std::string& bytes);

// Comparison and folding without regard to case, as names in INI files and descriptor texts
// are compared. Only ASCII letters fold, identically on every platform.
wchar_t FoldCase(wchar_t c);
std::wstring FoldCase(const std::wstring& text);
bool EqualNoCase(const std::wstring& a, const std::wstring& b);

// A line cut to fit a terminal of that many columns (0: as it is), leaving the last column free
// so that the terminal does not wrap into a new line at each redraw; a cut line ends in "…".
std::wstring FitToColumns(const std::wstring& line, int columns);
