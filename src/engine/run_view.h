#pragma once
// What an update run shows, and where: the Windows window implements it with its messages and
// control calls, the headless updater with a progress line. The run calls it from its own thread
// and from its download workers, one call at a time (the workers under the run's view lock), and
// the calls take effect in the order they are made. SetStatus and ShowVersion have
// taken effect when they return (the window sets the control's text, which waits for the
// window's thread); the progress calls are queued (the window posts them to its thread) and may
// take effect a moment later; Warn and ReportError are written at once.
#include <cstdint>
#include <string>

// How byte counts read: as the Windows shell shows sizes (KB = 1024 bytes), which the window keeps
// as every Windows program does; or decimal (kB = 1000, MB = 10^6 bytes), as command-line tools
// say them.
enum class ByteUnits { Shell, Decimal };

class RunView {
 public:
  virtual void SetStatus(const std::wstring& text) = 0;
  // A status that says how far repeated work has come (the file being checked, the bytes
  // downloaded): one of many in a row, of which a front end may show only some.
  virtual void SetProgressStatus(const std::wstring& text) { SetStatus(text); }
  // Sets the version label's text and shows the label.
  virtual void ShowVersion(const std::wstring& text) = 0;
  // One step of the progress bar; it stops at the upper bound.
  virtual void StepProgress() = 0;
  virtual void SetProgressRange(int lower, int upper) = 0;
  // A position outside the range is ignored.
  virtual void SetProgressPosition(int position) = 0;
  // Why a run failed, once, at its end: the first failed step, what it worked on and the cause.
  virtual void ReportError(const std::wstring&) {}

  // Written by the run and its progress while the run lasts: the files whose download has ended
  // and the bytes of the run's files (as the list gives their sizes) that have arrived, each of
  // their totals.
  ByteUnits units = ByteUnits::Shell;  // set by the front end before the run
  std::wstring checkFailedName;
  std::uint64_t filesDone = 0;
  std::uint64_t filesTotal = 0;
  std::uint64_t bytesDone = 0;
  std::uint64_t bytesTotal = 0;

 protected:
  ~RunView() = default;
};
