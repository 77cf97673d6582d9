#pragma once
// The run's reports of file checks and downloads to the view: the file being checked, then the
// progress of the downloads in bytes of the whole run.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "engine/run_view.h"
#include "services/status_callback.h"

// Whether the player has stopped the run (see RunSettings::stop).
inline bool Stopped(const std::atomic<bool>* stop) { return stop != nullptr && stop->load(); }

// Both answer false once the player has stopped the run (stop set), which cancels the check or
// the download at hand.
class CheckTexts final : public IStatusCallback {
 public:
  CheckTexts(RunView& view, const std::atomic<bool>* stop) : view_(view), stop_(stop) {}
  bool OnCheckFile(const std::wstring& name) override;
  bool OnDownloadProgress(std::uint64_t, std::uint64_t) override { return !Stopped(stop_); }

 private:
  RunView& view_;
  const std::atomic<bool>* stop_;
};

// The rate of a run's downloads over the last seconds, and the time left at that rate.
class DownloadPace {
 public:
  using Clock = std::chrono::steady_clock;
  // Notes that done bytes of the run have arrived by now.
  void Note(std::uint64_t done, Clock::time_point now);
  // ", 1.20 MB/s, còn 0:35" once a second of downloading has passed; empty before that and once
  // nothing is left.
  std::wstring Text(std::uint64_t done, std::uint64_t total, ByteUnits units = ByteUnits::Shell) const;

 private:
  std::deque<std::pair<Clock::time_point, std::uint64_t>> samples_;
};

// The downloads of a run, one after another or side by side, in bytes that cross the network.
// Before its download begins a file weighs the size the list gives it (a list from an older
// publisher gives none: such a file weighs the mean of the sizes given, or 1 MiB); once the
// server says how long the download is, it weighs that, and every byte that arrives counts,
// those of an attempt that failed too. A file whose content the installation already held
// counts its weight when it is staged; a file that failed keeps what arrived and no more, so
// that a failed run's bar stays where it was. The bar (0 to 1000) and "Đang tải X / Y, n/m
// files" with the rate and the time left follow, each time the whole permille changes; the bar
// never goes back. Each download reports through a File of its own; the view is called under
// the lock given, which the run also holds for its own calls from several workers.
class RunProgress {
 public:
  RunProgress(RunView& view, std::mutex& viewLock, const std::atomic<bool>* stop = nullptr)
      : view_(view), viewLock_(viewLock), stop_(stop) {}
  // The run's downloads: the sizes the list gives (listedBytes, of listedFiles files) and the
  // number of files; sets the bar's range.
  void Begin(std::uint64_t listedBytes, std::uint64_t listedFiles, std::uint64_t files);
  // What a file of the listed size (0: none given) weighs.
  std::uint64_t Weight(std::uint64_t listedSize) const { return listedSize > 0 ? listedSize : unlisted_; }

  class File final : public IStatusCallback {
   public:
    // listedSize: the file's size as the list gives it; 0 when it gives none.
    File(RunProgress& progress, std::uint64_t listedSize)
        : progress_(progress), expected_(progress.Weight(listedSize)) {}
    ~File();
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    bool OnCheckFile(const std::wstring&) override { return true; }
    bool OnDownloadProgress(std::uint64_t done, std::uint64_t total) override;
    // The file's content is staged: its download (or the installation's copy) is whole.
    void Arrived() { arrived_ = true; }

   private:
    friend class RunProgress;
    RunProgress& progress_;
    std::uint64_t expected_;          // what the file adds to the run's total
    std::uint64_t counted_ = 0;       // what it has added to the bytes done
    std::uint64_t attemptBase_ = 0;   // counted_ when the current attempt began
    std::uint64_t attemptDone_ = 0;   // the current attempt's bytes so far
    bool arrived_ = false;
  };

 private:
  void Update(File& file, std::uint64_t done, std::uint64_t total);
  void End(File& file);
  void Move(File& file, std::uint64_t counted, std::uint64_t expected);
  void Show();

  RunView& view_;
  std::mutex& viewLock_;
  const std::atomic<bool>* stop_;
  std::uint64_t unlisted_ = 1 << 20;
  int lastPermille_ = -1;
  std::uint64_t lastFiles_ = 0;
  DownloadPace pace_;
};

// A byte count as a short text the way the Windows shell shows sizes: "532 bytes", "1.50 KB",
// "15.0 MB", "150 GB" (three significant digits, truncated); decimal: "532 bytes", "1.54 kB",
// "2.81 MB" (1000 and 10^6 bytes, three significant digits, rounded). One byte is "1 byte".
std::wstring FormatByteSize(std::uint64_t bytes, ByteUnits units = ByteUnits::Shell);
