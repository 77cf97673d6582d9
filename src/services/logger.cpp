#include "services/logger.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <cwchar>

#include "services/files.h"
#include "services/platform.h"
#include "services/text.h"

namespace {

const wchar_t LEVEL_NAMES[5][10] = {L"FATAL", L"ERROR", L"WARNING", L"FYI", L"DEBUG"};

constexpr std::size_t TITLE_MAX_CHARS = 259;
// The longest path Windows takes in its extended form, less room for a log file's name: a game
// folder deeper than 260 characters still gets its logs.
constexpr std::size_t FOLDER_MAX_CHARS = 32000;
constexpr int ROLL_MAX = 999;

std::wstring Printf(const wchar_t* format, ...) {
  wchar_t buffer[64];
  va_list args;
  va_start(args, format);
  std::vswprintf(buffer, sizeof buffer / sizeof buffer[0], format, args);
  va_end(args);
  return buffer;
}

// "2012-12.log" for the month's first file, "2012-12_001.log" and on for the files it rolls to.
std::wstring MonthFileName(const LocalTime& t, int roll) {
  if (roll == 0) return Printf(L"%04d-%02d.log", t.year, t.month);
  return Printf(L"%04d-%02d_%03d.log", t.year, t.month, roll);
}

std::wstring FolderOfExecutable() {
  return FolderOfPath(ExecutablePath());
}

std::wstring BuildLine(std::int8_t level, const std::wstring& text) {
  LocalTime t = LocalTimeNow();
  std::wstring line = Printf(L"%02d/%02d/%04d-%02d:%02d:%02d\t", t.month, t.day, t.year, t.hour, t.minute, t.second);
  // Levels outside the table get no name rather than a read past it.
  if (level >= 0 && level <= 4) line += LEVEL_NAMES[level];
  line += L'\t';
  std::size_t room = LOG_LINE_MAX - 2 > line.size() ? LOG_LINE_MAX - 2 - line.size() : 0;
  line.append(text, 0, room);
  line += L"\r\n";
  return line;
}

}  // namespace

Logger::Logger(std::uint32_t sizeLimitKiB) : sizeLimitKiB_(sizeLimitKiB) {}

Logger::~Logger() { Close(); }

bool Logger::Configure(const wchar_t* folder, std::uint8_t threshold, const wchar_t* consoleTitle,
                       bool showConsole) {
  std::wstring chosen = folder != nullptr ? folder : L"";
  if (chosen.empty()) chosen = FolderOfExecutable() + L"\\logs";
  if (chosen.size() > FOLDER_MAX_CHARS || (consoleTitle != nullptr && std::wcslen(consoleTitle) > TITLE_MAX_CHARS)) {
    return false;
  }
  {
    std::lock_guard<std::mutex> guard(lock_);
    folder_ = chosen;
    if (consoleTitle != nullptr) consoleTitle_ = consoleTitle;
    threshold_ = threshold;
    showConsole_ = showConsole;
  }
  return Open();
}

bool Logger::Open() {
  std::lock_guard<std::mutex> guard(lock_);
  return OpenLocked();
}

bool Logger::OpenLocked() {
  CloseLocked();
  if (!CreateDirectoryPath(folder_)) return false;
  LocalTime now = LocalTimeNow();
  const std::uint64_t limit = static_cast<std::uint64_t>(sizeLimitKiB_) * 1024;
  for (int roll = 0; roll <= ROLL_MAX; ++roll) {
    std::wstring name = folder_ + L"\\" + MonthFileName(now, roll);
    FileHandle file = FileHandle::OpenForAppend(name);
    if (!file.IsOpen()) return false;
    if (static_cast<std::uint64_t>(file.Size()) < limit || roll == ROLL_MAX) {
      file_ = std::move(file);
      fileName_ = name;
      break;
    }
  }
  if (showConsole_) console_.Open(consoleTitle_);
  return true;
}

void Logger::Close() {
  std::lock_guard<std::mutex> guard(lock_);
  CloseLocked();
}

void Logger::CloseLocked() {
  file_.Close();
  fileName_.clear();
  console_.Close();
}

std::wstring Logger::CurrentFile() const {
  std::lock_guard<std::mutex> guard(lock_);
  return fileName_;
}

bool Logger::Write(std::int8_t level, const std::wstring& text) {
  if (level > static_cast<int>(threshold_)) return false;
  return Store(level, text);
}

bool Logger::WriteFailure(const std::wstring& text) { return Store(LOG_ERROR, text); }

