#include "services/logger.h"

#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "services/files.h"
#include "services/platform.h"
#include "services/text.h"
#include "support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::wstring> LinesOf(const std::wstring& file) {
  const std::string bytes = ReadBytes(NativePath(file));
  const std::wstring text = Utf16LeToWide(bytes.data(), bytes.size());
  std::vector<std::wstring> lines;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find(L"\r\n", start);
    if (end == std::wstring::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

}  // namespace

// The default level keeps only fatal entries; the cause of a failed run is written all the same.
TEST(Logger, WritesTheCauseOfAFailureAtTheDefaultLevel) {
  TempFolder folder;
  Logger logger;
  ASSERT_TRUE(logger.Configure((folder / "logs\\zepo").c_str(), 0, L"Zepo", false));
  EXPECT_FALSE(logger.Write(LOG_ERROR, L"filtered"));
  EXPECT_TRUE(logger.WriteFailure(L"cannot replace [a.pak]: Permission denied"));
  const std::wstring file = logger.CurrentFile();
  logger.Close();
  const auto lines = LinesOf(file);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(L"\tERROR\tcannot replace [a.pak]: Permission denied"), std::wstring::npos);
}

TEST(Logger, WritesStampedLinesUpToTheThreshold) {
  TempFolder folder;
  Logger logger;
  ASSERT_TRUE(logger.Configure((folder / "logs\\zepo").c_str(), 2, L"Zepo", false));
  for (std::int8_t level = 0; level <= 4; ++level) logger.Write(level, L"entry " + std::to_wstring(level));
  EXPECT_TRUE(logger.Write(-1, L"below every level"));
  const std::wstring file = logger.CurrentFile();
  logger.Close();

  LocalTime now = LocalTimeNow();
  wchar_t name[32];
  std::swprintf(name, 32, L"%04d-%02d.log", now.year, now.month);
  EXPECT_EQ(NativePath(file).filename().wstring(), name);
  const std::string bytes = ReadBytes(NativePath(file));
  ASSERT_GE(bytes.size(), 2u);
  EXPECT_NE(bytes.substr(0, 2), std::string("\xFF\xFE")) << "no byte-order mark";

  const auto lines = LinesOf(file);
  ASSERT_EQ(lines.size(), 4u);
  const std::wregex stamp(L"\\d\\d/\\d\\d/\\d{4}-\\d\\d:\\d\\d:\\d\\d\t([A-Z]*)\t(.*)");
  const wchar_t* expected[][2] = {{L"FATAL", L"entry 0"}, {L"ERROR", L"entry 1"}, {L"WARNING", L"entry 2"},
                                  {L"", L"below every level"}};
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::wsmatch m;
    ASSERT_TRUE(std::regex_match(lines[i], m, stamp)) << i;
    EXPECT_EQ(m[1].str(), expected[i][0]);
    EXPECT_EQ(m[2].str(), expected[i][1]);
  }
}

TEST(Logger, LongEntriesAreCutSoThatTheLineEndFits) {
  TempFolder folder;
  Logger logger;
  ASSERT_TRUE(logger.Configure(folder.wide().c_str(), 4, nullptr, false));
  EXPECT_TRUE(logger.Write(LOG_DEBUG, std::wstring(5000, L'x')));
  EXPECT_TRUE(logger.WriteFormat(LOG_DEBUG, L"Process Zepo %lu start CommandLine: %ls", 42UL, L"zepo.exe"));
  EXPECT_FALSE(logger.WriteFormat(LOG_DEBUG, L"%ls", std::wstring(1024, L'y').c_str())) << "dropped, not cut";
  const auto lines = LinesOf(logger.CurrentFile());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].size() + 2, LOG_LINE_MAX);
  EXPECT_NE(lines[1].find(L"\tDEBUG\tProcess Zepo 42 start CommandLine: zepo.exe"), std::wstring::npos);
}

