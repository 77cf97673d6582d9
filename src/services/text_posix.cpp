#include "services/text.h"

bool WideToAnsi(const std::wstring& text, std::string& bytes) {
  bytes = WideToUtf8(text);
  return true;
}

std::wstring AnsiToWide(const std::string& bytes) {
  std::wstring text;
  if (Utf8ToWide(bytes, text)) return text;
  return Latin1ToWide(bytes);
}
