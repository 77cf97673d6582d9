#pragma once
// Where the diagnostic log mirrors its lines. Windows: a console window that the logger opens for
// itself (with its close command removed, so that closing it cannot end the updater), or the
// process's standard output. POSIX: the terminal on stderr, in ANSI colours, when opened.
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
  void* handle_ = nullptr;
};
