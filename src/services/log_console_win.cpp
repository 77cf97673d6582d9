#include <windows.h>

#include <cstdio>

#include "services/log_console.h"
#include "services/text.h"

namespace {

const WORD LEVEL_ATTRIBUTES[] = {12, 14, 13, 15, 7};

// Removes the close command from the console window, so that closing the console cannot end
// the updater in the middle of a file replacement.
void DisableConsoleClose() {
  wchar_t title[256] = {};
  GetConsoleTitleW(title, 255);
  HWND window = FindWindowW(L"ConsoleWindowClass", title);
  if (window == nullptr) return;
  HMENU menu = GetSystemMenu(window, FALSE);
  if (menu == nullptr) return;
  DeleteMenu(menu, SC_CLOSE, MF_BYCOMMAND);
  DrawMenuBar(window);
}

}  // namespace

// A process with a standard error of its own (zepo-update.exe in a console, or redirected)
// mirrors there; one without (the windowed zepo.exe) opens a console window for itself.
bool LogConsole::Open(const std::wstring& title) {
  HANDLE standardError = GetStdHandle(STD_ERROR_HANDLE);
  if (standardError != nullptr && standardError != INVALID_HANDLE_VALUE &&
      GetFileType(standardError) != FILE_TYPE_UNKNOWN) {
    handle_ = standardError;
    ownConsole_ = false;
    open_ = true;
    return true;
  }
  if (!AllocConsole()) return false;
  HANDLE out = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                           nullptr);
  if (out == INVALID_HANDLE_VALUE) {
    FreeConsole();
    return false;
  }
  if (!SetConsoleMode(out, ENABLE_PROCESSED_OUTPUT | ENABLE_WRAP_AT_EOL_OUTPUT)) {
    CloseHandle(out);
    FreeConsole();
    return false;
  }
  DisableConsoleClose();
  SetConsoleTitleW(title.c_str());
  handle_ = out;
  ownConsole_ = true;
  open_ = true;
  return true;
}

void LogConsole::Close() {
  if (!open_) return;
  if (ownConsole_) {
    CloseHandle(static_cast<HANDLE>(handle_));
    FreeConsole();
  }
  handle_ = nullptr;
  open_ = false;
}

// Without an opened console nothing is mirrored: standard output belongs to the program's own
// progress display.
void LogConsole::Mirror(int level, const std::wstring& line) {
  if (!open_) return;
  HANDLE target = static_cast<HANDLE>(handle_);
  DWORD mode = 0;
  DWORD written = 0;
  if (GetConsoleMode(target, &mode)) {
    if (level >= 0 && level <= 4 && ColourWanted()) SetConsoleTextAttribute(target, LEVEL_ATTRIBUTES[level]);
    WriteConsoleW(target, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  } else {
    const std::string bytes = WideToUtf8(line);
    WriteFile(target, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  }
}
