// Reports read back from access logs: only the product's, whatever the log's format, and nothing
// that a hostile request could slip into the counts.
#include "publish/rollout_status.h"

#include <gtest/gtest.h>

#include <fstream>

#include "support/temp_folder.h"

namespace fs = std::filesystem;

TEST(RolloutStatusTest, ReportsAreCountedPerChannelVersionAndCodeInAnyLogFormat) {
  TempFolder folder;
  {
    std::ofstream combined(folder.path() / "combined.log");
    combined << "10.0.0.1 - - [09/Dec/2026:10:00:00 +0000] \"GET /velora/report/stable/2.1/ok/bucket-17 HTTP/1.1\" "
                "404 153 \"-\" \"-\"\n"
             << "10.0.0.2 - - [09/Dec/2026:10:00:01 +0000] \"GET /velora/report/stable/2.1/STAGE_BAD_CONTENT/bucket-9 "
                "HTTP/1.1\" 404 153 \"-\" \"-\"\n"
             << "10.0.0.3 - - [09/Dec/2026:10:00:02 +0000] \"GET /velora/report/beta/2.2/ok/bucket-1 HTTP/1.1\" 404\n"
             // Another product, a list, requests that are no report.
             << "10.0.0.4 - - [09/Dec/2026:10:00:03 +0000] \"GET /other/report/stable/2.1/ok/bucket-1 HTTP/1.1\" 404\n"
             << "10.0.0.5 - - \"GET /velora/filelist.enc HTTP/1.1\" 200\n"
             << "10.0.0.6 - - \"GET /velora/report/stable HTTP/1.1\" 404\n"
             << "10.0.0.7 - - \"GET /velora/report/stable/2.1/%3Cscript%3E/bucket-1 HTTP/1.1\" 404\n"
             << "10.0.0.8 - - \"GET /velora/report/stable/../2.1/ok HTTP/1.1\" 404\n";
    std::ofstream paths(folder.path() / "paths.log");
    paths << "/velora/report/stable/2.1/ok/bucket-3\n/velora/report/stable/2.0/ok/bucket-4\n";
  }
  ReportCounts counts;
  std::string error;
  ASSERT_TRUE(CountReports({folder.path() / "combined.log", folder.path() / "paths.log"}, L"velora/", counts, error))
      << error;
  ASSERT_EQ(counts.size(), 2u);
  const ReportCount& rolled = counts["stable"]["2.1"];
  EXPECT_EQ(rolled.total, 3u);
  EXPECT_EQ(rolled.ok, 2u);
  EXPECT_EQ(rolled.failures.at("STAGE_BAD_CONTENT"), 1u);
  EXPECT_EQ(counts["stable"]["2.0"].total, 1u);
  EXPECT_EQ(counts["beta"]["2.2"].ok, 1u);
  EXPECT_EQ(counts["stable"].size(), 2u);

  EXPECT_FALSE(CountReports({folder.path() / "missing.log"}, L"velora/", counts, error));
  EXPECT_NE(error.find("missing.log"), std::string::npos);
}
