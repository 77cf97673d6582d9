#pragma once
// The application object: one static object of a class derived from CWinApp. The program's
// entry point runs it: InitInstance; when that answers TRUE, the message loop until the first
// quit message; then ExitInstance, whose value is the process's exit status.
#include <windows.h>

class CWinApp {
 public:
  CWinApp();
  CWinApp(const CWinApp&) = delete;
  CWinApp& operator=(const CWinApp&) = delete;
  virtual ~CWinApp();

  virtual BOOL InitInstance() { return FALSE; }
  // The parameter of the last message that the message loop retrieved (the quit code).
  virtual int ExitInstance() { return exitCode_; }

  int Run();
  static CWinApp* Current() { return current_; }

 private:
  static CWinApp* current_;
  int exitCode_ = 0;
};

// Registers a window class unless one of that name is already registered for the module.
bool RegisterClassOnce(const WNDCLASSW& windowClass);
