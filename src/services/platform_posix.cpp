#include <fcntl.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <cstdio>

#include "services/files.h"
#include "services/platform.h"
#include "services/posix_path.h"
#include "services/text.h"

LocalTime LocalTimeNow() {
  time_t now = time(nullptr);
  struct tm t {};
  localtime_r(&now, &t);
  return {t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec};
}

std::tm UtcCalendarTime(std::int64_t unixTime) {
  const auto when = static_cast<time_t>(unixTime);
  std::tm utc{};
  gmtime_r(&when, &utc);
  return utc;
}

std::wstring ExecutablePath() {
  char buffer[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return {};
  return AnsiToWide(std::string(buffer, static_cast<std::size_t>(n)));
}

unsigned long CurrentProcessId() { return static_cast<unsigned long>(getpid()); }

bool SetCurrentFolder(const std::wstring& path) { return chdir(PosixPath(path).c_str()) == 0; }

std::wstring AbsolutePath(const std::wstring& path) {
  if (!path.empty() && IsPathSeparator(path[0])) return path;
  char buffer[PATH_MAX];
  if (getcwd(buffer, sizeof buffer) == nullptr) return path;
  std::wstring base = AnsiToWide(buffer);
  if (path.empty() || path == L".") return base;
  if (base.empty() || base.back() != L'/') base += L'/';
  return base + path;
}

std::wstring LastSystemErrorText() { return AnsiToWide(std::strerror(errno)); }

bool StdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

int TerminalColumns() {
  winsize size{};
  return ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

void WriteStdout(const std::wstring& text) {
  std::string bytes = WideToUtf8(text);
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  std::fflush(stdout);
}

std::FILE* SilenceStdout() {
  std::fflush(stdout);
  const int kept = dup(fileno(stdout));
  (void)std::freopen("/dev/null", "w", stdout);
  return kept >= 0 ? fdopen(kept, "w") : nullptr;
}

bool AppendOutputTo(const std::wstring& file) {
  std::fflush(stdout);
  std::fflush(stderr);
  const int fd = open(PosixPath(file).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool moved = dup2(fd, 1) >= 0 && dup2(fd, 2) >= 0;
  close(fd);
  return moved;
}

void WriteStderr(const std::wstring& text) {
  std::string bytes = WideToUtf8(text);
  std::fwrite(bytes.data(), 1, bytes.size(), stderr);
  std::fflush(stderr);
}

std::vector<std::wstring> ProgramArguments(int argc, char** argv) {
  std::vector<std::wstring> arguments;
  for (int i = 0; i < argc; ++i) arguments.push_back(AnsiToWide(argv[i]));
  return arguments;
}
