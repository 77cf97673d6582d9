/* The engine helper, Windows: swaps the updater's own files once the updater has exited, then
   starts the updater again. Built without any C runtime (its size is what every updater
   carries): only kernel32 and shell32.
     engine.dat [--wait-pid=N] update\file1 [update\file2 ...] [-- PROGRAM [ARGUMENT ...]]
   After "--" comes the command that restarts the updater; without it the first file is started
   with no arguments. An updater that has not ended within a minute is left alone: nothing is
   swapped under a running program. From the updater's end until the restart has started, the
   helper holds the installation's lock ("zepo.lock" in the program folder), so that an updater
   started meanwhile waits for it.
   Exit status 0 when every file was moved and the restart was started, 1 otherwise. */
#include <windows.h>
#include <shellapi.h>

enum { ATTEMPTS = 31, ATTEMPT_WAIT_MS = 1000, EXIT_WAIT_MS = 60000 };

/* The wait between two attempts at a file: a second; ZEPO_HELPER_ATTEMPT_WAIT_MS shortens it
   for the tests, which cannot wait half a minute for a file that never moves. */
static DWORD AttemptWaitMs(void) {
  wchar_t value[16];
  const DWORD length = GetEnvironmentVariableW(L"ZEPO_HELPER_ATTEMPT_WAIT_MS", value, 16);
  DWORD ms = 0;
  for (DWORD i = 0; length < 16 && i < length && value[i] >= L'0' && value[i] <= L'9'; ++i) ms = ms * 10 + (value[i] - L'0');
  return ms > 0 && ms <= ATTEMPT_WAIT_MS ? ms : ATTEMPT_WAIT_MS;
}

/* The compiler may call these for structure copies and clears. */
void* memset(void* target, int value, size_t size) {
  unsigned char* p = (unsigned char*)target;
  while (size-- > 0) *p++ = (unsigned char)value;
  return target;
}

void* memcpy(void* target, const void* source, size_t size) {
  unsigned char* p = (unsigned char*)target;
  const unsigned char* q = (const unsigned char*)source;
  while (size-- > 0) *p++ = *q++;
  return target;
}

/* The installed file of a prepared one: the path without its first component ("update\"). */
static const wchar_t* Destination(const wchar_t* prepared) {
  const wchar_t* p = prepared;
  while (*p != L'\0' && *p != L'\\') ++p;
  return *p == L'\\' ? p + 1 : prepared;
}

/* "--wait-pid=N": no file path starts with two dashes and holds "=" in that place. */
static int WaitPid(const wchar_t* argument, DWORD* pid) {
  static const wchar_t prefix[] = L"--wait-pid=";
  int i = 0;
  DWORD value = 0;
  for (; prefix[i] != L'\0'; ++i) {
    if (argument[i] != prefix[i]) return 0;
  }
  if (argument[i] == L'\0') return 0;
  for (; argument[i] != L'\0'; ++i) {
    if (argument[i] < L'0' || argument[i] > L'9') return 0;
    value = value * 10 + (DWORD)(argument[i] - L'0');
  }
  *pid = value;
  return 1;
}

/* The installation's lock, taken within a minute; 0 when another updater holds it that long.
   The handle is not inherited and goes with the helper's end. */
static int HoldRunLock(void) {
  OVERLAPPED at;
  HANDLE file = CreateFileW(L"zepo.lock", GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return 0;
  /* Tried often: an updater started by an impatient player polls for it too, more slowly. */
  for (DWORD waited = 0; waited < EXIT_WAIT_MS; waited += 10) {
    memset(&at, 0, sizeof at);
    if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) return 1;
    Sleep(10);
  }
  CloseHandle(file);
  return 0;
}

static wchar_t restart[32768];
static int used;

/* Appends one argument to the restart command line, quoted so that the standard splitting gives
   it back whole: backslashes are doubled only where a quote follows them. */
static int AppendQuoted(const wchar_t* argument) {
  int backslashes = 0;
  if (used > 0) restart[used++] = L' ';
  restart[used++] = L'"';
  for (; *argument != L'\0'; ++argument) {
    if (used + 2 * backslashes + 4 > 32760) return 0;
    if (*argument == L'\\') {
      ++backslashes;
    } else {
      if (*argument == L'"') {
        for (int i = 0; i <= backslashes; ++i) restart[used++] = L'\\';
      }
      backslashes = 0;
    }
    restart[used++] = *argument;
  }
  for (int i = 0; i < backslashes; ++i) restart[used++] = L'\\';
  restart[used++] = L'"';
  restart[used] = L'\0';
  return 1;
}

static int Restart(wchar_t** command, int count) {
  STARTUPINFOW startup;
  PROCESS_INFORMATION process;
  memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  used = 0;
  for (int i = 0; i < count; ++i) {
    if (!AppendQuoted(command[i])) return 0;
  }
  /* The program is named apart from the command line: it is then taken as the path it is, relative
     to the program folder (the current one) when it is not absolute, and never searched for.
     Wine's search turns a name longer than 260 characters in its long form into garbage. */
  if (!CreateProcessW(command[0], restart, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) return 0;
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return 1;
}

void mainCRTStartup(void) {
  int count = 0;
  int first = 1;
  int end;
  int ok = 1;
  DWORD pid = 0;
  wchar_t* fallback[1];
  wchar_t** command = fallback;
  int commandCount = 1;
  wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (arguments != NULL && count > 1 && WaitPid(arguments[1], &pid)) {
    HANDLE updater = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (updater != NULL) {
      DWORD waited = WaitForSingleObject(updater, EXIT_WAIT_MS);
      CloseHandle(updater);
      if (waited != WAIT_OBJECT_0) ExitProcess(1);
    }
    first = 2;
  }
  end = count;
  for (int i = first; arguments != NULL && i < count; ++i) {
    if (arguments[i][0] == L'-' && arguments[i][1] == L'-' && arguments[i][2] == L'\0') {
      end = i;
      if (i + 1 < count) {
        command = arguments + i + 1;
        commandCount = count - i - 1;
      }
      break;
    }
  }
  if (arguments == NULL || end <= first || !HoldRunLock()) ExitProcess(1);
  for (int i = first; i < end; ++i) {
    const wchar_t* destination = Destination(arguments[i]);
    DWORD attributes = GetFileAttributesW(destination);
    int moved = 0;
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
        !SetFileAttributesW(destination, attributes & ~(DWORD)FILE_ATTRIBUTE_READONLY)) {
      ExitProcess(1);
    }
    /* The first attempt is made at once; a file still held is tried again each second. */
    for (int attempt = 0; attempt < ATTEMPTS && !moved; ++attempt) {
      if (attempt > 0) Sleep(AttemptWaitMs());
      moved = MoveFileExW(arguments[i], destination, MOVEFILE_REPLACE_EXISTING) != 0;
    }
    if (!moved) ok = 0;
  }
  if (command == fallback) fallback[0] = (wchar_t*)Destination(arguments[first]);
  if (!ok || !Restart(command, commandCount)) ExitProcess(1);
  ExitProcess(0);
}
