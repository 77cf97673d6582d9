#include <windows.h>

#include "services/platform.h"
#include "services/run_lock.h"
#include "services/system_path_win.h"
#include "services/win_handle.h"

// The handle is not inheritable, so the engine helper never holds the lock for the updater it
// restarts. Closing the handle (or the process's end) releases the lock.
bool RunLock::TryAcquire(const std::wstring& path, std::wstring& cause) {
  Release();
  held_ = false;
  UniqueFile file(CreateFileW(SystemPath(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) {
    cause = L"cannot open " + path + L": " + LastSystemErrorText();
    return false;
  }
  OVERLAPPED at{};
  if (!LockFileEx(file.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    held_ = GetLastError() == ERROR_LOCK_VIOLATION;
    cause = held_ ? L"another update run holds " + path : L"cannot lock " + path + L": " + LastSystemErrorText();
    return false;
  }
  handle_ = reinterpret_cast<std::intptr_t>(file.release());
  return true;
}

void RunLock::Release() {
  UniqueFile owned(reinterpret_cast<HANDLE>(handle_));
  handle_ = NONE;
}

RunLock::~RunLock() { Release(); }
