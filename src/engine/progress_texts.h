#pragma once
// The run's reports of file checks and downloads, as status texts of the view: the file being
// checked, then for each download "Đang tải ..., n/m files" at its start and the sizes so far
// each time the whole percentage changes. It always answers true: the user never cancels.
#include <cstdint>
#include <string>

#include "engine/run_view.h"
#include "services/status_callback.h"

class ProgressTexts final : public IStatusCallback {
 public:
  explicit ProgressTexts(RunView& view) : view_(view) {}
  bool OnCheckFile(const std::wstring& name) override;
  bool OnDownloadProgress(std::uint32_t done, std::uint32_t total) override;

 private:
  RunView& view_;
  int lastPercent_ = 0;
};

// A byte count as a short text the way the Windows shell shows sizes: "532 bytes", "1.50 KB",
// "15.0 MB", "150 GB" (three significant digits, truncated).
std::wstring FormatByteSize(std::uint64_t bytes);
