#include "engine/safe_name.h"

#include <gtest/gtest.h>

TEST(SafeEntryName, AcceptsPathsInsideTheProgramFolder) {
  for (const wchar_t* name : {L"client.exe", L"data\\map.pak", L"data\\Th\u1eed l\u1ea1i\\a b.txt", L".hidden",
                              L"comx", L"com10", L"a..b", L"data/sub"}) {
    EXPECT_TRUE(IsSafeEntryName(name)) << name;
  }
}

TEST(SafeEntryName, RefusesEverythingThatCouldLeaveIt) {
  for (const wchar_t* name :
       {L"", L"\\windows\\system32\\x.dll", L"/etc/passwd", L"C:\\x", L"c:x", L"file.txt:stream",
        L"\\\\server\\share\\x", L"\\\\?\\C:\\x", L"\\\\.\\PhysicalDrive0", L"..\\x", L"data\\..\\..\\x", L".",
        L"data\\.\\x", L"data\\\\x", L"data\\", L"data\\x.", L"data\\x ", L"CON", L"nul.txt", L"data\\Com1.log",
        L"LPT9", L"con.d\\x", L"aux", L"conout$", L"a\tb", L"a*b", L"a?b", L"a|b", L"a<b", L"a>b", L"a\"b", L"data/../x"}) {
    EXPECT_FALSE(IsSafeEntryName(name)) << name;
  }
}

TEST(SafeEntryName, NamesTheReasonAndCountsUtf16Units) {
  EXPECT_EQ(EntryNameProblem(L"z\r\n[data]\r\nMethod=Remove"), L"a control character (CR, LF, TAB and the like)");
  EXPECT_EQ(EntryNameProblem(L"data\\save. "), L"a component that ends in a dot or a space, which Windows drops");
  EXPECT_EQ(EntryNameProblem(L"LPT\u00B2.log"), L"a Windows device name (CON, NUL, COM1, LPT1, ...)");
  EXPECT_EQ(EntryNameProblem(L" a.pak"), L"a space at its start, which a file list drops");
  EXPECT_TRUE(EntryNameProblem(L"data\\ a]b[.pak").empty());
  EXPECT_EQ(EntryNameProblem(L"..\\x"), L"a \".\" or \"..\" component");
  EXPECT_TRUE(EntryNameProblem(L"data\\" + std::wstring(255, L'a')).empty());
  EXPECT_EQ(EntryNameProblem(std::wstring(256, L'a')), L"a component longer than 255 UTF-16 units");
  // A letter outside the basic plane is two UTF-16 units: 127 of them fit, 128 do not.
  std::wstring astral;
  for (int i = 0; i < 127; ++i) {
    if constexpr (sizeof(wchar_t) == 4) {
      astral += static_cast<wchar_t>(0x1F3AE);
    } else {
      astral += L"\xD83C\xDFAE";
    }
  }
  EXPECT_TRUE(EntryNameProblem(astral).empty());
  astral += astral.substr(0, sizeof(wchar_t) == 4 ? 1 : 2);
  EXPECT_FALSE(EntryNameProblem(astral).empty());
}
