#include <windows.h>
#include <restartmanager.h>

#include <vector>

#include "services/file_holders.h"
#include "services/platform.h"
#include "services/system_path_win.h"
#include "services/win_handle.h"

bool FileIsHeld(const std::wstring& path) {
  // Replacing or removing a file asks for delete access: a holder that did not share delete
  // refuses it, exactly as it would refuse the move.
  UniqueWinHandle<FileHandleTraits> file(CreateFileW(SystemPath(path).c_str(), DELETE,
                                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.valid()) return false;
  const DWORD error = GetLastError();
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

namespace {

struct RestartSession {
  DWORD handle = 0;
  bool started = false;
  RestartSession() {
    WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
    started = RmStartSession(&handle, 0, key) == ERROR_SUCCESS;
  }
  ~RestartSession() {
    if (started) RmEndSession(handle);
  }
};

}  // namespace

std::wstring FileHolders(const std::wstring& path) {
  RestartSession session;
  if (!session.started) return L"";
  const std::wstring full = AbsolutePath(path);
  LPCWSTR files[] = {full.c_str()};
  if (RmRegisterResources(session.handle, 1, files, 0, nullptr, 0, nullptr) != ERROR_SUCCESS) return L"";
  UINT needed = 0, count = 0;
  DWORD reasons = 0;
  std::vector<RM_PROCESS_INFO> processes;
  DWORD status = RmGetList(session.handle, &needed, &count, nullptr, &reasons);
  if (status == ERROR_MORE_DATA && needed > 0) {
    processes.resize(needed);
    count = needed;
    status = RmGetList(session.handle, &needed, &count, processes.data(), &reasons);
  }
  if (status != ERROR_SUCCESS) return L"";
  std::wstring holders;
  for (UINT i = 0; i < count && i < processes.size(); ++i) {
    if (!holders.empty()) holders += L", ";
    holders += std::wstring(processes[i].strAppName) + L" (pid " +
               std::to_wstring(processes[i].Process.dwProcessId) + L")";
  }
  return holders;
}
