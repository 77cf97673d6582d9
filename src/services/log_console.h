#pragma once
// Where the diagnostic log mirrors its lines, once opened: the process's standard error (POSIX
// in ANSI colours; Windows in the console's colours, or as UTF-8 when redirected), or on Windows,
// for a process without one, a console window that the logger opens for itself (with its close
// command removed, so that closing it cannot end the updater). Unopened, nothing is mirrored.
#include <string>

class LogConsole {
 public:
  LogConsole() = default;
  ~LogConsole() { Close(); }
  LogConsole(const LogConsole&) = delete;
  LogConsole& operator=(const LogConsole&) = delete;

  // Opens the console with a title; false when the process cannot have one.
  bool Open(const std::wstring& title);
  void Close();
  bool IsOpen() const { return open_; }
  // Shows one finished line in the colour of its level (levels outside 0 to 4 keep the colour).
  void Mirror(int level, const std::wstring& line);

 private:
  bool open_ = false;
  [[maybe_unused]] bool ownConsole_ = false;  // Windows: the console window is the logger's, closed with it
  void* handle_ = nullptr;
};
