#include "services/ini.h"

#include <gtest/gtest.h>

#include "services/ini_file.h"
#include "support/temp_folder.h"

namespace {

// The same file that the platform's private-profile service was asked about under Wine; the
// expectations below are its answers.
const char SAMPLE[] =
    "top=1\r\n"
    "  [ Sec ]  \r\n"
    " key = value with spaces  \r\n"
    "q1=\"quoted\"\r\n"
    "q2='single'\r\n"
    "q3=\"unbalanced\r\n"
    "q4=\"a\"b\"\r\n"
    "noeq\r\n"
    "dup=first\r\n"
    "dup=second\r\n"
    "[sec]\r\n"
    "onlysecond=x\r\n"
    "key=other\r\n"
    "[broken\r\n"
    "afterbroken=1\r\n"
    "[x]y]\r\n"
    "k=v\r\n"
    " [ spaced ] trailing\r\n"
    "z=1\r\n";

std::wstring Read(const IniDocument& ini, const wchar_t* section, const wchar_t* key) {
  std::wstring value = L"stale";
  ini.ReadString(section, key, value);
  return value;
}

}  // namespace

TEST(IniDocument, ReadsAsThePlatformServiceDoes) {
  const IniDocument ini{std::string(SAMPLE)};
  const std::tuple<const wchar_t*, const wchar_t*, const wchar_t*> cases[] = {
      {L"", L"top", L"1"},
      {L"sec", L"key", L"value with spaces"},
      {L"SEC", L"KEY", L"value with spaces"},
      {L" sec ", L" key ", L"value with spaces"},
      {L"sec", L"q1", L"quoted"},
      {L"sec", L"q2", L"single"},
      {L"sec", L"q3", L"\"unbalanced"},
      {L"sec", L"q4", L"a\"b"},
      {L"sec", L"noeq", L""},
      {L"sec", L"dup", L"first"},
      {L"sec", L"onlysecond", L""},
      {L"broken", L"afterbroken", L""},
      {L"[broken", L"afterbroken", L""},
      {L"x]y", L"k", L"v"},
      {L"x", L"k", L""},
      {L"spaced", L"z", L"1"},
      {L"missing", L"key", L""},
  };
  for (const auto& [section, key, value] : cases) EXPECT_EQ(Read(ini, section, key), value) << section << "/" << key;
  EXPECT_EQ(ini.SectionNames(), (std::vector<std::wstring>{L"Sec", L"sec", L"x]y", L"spaced"}));
}

TEST(IniDocument, CommentsAndLongValues) {
  const IniDocument ini{"[s]\n;k=commented\nk=real\nlong=" + std::string(3000, 'a') + "\n"};
  EXPECT_EQ(Read(ini, L"s", L"k"), L"real");
  EXPECT_EQ(Read(ini, L"s", L"long"), std::wstring(2047, L'a'));
}

TEST(IniDocument, ReadsEveryEncoding) {
  const std::wstring word = L"Th\u1eed";  // "Thử"
  const IniDocument utf8{"\xEF\xBB\xBF[s]\r\nk=Th\xe1\xbb\xad\r\n"};
  EXPECT_EQ(Read(utf8, L"s", L"k"), word);
  EXPECT_EQ(utf8.encoding(), IniDocument::Encoding::Utf8Bom);
  const std::string utf16("\xFF\xFE[\0s\0]\0\r\0\n\0k\0=\0T\0h\0\xed\x1e", 22);
  const IniDocument wide{utf16};
  EXPECT_EQ(Read(wide, L"s", L"k"), word);
  EXPECT_EQ(wide.encoding(), IniDocument::Encoding::Utf16LeBom);
}

TEST(IniDocument, ManySectionsAreAllListedAndFound) {
  std::string text;
  for (int i = 0; i < 100000; ++i) {
    text += "[data\\file" + std::to_string(i) + ".pak]\r\nMethod=Update\r\nCheckSum=" + std::to_string(i) + "\r\n";
  }
  const IniDocument ini{text};
  const auto names = ini.SectionNames();
  ASSERT_EQ(names.size(), 100000u);
  EXPECT_EQ(names[99999], L"data\\file99999.pak");
  EXPECT_EQ(Read(ini, L"DATA\\FILE77777.PAK", L"checksum"), L"77777");
}

