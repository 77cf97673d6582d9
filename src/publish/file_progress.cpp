#include "publish/file_progress.h"

#include <atomic>
#include <cstdlib>

#include "publish/release.h"
#include "services/text.h"
#include "services/platform.h"

namespace {

std::atomic<bool> everyFile{false};

// How long a file must take before a log line names it: 0 with -v; ZEPO_PUBLISH_SLOW_FILE_SECONDS
// sets it for the tests, which have no file that takes seconds.
std::chrono::seconds SlowFileLimit() {
  if (everyFile) return std::chrono::seconds(0);
  const char* value = std::getenv("ZEPO_PUBLISH_SLOW_FILE_SECONDS");
  return std::chrono::seconds(value != nullptr ? std::atol(value) : 5);
}

std::wstring Duration(std::chrono::steady_clock::duration span) {
  const long long seconds = std::chrono::duration_cast<std::chrono::seconds>(span).count();
  if (seconds < 60) return std::to_wstring(seconds) + L" s";
  return std::to_wstring(seconds / 60) + L" min " + std::to_wstring(seconds % 60) + L" s";
}

}  // namespace

FileProgress::FileProgress(std::size_t files, std::uint64_t bytes, bool terminal, const wchar_t* done)
    : files_(files), bytes_(bytes), terminal_(terminal), done_(done), slowFile_(SlowFileLimit()) {
  if (terminal_) ticker_ = std::thread([this] { Tick(); });
}

FileProgress::~FileProgress() { End(); }

void FileProgress::Started(const std::wstring& name, std::uint64_t) {
  std::lock_guard<std::mutex> guard(lock_);
  const auto now = Clock::now();
  working_[name] = {now, L"", now};
}

void FileProgress::Step(const std::wstring& name, const std::wstring& step) {
  std::lock_guard<std::mutex> guard(lock_);
  const auto work = working_.find(name);
  if (work == working_.end()) return;
  const auto now = Clock::now();
  EndStep(name, work->second, now);
  work->second.step = step;
  work->second.stepStart = now;
  work->second.share = -1;
}

void FileProgress::StepShare(const std::wstring& name, double share) {
  std::lock_guard<std::mutex> guard(lock_);
  const auto work = working_.find(name);
  if (work != working_.end()) work->second.share = share;
}

void FileProgress::EndStep(const std::wstring& name, const Work& work, Clock::time_point now) {
  if (terminal_ || work.step.empty() || now - work.stepStart < slowFile_) return;
  WriteStdout(L"  " + name + L": " + work.step + L" took " + Duration(now - work.stepStart) + L"\n");
}

void FileProgress::Finished(const std::wstring& name, std::uint64_t size) {
  std::lock_guard<std::mutex> guard(lock_);
  const auto now = Clock::now();
  const auto started = working_.find(name);
  const auto took = started == working_.end() ? Clock::duration::zero() : now - started->second.start;
  if (started != working_.end()) {
    EndStep(name, started->second, now);
    working_.erase(started);
  }
  ++filesDone_;
  bytesDone_ += size;
  if (!terminal_ && took >= slowFile_) {
    WriteStdout(L"  " + name + L" (" + AnsiToWide(ByteSize(size)) + L") took " + Duration(took) + L"; " +
                WholeText(now) + L"\n");
  }
}

void FileProgress::End() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (ended_) return;
    ended_ = true;
  }
  changed_.notify_all();
  if (ticker_.joinable()) ticker_.join();
  std::lock_guard<std::mutex> guard(lock_);
  WriteStdout(std::wstring(terminal_ ? L"\r\x1b[2K" : L"") + done_ + std::wstring(L" ") + WholeText(Clock::now()) + L"\n");
}

std::wstring FileProgress::WholeText(Clock::time_point now) const {
  const double seconds = std::chrono::duration<double>(now - start_).count();
  std::wstring text = std::to_wstring(filesDone_) + L"/" + std::to_wstring(files_) + L" files, " +
                      AnsiToWide(ByteSize(bytesDone_)) + L" of " + AnsiToWide(ByteSize(bytes_)) + L" in " + Duration(now - start_);
  if (seconds >= 1 && bytesDone_ > 0 && bytesDone_ < bytes_) {
    const double rate = static_cast<double>(bytesDone_) / seconds;
    text += L", " + AnsiToWide(ByteSize(static_cast<std::uint64_t>(rate))) + L"/s, about " +
            Duration(std::chrono::seconds(static_cast<long long>(static_cast<double>(bytes_ - bytesDone_) / rate))) +
            L" left";
  }
  return text;
}

// Redraws the terminal's line every second until the build ends.
void FileProgress::Tick() {
  std::unique_lock<std::mutex> guard(lock_);
  while (!ended_) {
    const auto now = Clock::now();
    std::wstring line = WholeText(now);
    // The file worked on longest: the one a slow build waits for.
    auto oldest = working_.end();
    for (auto it = working_.begin(); it != working_.end(); ++it) {
      if (oldest == working_.end() || it->second.start < oldest->second.start) oldest = it;
    }
    if (oldest != working_.end() && now - oldest->second.start >= std::chrono::seconds(2)) {
      line += L"; " + oldest->first + L" for " + Duration(now - oldest->second.start);
      const Work& work = oldest->second;
      if (!work.step.empty()) {
        line += L", " + work.step;
        if (work.share >= 0) line += L" " + std::to_wstring(static_cast<int>(work.share * 100)) + L"%";
        line += L" for " + Duration(now - work.stepStart);
      }
    }
    WriteStdout(L"\r\x1b[2K" + FitToColumns(line, TerminalColumns()));
    changed_.wait_for(guard, std::chrono::seconds(1));
  }
}

void FileProgress::NameEveryFile() { everyFile = true; }
