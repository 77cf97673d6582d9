#include "engine/progress_texts.h"

#include <algorithm>
#include <cwchar>

bool CheckTexts::OnCheckFile(const std::wstring& name) {
  view_.SetStatus(L"Đang kiểm tra tập tin [" + name + L"]...");
  return !Stopped(stop_);
}

void RunProgress::Begin(std::uint64_t listedBytes, std::uint64_t listedFiles, std::uint64_t files) {
  std::lock_guard<std::mutex> guard(viewLock_);
  unlisted_ = listedFiles > 0 ? std::max<std::uint64_t>(1, listedBytes / listedFiles) : std::uint64_t{1} << 20;
  view_.bytesDone = 0;
  view_.bytesTotal = listedBytes + (files - std::min(files, listedFiles)) * unlisted_;
  view_.filesDone = 0;
  view_.filesTotal = files;
  lastPermille_ = -1;
  lastFiles_ = 0;
  view_.SetProgressRange(0, 1000);
  Show();
}

RunProgress::File::~File() { progress_.End(*this); }

bool RunProgress::File::OnDownloadProgress(std::uint64_t done, std::uint64_t total) {
  progress_.Update(*this, done, total);
  return !Stopped(progress_.stop_);
}

void RunProgress::Count(File& file, std::uint64_t share) {
  // A new attempt (another address, another form) starts from its own zero: the share never
  // goes back, so neither does the bar.
  if (share <= file.counted_) return;
  view_.bytesDone += share - file.counted_;
  file.counted_ = share;
}

void RunProgress::Update(File& file, std::uint64_t done, std::uint64_t total) {
  std::lock_guard<std::mutex> guard(viewLock_);
  const std::uint64_t share =
      total == 0 ? 0 : static_cast<std::uint64_t>(static_cast<double>(file.weight_) *
                                                  (static_cast<double>(std::min(done, total)) / static_cast<double>(total)));
  Count(file, std::min(share, file.weight_));
  Show();
}

void RunProgress::End(File& file) {
  std::lock_guard<std::mutex> guard(viewLock_);
  Count(file, file.weight_);
  if (view_.filesDone < view_.filesTotal) ++view_.filesDone;
  Show();
}

void RunProgress::Show() {
  const std::uint64_t total = std::max(view_.bytesTotal, view_.bytesDone);
  const int permille = total == 0 ? 0 : static_cast<int>(static_cast<double>(view_.bytesDone) * 1000.0 /
                                                        static_cast<double>(total));
  if (permille <= lastPermille_ && view_.filesDone == lastFiles_) return;
  if (permille > lastPermille_) view_.SetProgressPosition(permille);
  lastPermille_ = std::max(lastPermille_, permille);
  lastFiles_ = view_.filesDone;
  wchar_t text[256];
  std::swprintf(text, 256, L"Đang tải %ls / %ls, %llu/%llu files", FormatByteSize(view_.bytesDone).c_str(),
                FormatByteSize(total).c_str(), static_cast<unsigned long long>(view_.filesDone),
                static_cast<unsigned long long>(view_.filesTotal));
  view_.SetStatus(text);
}

std::wstring FormatByteSize(std::uint64_t bytes) {
  static const wchar_t* const UNITS[] = {L"KB", L"MB", L"GB", L"TB", L"PB"};
  wchar_t text[32];
  if (bytes < 1024) {
    std::swprintf(text, 32, L"%u bytes", static_cast<unsigned>(bytes));
    return text;
  }
  double value = static_cast<double>(bytes) / 1024.0;
  int unit = 0;
  while (value >= 1000.0 && unit < 4) value /= 1024.0, ++unit;
  // Three significant digits, cut rather than rounded.
  if (value < 10.0) {
    std::swprintf(text, 32, L"%.2f %ls", static_cast<double>(static_cast<long long>(value * 100)) / 100, UNITS[unit]);
  } else if (value < 100.0) {
    std::swprintf(text, 32, L"%.1f %ls", static_cast<double>(static_cast<long long>(value * 10)) / 10, UNITS[unit]);
  } else {
    std::swprintf(text, 32, L"%lld %ls", static_cast<long long>(value), UNITS[unit]);
  }
  return text;
}
