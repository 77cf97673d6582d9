#pragma once
// One update run per installation: an exclusive lock of the operating system on a lock file in
// the program folder (LockFileEx on Windows, flock on POSIX). The system drops it when the
// process ends in any way, so a crash never leaves a stale lock, and the file may stay.
#include <cstdint>
#include <string>

// The lock file's name in the program folder.
constexpr const wchar_t* RUN_LOCK_FILE = L"zepo.lock";

class RunLock {
 public:
  RunLock() = default;
  ~RunLock();
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;

  // Takes the lock without waiting. False when another process (or another RunLock of this
  // one) holds it (held() then tells so), or the file cannot be opened or locked; cause then says
  // why.
  [[nodiscard]] bool TryAcquire(const std::wstring& path, std::wstring& cause);
  // Whether the last TryAcquire failed because another holder has the lock, not for a fault.
  bool held() const { return held_; }
  void Release();

 private:
  static constexpr std::intptr_t NONE = -1;
  std::intptr_t handle_ = NONE;
  bool held_ = false;
};
