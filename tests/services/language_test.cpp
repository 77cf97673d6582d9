#include "services/language.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

// Restores the process's language after each test: the others read Vietnamese.
class LanguageTest : public ::testing::Test {
 protected:
  void TearDown() override { SetLanguage(Language::Vietnamese); }
};

}  // namespace

TEST_F(LanguageTest, ChosenByNameOrLocale) {
  Language language = Language::English;
  EXPECT_TRUE(ParseLanguage(L"VI", language));
  EXPECT_EQ(language, Language::Vietnamese);
  EXPECT_TRUE(ParseLanguage(L"en", language));
  EXPECT_EQ(language, Language::English);
  EXPECT_FALSE(ParseLanguage(L"vn", language));
  EXPECT_FALSE(ParseLanguage(L"", language));
  for (const char* locale : {"vi", "vi_VN.UTF-8", "vi_VN", "vi.utf8", "vi@latin"}) {
    EXPECT_EQ(LanguageOfLocale(locale), Language::Vietnamese) << locale;
  }
  for (const char* locale : {"C", "C.UTF-8", "POSIX", "en_US.UTF-8", "vie", "", "fr_FR"}) {
    EXPECT_EQ(LanguageOfLocale(locale), Language::English) << locale;
  }
}

#ifndef _WIN32
// LC_ALL before LC_MESSAGES before LANG, as the C library takes them.
TEST_F(LanguageTest, TheEnvironmentsLocaleDecides) {
  const char* names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
  std::string saved[3];
  bool had[3];
  for (int i = 0; i < 3; ++i) {
    const char* value = std::getenv(names[i]);
    had[i] = value != nullptr;
    if (had[i]) saved[i] = value;
    unsetenv(names[i]);
  }
  setenv("LANG", "vi_VN.UTF-8", 1);
  EXPECT_EQ(EnvironmentLanguage(), Language::Vietnamese);
  setenv("LC_ALL", "C.UTF-8", 1);
  EXPECT_EQ(EnvironmentLanguage(), Language::English);
  unsetenv("LC_ALL");
  unsetenv("LANG");
  EXPECT_EQ(EnvironmentLanguage(), Language::English);
  for (int i = 0; i < 3; ++i) {
    if (had[i]) setenv(names[i], saved[i].c_str(), 1);
  }
}
#endif

TEST_F(LanguageTest, SaysThePatternOfTheLanguageFilled) {
  SetLanguage(Language::Vietnamese);
  EXPECT_EQ(Say(L"Đang kiểm tra tập tin [%s]...", L"Checking [%s]...", std::wstring(L"a.dat")),
            L"Đang kiểm tra tập tin [a.dat]...");
  SetLanguage(Language::English);
  EXPECT_EQ(Say(L"Đang kiểm tra tập tin [%s]...", L"Checking [%s]...", std::wstring(L"a.dat")), L"Checking [a.dat]...");
  // Values are taken as they are: a "%s" inside one is not filled again; missing ones leave "%s".
  EXPECT_EQ(Fill(L"%s and %s", {L"100%s"}), L"100%s and %s");
  EXPECT_EQ(Fill(L"50% of %s", {L"it"}), L"50% of it");
}
