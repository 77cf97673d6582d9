#include "engine/progress_texts.h"

#include <cwchar>

bool ProgressTexts::OnCheckFile(const std::wstring& name) {
  view_.SetStatus(L"Đang kiểm tra tập tin [" + name + L"]...");
  return true;
}

bool ProgressTexts::OnDownloadProgress(std::uint32_t done, std::uint32_t total) {
  wchar_t text[256];
  if (total != 0) {
    const int percent = static_cast<int>(static_cast<double>(done) * 100.0 / static_cast<double>(total));
    if (percent == lastPercent_) return true;
    lastPercent_ = percent;
    std::swprintf(text, 256, L"Đang tải %ls / %ls, %u/%u files", FormatByteSize(done).c_str(),
                  FormatByteSize(total).c_str(), unsigned{view_.filesDone}, unsigned{view_.filesTotal});
  } else {
    ++view_.filesDone;
    std::swprintf(text, 256, L"Đang tải ..., %u/%u files", unsigned{view_.filesDone}, unsigned{view_.filesTotal});
  }
  view_.SetStatus(text);
  return true;
}

ParallelProgressTexts::File::~File() { texts_.End(*this); }

bool ParallelProgressTexts::File::OnDownloadProgress(std::uint32_t done, std::uint32_t total) {
  texts_.Update(*this, done, total);
  return true;
}

void ParallelProgressTexts::Update(File& file, std::uint32_t done, std::uint32_t total) {
  std::lock_guard<std::mutex> guard(viewLock_);
  // (0, 0) starts the file, or an attempt at it again: what the last attempt counted goes.
  done_ = done_ - file.done_ + done;
  total_ = total_ - file.total_ + total;
  file.done_ = done;
  file.total_ = total;
  wchar_t text[256];
  if (done == 0 && total == 0) {
    std::swprintf(text, 256, L"Đang tải ..., %u/%u files", unsigned{view_.filesDone}, unsigned{view_.filesTotal});
  } else {
    const int percent =
        total_ == 0 ? 100 : static_cast<int>(static_cast<double>(done_) * 100.0 / static_cast<double>(total_));
    if (percent == lastPercent_) return;
    lastPercent_ = percent;
    std::swprintf(text, 256, L"Đang tải %ls / %ls, %u/%u files", FormatByteSize(done_).c_str(),
                  FormatByteSize(total_).c_str(), unsigned{view_.filesDone}, unsigned{view_.filesTotal});
  }
  view_.SetStatus(text);
}

void ParallelProgressTexts::End(File& file) {
  std::lock_guard<std::mutex> guard(viewLock_);
  done_ -= file.done_;
  total_ -= file.total_;
  ++view_.filesDone;
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
