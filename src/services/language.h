#pragma once
// The language of what a person reads in a run: the window's statuses and message boxes,
// zepo-update's status lines and summaries. One per process, chosen by the front end before the
// run (--lang, "Language" in log.ini, the locale); the diagnostic and update logs keep their own
// words whatever it is, since support tools read them.
#include <initializer_list>
#include <string>

enum class Language { Vietnamese, English };

void SetLanguage(Language language);
Language CurrentLanguage();

// "vi" or "en" as --lang and "Language" take them (letter case aside); false for anything else.
bool ParseLanguage(const std::wstring& text, Language& language);
// A locale name as LC_ALL and LANG give it ("vi_VN.UTF-8"): Vietnamese for "vi", else English.
Language LanguageOfLocale(const std::string& locale);
// The language of the user's environment: LC_ALL, else LC_MESSAGES, else LANG; on Windows without
// them, the user's interface language.
Language EnvironmentLanguage();

// The pattern in the current language with each "%s" replaced by the next value:
// Say(L"Đang kiểm tra tập tin [%s]...", L"Checking [%s]...", name).
std::wstring Fill(const wchar_t* pattern, std::initializer_list<std::wstring> values);
template <typename... Values>
std::wstring Say(const wchar_t* vietnamese, const wchar_t* english, const Values&... values) {
  return Fill(CurrentLanguage() == Language::Vietnamese ? vietnamese : english, {std::wstring(values)...});
}
