#pragma once
// Start-up facts shared by the window program and the headless updater: the program folder, the
// configuration in "./log.ini", and the logger configured from it.
#include <cstdint>
#include <string>
#include <vector>

#include "engine/update_run.h"

// The folder of the running executable, without a trailing separator.
std::wstring ProgramFolder();

struct StartupConfig {
  int logLevel = 0;        // "LogLevel": the diagnostic log's threshold (low byte)
  bool showConsole = false;  // "ShowConsole": mirror the diagnostic log to a console
  std::wstring patchHost;  // "PatchHost": a patch-server host for staging and QA servers
  std::wstring rootKey;    // "RootKey": the root descriptor's key of the product; empty: the default
  std::wstring channel;    // "Channel": the channel whose releases the installation takes; empty: the default
  bool report = true;      // "Report": 0 keeps the run's result from the server (engine/result_report.h)
  int connections = 0;     // "Connections": downloads at once, 1 to 16; 0 when not given
  std::uint64_t maxRate = 0;  // "MaxRate": the download cap in bytes per second; 0: none
  std::uint64_t minRate = 1024;  // "MinRate": the speed floor in bytes per second; 0: none
  std::string publicKey;   // "PublicKey": publisher keys for a staging tree, over the built-in ones
  std::wstring caFile;     // "CaFile": an https staging server's authority (PEM), in place of the system's
  std::wstring proxy;      // "Proxy": a proxy URL, "none" for direct; empty: the system's settings
  std::wstring language;   // "Language": "vi" or "en"; empty when not given (or not one of them)
  // Values that do not read, each with what is used instead ("Connections=99 is not 1 to 16; the
  // default is used"): the front ends name them once.
  std::vector<std::wstring> problems;
};

// The most downloads a run makes at once.
constexpr int CONNECTIONS_MAX = 16;

// A count of connections, "1" to "16".
bool ParseConnections(const std::wstring& text, int& connections);

// A rate as "BYTES", "BYTESk" (KiB) or "BYTESM" (MiB) per second: "500k" is 512,000. "0" is no cap.
bool ParseByteRate(const std::wstring& text, std::uint64_t& bytesPerSecond);

// Section "zepo" of "./log.ini" in the current directory; defaults when it is missing.
StartupConfig ReadStartupConfig();

// The diagnostic log under folder + "\logs\zepo". Its console, when shown, is titled
// "Velora - -Console Debug - " and the process id.
bool ConfigureLogger(const std::wstring& folder, std::uint8_t threshold, bool showConsole);

// The diagnostic log's first entry of a process: its id and command line.
void LogProcessStart(const std::wstring& commandLine);

// The patch-server host built into the program.
std::wstring DefaultPatchHost();

// The publisher keys built into the program (ZEPO_PUBLIC_KEY); empty when it trusts none.
std::string BuiltInPublicKeys();

// The run's settings as the installation's log.ini gives them over the built-in ones (the
// patch host, connections, rate cap and floor, trusted keys), and the process's proxy and
// certificate authority set from it: one place for both front ends, which lay their own command
// line over them.
RunSettings RunSettingsFrom(const StartupConfig& config);
