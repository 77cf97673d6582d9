#pragma once
// Start-up facts shared by the window program and the headless updater: the program folder, the
// configuration in "./log.ini", and the logger configured from it.
#include <cstdint>
#include <string>

// The folder of the running executable, without a trailing separator.
std::wstring ProgramFolder();

struct StartupConfig {
  int logLevel = 0;        // "LogLevel": the diagnostic log's threshold (low byte)
  bool showConsole = false;  // "ShowConsole": mirror the diagnostic log to a console
  std::wstring patchHost;  // "PatchHost": a patch-server host for staging and QA servers
};

// Section "zepo" of "./log.ini" in the current directory; defaults when it is missing.
StartupConfig ReadStartupConfig();

// The diagnostic log under folder + "\logs\zepo". Its console, when shown, is titled
// "Velora - -Console Debug - " and the process id.
bool ConfigureLogger(const std::wstring& folder, std::uint8_t threshold, bool showConsole);

// The diagnostic log's first entry of a process: its id and command line.
void LogProcessStart(const std::wstring& commandLine);

// The patch-server host built into the program.
std::wstring DefaultPatchHost();
