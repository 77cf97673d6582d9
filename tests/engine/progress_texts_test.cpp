#include "engine/progress_texts.h"

#include <gtest/gtest.h>

#include <chrono>
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

// A patch of a large file: the list's size stands until the server says how long the download
// is; from then on the run counts the bytes that cross the network.
TEST(RunProgress, CountsTheBytesThatCrossTheNetwork) {
  TextView view;
  std::mutex lock;
  RunProgress progress(view, lock);
  progress.Begin(2200000, 1, 1);
  {
    RunProgress::File patch(progress, 2200000);
    EXPECT_TRUE(patch.OnDownloadProgress(0, 0));
    EXPECT_TRUE(patch.OnDownloadProgress(15000, 30000));
    EXPECT_EQ(view.bytesTotal, 30000u);
    EXPECT_TRUE(patch.OnDownloadProgress(30000, 30000));
    patch.Arrived();
  }
  EXPECT_EQ(view.texts.front(), L"Đang tải 0 bytes / 2.09 MB, 0/1 files");
  EXPECT_EQ(view.texts.back(), L"Đang tải 29.2 KB / 29.2 KB, 1/1 files");
  EXPECT_EQ(view.positions, (std::vector<int>{0, 500, 1000}));
}

// Files side by side add up; an attempt that failed keeps what it brought and the next one adds
// its own; a file that never arrived is not counted as done, so that a failed run's bar stays
// where the bytes left it; content the installation held counts its weight once staged.
TEST(RunProgress, OnlyWhatArrivedMovesTheBar) {
  TextView view;
  std::mutex lock;
  RunProgress progress(view, lock);
  progress.Begin(6000, 3, 3);
  {
    RunProgress::File reused(progress, 1000);
    reused.Arrived();
  }
  EXPECT_EQ(view.bytesDone, 1000u);
  EXPECT_EQ(view.filesDone, 1u);
  {
    RunProgress::File a(progress, 2000);
    RunProgress::File b(progress, 3000);
    EXPECT_TRUE(a.OnDownloadProgress(0, 0));
    EXPECT_TRUE(a.OnDownloadProgress(400, 1000));  // a's first form: 400 of its 1000
    EXPECT_TRUE(a.OnDownloadProgress(0, 0));       // that form failed: the next begins
    EXPECT_TRUE(a.OnDownloadProgress(500, 500));   // the second form whole
    a.Arrived();
    EXPECT_EQ(view.bytesDone, 1900u);
    EXPECT_TRUE(b.OnDownloadProgress(1500, 3000));  // b dies halfway
  }
  EXPECT_EQ(view.filesDone, 2u);
  EXPECT_EQ(view.bytesDone, 3400u);
  EXPECT_EQ(view.bytesTotal, 4900u);
  EXPECT_EQ(view.texts.back(), L"Đang tải 3.32 KB / 4.78 KB, 2/3 files");
  EXPECT_LT(view.positions.back(), 1000);
  for (std::size_t i = 1; i < view.positions.size(); ++i) EXPECT_GT(view.positions[i], view.positions[i - 1]);
}

// A list from an older publisher gives no sizes: such a file weighs the mean of the sizes given,
// or 1 MiB when none are, until its download says its length.
TEST(RunProgress, FilesWithoutAListedSizeWeighTheMeanOfTheOthers) {
  TextView view;
  std::mutex lock;
  RunProgress progress(view, lock);
  progress.Begin(3000, 2, 3);
  EXPECT_EQ(view.bytesTotal, 4500u);
  {
    RunProgress::File unsized(progress, 0);
    EXPECT_TRUE(unsized.OnDownloadProgress(10, 20));
    EXPECT_EQ(view.bytesTotal, 3020u);
  }
  progress.Begin(0, 0, 2);
  EXPECT_EQ(view.bytesTotal, 2u << 20);
  EXPECT_EQ(view.filesDone, 0u);
}

// The rate over the last ten seconds, and the time left at it.
TEST(DownloadPace, RateOfTheLastSecondsAndTimeLeft) {
  DownloadPace pace;
  const auto start = DownloadPace::Clock::now();
  using std::chrono::seconds;
  pace.Note(0, start);
  EXPECT_EQ(pace.Text(0, 1000), L"");
  pace.Note(500, start + std::chrono::milliseconds(500));
  EXPECT_EQ(pace.Text(500, 100000), L"");  // under a second: no rate yet
  pace.Note(10240, start + seconds(10));
  EXPECT_EQ(pace.Text(10240, 10240 + 1024 * 90), L", 1.00 KB/s, còn 1:30");
  // A link that slowed down: the first ten seconds no longer count.
  pace.Note(10240 + 1024 * 5, start + seconds(20));
  EXPECT_EQ(pace.Text(10240 + 1024 * 5, 10240 + 1024 * 5 + 512 * 7200), L", 512 bytes/s, còn 2:00:00");
  EXPECT_EQ(pace.Text(5000, 5000), L"");
}

TEST(FormatByteSize, ThreeSignificantDigitsCut) {
  const std::pair<std::uint64_t, const wchar_t*> cases[] = {
      {0, L"0 bytes"},         {1023, L"1023 bytes"},   {1024, L"1.00 KB"},        {1536, L"1.50 KB"},
      {10239, L"9.99 KB"},     {15360, L"15.0 KB"},     {153600, L"150 KB"},       {1048576, L"1.00 MB"},
      {1073741824, L"1.00 GB"}, {1022976, L"999 KB"},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(FormatByteSize(bytes), text) << bytes;
}

// The command line's sizes are decimal and rounded: 2,810,146 bytes are 2.81 MB, not "2.67 MB".
TEST(FormatByteSize, DecimalForTheCommandLine) {
  const std::pair<std::uint64_t, const wchar_t*> cases[] = {
      {1, L"1 byte"},          {999, L"999 bytes"},      {1000, L"1.00 kB"},     {1536, L"1.54 kB"},
      {2810146, L"2.81 MB"},   {29500, L"29.5 kB"},      {999999, L"1.00 MB"},   {150000000, L"150 MB"},
      {1000000000000, L"1.00 TB"},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(FormatByteSize(bytes, ByteUnits::Decimal), text) << bytes;
  EXPECT_EQ(FormatByteSize(1), L"1 byte");
}
