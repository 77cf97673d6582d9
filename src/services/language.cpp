#include "services/language.h"

#include <atomic>
#include <cstdlib>

#include "services/text.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

std::atomic<Language> current{Language::Vietnamese};

}  // namespace

void SetLanguage(Language language) { current = language; }
Language CurrentLanguage() { return current; }

bool ParseLanguage(const std::wstring& text, Language& language) {
  if (EqualNoCase(text, L"vi")) {
    language = Language::Vietnamese;
  } else if (EqualNoCase(text, L"en")) {
    language = Language::English;
  } else {
    return false;
  }
  return true;
}

Language LanguageOfLocale(const std::string& locale) {
  const bool vietnamese = locale.size() >= 2 && (locale[0] == 'v' || locale[0] == 'V') &&
                          (locale[1] == 'i' || locale[1] == 'I') && (locale.size() == 2 || locale[2] == '_' ||
                                                                     locale[2] == '.' || locale[2] == '-' || locale[2] == '@');
  return vietnamese ? Language::Vietnamese : Language::English;
}

Language EnvironmentLanguage() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return LanguageOfLocale(value);
  }
#ifdef _WIN32
  if (PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_VIETNAMESE) return Language::Vietnamese;
#endif
  return Language::English;
}

std::wstring Fill(const wchar_t* pattern, std::initializer_list<std::wstring> values) {
  std::wstring text;
  auto value = values.begin();
  for (const wchar_t* at = pattern; *at != L'\0'; ++at) {
    if (at[0] == L'%' && at[1] == L's' && value != values.end()) {
      text += *value++;
      ++at;
    } else {
      text += *at;
    }
  }
  return text;
}
