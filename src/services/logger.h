#pragma once
// The program's two logs.
// - The diagnostic log: one UTF-16LE file per month under the configured folder ("2012-12.log"),
//   each line stamped with date, time and level name and filtered by a threshold; optionally
//   mirrored to a console. At 1 MiB the logger rolls to the month's next file ("2012-12_001.log"),
//   which sorts after the first.
// - The update log: "logs\updateYYYYMM.txt" under the current directory, one stamped line per step
//   of an update run, no level and no filter.
// Both are append-only; the program never reads, trims or deletes them.
#include <cstdint>
#include <mutex>
#include <string>

#include "services/log_console.h"
#include "services/files.h"

constexpr std::int8_t LOG_FATAL = 0;
constexpr std::int8_t LOG_ERROR = 1;
constexpr std::int8_t LOG_WARNING = 2;
constexpr std::int8_t LOG_FYI = 3;
constexpr std::int8_t LOG_DEBUG = 4;

// Longest stored line, CR LF included, in characters.
constexpr std::size_t LOG_LINE_MAX = 1023;

class Logger {
 public:
  explicit Logger(std::uint32_t sizeLimitKiB = 1024);
  ~Logger();
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // Sets the folder (empty or null: "logs" beside the executable), the threshold, the console
  // title (null: unchanged) and whether to show a console, then opens the log.
  // Folder and title longer than 259 characters are refused (false, nothing changed).
  bool Configure(const wchar_t* folder, std::uint8_t threshold, const wchar_t* consoleTitle, bool showConsole);
  // Makes the folder, opens this month's file and, when asked to, the console.
  bool Open();
  // Writes one entry when its level is not above the threshold; true when it was stored.
  bool Write(std::int8_t level, const std::wstring& text);
  // The cause of a failed run, at the error level whatever the threshold: the one line that a
  // player's log must hold when anything failed, also at the default level.
  bool WriteFailure(const std::wstring& text);
  // printf-style ("%ls" for wide texts). An entry that does not fit 1,024 characters is dropped.
  bool WriteFormat(std::int8_t level, const wchar_t* format, ...);
  void Close();

  // The file the next entry goes to; empty while closed.
  std::wstring CurrentFile() const;

 private:
  bool Store(std::int8_t level, const std::wstring& text);
  bool OpenLocked();
  void CloseLocked();

  mutable std::mutex lock_;
  std::wstring folder_;
  std::wstring consoleTitle_;
  FileHandle file_;
  std::wstring fileName_;
  const std::uint32_t sizeLimitKiB_;
  std::uint8_t threshold_ = 3;
  bool showConsole_ = false;
  LogConsole console_;
};

// The process-wide logger.
Logger& TheLogger();

// Logs a failed file operation ("cannot replace", path) with the system's reason as a failure of
// the updater, and hands the reason back for the step's cause.
std::wstring LogFileFailure(const std::wstring& what, const std::wstring& path);

// Appends "YYYYMMDDhhmmss " + text + CR LF to this month's update log. Characters up to 127 are
// written as they are and every other character as UTF-8, so that nothing of the line is lost.
// Without a "logs" folder the line is dropped.
void WriteUpdateLog(const std::wstring& text);
// The bytes this month's update log holds (0 when it has none yet).
std::uint64_t UpdateLogBytes();
// The folder whose "logs" the update log goes to ("" until set: the current folder; a dry run's
// own folder, outside the installation). Set once, before the first line.
void SetUpdateLogFolder(const std::wstring& folder);

// While one exists on a thread, that thread's update-log lines gather in memory and reach the
// file in large writes (and all of them when it ends), instead of one open, write and close per
// line: a check of 50,000 files writes 50,000 lines.
class UpdateLogBatch {
 public:
  UpdateLogBatch();
  ~UpdateLogBatch();
  UpdateLogBatch(const UpdateLogBatch&) = delete;
  UpdateLogBatch& operator=(const UpdateLogBatch&) = delete;
};

// The update log's name for a month: "logs\update201212.txt".
std::wstring UpdateLogName(int year, int month);
