#include "services/process.h"

#include <gtest/gtest.h>

TEST(CommandLine, QuotesOnlyWhatNeedsItAndSplitsBackTheSame) {
  EXPECT_EQ(BuildCommandLine({L"update\\engine.dat", L"update\\a.exe", L"update\\b.dll"}),
            L"update\\engine.dat update\\a.exe update\\b.dll");
  EXPECT_EQ(QuoteArgument(L"update\\Game Launcher.exe"), L"\"update\\Game Launcher.exe\"");
  EXPECT_EQ(QuoteArgument(L""), L"\"\"");
  const std::vector<std::wstring> arguments = {
      L"update\\engine.dat", L"--wait-pid=1234",  L"update\\Game Launcher.exe", L"update\\Th\u1eed l\u1ea1i\\x.dll",
      L"a\"quote",           L"trailing\\",       L"tricky\\\\\"both",          L"",
      L"tab\there",          L"\\\\server\\share"};
  EXPECT_EQ(SplitCommandLine(BuildCommandLine(arguments)), arguments);
}

TEST(CommandLine, SplitsTheWayTheRuntimeDoes) {
  const std::pair<const wchar_t*, std::vector<std::wstring>> cases[] = {
      {L"a b  c", {L"a", L"b", L"c"}},
      {L"\"a b\" c", {L"a b", L"c"}},
      {L"a\\\\\\\"b", {L"a\\\"b"}},
      {L"a\\\\\"b c\"", {L"a\\b c"}},
      {L"a\\b", {L"a\\b"}},
      {L"\"\"", {L""}},
      {L"  ", {}},
  };
  for (const auto& [line, expected] : cases) EXPECT_EQ(SplitCommandLine(line), expected) << line;
}
