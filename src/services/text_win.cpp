#include <windows.h>

#include "services/text.h"

bool WideToAnsi(const std::wstring& text, std::string& bytes) {
  bytes.clear();
  if (text.empty()) return true;
  BOOL lossy = FALSE;
  int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), static_cast<int>(text.size()),
                                 nullptr, 0, nullptr, &lossy);
  if (size <= 0 || lossy) return false;
  bytes.resize(static_cast<std::size_t>(size));
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), static_cast<int>(text.size()), bytes.data(),
                      size, nullptr, &lossy);
  if (lossy) bytes.clear();
  return !lossy;
}

std::wstring AnsiToWide(const std::string& bytes) {
  if (bytes.empty()) return {};
  int size = MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::wstring text(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
  if (size > 0) MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), size);
  return text;
}
