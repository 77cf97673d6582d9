#include "engine/progress_texts.h"

#include <gtest/gtest.h>

#include <mutex>

namespace {

struct TextView final : RunView {
  std::vector<std::wstring> texts;
  std::vector<int> positions;
  void SetStatus(const std::wstring& text) override { texts.push_back(text); }
  void ShowVersion(const std::wstring&) override {}
  void StepProgress() override {}
  void SetProgressRange(int, int) override {}
  void SetProgressPosition(int position) override { positions.push_back(position); }
};

}  // namespace

// The bytes of the whole run: each file weighs its listed size, whatever its download's own
// length (a packed form or a patch is smaller); files side by side add up; a file tried again
// does not count twice nor move the bar back; the counts never pass their totals.
TEST(RunProgress, CountsTheWholeRunsListedBytesAndNeverGoesBack) {
  TextView view;
  std::mutex lock;
  RunProgress progress(view, lock);
  progress.Begin(3000, 2, 2);
  {
    RunProgress::File a(progress, 1000);
    {
      RunProgress::File b(progress, 2000);
      EXPECT_TRUE(a.OnDownloadProgress(0, 0));
      EXPECT_TRUE(b.OnDownloadProgress(0, 0));
      EXPECT_TRUE(a.OnDownloadProgress(50, 100));    // half of a's 1000: 500 of 3000
      EXPECT_TRUE(b.OnDownloadProgress(100, 400));   // a quarter of b's 2000: 1000 of 3000
      EXPECT_TRUE(b.OnDownloadProgress(0, 0));       // b again from the start (another form)
      EXPECT_TRUE(b.OnDownloadProgress(100, 800));   // an eighth now: b keeps its quarter
      EXPECT_TRUE(b.OnDownloadProgress(800, 800));   // b whole: 2500 of 3000
    }
    EXPECT_EQ(view.filesDone, 1u);
  }
  EXPECT_EQ(view.filesDone, 2u);
  EXPECT_EQ(view.bytesDone, 3000u);
  EXPECT_EQ(view.texts, (std::vector<std::wstring>{
                            L"Đang tải 0 bytes / 2.92 KB, 0/2 files",
                            L"Đang tải 500 bytes / 2.92 KB, 0/2 files",
                            L"Đang tải 1000 bytes / 2.92 KB, 0/2 files",
                            L"Đang tải 2.44 KB / 2.92 KB, 0/2 files",
                            L"Đang tải 2.44 KB / 2.92 KB, 1/2 files",
                            L"Đang tải 2.92 KB / 2.92 KB, 2/2 files",
                        }));
  EXPECT_EQ(view.positions, (std::vector<int>{0, 166, 333, 833, 1000}));
}

// A list from an older publisher gives no sizes: such a file weighs the mean of the sizes given,
// or 1 MiB when none are.
TEST(RunProgress, FilesWithoutAListedSizeWeighTheMeanOfTheOthers) {
  TextView view;
  std::mutex lock;
  RunProgress progress(view, lock);
  progress.Begin(3000, 2, 3);
  EXPECT_EQ(view.bytesTotal, 4500u);
  {
    RunProgress::File unsized(progress, 0);
    EXPECT_TRUE(unsized.OnDownloadProgress(10, 20));
    EXPECT_EQ(view.bytesDone, 750u);
  }
  progress.Begin(0, 0, 2);
  EXPECT_EQ(view.bytesTotal, 2u << 20);
  EXPECT_EQ(view.filesDone, 0u);
}

TEST(FormatByteSize, ThreeSignificantDigitsCut) {
  const std::pair<std::uint64_t, const wchar_t*> cases[] = {
      {0, L"0 bytes"},         {1023, L"1023 bytes"},   {1024, L"1.00 KB"},        {1536, L"1.50 KB"},
      {10239, L"9.99 KB"},     {15360, L"15.0 KB"},     {153600, L"150 KB"},       {1048576, L"1.00 MB"},
      {1073741824, L"1.00 GB"}, {1022976, L"999 KB"},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(FormatByteSize(bytes), text) << bytes;
}
