#include "engine/player_words.h"

#include <cstdlib>

#include "services/language.h"

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
  return network.serverAheadSeconds < 0
             ? Say(L"Đồng hồ của máy tính đang nhanh %s ngày so với máy chủ. Vui lòng chỉnh lại ngày giờ rồi thử lại.",
                   L"This computer's clock is %s days ahead of the server's. Please set the date and time, then try again.",
                   std::to_wstring(days))
             : Say(L"Đồng hồ của máy tính đang chậm %s ngày so với máy chủ. Vui lòng chỉnh lại ngày giờ rồi thử lại.",
                   L"This computer's clock is %s days behind the server's. Please set the date and time, then try again.",
                   std::to_wstring(days));
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
    return Say(L"Ngày giờ của máy tính không đúng. Vui lòng chỉnh lại đồng hồ rồi thử lại.",
               L"This computer's date and time are wrong. Please set the clock, then try again.");
  }
  if (future) {
    return Say(L"Chữ ký của bản cập nhật chưa có hiệu lực. Vui lòng thử lại sau.",
               L"The update's signature is not valid yet. Please try again later.");
  }
  return Say(L"Bản cập nhật chưa được gia hạn chữ ký. Vui lòng thử lại sau.",
             L"The update's signature has not been renewed. Please try again later.");
}

}  // namespace

std::wstring StatusName(const std::wstring& name) {
  constexpr std::size_t MOST = 60, HEAD = 20;
  if (name.size() <= MOST) return name;
  return name.substr(0, HEAD) + L"\u2026" + name.substr(name.size() - (MOST - HEAD - 1));
}

std::wstring UnwritableFolderWords(const std::wstring& folder) {
  if (folder.empty()) {
    return Say(L"Không ghi được vào thư mục trò chơi. Vui lòng cấp quyền ghi cho thư mục này rồi thử lại.",
               L"The game's folder cannot be written. Please allow writing to it, then try again.");
  }
  return Say(L"Không ghi được vào thư mục [%s]. Vui lòng cấp quyền ghi cho thư mục này rồi thử lại.",
             L"The folder [%s] cannot be written. Please allow writing to it, then try again.", StatusName(folder));
}

std::wstring FailureWords(const FailureFacts& facts) {
  const NetworkNotes& network = facts.network;
  if (facts.code == TrustCode::Refused) return TrustWords(facts);
  if (facts.code == CommitCode::FileInUse) {
    const std::wstring holder =
        facts.holders.empty() ? Say(L"chương trình khác", L"another program") : StatusName(facts.holders);
    return Say(L"Tập tin [%s] đang được %s sử dụng. Vui lòng đóng chương trình đó rồi thử lại.",
               L"The file [%s] is in use by %s. Please close that program, then try again.", StatusName(facts.heldFile),
               holder);
  }
  if (facts.code == CheckCode::UnreadableFile) {
    if (facts.holders.empty()) {
      return Say(L"Không đọc được tập tin [%s]: tập tin bị khóa hoặc không có quyền đọc.",
                 L"The file [%s] cannot be read: it is locked, or reading it is not allowed.", StatusName(facts.heldFile));
    }
    return Say(L"Không đọc được tập tin [%s]: tập tin đang được %s sử dụng.",
               L"The file [%s] cannot be read: %s is using it.", StatusName(facts.heldFile), StatusName(facts.holders));
  }
  if (facts.folderLocked) return UnwritableFolderWords(facts.lockedFolder);
  if (network.certificate) {
    // A certificate is valid for a span of time: a wrong clock fails every one of them.
    if (ClockIsOff(network)) return ClockWords(network);
    return Say(L"Máy tính không tin chứng chỉ của máy chủ. Vui lòng kiểm tra ngày giờ và phần mềm diệt virus.",
               L"This computer does not trust the server's certificate. Please check the date and time and the "
               L"antivirus.");
  }
  if (network.proxySignIn) {
    return Say(L"Máy chủ proxy yêu cầu đăng nhập. Vui lòng kiểm tra tên và mật khẩu proxy.",
               L"The proxy asks for a sign-in. Please check the proxy's user name and password.");
  }
  if (network.proxyDown) {
    return Say(L"Không kết nối được tới máy chủ proxy. Vui lòng kiểm tra cài đặt proxy.",
               L"The proxy cannot be reached. Please check the proxy settings.");
  }
  return L"";
}
