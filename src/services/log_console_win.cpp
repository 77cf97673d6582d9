#include <windows.h>

#include <cstdio>

#include "services/log_console.h"

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

bool LogConsole::Open(const std::wstring& title) {
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
  open_ = true;
  return true;
}

void LogConsole::Close() {
  if (!open_) return;
  CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
  open_ = false;
  FreeConsole();
}

void LogConsole::Mirror(int level, const std::wstring& line) {
  HANDLE target = open_ ? static_cast<HANDLE>(handle_) : GetStdHandle(STD_OUTPUT_HANDLE);
  if (target == INVALID_HANDLE_VALUE || target == nullptr) return;
  if (level >= 0 && level <= 4) SetConsoleTextAttribute(target, LEVEL_ATTRIBUTES[level]);
  if (open_) {
    DWORD written = 0;
    WriteConsoleW(target, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  } else {
    std::fputws(line.c_str(), stdout);
    std::fflush(stdout);
  }
}