TEST(IniDocument, WritesChangeOnlyTheirOwnLine) {
  IniDocument ini{std::string("; header\r\n[a]\r\nx = 1 ; not a comment\r\n\r\n[b]\r\ny=2\r\n")};
  ASSERT_TRUE(ini.SetValue(L"A", L"X", L"new"));
  EXPECT_EQ(ini.Bytes(), "; header\r\n[a]\r\nx =new\r\n\r\n[b]\r\ny=2\r\n");
  ASSERT_TRUE(ini.SetValue(L"a", L"added", L"3"));
  EXPECT_EQ(ini.Bytes(), "; header\r\n[a]\r\nx =new\r\nadded=3\r\n\r\n[b]\r\ny=2\r\n");
  ASSERT_TRUE(ini.SetValue(L"c", L"z", L"4"));
  EXPECT_EQ(ini.Bytes(), "; header\r\n[a]\r\nx =new\r\nadded=3\r\n\r\n[b]\r\ny=2\r\n[c]\r\nz=4\r\n");
  EXPECT_EQ(Read(ini, L"c", L"z"), L"4");
}

TEST(IniDocument, WritesKeepLineEndsAndEncoding) {
  IniDocument lf{std::string("[a]\nx=1")};
  ASSERT_TRUE(lf.SetValue(L"a", L"y", L"2"));
  EXPECT_EQ(lf.Bytes(), "[a]\nx=1\ny=2\n");

  IniDocument empty;
  ASSERT_TRUE(empty.SetValue(L"ServerConfig", L"DateTime", L"20121105140309"));
  EXPECT_EQ(empty.Bytes(), "[ServerConfig]\r\nDateTime=20121105140309\r\n");
  EXPECT_FALSE(empty.SetValue(L"", L"k", L"v"));

  const std::string utf16("\xFF\xFE[\0s\0]\0\r\0\n\0", 12);
  IniDocument wide{utf16};
  ASSERT_TRUE(wide.SetValue(L"s", L"k", L"Th\u1eed"));
  EXPECT_EQ(wide.Bytes(), utf16 + std::string("k\0=\0T\0h\0\xed\x1e\r\0\n\0", 14));
}

TEST(IniFile, HelpersReadAndWriteFiles) {
  TempFolder folder;
  const std::wstring file = folder / "log.ini";
  std::wstring value = L"stale";
  ReadIniString(file, L"zepo", L"LogLevel", value);
  EXPECT_EQ(value, L"");
  EXPECT_EQ(ReadIniInt(file, L"zepo", L"LogLevel"), 0);
  std::vector<std::wstring> names{L"stale"};
  EXPECT_FALSE(ReadIniSectionNames(file, names));
  EXPECT_TRUE(names.empty());

  ASSERT_TRUE(WriteIniString(file, L"zepo", L"LogLevel", L"256"));
  ASSERT_TRUE(WriteIniString(file, L"zepo", L"ShowConsole", L"-3"));
  EXPECT_EQ(ReadIniInt(file, L"ZEPO", L"loglevel"), 256);
  EXPECT_EQ(ReadIniInt(file, L"zepo", L"ShowConsole"), -3);
  EXPECT_TRUE(ReadIniSectionNames(file, names));
  EXPECT_EQ(names, std::vector<std::wstring>{L"zepo"});
  EXPECT_FALSE(std::filesystem::exists(folder.path() / "log.ini.new"));
}

TEST(IniFile, TextToIntTakesSignAndLeadingDigits) {
  const std::pair<const wchar_t*, int> cases[] = {
      {L"4", 4}, {L" 12abc", 12}, {L"-7", -7}, {L"+5", 5}, {L"abc", 0}, {L"", 0}, {L"4294967297", 1},
  };
  for (const auto& [text, value] : cases) EXPECT_EQ(IniTextToInt(text), value) << text;
}
