#pragma once
// The window program's application object: start-up prepares the process, configures logging,
// makes sure only one updater runs, checks the internet and runs the update window; the whole
// update happens while that window is open.
#include "services/win_handle.h"
#include "ui/framework/app.h"

class CZepoApp : public CWinApp {
 public:
  BOOL InitInstance() override;
  int ExitInstance() override;

 private:
  UniqueKernelHandle singleInstanceMutex_;
};
