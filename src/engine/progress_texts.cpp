#include "engine/progress_texts.h"

#include <algorithm>
#include <cwchar>

#include "engine/player_words.h"
#include "services/language.h"

bool CheckTexts::OnCheckFile(const std::wstring& name) {
  view_.SetProgressStatus(Say(L"Đang kiểm tra tập tin [%s]...", L"Checking [%s]...", StatusName(name)));
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
  pace_ = DownloadPace();
  view_.SetProgressRange(0, 1000);
  Show();
}

RunProgress::File::~File() { progress_.End(*this); }

bool RunProgress::File::OnDownloadProgress(std::uint64_t done, std::uint64_t total) {
  progress_.Update(*this, done, total);
  return !Stopped(progress_.stop_);
}

void RunProgress::Move(File& file, std::uint64_t counted, std::uint64_t expected) {
  view_.bytesDone += counted - file.counted_;
  view_.bytesTotal = view_.bytesTotal - file.expected_ + expected;
  file.counted_ = counted;
  file.expected_ = expected;
}

void RunProgress::Update(File& file, std::uint64_t done, std::uint64_t total) {
  std::lock_guard<std::mutex> guard(viewLock_);
  // Another attempt (another address, another form) starts from its own zero, on top of what
  // the earlier ones brought.
  if ((done == 0 && total == 0) || done < file.attemptDone_) file.attemptBase_ = file.counted_;
  file.attemptDone_ = done;
  const std::uint64_t counted = file.attemptBase_ + (total > 0 ? std::min(done, total) : done);
  const std::uint64_t expected = total > 0 ? file.attemptBase_ + total : std::max(file.expected_, counted);
  Move(file, counted, expected);
  pace_.Note(view_.bytesDone, DownloadPace::Clock::now());
  Show();
}

void RunProgress::End(File& file) {
  std::lock_guard<std::mutex> guard(viewLock_);
  if (!file.arrived_) return;
  // Content the installation held arrives without a download and counts its weight; a download
  // that arrived weighs what came.
  if (file.counted_ == 0) {
    Move(file, file.expected_, file.expected_);
  } else {
    Move(file, file.counted_, file.counted_);
  }
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
  const std::wstring text = Say(L"Đang tải %s / %s, %s/%s files", L"Downloading %s / %s, file %s of %s",
                                FormatByteSize(view_.bytesDone, view_.units), FormatByteSize(total, view_.units),
                                std::to_wstring(view_.filesDone), std::to_wstring(view_.filesTotal));
  view_.SetProgressStatus(text + pace_.Text(view_.bytesDone, total, view_.units));
}

void DownloadPace::Note(std::uint64_t done, Clock::time_point now) {
  // The rate is measured over the last ten seconds: the oldest sample kept is the last one at
  // least that old.
  constexpr auto WINDOW = std::chrono::seconds(10);
  samples_.emplace_back(now, done);
  while (samples_.size() > 1 && now - samples_[1].first >= WINDOW) samples_.pop_front();
}

std::wstring DownloadPace::Text(std::uint64_t done, std::uint64_t total, ByteUnits units) const {
  if (samples_.size() < 2 || done >= total) return L"";
  const double seconds = std::chrono::duration<double>(samples_.back().first - samples_.front().first).count();
  if (seconds < 1.0 || samples_.back().second <= samples_.front().second) return L"";
  const double rate = static_cast<double>(samples_.back().second - samples_.front().second) / seconds;
  const auto left = static_cast<long long>(static_cast<double>(total - done) / rate + 0.5);
  wchar_t time[32];
  if (left >= 3600) {
    std::swprintf(time, 32, L"%lld:%02lld:%02lld", left / 3600, left / 60 % 60, left % 60);
  } else {
    std::swprintf(time, 32, L"%lld:%02lld", left / 60, left % 60);
  }
  return Say(L", %s/s, còn %s", L", %s/s, %s left", FormatByteSize(static_cast<std::uint64_t>(rate), units), time);
}

std::wstring FormatByteSize(std::uint64_t bytes, ByteUnits units) {
  const bool decimal = units == ByteUnits::Decimal;
  const double step = decimal ? 1000.0 : 1024.0;
  static const wchar_t* const SHELL_UNITS[] = {L"KB", L"MB", L"GB", L"TB", L"PB"};
  static const wchar_t* const DECIMAL_UNITS[] = {L"kB", L"MB", L"GB", L"TB", L"PB"};
  const wchar_t* const* names = decimal ? DECIMAL_UNITS : SHELL_UNITS;
  wchar_t text[32];
  if (bytes == 1) return L"1 byte";
  if (static_cast<double>(bytes) < step) {
    std::swprintf(text, 32, L"%u bytes", static_cast<unsigned>(bytes));
    return text;
  }
  double value = static_cast<double>(bytes) / step;
  int unit = 0;
  while (value >= 1000.0 && unit < 4) value /= step, ++unit;
  if (decimal) {
    // Rounded; a value that rounds up to 1000 reads as the next unit.
    if (value >= 999.5 && unit < 4) value /= 1000.0, ++unit;
    std::swprintf(text, 32, value < 9.995 ? L"%.2f %ls" : value < 99.95 ? L"%.1f %ls" : L"%.0f %ls", value, names[unit]);
    return text;
  }
  // Three significant digits, cut rather than rounded.
  if (value < 10.0) {
    std::swprintf(text, 32, L"%.2f %ls", static_cast<double>(static_cast<long long>(value * 100)) / 100, names[unit]);
  } else if (value < 100.0) {
    std::swprintf(text, 32, L"%.1f %ls", static_cast<double>(static_cast<long long>(value * 10)) / 10, names[unit]);
  } else {
    std::swprintf(text, 32, L"%lld %ls", static_cast<long long>(value), names[unit]);
  }
  return text;
}
