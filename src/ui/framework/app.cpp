#include "ui/framework/app.h"

CWinApp* CWinApp::current_ = nullptr;

CWinApp::CWinApp() { current_ = this; }

CWinApp::~CWinApp() {
  if (current_ == this) current_ = nullptr;
}

int CWinApp::Run() {
  if (InitInstance()) {
    MSG msg{};
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    exitCode_ = static_cast<int>(msg.wParam);
  }
  return ExitInstance();
}

bool RegisterClassOnce(const WNDCLASSW& windowClass) {
  WNDCLASSW existing;
  if (GetClassInfoW(windowClass.hInstance, windowClass.lpszClassName, &existing)) return true;
  return RegisterClassW(&windowClass) != 0;
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  CWinApp* app = CWinApp::Current();
  return app != nullptr ? app->Run() : 1;
}
