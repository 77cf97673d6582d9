#pragma once
// The program's only window: a borderless dark dialog with a rotating background picture, the
// skinned progress bar, the status and version lines and two image buttons. It starts an update
// run on a worker thread as soon as it exists and then only shows what the run reports; after a
// run it closes by itself (the engine helper took over) or waits for "Thử lại" or "Thoát ra".
// The close box, Alt+F4 and "Thoát ra" also stop a run: it ends at its next file (a commit that has
// begun is finished first, in seconds), what it staged waits for the next start, and the window
// closes.
#include <atomic>
#include <cstdint>
#include <string>

#include "engine/run_view.h"
#include "engine/update_run.h"
#include "services/win_handle.h"
#include "ui/framework/dialog.h"
#include "ui/image_button.h"
#include "ui/label.h"
#include "ui/picture_ctrl.h"
#include "ui/progress_ctrl_ex.h"
#include "ui/resource.h"

// The window's messages; the run posts them, never sends them.
constexpr UINT WM_UPDATE_FINISHED = WM_USER + 1;     // lParam: the run's result
constexpr UINT WM_PROGRESS_SETRANGE = WM_USER + 30;  // wParam lower, lParam upper
constexpr UINT WM_PROGRESS_SETPOS = WM_USER + 31;    // wParam position
// One step of the bar. Steps travel in the same queue as the range and position changes, so
// that the window applies them in the order the run made them.
constexpr UINT WM_PROGRESS_STEPIT = WM_USER + 32;
constexpr UINT_PTR ID_TIMER_BACKGROUND = 123;

class CAutoUpdateAppDlg : public CDialog {
 public:
  // settings: those of every run the window starts (host, restart command).
  CAutoUpdateAppDlg(HWND parent, RunSettings settings);
  ~CAutoUpdateAppDlg() override;

  // The result of the last finished run; RUN_FINISHED before any.
  std::uint16_t lastResult = RUN_FINISHED;

 protected:
  void DoDataExchange() override;
  BOOL OnInitDialog() override;
  // Neither Enter nor Escape ends the window: a player presses them by chance.
  void OnOK() override {}
  void OnCancel() override {}
  const MessageMap* GetMessageMap() const override;

 private:
  void StartRun();
  static DWORD WINAPI UpdateThreadProc(void* window);

  LRESULT OnUpdateFinished(WPARAM wParam, LPARAM lParam);
  LRESULT OnProgressSetRange(WPARAM lower, LPARAM upper);
  LRESULT OnProgressSetPos(WPARAM position, LPARAM);
  LRESULT OnProgressStepIt(WPARAM, LPARAM);
  HBRUSH OnCtlColor(HDC dc, HWND control, UINT kind);
  void OnLButtonDown(UINT flags, POINT point);
  void OnTimer(UINT_PTR id);
  void OnExit();
  void OnRetry();
  // The close box and Alt+F4.
  LRESULT OnClose(WPARAM, LPARAM);
  // Closes the window, after stopping the run when one goes on.
  void StopAndClose();

  void ShowButtons();
  void ShowGameIcon();
  void LoadBackground();
  void FitIntoWorkArea();
  void EndWorker();

  std::atomic<bool> stop_{false};
  bool closing_ = false;
  RunSettings settings_;
  CProgressCtrlEx progress_;
  CLabel status_;
  CLabel version_;
  CImageButton retry_;
  CImageButton exit_;
  UniqueKernelHandle workerThread_;
  HBRUSH darkBrush_ = nullptr;
  CPictureCtrl background_;
  int backgroundIndex_ = 0;
  const int backgroundIds_[4] = {IDR_BACKGROUND_FIRST, IDR_BACKGROUND_FIRST + 1, IDR_BACKGROUND_FIRST + 2,
                                 IDR_BACKGROUND_FIRST + 3};
};
