#include <windows.h>

#include <cstdio>
#include <fcntl.h>
#include <io.h>

#include "services/extended_path.h"
#include "services/platform.h"
#include "services/process.h"
#include "services/system_path_win.h"
#include "services/text.h"

LocalTime LocalTimeNow() {
  SYSTEMTIME t;
  GetLocalTime(&t);
  return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond};
}

std::tm UtcCalendarTime(std::int64_t unixTime) {
  const auto when = static_cast<std::time_t>(unixTime);
  std::tm utc{};
  gmtime_s(&utc, &when);
  return utc;
}

std::wstring ExecutablePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

unsigned long CurrentProcessId() { return GetCurrentProcessId(); }

namespace {

bool IsCurrentFolder(const std::wstring& folder) {
  DWORD size = GetCurrentDirectoryW(0, nullptr);
  std::wstring current(size, L'\0');
  DWORD n = GetCurrentDirectoryW(size, current.data());
  if (n == 0 || n >= size) return false;
  current.resize(n);
  std::wstring wanted = folder;
  while (!current.empty() && (current.back() == L'\\' || current.back() == L'/')) current.pop_back();
  while (!wanted.empty() && (wanted.back() == L'\\' || wanted.back() == L'/')) wanted.pop_back();
  return CompareStringOrdinal(current.c_str(), -1, wanted.c_str(), -1, TRUE) == CSTR_EQUAL;
}

bool EnterFolder(const std::wstring& folder, const std::wstring& expected) {
  return SetCurrentDirectoryW(folder.c_str()) != FALSE && IsCurrentFolder(expected);
}

}  // namespace

std::wstring ShortPathForm(const std::wstring& path) {
  const std::wstring extended = SystemPath(path);
  DWORD size = GetShortPathNameW(extended.c_str(), nullptr, 0);
  if (size == 0) return {};
  std::wstring shortForm(size, L'\0');
  DWORD n = GetShortPathNameW(extended.c_str(), shortForm.data(), size);
  if (n == 0 || n >= size) return {};
  shortForm.resize(n);
  return PlainPathForm(shortForm);
}

bool SetCurrentFolder(const std::wstring& path) {
  std::wstring folder = path;
  if (folder.empty() || (folder.back() != L'\\' && folder.back() != L'/')) folder += L'\\';
  // A folder too long for plain paths is entered by its short form where it has one: programs are
  // started from it (Wine starts none from a longer current folder) and relative paths stay short.
  const bool tooLong = folder.size() > PLAIN_PATH_MAX;
  if (!tooLong && EnterFolder(folder, folder)) return true;
  // The short form also names the folder without spaces or dots at its ends.
  const std::wstring shortForm = ShortPathForm(folder);
  if (!shortForm.empty() && EnterFolder(shortForm, shortForm)) return true;
  return tooLong && EnterFolder(folder, folder);
}

// A trailing separator keeps a last component that ends in a space or a dot from losing it to the
// normalisation: "C:\Games\Velora " stays itself and does not become "C:\Games\Velora".
std::wstring AbsolutePath(const std::wstring& path) {
  if (path.rfind(L"\\\\?\\", 0) == 0) return path;
  std::wstring guarded = path.empty() ? L"." : path;
  const bool added = guarded.back() != L'\\' && guarded.back() != L'/';
  if (added) guarded += L'\\';
  // Most paths fit the first buffer: one call instead of two on every file operation.
  std::wstring full(MAX_PATH + 1, L'\0');
  DWORD n = GetFullPathNameW(guarded.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  if (n >= full.size()) {
    full.assign(n, L'\0');
    n = GetFullPathNameW(guarded.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  }
  if (n == 0 || n >= full.size()) return path;
  full.resize(n);
  // "C:\" keeps its separator; any other folder is named without one, as it was given.
  if (added && full.size() > 3 && full.back() == L'\\') full.pop_back();
  return full;
}

std::wstring SystemPath(const std::wstring& path) { return ExtendedPathForm(AbsolutePath(path)); }

std::wstring LastSystemErrorText() {
  const DWORD code = GetLastError();
  wchar_t* text = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring result = n > 0 ? std::wstring(text, n) : std::wstring();
  if (text != nullptr) LocalFree(text);
  while (!result.empty() && (result.back() == L'\n' || result.back() == L'\r' || result.back() == L' ')) result.pop_back();
  return result + L" (" + std::to_wstring(code) + L")";
}

bool StdoutIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != FALSE;
}

int TerminalColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info) == FALSE) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
}

namespace {

// A console gets the text as UTF-16; a file or a pipe as UTF-8.
void WriteTo(DWORD which, const std::wstring& text) {
  HANDLE out = GetStdHandle(which);
  DWORD written = 0;
  DWORD mode = 0;
  if (GetConsoleMode(out, &mode)) {
    WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return;
  }
  std::string bytes = WideToUtf8(text);
  WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

}  // namespace

void WriteStdout(const std::wstring& text) { WriteTo(STD_OUTPUT_HANDLE, text); }

void WriteStderr(const std::wstring& text) { WriteTo(STD_ERROR_HANDLE, text); }

std::FILE* SilenceStdout() {
  std::fflush(stdout);
  // Binary, so that the kept stream writes the "\n" it is given.
  const int kept = _dup(_fileno(stdout));
  if (kept >= 0) _setmode(kept, _O_BINARY);
  (void)std::freopen("NUL", "w", stdout);
  HANDLE nowhere = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (nowhere != INVALID_HANDLE_VALUE) SetStdHandle(STD_OUTPUT_HANDLE, nowhere);
  return kept >= 0 ? _fdopen(kept, "w") : nullptr;
}

bool AppendOutputTo(const std::wstring& file) {
  std::fflush(stdout);
  std::fflush(stderr);
  HANDLE out = CreateFileW(SystemPath(file).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) return false;
  // The C streams write through descriptors of the same file, opened for appending too.
  (void)_wfreopen(SystemPath(file).c_str(), L"ab", stdout);
  (void)_wfreopen(SystemPath(file).c_str(), L"ab", stderr);
  return SetStdHandle(STD_OUTPUT_HANDLE, out) != FALSE && SetStdHandle(STD_ERROR_HANDLE, out) != FALSE;
}

std::vector<std::wstring> ProgramArguments(int, char**) { return SplitCommandLine(GetCommandLineW()); }
