#pragma once
// Small facts about the running process and the clock, one back end per platform.
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

struct LocalTime {
  int year;
  int month;  // 1 to 12
  int day;
  int hour;
  int minute;
  int second;
};

LocalTime LocalTimeNow();

// The UTC calendar time of a Unix time, for stamps that must not depend on the time zone.
std::tm UtcCalendarTime(std::int64_t unixTime);

// The full path of the running program's executable, in the platform's own separators.
std::wstring ExecutablePath();

unsigned long CurrentProcessId();

// Makes the folder the process's current directory, and makes sure it is that folder: on Windows a
// last component that ends in a space or a dot is kept by a trailing separator (else the system
// drops it and lands in another folder, or none), and the short form is tried last; a folder
// past 248 characters is entered by its short form first. False when the current directory could
// not be made exactly this folder.
bool SetCurrentFolder(const std::wstring& path);

// The path made absolute against the current directory, without resolving links; an absolute
// path is returned as it is. "inst" in /home/p becomes /home/p/inst.
std::wstring AbsolutePath(const std::wstring& path);

// The system's text for the calling thread's last failed call (errno, GetLastError), such as
// "Permission denied", for the diagnostic log.
std::wstring LastSystemErrorText();

// Whether standard output is a terminal (a console on Windows), and writing text to it:
// the console's own wide output there, UTF-8 bytes otherwise.
bool StdoutIsTerminal();
// The width of the terminal (console) standard output goes to, in columns; 0 when it is none or
// does not say.
int TerminalColumns();
void WriteStdout(const std::wstring& text);
// The same for standard error.
void WriteStderr(const std::wstring& text);
// Sends everything written to standard output from now on to nowhere (a command's --quiet, or
// its --json, whose one object goes out alone): printf's and WriteStdout's alike. The stream
// returned still reaches the original standard output; null when it cannot be kept.
std::FILE* SilenceStdout();
// Sends standard output and standard error from now on to the end of file (made when missing):
// a process started without a console or terminal whose words another process relays.
bool AppendOutputTo(const std::wstring& file);

// The program's arguments, the program's own name first: on Windows from the wide command line,
// so that letters outside the ANSI code page arrive whole; elsewhere argv as UTF-8.
std::vector<std::wstring> ProgramArguments(int argc, char** argv);
