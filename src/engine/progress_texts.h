#pragma once
// The run's reports of file checks and downloads, as status texts of the view: the file being
// checked, then for each download "Đang tải ..., n/m files" at its start and the sizes so far
// each time the whole percentage changes. It always answers true: the user never cancels.
#include <cstdint>
#include <mutex>
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

// The same texts for downloads made by several workers at once: the sizes are the sums over the
// files in flight, and "n/m files" counts the files that have ended. Each worker reports through
// a File of its own; the view is called under the lock given, which the run also holds for its
// own calls from the workers.
class ParallelProgressTexts {
 public:
  ParallelProgressTexts(RunView& view, std::mutex& viewLock) : view_(view), viewLock_(viewLock) {}

  class File final : public IStatusCallback {
   public:
    explicit File(ParallelProgressTexts& texts) : texts_(texts) {}
    ~File();
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    bool OnCheckFile(const std::wstring&) override { return true; }
    bool OnDownloadProgress(std::uint32_t done, std::uint32_t total) override;

   private:
    friend class ParallelProgressTexts;
    ParallelProgressTexts& texts_;
    std::uint64_t done_ = 0;
    std::uint64_t total_ = 0;
  };

 private:
  void Update(File& file, std::uint32_t done, std::uint32_t total);
  void End(File& file);

  RunView& view_;
  std::mutex& viewLock_;
  std::uint64_t done_ = 0;   // sums over the files in flight
  std::uint64_t total_ = 0;
  int lastPercent_ = -1;
};

// A byte count as a short text the way the Windows shell shows sizes: "532 bytes", "1.50 KB",
// "15.0 MB", "150 GB" (three significant digits, truncated).
std::wstring FormatByteSize(std::uint64_t bytes);
