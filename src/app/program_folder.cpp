#include "app/program_folder.h"

#include <cwchar>

#include "services/logger.h"
#include "services/ini_file.h"
#include "services/files.h"
#include "services/platform.h"

std::wstring ProgramFolder() {
  return FolderOfPath(ExecutablePath());
}

StartupConfig ReadStartupConfig() {
  const IniDocument ini = LoadIniFile(L".\\log.ini");
  StartupConfig config;
  std::wstring value;
  ini.ReadString(L"zepo", L"LogLevel", value);
  config.logLevel = IniTextToInt(value);
  ini.ReadString(L"zepo", L"ShowConsole", value);
  config.showConsole = IniTextToInt(value) != 0;
  ini.ReadString(L"zepo", L"PatchHost", config.patchHost);
  return config;
}

namespace {

std::wstring ConsoleTitle() {
  wchar_t title[128];
  std::swprintf(title, sizeof(title) / sizeof(title[0]), L"%ls - %ls - %lu", L"Velora", L"-Console Debug",
                static_cast<unsigned long>(CurrentProcessId()));
  return title;
}

}  // namespace

bool ConfigureLogger(const std::wstring& folder, std::uint8_t threshold, bool showConsole) {
  const std::wstring logs = folder + L"\\logs\\zepo";
  return TheLogger().Configure(logs.c_str(), threshold, ConsoleTitle().c_str(), showConsole);
}

void LogProcessStart(const std::wstring& commandLine) {
  TheLogger().WriteFormat(LOG_DEBUG, L"Process Zepo %lu start CommandLine: %ls",
                          static_cast<unsigned long>(CurrentProcessId()), commandLine.c_str());
}

std::wstring DefaultPatchHost() { return ZEPO_PATCH_HOST; }
