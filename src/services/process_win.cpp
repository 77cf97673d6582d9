#include <windows.h>

#include "services/platform.h"
#include "services/process.h"
#include "services/system_path_win.h"

namespace {

// Process creation takes neither the extended form nor a long plain path, and its path rules
// drop the spaces and dots that end a name: "C:\Games\Velora \" becomes a folder that does not
// exist.
bool NotStartableAsItIs(const std::wstring& path) {
  if (path.size() > PLAIN_PATH_MAX) return true;
  for (std::size_t end = path.find_first_of(L"\\/"); end != std::wstring::npos; end = path.find_first_of(L"\\/", end + 1)) {
    if (end == 0) continue;
    const wchar_t last = path[end - 1];
    const bool dotsOnly = path.find_last_not_of(L'.', end - 1) == path.find_last_of(L"\\/", end - 1);
    if (last == L' ' || (last == L'.' && !dotsOnly)) return true;
  }
  const wchar_t last = path.empty() ? L'\\' : path.back();
  return last == L' ' || last == L'.';
}

// Such a path by its short form, where the volume keeps one.
std::wstring Startable(const std::wstring& path) {
  if (!NotStartableAsItIs(path)) return path;
  const std::wstring shortForm = ShortPathForm(path);
  return shortForm.empty() ? path : shortForm;
}

}  // namespace

// A program or current folder past 260 characters, or with a name that ends in a space or a dot,
// is named by its short form. The program is
// named apart from the command line as well, so that it is never searched for: Wine's search
// turns a name that is longer than 260 characters in its long form into garbage.
bool StartDetachedProcess(const std::vector<std::wstring>& arguments) {
  if (arguments.empty()) return false;
  std::vector<std::wstring> launched = arguments;
  launched[0] = Startable(AbsolutePath(arguments[0]));
  std::wstring commandLine = BuildCommandLine(launched);
  const std::wstring folder = Startable(AbsolutePath(L"."));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(launched[0].c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                      folder.c_str(), &startup, &process)) {
    return false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

namespace {

bool SameText(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
         CSTR_EQUAL;
}

// Whether the folder is the current one, which may be entered by its short form.
bool IsCurrentFolder(const std::wstring& folder) {
  const std::wstring current = AbsolutePath(L".\\");
  return SameText(folder, current) || SameText(ShortPathForm(folder), current);
}

}  // namespace

// A long path (or one with a name ending in a space or a dot) to a program in the current folder
// is named from that folder: the short name of a file that the helper has just replaced may not
// name it any more (Wine maps it to another).
std::wstring LaunchablePath(const std::wstring& path) {
  const std::wstring program = AbsolutePath(path);
  if (!NotStartableAsItIs(program)) return path;
  const std::size_t cut = program.find_last_of(L'\\');
  if (cut != std::wstring::npos && IsCurrentFolder(program.substr(0, cut + 1))) {
    return L".\\" + program.substr(cut + 1);
  }
  return Startable(program);
}
