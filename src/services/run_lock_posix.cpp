#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "services/platform.h"
#include "services/posix_path.h"
#include "services/run_lock.h"

// flock locks belong to the open file, not the process: a second open of the same file in this
// process conflicts as another process's would, and O_CLOEXEC keeps the lock from the helper.
bool RunLock::TryAcquire(const std::wstring& path, std::wstring& cause) {
  Release();
  held_ = false;
  int fd;
  do {
    fd = ::open(PosixPath(path).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    cause = L"cannot open " + path + L": " + LastSystemErrorText();
    return false;
  }
  int locked;
  do {
    locked = flock(fd, LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) {
    held_ = errno == EWOULDBLOCK;
    cause = held_ ? L"another update run holds " + path : L"cannot lock " + path + L": " + LastSystemErrorText();
    ::close(fd);
    return false;
  }
  handle_ = fd;
  return true;
}

void RunLock::Release() {
  if (handle_ != NONE) ::close(static_cast<int>(handle_));
  handle_ = NONE;
}

RunLock::~RunLock() { Release(); }
