/* The engine helper, POSIX: swaps the updater's own files once the updater has exited, then
   starts the first of them again, without a terminal of its own.
     engine.dat [--wait-pid=N] update/file1 [update/file2 ...]   (backslashes are taken as "/")
   Exit status 0 when every file was moved and the restart was started, 1 otherwise. */
#define _GNU_SOURCE /* POSIX_SPAWN_SETSID */
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

enum { ATTEMPTS = 31, ATTEMPT_WAIT_MS = 1000, EXIT_WAIT_MS = 60000 };

extern char** environ;

static void SleepMs(long ms) {
  struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}

static void MapSeparators(char* path) {
  for (; *path != '\0'; ++path) {
    if (*path == '\\') *path = '/';
  }
}

/* The installed file of a prepared one: the path without its first component ("update/"). */
static const char* Destination(const char* prepared) {
  const char* slash = strchr(prepared, '/');
  return slash != NULL ? slash + 1 : prepared;
}

static int WaitPid(const char* argument, pid_t* pid) {
  static const char prefix[] = "--wait-pid=";
  char* end = NULL;
  long value;
  if (strncmp(argument, prefix, sizeof prefix - 1) != 0) return 0;
  value = strtol(argument + sizeof prefix - 1, &end, 10);
  if (end == argument + sizeof prefix - 1 || *end != '\0' || value <= 0) return 0;
  *pid = (pid_t)value;
  return 1;
}

static int Restart(const char* program) {
  char* argv[2];
  char path[4096];
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  pid_t child;
  int result;
  /* A relative name is started from the program folder, the current directory. */
  if (strlen(program) + 3 > sizeof path) return 0;
  strcpy(path, program[0] == '/' ? "" : "./");
  strcat(path, program);
  argv[0] = path;
  argv[1] = NULL;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  for (int fd = 0; fd <= 2; ++fd) posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_RDWR, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  result = posix_spawn(&child, path, &actions, &attributes, argv, environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return result == 0;
}

int main(int argc, char** argv) {
  int first = 1;
  int ok = 1;
  pid_t pid = 0;
  if (argc > 1 && WaitPid(argv[1], &pid)) {
    for (long waited = 0; waited < EXIT_WAIT_MS && kill(pid, 0) == 0; waited += 100) SleepMs(100);
    first = 2;
  }
  if (argc <= first) return 1;
  for (int i = first; i < argc; ++i) MapSeparators(argv[i]);
  for (int i = first; i < argc; ++i) {
    const char* destination = Destination(argv[i]);
    struct stat installed;
    int had = stat(destination, &installed) == 0;
    int moved = 0;
    /* A read-only installed file is made writable first, as on Windows. */
    if (had && (installed.st_mode & S_IWUSR) == 0 && chmod(destination, (installed.st_mode & 07777) | S_IWUSR) != 0) {
      return 1;
    }
    for (int attempt = 0; attempt < ATTEMPTS && !moved; ++attempt) {
      SleepMs(ATTEMPT_WAIT_MS);
      moved = rename(argv[i], destination) == 0;
    }
    /* The new file keeps the permissions of the one it replaces, so an executable stays one. */
    if (moved && had) chmod(destination, (installed.st_mode & 07777) | S_IWUSR);
    if (!moved) ok = 0;
  }
  if (!ok || !Restart(Destination(argv[first]))) return 1;
  return 0;
}
