/* The engine helper, POSIX: swaps the updater's own files once the updater has exited, then
   starts the updater again, without a terminal of its own.
     engine.dat [--wait-pid=N] update/file1 [update/file2 ...] [-- PROGRAM [ARGUMENT ...]]
   (backslashes in the files are taken as "/"). After "--" comes the command that restarts the
   updater; without it the first file is started with no arguments. An updater that has not
   ended within a minute is left alone: nothing is swapped under a running program. From the
   updater's end until the restart has started, the helper holds the installation's lock
   ("zepo.lock" in the program folder), so that an updater started meanwhile waits for it.
   Exit status 0 when every file was moved and the restart was started, 1 otherwise. */
#define _GNU_SOURCE /* POSIX_SPAWN_SETSID */
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
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

/* The wait between two attempts at a file: a second; ZEPO_HELPER_ATTEMPT_WAIT_MS shortens it
   for the tests, which cannot wait half a minute for a file that never moves. */
static long AttemptWaitMs(void) {
  const char* value = getenv("ZEPO_HELPER_ATTEMPT_WAIT_MS");
  const long ms = value != NULL ? strtol(value, NULL, 10) : 0;
  return ms > 0 && ms <= ATTEMPT_WAIT_MS ? ms : ATTEMPT_WAIT_MS;
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

/* The installation's lock, taken within a minute; -1 when another updater holds it that long. */
static int HoldRunLock(void) {
  int fd = open("zepo.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  /* Tried often: an updater started by an impatient player polls for it too, more slowly. */
  for (long waited = 0; waited < EXIT_WAIT_MS; waited += 10) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
    SleepMs(10);
  }
  close(fd);
  return -1;
}

/* Starts the command from the current directory, the program folder; a relative program name
   is taken from there. */
static int Restart(char** command) {
  char path[4096];
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  pid_t child;
  int result;
  if (strlen(command[0]) + 3 > sizeof path) return 0;
  strcpy(path, command[0][0] == '/' ? "" : "./");
  strcat(path, command[0]);
  command[0] = path;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  for (int fd = 0; fd <= 2; ++fd) posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_RDWR, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  result = posix_spawn(&child, path, &actions, &attributes, command, environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return result == 0;
}

int main(int argc, char** argv) {
  int first = 1;
  int end = argc;
  int ok = 1;
  pid_t pid = 0;
  char* fallback[2] = {NULL, NULL};
  char** command = fallback;
  if (argc > 1 && WaitPid(argv[1], &pid)) {
    long waited = 0;
    for (; waited < EXIT_WAIT_MS && kill(pid, 0) == 0; waited += 100) SleepMs(100);
    if (waited >= EXIT_WAIT_MS) return 1;
    first = 2;
  }
  for (int i = first; i < argc; ++i) {
    if (strcmp(argv[i], "--") == 0) {
      end = i;
      if (i + 1 < argc) command = argv + i + 1;
      break;
    }
  }
  if (end <= first || HoldRunLock() < 0) return 1;
  for (int i = first; i < end; ++i) MapSeparators(argv[i]);
  for (int i = first; i < end; ++i) {
    const char* destination = Destination(argv[i]);
    struct stat installed;
    int had = stat(destination, &installed) == 0;
    int moved = 0;
    /* A read-only installed file is made writable first, as on Windows. */
    if (had && (installed.st_mode & S_IWUSR) == 0 && chmod(destination, (installed.st_mode & 07777) | S_IWUSR) != 0) {
      return 1;
    }
    /* The first attempt is made at once; a file still held is tried again each second. */
    for (int attempt = 0; attempt < ATTEMPTS && !moved; ++attempt) {
      if (attempt > 0) SleepMs(AttemptWaitMs());
      moved = rename(argv[i], destination) == 0;
    }
    /* The new file keeps the permissions of the one it replaces, so an executable stays one. */
    if (moved && had) chmod(destination, (installed.st_mode & 07777) | S_IWUSR);
    if (!moved) ok = 0;
  }
  if (command == fallback) fallback[0] = (char*)Destination(argv[first]);
  if (!ok || !Restart(command)) return 1;
  return 0;
}
