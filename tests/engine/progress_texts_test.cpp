#include "engine/progress_texts.h"

#include <gtest/gtest.h>

namespace {

struct TextView final : RunView {
  std::vector<std::wstring> texts;
  void SetStatus(const std::wstring& text) override { texts.push_back(text); }
  void ShowVersion(const std::wstring&) override {}
  void StepProgress() override {}
  void SetProgressRange(int, int) override {}
  void SetProgressPosition(int) override {}
};

}  // namespace

TEST(ProgressTexts, ShowsChecksDownloadsAndWholePercentages) {
  TextView view;
  view.filesDone = 2;
  view.filesTotal = 7;
  ProgressTexts callback(view);
  EXPECT_TRUE(callback.OnCheckFile(L"data\\a.pak"));
  EXPECT_TRUE(callback.OnDownloadProgress(0, 0));
  EXPECT_TRUE(callback.OnDownloadProgress(5, 1000));      // 0 %: as the last shown, no change
  EXPECT_TRUE(callback.OnDownloadProgress(500, 1000));    // 50 %
  EXPECT_TRUE(callback.OnDownloadProgress(509, 1000));    // still 50 %
  EXPECT_TRUE(callback.OnDownloadProgress(1000, 1000));   // 100 %
  EXPECT_TRUE(callback.OnDownloadProgress(0, 0));
  EXPECT_TRUE(callback.OnDownloadProgress(2048, 2048));   // 100 % again: no change
  EXPECT_EQ(view.texts, (std::vector<std::wstring>{
                            L"Đang kiểm tra tập tin [data\\a.pak]...",
                            L"Đang tải ..., 3/7 files",
                            L"Đang tải 500 bytes / 1000 bytes, 3/7 files",
                            L"Đang tải 1000 bytes / 1000 bytes, 3/7 files",
                            L"Đang tải ..., 4/7 files",
                        }));
}

// Files in flight side by side: the sizes are their sums, "n/m files" counts the ended ones, and
// a file tried again does not count its first attempt twice.
TEST(ParallelProgressTexts, SumsTheFilesInFlightAndCountsTheEndedOnes) {
  TextView view;
  view.filesTotal = 3;
  std::mutex lock;
  ParallelProgressTexts texts(view, lock);
  {
    ParallelProgressTexts::File a(texts);
    {
      ParallelProgressTexts::File b(texts);
      EXPECT_TRUE(a.OnDownloadProgress(0, 0));
      EXPECT_TRUE(b.OnDownloadProgress(0, 0));
      EXPECT_TRUE(a.OnDownloadProgress(100, 400));
      EXPECT_TRUE(b.OnDownloadProgress(300, 600));   // 400 of 1000: 40 %
      EXPECT_TRUE(b.OnDownloadProgress(0, 0));       // b again, from the start: 100 of 400
      EXPECT_TRUE(b.OnDownloadProgress(600, 600));   // 700 of 1000
    }
    EXPECT_EQ(view.filesDone, 1);
    EXPECT_TRUE(a.OnDownloadProgress(400, 400));     // b's bytes have left the sums
  }
  EXPECT_EQ(view.filesDone, 2);
  EXPECT_EQ(view.texts, (std::vector<std::wstring>{
                            L"Đang tải ..., 0/3 files",
                            L"Đang tải ..., 0/3 files",
                            L"Đang tải 100 bytes / 400 bytes, 0/3 files",
                            L"Đang tải 400 bytes / 1000 bytes, 0/3 files",
                            L"Đang tải ..., 0/3 files",
                            L"Đang tải 700 bytes / 1000 bytes, 0/3 files",
                            L"Đang tải 400 bytes / 400 bytes, 1/3 files",
                        }));
}

TEST(FormatByteSize, ThreeSignificantDigitsCut) {
  const std::pair<std::uint64_t, const wchar_t*> cases[] = {
      {0, L"0 bytes"},         {1023, L"1023 bytes"},   {1024, L"1.00 KB"},        {1536, L"1.50 KB"},
      {10239, L"9.99 KB"},     {15360, L"15.0 KB"},     {153600, L"150 KB"},       {1048576, L"1.00 MB"},
      {1073741824, L"1.00 GB"}, {1022976, L"999 KB"},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(FormatByteSize(bytes), text) << bytes;
}
