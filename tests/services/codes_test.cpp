#include "services/codes.h"

#include <gtest/gtest.h>

#include "services/text.h"

// The numbers and names are what players' logs and support's scripts read: a renumbered or
// renamed code breaks them without a compiler noticing.
TEST(StepCodes, KeepTheNumbersAndNamesTheLogsPrint) {
  const struct {
    StepCode code;
    int number;
    const wchar_t* name;
  } kept[] = {
      {DownloadCode::CannotCreate, 1, L"HTTP_CANNOT_CREATE"}, {DownloadCode::DiskFull, 9, L"HTTP_DISK_FULL"},
      {DownloadCode::RequestFailed, 21, L"HTTP_REQUEST_FAILED"}, {DownloadCode::NotFound, 24, L"HTTP_NOT_FOUND"},
      {DownloadCode::Stalled, 41, L"HTTP_STALLED"}, {DownloadCode::ShortBody, 45, L"HTTP_SHORT_BODY"},
      {CheckCode::NoList, 3, L"CHECK_NO_LIST"}, {ConnectCode::NoProbe, 28, L"CONNECT_NO_PROBE"},
      {DescriptionCode::NoStamp, 32, L"DESCRIPTION_NO_STAMP"}, {StageCode::BadContent, 33, L"STAGE_BAD_CONTENT"},
      {StageCode::Unverified, 38, L"STAGE_UNVERIFIED"}, {CommitCode::FileInUse, 39, L"COMMIT_FILE_IN_USE"},
      {SelfUpdateCode::Repeated, 42, L"SELF_UPDATE_REPEATED"}, {SelfUpdateCode::HelperFailed, 44, L"HELPER_FAILED"},
      {TrustCode::Refused, 37, L"SIGNATURE_REFUSED"},
  };
  for (const auto& [code, number, name] : kept) {
    EXPECT_EQ(code.Number(), number) << WideToUtf8(name);
    EXPECT_EQ(DescribeCode(code).rfind(std::wstring(name) + L" (", 0), 0u) << WideToUtf8(DescribeCode(code));
    EXPECT_FALSE(code.Succeeded()) << WideToUtf8(name);
  }
}

TEST(StepCodes, SuccessIsZeroAndNothingElseIsAndFamiliesSharingANumberDiffer) {
  EXPECT_TRUE(StepCode().Succeeded());
  EXPECT_EQ(StepCode().Number(), 0);
  EXPECT_EQ(StepCode(DownloadCode::Cancelled).Number(), StepCode(CheckCode::Cancelled).Number());
  EXPECT_NE(StepCode(DownloadCode::Cancelled), StepCode(CheckCode::Cancelled));
  EXPECT_EQ(StepCode(DownloadCode::Cancelled), DownloadCode::Cancelled);
  EXPECT_NE(StepCode(ConnectCode::NoStamp), DescriptionCode::NoStamp);
}