bool Logger::Store(std::int8_t level, const std::wstring& text) {
  const std::wstring line = BuildLine(level, text);
  const std::string bytes = WideToUtf16Le(line);

  std::lock_guard<std::mutex> guard(lock_);
  // Mirrored under the lock: the console may be closed and reopened by another thread's write.
  console_.Mirror(level, line);
  if (!file_.IsOpen()) {
    OpenLocked();
  } else if (static_cast<std::uint64_t>(file_.Size()) >= static_cast<std::uint64_t>(sizeLimitKiB_) * 1024) {
    OpenLocked();
  }
  if (!file_.IsOpen()) return false;
  if (file_.Write(bytes.data(), bytes.size())) return true;
  CloseLocked();
  return false;
}

bool Logger::WriteFormat(std::int8_t level, const wchar_t* format, ...) {
  if (level > static_cast<int>(threshold_)) return false;
  wchar_t buffer[1024];
  va_list args;
  va_start(args, format);
  int n = std::vswprintf(buffer, sizeof buffer / sizeof buffer[0], format, args);
  va_end(args);
  if (n < 0 || static_cast<std::size_t>(n) >= sizeof buffer / sizeof buffer[0]) return false;
  return Write(level, std::wstring(buffer, static_cast<std::size_t>(n)));
}

Logger& TheLogger() {
  static Logger logger;
  return logger;
}

std::wstring LogFileFailure(const std::wstring& what, const std::wstring& path) {
  const std::wstring cause = LastSystemErrorText();
  TheLogger().WriteFailure(L"AutoUpdateApp: " + what + L" [" + path + L"]: " + cause);
  return cause;
}

std::wstring UpdateLogName(int year, int month) {
  return Printf(L"logs\\update%u%02u.txt", static_cast<unsigned>(year), static_cast<unsigned>(month));
}

namespace {

// A batch's log: lines gather in memory and go to the month's file in large writes.
struct BatchedUpdateLog {
  std::wstring name;
  std::string pending;

  void Flush() {
    if (pending.empty()) return;
    FileHandle file = FileHandle::OpenForAppend(name);
    if (file.IsOpen()) file.Write(pending.data(), pending.size());
    pending.clear();
  }
};
thread_local BatchedUpdateLog* batchedLog = nullptr;
constexpr std::size_t BATCH_BYTES = 65536;

// The stamp of a line and the month's file name, formatted once per second (and again when the
// update log's folder changes). Shared by the threads under a lock rather than kept per thread:
// thread_local strings are destroyed at thread exit, which MinGW's static runtime does after
// freeing the thread's storage.
std::mutex stampLock;
std::time_t stampSecond = -1;
std::wstring updateLogFolder;

std::string UpdateLogStamp(std::wstring& name) {
  static std::wstring fileName;
  static std::string stamp;
  std::lock_guard<std::mutex> guard(stampLock);
  const std::time_t now = std::time(nullptr);
  if (now != stampSecond) {
    stampSecond = now;
    const LocalTime local = LocalTimeNow();
    fileName = updateLogFolder + UpdateLogName(local.year, local.month);
    char text[32];
    std::snprintf(text, sizeof text, "%u%02u%02u%02u%02u%02u ", static_cast<unsigned>(local.year),
                  static_cast<unsigned>(local.month), static_cast<unsigned>(local.day),
                  static_cast<unsigned>(local.hour), static_cast<unsigned>(local.minute),
                  static_cast<unsigned>(local.second));
    stamp = text;
  }
  name = fileName;
  return stamp;
}

}  // namespace

UpdateLogBatch::UpdateLogBatch() {
  if (batchedLog == nullptr) batchedLog = new BatchedUpdateLog;
}

UpdateLogBatch::~UpdateLogBatch() {
  batchedLog->Flush();
  delete batchedLog;
  batchedLog = nullptr;
}

std::uint64_t UpdateLogBytes() {
  std::wstring name;
  UpdateLogStamp(name);
  const std::int64_t size = FileHandle::OpenForRead(name).Size();
  return size > 0 ? static_cast<std::uint64_t>(size) : 0;
}

void SetUpdateLogFolder(const std::wstring& folder) {
  std::lock_guard<std::mutex> guard(stampLock);
  updateLogFolder = folder.empty() || folder.back() == L'\\' || folder.back() == L'/' ? folder : folder + L"\\";
  stampSecond = -1;  // the next line's file name is made anew
}

void WriteUpdateLog(const std::wstring& text) {
  std::wstring name;
  std::string line = UpdateLogStamp(name);
  line += WideToUtf8(text);
  line += "\r\n";
  if (batchedLog != nullptr) {
    if (batchedLog->name != name) batchedLog->Flush();
    batchedLog->name = name;
    batchedLog->pending += line;
    if (batchedLog->pending.size() >= BATCH_BYTES) batchedLog->Flush();
    return;
  }
  // One write per line, so that lines of concurrent writers never mix.
  FileHandle file = FileHandle::OpenForAppend(name);
  if (file.IsOpen()) file.Write(line.data(), line.size());
}
