#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "services/log_console.h"
#include "services/text.h"

namespace {

// ANSI forms of the console colours of the five levels: bright red, yellow, bright magenta,
// bright white and grey.
const char* const LEVEL_COLOURS[] = {"\x1b[91m", "\x1b[93m", "\x1b[95m", "\x1b[97m", "\x1b[37m"};

}  // namespace

bool LogConsole::Open(const std::wstring&) {
  handle_ = stderr;
  open_ = true;
  return true;
}

void LogConsole::Close() {
  handle_ = nullptr;
  open_ = false;
}

// Without an opened console nothing is mirrored: standard output belongs to the program's own
// progress display, as a windowed program's standard output leads nowhere.
void LogConsole::Mirror(int level, const std::wstring& line) {
  if (!open_) return;
  auto* terminal = static_cast<std::FILE*>(handle_);
  std::string text = WideToUtf8(line);
  if (level >= 0 && level <= 4 && isatty(fileno(terminal)) == 1 && ColourWanted()) {
    std::fprintf(terminal, "%s%s\x1b[0m", LEVEL_COLOURS[level], text.c_str());
  } else {
    std::fputs(text.c_str(), terminal);
  }
  std::fflush(terminal);
}
