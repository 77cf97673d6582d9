/* The engine helper, Windows: swaps the updater's own files once the updater has exited, then
   starts the first of them again. Built without any C runtime (its size is what every updater
   carries): only kernel32 and shell32.
     engine.dat [--wait-pid=N] update\file1 [update\file2 ...]
   Exit status 0 when every file was moved and the restart was started, 1 otherwise. */
#include <windows.h>
#include <shellapi.h>

enum { ATTEMPTS = 31, ATTEMPT_WAIT_MS = 1000, EXIT_WAIT_MS = 60000 };

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

static wchar_t restart[32768];

static int Restart(const wchar_t* program) {
  STARTUPINFOW startup;
  PROCESS_INFORMATION process;
  int n = 0;
  memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  restart[n++] = L'"';
  while (*program != L'\0' && n < 32760) restart[n++] = *program++;
  restart[n++] = L'"';
  restart[n] = L'\0';
  if (!CreateProcessW(NULL, restart, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) return 0;
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return 1;
}

void mainCRTStartup(void) {
  int count = 0;
  int first = 1;
  int ok = 1;
  DWORD pid = 0;
  wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (arguments != NULL && count > 1 && WaitPid(arguments[1], &pid)) {
    HANDLE updater = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (updater != NULL) {
      WaitForSingleObject(updater, EXIT_WAIT_MS);
      CloseHandle(updater);
    }
    first = 2;
  }
  if (arguments == NULL || count <= first) ExitProcess(1);
  for (int i = first; i < count; ++i) {
    const wchar_t* destination = Destination(arguments[i]);
    DWORD attributes = GetFileAttributesW(destination);
    int moved = 0;
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
        !SetFileAttributesW(destination, attributes & ~(DWORD)FILE_ATTRIBUTE_READONLY)) {
      ExitProcess(1);
    }
    for (int attempt = 0; attempt < ATTEMPTS && !moved; ++attempt) {
      Sleep(ATTEMPT_WAIT_MS);
      moved = MoveFileExW(arguments[i], destination, MOVEFILE_REPLACE_EXISTING) != 0;
    }
    if (!moved) ok = 0;
  }
  if (!ok || !Restart(Destination(arguments[first]))) ExitProcess(1);
  ExitProcess(0);
}
