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
