#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include "services/posix_path.h"
#include "services/process.h"

extern char** environ;

// A session of its own and no terminal: the program outlives its starter, as a Windows process
// started without a console does.
bool StartDetachedProcess(const std::vector<std::wstring>& arguments) {
  if (arguments.empty()) return false;
  std::vector<std::string> native;
  native.push_back(PosixPath(arguments[0]));
  for (std::size_t i = 1; i < arguments.size(); ++i) native.push_back(WideToUtf8(arguments[i]));
  std::vector<char*> argv;
  for (auto& a : native) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  for (int fd = 0; fd <= 2; ++fd) posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_RDWR, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  pid_t child = 0;
  const int result = posix_spawn(&child, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return result == 0;
}

std::wstring LaunchablePath(const std::wstring& path) { return path; }