TEST(Logger, RollsToANewFileThatSortsAfterTheFirst) {
  TempFolder folder;
  Logger logger(1);  // 1 KiB
  ASSERT_TRUE(logger.Configure(folder.wide().c_str(), 4, nullptr, false));
  const std::wstring first = logger.CurrentFile();
  for (int i = 0; i < 20; ++i) logger.Write(LOG_FYI, std::wstring(100, L'a'));
  const std::wstring later = logger.CurrentFile();
  EXPECT_NE(first, later);
  EXPECT_LT(NativePath(first).filename(), NativePath(later).filename());
  EXPECT_GE(fs::file_size(NativePath(first)), 1024u);
  // A new logger continues in the newest file, not in the full one.
  Logger again(1);
  ASSERT_TRUE(again.Configure(folder.wide().c_str(), 4, nullptr, false));
  EXPECT_GT(again.CurrentFile().size(), 0u);
  EXPECT_NE(again.CurrentFile(), first);
}

TEST(Logger, LinesOfConcurrentWritersNeverMix) {
  TempFolder folder;
  Logger logger;
  ASSERT_TRUE(logger.Configure(folder.wide().c_str(), 4, nullptr, false));
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&logger, t] {
      for (int i = 0; i < 200; ++i) logger.Write(LOG_FYI, std::wstring(50, static_cast<wchar_t>(L'a' + t)));
    });
  }
  for (auto& w : writers) w.join();
  const auto lines = LinesOf(logger.CurrentFile());
  ASSERT_EQ(lines.size(), 800u);
  for (const auto& line : lines) {
    const std::wstring text = line.substr(line.rfind(L'\t') + 1);
    EXPECT_EQ(text, std::wstring(50, text[0]));
  }
}

TEST(Logger, WritesInAFolderPast260CharactersAndRefusesOnePastTheSystemsLimit) {
  TempFolder folder;
  std::wstring deep = folder / "";
  while (deep.size() < 300) deep += std::wstring(60, L'd') + L"\\";
  Logger logger;
  ASSERT_TRUE(logger.Configure(deep.c_str(), 4, nullptr, false));
  EXPECT_TRUE(logger.Write(LOG_FATAL, L"deep"));
  EXPECT_GT(logger.CurrentFile().size(), 300u);
  EXPECT_TRUE(PathExists(logger.CurrentFile()));
  EXPECT_FALSE(logger.Configure(std::wstring(33000, L'a').c_str(), 4, nullptr, false));
}

TEST(Logger, FailsWithoutAFolder) {
  Logger logger;
  TempFolder folder;
  WriteBytes(folder.path() / "file", "x");
  EXPECT_FALSE(logger.Configure((folder / "file\\logs").c_str(), 4, nullptr, false));
  EXPECT_FALSE(logger.Write(LOG_FATAL, L"nowhere to go"));
}

TEST(UpdateLog, KeepsEveryCharacterAndTheVerdict) {
  TempFolder folder;
  InFolder in(folder.path());
  WriteUpdateLog(L"dropped: there is no logs folder yet");
  fs::create_directory("logs");
  WriteUpdateLog(L"Check file [data\\Th\u1eed l\u1ea1i.pak] => Success");
  WriteUpdateLog(L"second");
  LocalTime now = LocalTimeNow();
  const std::string bytes = ReadBytes(NativePath(UpdateLogName(now.year, now.month)));
  const std::regex line("\\d{14} (.*)\r\n");
  std::vector<std::string> texts;
  for (std::sregex_iterator it(bytes.begin(), bytes.end(), line), end; it != end; ++it) texts.push_back((*it)[1]);
  EXPECT_EQ(texts, (std::vector<std::string>{"Check file [data\\Th\xe1\xbb\xad l\xe1\xba\xa1i.pak] => Success",
                                             "second"}));
  EXPECT_EQ(bytes.size(), 2 * 17 + texts[0].size() + texts[1].size());
}

TEST(UpdateLog, NameCarriesYearAndMonth) {
  EXPECT_EQ(UpdateLogName(2012, 12), L"logs\\update201212.txt");
  EXPECT_EQ(UpdateLogName(2013, 1), L"logs\\update201301.txt");
}
