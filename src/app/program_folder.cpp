#include "app/program_folder.h"

#include <cwchar>

#include "protocol/served_names.h"
#include "services/files.h"
#include "services/proxy.h"
#include "services/http.h"
#include "services/ini_file.h"
#include "services/language.h"
#include "services/logger.h"
#include "services/platform.h"
#include "services/text.h"

std::wstring ProgramFolder() {
  return FolderOfPath(ExecutablePath());
}

StartupConfig ReadStartupConfig() {
  const IniDocument ini = LoadIniFile(L".\\log.ini");
  StartupConfig config;
  std::wstring value;
  if (ini.ReadString(L"zepo", L"LogLevel", value)) {
    config.logLevel = IniTextToInt(value);
    if (value.size() != 1 || value[0] < L'0' || value[0] > L'4') {
      config.problems.push_back(L"LogLevel=" + value + L" is not 0 to 4; " + std::to_wstring(config.logLevel & 0xFF) +
                                L" is used");
    }
  }
  ini.ReadString(L"zepo", L"ShowConsole", value);
  config.showConsole = IniTextToInt(value) != 0;
  ini.ReadString(L"zepo", L"PatchHost", config.patchHost);
  ini.ReadString(L"zepo", L"RootKey", config.rootKey);
  if (ini.ReadString(L"zepo", L"Report", value) && !value.empty()) config.report = IniTextToInt(value) != 0;
  if (ini.ReadString(L"zepo", L"Channel", value) && !value.empty()) {
    if (IsChannelName(value)) {
      config.channel = value;
    } else {
      config.problems.push_back(L"Channel=" + value + L" is not a channel's name (a-z, 0-9 and -); the default "
                                L"channel is followed");
    }
  }
  // A value that does not read is left out, as a missing one, and named: the defaults serve.
  if (ini.ReadString(L"zepo", L"Connections", value) && !ParseConnections(value, config.connections)) {
    config.connections = 0;
    config.problems.push_back(L"Connections=" + value + L" is not 1 to " + std::to_wstring(CONNECTIONS_MAX) +
                              L"; the default is used");
  }
  if (ini.ReadString(L"zepo", L"MaxRate", value) && !ParseByteRate(value, config.maxRate)) {
    config.maxRate = 0;
    config.problems.push_back(L"MaxRate=" + value + L" is not BYTES, BYTESk or BYTESM; no cap is used");
  }
  if (ini.ReadString(L"zepo", L"MinRate", value) && !ParseByteRate(value, config.minRate)) {
    config.minRate = StartupConfig{}.minRate;
    config.problems.push_back(L"MinRate=" + value + L" is not BYTES, BYTESk or BYTESM; the default is used");
  }
  Language language;
  if (ini.ReadString(L"zepo", L"Language", value) && !value.empty()) {
    if (ParseLanguage(value, language)) {
      config.language = value;
    } else {
      config.problems.push_back(L"Language=" + value + L" is not vi or en; the default is used");
    }
  }
  if (ini.ReadString(L"zepo", L"PublicKey", value)) config.publicKey = WideToUtf8(value);
  ini.ReadString(L"zepo", L"CaFile", config.caFile);
  ini.ReadString(L"zepo", L"Proxy", config.proxy);
  return config;
}

bool ParseConnections(const std::wstring& text, int& connections) {
  if (text.empty() || text.size() > 2 || text.find_first_not_of(L"0123456789") != std::wstring::npos) return false;
  const int value = std::stoi(text);
  if (value < 1 || value > CONNECTIONS_MAX) return false;
  connections = value;
  return true;
}

bool ParseByteRate(const std::wstring& text, std::uint64_t& bytesPerSecond) {
  std::size_t digits = 0;
  while (digits < text.size() && text[digits] >= L'0' && text[digits] <= L'9') ++digits;
  if (digits == 0 || digits > 12 || text.size() > digits + 1) return false;
  std::uint64_t value = std::stoull(text.substr(0, digits));
  if (digits < text.size()) {
    const wchar_t unit = text[digits];
    if (unit == L'k' || unit == L'K') {
      value *= 1024;
    } else if (unit == L'm' || unit == L'M') {
      value *= 1024 * 1024;
    } else {
      return false;
    }
  }
  bytesPerSecond = value;
  return true;
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

std::string BuiltInPublicKeys() { return ZEPO_PUBLIC_KEY; }

RunSettings RunSettingsFrom(const StartupConfig& config) {
  RunSettings settings;
  settings.host = config.patchHost.empty() ? DefaultPatchHost() : config.patchHost;
  if (!config.rootKey.empty()) settings.rootKey = config.rootKey;
  settings.channel = config.channel;
  settings.reportResults = config.report;
  if (config.connections > 0) settings.connections = config.connections;
  settings.maxRateBytesPerSecond = config.maxRate;
  settings.minRateBytesPerSecond = config.minRate;
  settings.trustedKeys = config.publicKey.empty() ? BuiltInPublicKeys() : config.publicKey;
  SetCertificateAuthorityFile(WideToUtf8(config.caFile));
  SetProxySetting(config.proxy);
  return settings;
}
