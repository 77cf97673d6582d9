#include "engine/player_words.h"

#include <cstdlib>

namespace {

constexpr long long DAY_SECONDS = 24 * 60 * 60;

bool Says(const std::wstring& text, const wchar_t* words) { return text.find(words) != std::wstring::npos; }

// The computer's clock, judged against the server's Date: more than a day apart is the computer's
// fault, which no waiting mends.
bool ClockIsOff(const NetworkNotes& network) {
  return network.serverTimeKnown && std::llabs(network.serverAheadSeconds) > DAY_SECONDS;
}

std::wstring ClockWords(const NetworkNotes& network) {
  const long long days = (std::llabs(network.serverAheadSeconds) + DAY_SECONDS / 2) / DAY_SECONDS;
  return L"Đồng hồ của máy tính đang " + std::wstring(network.serverAheadSeconds < 0 ? L"nhanh" : L"chậm") + L" " +
         std::to_wstring(days) + L" ngày so với máy chủ. Vui lòng chỉnh lại ngày giờ rồi thử lại.";
}

// A signature refused for its time: the publisher's lapse (try later), or the computer's clock.
std::wstring TrustWords(const FailureFacts& facts) {
  const bool future = Says(facts.cause, L"check the computer's clock");
  const bool expired = Says(facts.cause, L"signature expired");
  if (!future && !expired) return L"";
  if (ClockIsOff(facts.network)) return ClockWords(facts.network);
  // Without the server's time the refusal's own reason decides; with it, a signature whose time
  // the server agrees with is the publisher's.
  if (future && !facts.network.serverTimeKnown) {
    return L"Ngày giờ của máy tính không đúng. Vui lòng chỉnh lại đồng hồ rồi thử lại.";
  }
  if (future) return L"Chữ ký của bản cập nhật chưa có hiệu lực. Vui lòng thử lại sau.";
  return L"Bản cập nhật chưa được gia hạn chữ ký. Vui lòng thử lại sau.";
}

}  // namespace

std::wstring StatusName(const std::wstring& name) {
  constexpr std::size_t MOST = 60, HEAD = 20;
  if (name.size() <= MOST) return name;
  return name.substr(0, HEAD) + L"\u2026" + name.substr(name.size() - (MOST - HEAD - 1));
}

std::wstring UnwritableFolderWords(const std::wstring& folder) {
  return (folder.empty() ? std::wstring(L"Không ghi được vào thư mục trò chơi.")
                         : L"Không ghi được vào thư mục [" + StatusName(folder) + L"].") +
         L" Vui lòng cấp quyền ghi cho thư mục này rồi thử lại.";
}

std::wstring FailureWords(const FailureFacts& facts) {
  const NetworkNotes& network = facts.network;
  if (facts.code == TrustCode::Refused) return TrustWords(facts);
  if (facts.code == CommitCode::FileInUse) {
    return L"Tập tin [" + StatusName(facts.heldFile) + L"] đang được " +
           (facts.holders.empty() ? std::wstring(L"chương trình khác") : StatusName(facts.holders)) +
           L" sử dụng. Vui lòng đóng chương trình đó rồi thử lại.";
  }
  if (facts.code == CheckCode::UnreadableFile) {
    return L"Không đọc được tập tin [" + StatusName(facts.heldFile) + L"]: tập tin " +
           (facts.holders.empty() ? std::wstring(L"bị khóa hoặc không có quyền đọc.")
                                  : L"đang được " + StatusName(facts.holders) + L" sử dụng.");
  }
  if (facts.folderLocked) return UnwritableFolderWords(facts.lockedFolder);
  if (network.certificate) {
    // A certificate is valid for a span of time: a wrong clock fails every one of them.
    if (ClockIsOff(network)) return ClockWords(network);
    return L"Máy tính không tin chứng chỉ của máy chủ. Vui lòng kiểm tra ngày giờ và phần mềm diệt virus.";
  }
  if (network.proxySignIn) return L"Máy chủ proxy yêu cầu đăng nhập. Vui lòng kiểm tra tên và mật khẩu proxy.";
  if (network.proxyDown) return L"Không kết nối được tới máy chủ proxy. Vui lòng kiểm tra cài đặt proxy.";
  return L"";
}
