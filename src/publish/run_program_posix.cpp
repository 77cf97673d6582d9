#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "publish/push.h"

extern char** environ;

namespace {

// The first line a program wrote into the file of its stderr.
std::string FirstLineSaid(int file) {
  char text[512] = {};
  const ssize_t got = pread(file, text, sizeof text - 1, 0);
  std::string line(text, got > 0 ? static_cast<std::size_t>(got) : 0);
  line = line.substr(0, line.find('\n'));
  return line;
}

}  // namespace

bool RunProgram(const std::vector<std::string>& arguments, std::string& output, std::string& error, int* exitStatus) {
  if (exitStatus != nullptr) *exitStatus = -1;
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) {
    error = std::string("cannot make a pipe: ") + std::strerror(errno);
    return false;
  }
  // What the program says on stderr goes into a file of its own, so that the reason of a failure
  // can be told with the error.
  char errorsPath[] = "/tmp/zepo-program-XXXXXX";
  const int errors = mkstemp(errorsPath);
  if (errors >= 0) unlink(errorsPath);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
  if (errors >= 0) posix_spawn_file_actions_adddup2(&actions, errors, STDERR_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
  std::vector<char*> argv;
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t child = 0;
  const int started = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeEnds[1]);
  if (started != 0) {
    close(pipeEnds[0]);
    error = "cannot start " + arguments[0] + ": " + std::strerror(started);
    return false;
  }
  char buffer[4096];
  for (ssize_t got; (got = read(pipeEnds[0], buffer, sizeof buffer)) != 0;) {
    if (got > 0) output.append(buffer, static_cast<std::size_t>(got));
    else if (errno != EINTR) break;
  }
  close(pipeEnds[0]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (exitStatus != nullptr && WIFEXITED(status)) *exitStatus = WEXITSTATUS(status);
  const std::string said = errors >= 0 ? FirstLineSaid(errors) : std::string();
  if (errors >= 0) close(errors);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  error = arguments[0] + (WIFEXITED(status) ? " ended with status " + std::to_string(WEXITSTATUS(status))
                                            : std::string(" was stopped by a signal"));
  if (!said.empty()) error += ": " + said;
  return false;
}
