#include "engine/player_words.h"

#include <gtest/gtest.h>

namespace {

NetworkNotes ServerAhead(long long seconds) {
  NetworkNotes notes;
  notes.serverTimeKnown = true;
  notes.serverAheadSeconds = seconds;
  return notes;
}

FailureFacts Refused(const wchar_t* cause, NetworkNotes network = {}) {
  FailureFacts facts;
  facts.code = TrustCode::Refused;
  facts.cause = cause;
  facts.network = network;
  return facts;
}

constexpr long long DAY = 86400;
const wchar_t* const EXPIRED = L"[filelist.enc]: the signature expired on 2026-12-08 12:00 UTC";
const wchar_t* const FUTURE = L"[filelist.enc]: the signature is dated 2027-02-01 (check the computer's clock)";

}  // namespace

// A signature refused for its time is the computer's clock when the server's Date disagrees with
// it by more than a day, whichever way the refusal went; else the publisher's.
TEST(FailureWords, AClockJudgedAgainstTheServersDate) {
  EXPECT_EQ(FailureWords(Refused(EXPIRED, ServerAhead(-60 * DAY))),
            L"Đồng hồ của máy tính đang nhanh 60 ngày so với máy chủ. Vui lòng chỉnh lại ngày giờ rồi thử lại.");
  EXPECT_EQ(FailureWords(Refused(FUTURE, ServerAhead(3 * DAY + 100))),
            L"Đồng hồ của máy tính đang chậm 3 ngày so với máy chủ. Vui lòng chỉnh lại ngày giờ rồi thử lại.");
  EXPECT_EQ(FailureWords(Refused(EXPIRED, ServerAhead(-DAY / 2))),
            L"Bản cập nhật chưa được gia hạn chữ ký. Vui lòng thử lại sau.");
  EXPECT_EQ(FailureWords(Refused(EXPIRED)), L"Bản cập nhật chưa được gia hạn chữ ký. Vui lòng thử lại sau.");
  EXPECT_EQ(FailureWords(Refused(FUTURE)), L"Ngày giờ của máy tính không đúng. Vui lòng chỉnh lại đồng hồ rồi thử lại.");
  EXPECT_EQ(FailureWords(Refused(FUTURE, ServerAhead(60))),
            L"Chữ ký của bản cập nhật chưa có hiệu lực. Vui lòng thử lại sau.");
  // A refusal for another reason is no matter of time, whatever the clock.
  EXPECT_EQ(FailureWords(Refused(L"[filelist.enc]: no trusted key signed it", ServerAhead(-60 * DAY))), L"");
}

TEST(FailureWords, NamesTheHeldFileTheProxyTheCertificateAndTheFolder) {
  FailureFacts held;
  held.code = CommitCode::FileInUse;
  held.heldFile = L"data\\b.dat";
  held.holders = L"scanner.exe (pid 1234)";
  EXPECT_EQ(FailureWords(held),
            L"Tập tin [data\\b.dat] đang được scanner.exe (pid 1234) sử dụng. Vui lòng đóng chương trình đó rồi thử lại.");
  held.holders.clear();
  EXPECT_NE(FailureWords(held).find(L"đang được chương trình khác sử dụng"), std::wstring::npos);
  held.code = CheckCode::UnreadableFile;
  EXPECT_EQ(FailureWords(held), L"Không đọc được tập tin [data\\b.dat]: tập tin bị khóa hoặc không có quyền đọc.");
  held.heldFile = L"data\\" + std::wstring(100, L'x') + L".pak";
  EXPECT_EQ(FailureWords(held), L"Không đọc được tập tin [data\\xxxxxxxxxxxxxxx\u2026" + std::wstring(35, L'x') +
                                    L".pak]: tập tin bị khóa hoặc không có quyền đọc.");

  FailureFacts network;
  network.code = ConnectCode::NoProbe;
  EXPECT_EQ(FailureWords(network), L"");
  network.network.proxyDown = true;
  EXPECT_EQ(FailureWords(network), L"Không kết nối được tới máy chủ proxy. Vui lòng kiểm tra cài đặt proxy.");
  network.network.proxySignIn = true;
  EXPECT_EQ(FailureWords(network), L"Máy chủ proxy yêu cầu đăng nhập. Vui lòng kiểm tra tên và mật khẩu proxy.");
  network.network.certificate = true;
  EXPECT_EQ(FailureWords(network), L"Máy tính không tin chứng chỉ của máy chủ. Vui lòng kiểm tra ngày giờ và phần mềm diệt virus.");
  // A wrong clock fails every certificate: the clock is what to mend.
  network.network.serverTimeKnown = true;
  network.network.serverAheadSeconds = 400 * DAY;
  EXPECT_EQ(FailureWords(network).rfind(L"Đồng hồ của máy tính đang chậm 400 ngày", 0), 0u);

  FailureFacts folder;
  folder.code = CommitCode::MoveFailed;
  folder.folderLocked = true;
  folder.lockedFolder = L"data";
  EXPECT_EQ(FailureWords(folder), L"Không ghi được vào thư mục [data]. Vui lòng cấp quyền ghi cho thư mục này rồi thử lại.");
  EXPECT_EQ(UnwritableFolderWords(L""),
            L"Không ghi được vào thư mục trò chơi. Vui lòng cấp quyền ghi cho thư mục này rồi thử lại.");
}
