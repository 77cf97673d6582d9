#include "app/zepo_app.h"

#include <commctrl.h>
#include <objbase.h>

#include "app/program_folder.h"
#include "services/http.h"
#include "services/language.h"
#include "services/logger.h"
#include "services/platform.h"
#include "services/process.h"
#include "services/probe.h"
#include "services/proxy.h"
#include "services/text.h"
#include "ui/auto_update_dialog.h"

namespace {

// The window class by which a running instance of the game side is found, and which start-up
// registers as a copy of the system dialog class.
const wchar_t INSTANCE_CLASS[] = L"velora_tarvik_qel_2012";
constexpr UINT WM_NOTIFY_INSTANCE = WM_USER + 35;

CZepoApp theApp;

void InitCommonControlClasses() {
  INITCOMMONCONTROLSEX controls{8, 0xFF};  // every class of the first generation
  InitCommonControlsEx(&controls);
}

// True when another instance holds the mutex; its window of the instance class is told.
bool AnotherInstanceRuns(UniqueKernelHandle& mutex) {
  mutex.reset(CreateMutexW(nullptr, FALSE, L"ZEPO"));
  if (!mutex.valid() || GetLastError() != ERROR_ALREADY_EXISTS) return false;
  if (HWND running = FindWindowW(INSTANCE_CLASS, nullptr)) SendMessageW(running, WM_NOTIFY_INSTANCE, 0, 0);
  return true;
}

void RegisterInstanceClass() {
  WNDCLASSW windowClass;
  HINSTANCE module = GetModuleHandleW(nullptr);
  if (!GetClassInfoW(module, L"#32770", &windowClass)) return;
  windowClass.hInstance = module;
  windowClass.lpszClassName = INSTANCE_CLASS;
  RegisterClassOnce(windowClass);
}

// "--lang vi|en" or "--lang=vi|en" among the arguments sets the language; it stays among them, so
// that a restart after a self-update speaks the same. False when none is given.
bool TakeLanguageArgument(const std::vector<std::wstring>& arguments) {
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    std::wstring value;
    if (EqualNoCase(arguments[i], L"--lang") && i + 1 < arguments.size()) value = arguments[i + 1];
    if (arguments[i].size() > 7 && EqualNoCase(arguments[i].substr(0, 7), L"--lang=")) value = arguments[i].substr(7);
    Language language;
    if (ParseLanguage(value, language)) {
      SetLanguage(language);
      return true;
    }
  }
  return false;
}

// The start-up check of the connection to the patch host; when it fails the player is told, in
// a message box, what did not answer.
bool ReachesPatchHost(const std::wstring& host) {
  if (CheckInternetConnection(host)) return true;
  const std::wstring proxy = ProxyFor(HostRootUrl(host));
  TheLogger().WriteFailure(L"AutoUpdateApp: the start-up check could not connect to " + HostRootUrl(host) +
                           (proxy.empty() ? L"" : L" through the proxy " + ShownProxy(proxy)));
  ReleaseCapture();
  // Through a proxy the proxy is what did not answer: the player's internet may be fine.
  MessageBoxW(nullptr,
              (proxy.empty() ? Say(L"Kết nối internet thất bại.\nVui lòng kiểm tra internet của bạn.",
                                   L"Could not connect to the internet.\nPlease check your connection.")
                             : Say(L"Không kết nối được tới máy chủ proxy.\nVui lòng kiểm tra cài đặt proxy.",
                                   L"The proxy cannot be reached.\nPlease check the proxy settings."))
                  .c_str(),
              L"Velora", MB_OK);
  return false;
}

}  // namespace

BOOL CZepoApp::InitInstance() {
  InitCommonControlClasses();
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

  const wchar_t* commandLine = GetCommandLineW();
  std::vector<std::wstring> arguments = SplitCommandLine(commandLine != nullptr ? commandLine : L"");
  if (!arguments.empty()) arguments.erase(arguments.begin());
  // The window speaks Vietnamese unless --lang or "Language" in log.ini says otherwise.
  const bool languageGiven = TakeLanguageArgument(arguments);
  // Nothing is read or written before the program folder is current: never another folder's.
  const std::wstring folder = ProgramFolder();
  if (!SetCurrentFolder(folder)) {
    MessageBoxW(nullptr,
                Say(L"Không thể làm việc trong thư mục của chương trình:\n%s", L"Cannot work in the program's folder:\n%s",
                    folder)
                    .c_str(),
                L"Velora", MB_OK);
    return FALSE;
  }
  const StartupConfig config = ReadStartupConfig();
  Language language;
  if (!languageGiven && ParseLanguage(config.language, language)) SetLanguage(language);
  ConfigureLogger(folder, static_cast<std::uint8_t>(config.logLevel & 0xFF), config.showConsole);
  LogProcessStart(commandLine != nullptr ? commandLine : L"");
  for (const std::wstring& problem : config.problems) TheLogger().Write(LOG_WARNING, L"AutoUpdateApp: log.ini: " + problem);

  if (AnotherInstanceRuns(singleInstanceMutex_)) return FALSE;
  RegisterInstanceClass();

  // A staging or QA patch server may be named in ./log.ini; the built-in host otherwise.
  RunSettings settings = RunSettingsFrom(config);
  if (!ReachesPatchHost(settings.host)) return FALSE;

  // After a self-update the helper starts this program again with its own arguments and the
  // stamp of the list that asked for it.
  settings.restartCommand = TakeSelfUpdatedArgument(arguments, settings.selfUpdatedStamp);
  // "zepo.exe --repair": every listed file is read whatever its time, and a damaged one replaced.
  for (const std::wstring& argument : arguments) settings.repair = settings.repair || EqualNoCase(argument, L"--repair");
  settings.restartCommand.insert(settings.restartCommand.begin(), ExecutablePath());

  std::uint16_t lastResult;
  {
    CAutoUpdateAppDlg window(nullptr, std::move(settings));
    window.DoModal();
    lastResult = window.lastResult;
  }
  // After a self-update the engine helper has taken over; the process ends either way.
  return lastResult == RUN_SELF_UPDATE;
}

int CZepoApp::ExitInstance() {
  singleInstanceMutex_.reset();
  CoUninitialize();
  return CWinApp::ExitInstance();
}
