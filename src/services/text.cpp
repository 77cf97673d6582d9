#include "services/text.h"

namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

void AppendWide(std::wstring& out, char32_t c) {
  if constexpr (sizeof(wchar_t) == 2) {
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<wchar_t>(0xD800 + (c >> 10));
      out += static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
      return;
    }
  }
  out += static_cast<wchar_t>(c);
}

bool IsHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Reads one code point of a wide text at index i, combining UTF-16 surrogate pairs.
char32_t NextCodePoint(const std::wstring& text, std::size_t& i) {
  char32_t c = static_cast<char32_t>(text[i++]);
  if (IsHighSurrogate(c)) {
    if (i < text.size() && IsLowSurrogate(static_cast<char32_t>(text[i]))) {
      char32_t low = static_cast<char32_t>(text[i++]);
      return 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
    }
    return REPLACEMENT;
  }
  if (IsLowSurrogate(c) || c > 0x10FFFF) return REPLACEMENT;
  return c;
}

}  // namespace

std::string WideToUtf8(const std::wstring& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) AppendUtf8(out, NextCodePoint(text, i));
  return out;
}

std::wstring Utf8Text(const std::string& bytes) {
  std::wstring text;
  Utf8ToWide(bytes, text);
  return text;
}

bool Utf8ToWide(const std::string& bytes, std::wstring& text) {
  text.clear();
  text.reserve(bytes.size());
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  for (std::size_t i = 0; i < n;) {
    unsigned char b = p[i];
    if (b < 0x80) {
      text += static_cast<wchar_t>(b);
      ++i;
      continue;
    }
    int extra;
    char32_t c;
    char32_t minimum;
    if ((b & 0xE0) == 0xC0) {
      extra = 1, c = b & 0x1F, minimum = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      extra = 2, c = b & 0x0F, minimum = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      extra = 3, c = b & 0x07, minimum = 0x10000;
    } else {
      text.clear();
      return false;
    }
    if (i + extra >= n) {
      text.clear();
      return false;
    }
    for (int k = 1; k <= extra; ++k) {
      unsigned char cont = p[i + k];
      if ((cont & 0xC0) != 0x80) {
        text.clear();
        return false;
      }
      c = (c << 6) | (cont & 0x3F);
    }
    if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      text.clear();
      return false;
    }
    AppendWide(text, c);
    i += extra + 1;
  }
  return true;
}

std::string WideToUtf16Le(const std::wstring& text) {
  std::string out;
  out.reserve(text.size() * 2);
  auto put = [&out](char32_t unit) {
    out += static_cast<char>(unit & 0xFF);
    out += static_cast<char>((unit >> 8) & 0xFF);
  };
  for (std::size_t i = 0; i < text.size();) {
    char32_t c = NextCodePoint(text, i);
    if (c >= 0x10000) {
      c -= 0x10000;
      put(0xD800 + (c >> 10));
      put(0xDC00 + (c & 0x3FF));
    } else {
      put(c);
    }
  }
  return out;
}

std::wstring Utf16LeToWide(const char* bytes, std::size_t size) {
  std::wstring out;
  out.reserve(size / 2);
  const auto* p = reinterpret_cast<const unsigned char*>(bytes);
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    char32_t unit = p[i] | (p[i + 1] << 8);
    if constexpr (sizeof(wchar_t) == 4) {
      if (IsHighSurrogate(unit) && i + 3 < size) {
        char32_t low = p[i + 2] | (p[i + 3] << 8);
        if (IsLowSurrogate(low)) {
          out += static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
          i += 2;
          continue;
        }
      }
      if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) unit = REPLACEMENT;
    }
    out += static_cast<wchar_t>(unit);
  }
  return out;
}

std::wstring Latin1ToWide(const std::string& bytes) {
  std::wstring out(bytes.size(), L'\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) out[i] = static_cast<unsigned char>(bytes[i]);
  return out;
}

wchar_t FoldCase(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c; }

std::wstring FoldCase(const std::wstring& text) {
  std::wstring out(text);
  for (auto& c : out) c = FoldCase(c);
  return out;
}

bool EqualNoCase(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  }
  return true;
}

std::wstring FitToColumns(const std::wstring& line, int columns) {
  if (columns <= 1 || line.size() < static_cast<std::size_t>(columns)) return line;
  return line.substr(0, static_cast<std::size_t>(columns) - 2) + L"\u2026";
}
