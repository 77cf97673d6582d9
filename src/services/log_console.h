#pragma once
// Where the diagnostic log mirrors its lines, once opened: the process's standard error (in the
// colours of their levels on a terminal or console unless NO_COLOR is set, plain text into pipes
// and files: POSIX as ANSI codes, Windows as the console's colours, UTF-8 when redirected), or on Windows,
// for a process without one, a console window that the logger opens for itself (with its close
// command removed, so that closing it cannot end the updater). Unopened, nothing is mirrored.
#include <cstdlib>
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
  // Whether lines are coloured: NO_COLOR set (to anything but the empty text) says no.
  static bool ColourWanted() {
    const char* noColour = std::getenv("NO_COLOR");
    return noColour == nullptr || *noColour == '\0';
  }

 private:
  bool open_ = false;
  [[maybe_unused]] bool ownConsole_ = false;  // Windows: the console window is the logger's, closed with it
  void* handle_ = nullptr;
};
