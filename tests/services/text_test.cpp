#include "services/text.h"

#include <gtest/gtest.h>

TEST(Text, Utf8AndUtf16RoundTripOutsideTheBasicPlane) {
  // "Thử lại", a CJK letter and a character above U+FFFF (a surrogate pair on Windows).
  std::wstring text = L"Th\u1eed l\u1ea1i \u4e2d ";
  if constexpr (sizeof(wchar_t) == 2) {
    text += L"\xD83C\xDFAE";
  } else {
    text += static_cast<wchar_t>(0x1F3AE);
  }
  const std::string utf8 = WideToUtf8(text);
  EXPECT_EQ(utf8, "Th\xe1\xbb\xad l\xe1\xba\xa1i \xe4\xb8\xad \xf0\x9f\x8e\xae");
  std::wstring back;
  ASSERT_TRUE(Utf8ToWide(utf8, back));
  EXPECT_EQ(back, text);
  const std::string utf16 = WideToUtf16Le(text);
  EXPECT_EQ(utf16.size(), 2 * 12);
  EXPECT_EQ(Utf16LeToWide(utf16.data(), utf16.size()), text);
}

TEST(Text, InvalidUtf8IsRefused) {
  for (const char* bad : {"\x80", "\xc3", "\xe1\xbb", "\xc0\xaf", "\xed\xa0\x80", "\xf5\x80\x80\x80", "a\xffz"}) {
    std::wstring text = L"stale";
    EXPECT_FALSE(Utf8ToWide(bad, text)) << bad;
    EXPECT_TRUE(text.empty());
  }
}

TEST(Text, CaseFoldsAsciiOnly) {
  EXPECT_TRUE(EqualNoCase(L"ServerConfig", L"SERVERCONFIG"));
  EXPECT_FALSE(EqualNoCase(L"abc", L"abd"));
  EXPECT_FALSE(EqualNoCase(L"abc", L"abcd"));
}

// A progress line redrawn in place must not wrap: the last column stays free.
TEST(FitToColumns, CutsToOneColumnLessThanTheTerminal) {
  EXPECT_EQ(FitToColumns(L"abcdef", 0), L"abcdef");
  EXPECT_EQ(FitToColumns(L"abcdef", 7), L"abcdef");
  EXPECT_EQ(FitToColumns(L"abcdef", 6), L"abcd\u2026");
  EXPECT_EQ(FitToColumns(L"Đang tải", 5), L"Đan\u2026");
}
