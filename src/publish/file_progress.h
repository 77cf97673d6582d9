#pragma once
// What a long build or verify shows while it works through the files. A file of hundreds of MB
// takes minutes to pack and patch, and a command that says nothing meanwhile looks hung. On a terminal one line is redrawn
// every second: the files and bytes done of the whole, the rate, the time left, and the file
// worked on longest with the time it has taken so far. Off a terminal (a CI log) one line for each
// file that took longer than a few seconds, and one for the whole at its end: the log shows what
// was slow without a line for each of thousands of files.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>

class FileProgress {
 public:
  // done: the word of the closing line, "packed" or "checked".
  FileProgress(std::size_t files, std::uint64_t bytes, bool terminal, const wchar_t* done);
  ~FileProgress();
  FileProgress(const FileProgress&) = delete;
  FileProgress& operator=(const FileProgress&) = delete;

  // A worker takes a file of the release, and is done with it.
  void Started(const std::wstring& name, std::uint64_t size);
  void Finished(const std::wstring& name, std::uint64_t size);
  // A worker goes on to another step of the file ("packing with zstd", "patch from 2.0"): the
  // terminal's line names the step the slowest file is in; off a terminal a step that took
  // longer than a few seconds gets its line when it ends.
  void Step(const std::wstring& name, const std::wstring& step);
  // How much of the file's present step is done, 0 to 1, for the terminal's line.
  void StepShare(const std::wstring& name, double share);
  // The whole's closing line; said once, by the first call or the destructor.
  void End();
  // From now on, off a terminal, every file gets its line however quickly it was done (-v).
  static void NameEveryFile();

 private:
  using Clock = std::chrono::steady_clock;
  struct Work {
    Clock::time_point start;
    std::wstring step;
    Clock::time_point stepStart;
    double share = -1;  // of the step done; unknown when negative
  };
  void Tick();
  void EndStep(const std::wstring& name, const Work& work, Clock::time_point now);
  std::wstring WholeText(Clock::time_point now) const;

  const std::size_t files_;
  const std::uint64_t bytes_;
  const bool terminal_;
  const wchar_t* const done_;
  const Clock::time_point start_ = Clock::now();
  std::chrono::seconds slowFile_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::size_t filesDone_ = 0;
  std::uint64_t bytesDone_ = 0;
  std::map<std::wstring, Work> working_;
  bool ended_ = false;
  std::thread ticker_;
};
