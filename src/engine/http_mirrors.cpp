#include "engine/http_mirrors.h"

#include <chrono>
#include <thread>

#include "engine/list_source.h"
#include "services/http.h"
#include "services/logger.h"

namespace {

// Failures that another attempt may mend: the network's, not the disk's or a missing file's.
bool WorthRetrying(StepCode code) {
  return code == DownloadCode::ShortBody || code == DownloadCode::RequestFailed || code == DownloadCode::NoInternet ||
         code == DownloadCode::Stalled;
}

}  // namespace

HttpMirrors::HttpMirrors(const ListSource& source, std::vector<int> retryDelaysMs)
    : source_(source), retryDelaysMs_(std::move(retryDelaysMs)) {}

bool HttpMirrors::DownloadLength(const FileEntry& entry, std::uint64_t& length) const {
  StepCode code;
  return RemoteLength(entry.Url(), source_.HostName(), length, code);
}

bool HttpMirrors::Bring(FileEntry& entry, const std::wstring& path) {
  return TryInTurn(entry, [&](const std::wstring& url, StepCode& code) {
    return ResumeDownloadFile(path, entry.callback, code, url, source_.HostName());
  });
}

bool HttpMirrors::BringRange(FileEntry& entry, const std::wstring& path, std::uint64_t from, std::uint64_t length) {
  return TryInTurn(entry, [&](const std::wstring& url, StepCode& code) {
    return DownloadByteRange(path, entry.callback, code, url, source_.HostName(), from, length);
  });
}

template <typename Download>
bool HttpMirrors::TryInTurn(FileEntry& entry, Download download) {
  StepCode& code = entry.outcome.code;
  const std::wstring& serverUrl = source_.ServerUrl();
  const std::wstring entryUrl = entry.Url();
  const std::wstring suffix =
      entryUrl.compare(0, serverUrl.size(), serverUrl) == 0 ? entryUrl.substr(serverUrl.size()) : std::wstring();
  const std::vector<std::wstring> bases = suffix.empty() ? std::vector<std::wstring>{L""} : AddressesInTurn();
  std::size_t retries = 0;
  std::size_t attempt = 0;
  for (std::size_t b = 0; b < bases.size();) {
    const std::wstring url = suffix.empty() ? entryUrl : bases[b] + suffix;
    ++attempt;
    if (download(url, code)) return true;
    entry.outcome.cause = LastDownloadCause();
    TheLogger().Write(LOG_WARNING, L"AutoUpdateApp: download of [" + url + L"] failed (code " +
                                       std::to_wstring(code.Number()) + L", attempt " + std::to_wstring(attempt) +
                                       L"): " + entry.outcome.cause);
    if (!WorthRetrying(code)) return false;
    if (code == DownloadCode::Stalled && b + 1 < bases.size()) {
      MarkHung(bases[b]);
      ++b;
    } else if (b == 0 && retries < retryDelaysMs_.size()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(retryDelaysMs_[retries++]));
    } else {
      ++b;
    }
  }
  return false;
}

std::vector<std::wstring> HttpMirrors::AddressesInTurn() const {
  std::vector<std::wstring> healthy{source_.ServerUrl()}, hung;
  for (const std::wstring& address : source_.Addresses()) {
    const std::wstring base = source_.Scheme() + L"://" + address + L"/" + source_.RootFolder();
    if (base != source_.ServerUrl()) healthy.push_back(base);
  }
  std::lock_guard<std::mutex> guard(hungLock_);
  for (auto it = healthy.begin(); it != healthy.end();) {
    if (hung_.count(*it) == 0) {
      ++it;
    } else {
      hung.push_back(*it);
      it = healthy.erase(it);
    }
  }
  healthy.insert(healthy.end(), hung.begin(), hung.end());
  return healthy;
}

void HttpMirrors::MarkHung(const std::wstring& base) {
  std::lock_guard<std::mutex> guard(hungLock_);
  if (hung_.insert(base).second) {
    TheLogger().Write(LOG_WARNING, L"AutoUpdateApp: [" + base + L"] hangs; this run takes the other addresses first");
  }
}
