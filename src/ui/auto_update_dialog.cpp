#include "ui/auto_update_dialog.h"

#include <algorithm>
#include <tuple>
#include <utility>

#include "services/files.h"
#include "services/language.h"
#include "ui/window_fit.h"

namespace {

constexpr COLORREF DARK = RGB(24, 24, 24);
constexpr COLORREF WHITE = RGB(255, 255, 255);
constexpr UINT BACKGROUND_PERIOD_MS = 10000;
constexpr int BACKGROUNDS = 4;

// The buttons' places in dialog units (left, top, width, height), so that they keep their place
// beside the bar and the labels at any DPI. At 96 DPI with the dialog font's 7 x 13 base units
// they stand at (375, 517) and (450, 517), 70 x 20 pixels, where the artwork was drawn for them.
constexpr RECT RETRY_UNITS{214, 318, 40, 12};
constexpr RECT EXIT_UNITS{257, 318, 40, 12};

// The artwork never shrinks below this many pixels high to make the window fit a small screen.
constexpr int ARTWORK_MIN_HEIGHT = 64;

// What the run shows, called on its thread: the status line's text is set at once (the call waits
// for the window's thread), the progress calls are posted to the window's thread in order.
class WindowView final : public RunView {
 public:
  WindowView(HWND window, HWND versionLabel) : window_(window), versionLabel_(versionLabel) {}

  void SetStatus(const std::wstring& text) override { SetDlgItemTextW(window_, IDC_STATUS, text.c_str()); }
  void ShowVersion(const std::wstring& text) override {
    SetWindowTextW(versionLabel_, text.c_str());
    ShowWindow(versionLabel_, SW_SHOW);
  }
  void StepProgress() override { PostMessageW(window_, WM_PROGRESS_STEPIT, 0, 0); }
  void SetProgressRange(int lower, int upper) override {
    PostMessageW(window_, WM_PROGRESS_SETRANGE, static_cast<WPARAM>(lower), upper);
  }
  void SetProgressPosition(int position) override {
    PostMessageW(window_, WM_PROGRESS_SETPOS, static_cast<WPARAM>(position), 0);
  }

 private:
  HWND window_;
  HWND versionLabel_;
};

// A control's rectangle in its parent's client coordinates.
RECT PlaceOf(HWND control) {
  RECT place;
  GetWindowRect(control, &place);
  MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&place), 2);
  return place;
}

}  // namespace

CAutoUpdateAppDlg::CAutoUpdateAppDlg(HWND parent, RunSettings settings)
    : CDialog(IDD_AUTOUPDATEAPP_DIALOG, parent), settings_(std::move(settings)) {
  settings_.stop = &stop_;
}

CAutoUpdateAppDlg::~CAutoUpdateAppDlg() {
  // A quit message from outside can end the modal run while a run still goes on; the run uses
  // this object, so it must end first. Its calls on the destroyed window fail at once.
  EndWorker();
  if (darkBrush_ != nullptr) DeleteObject(darkBrush_);
}

const MessageMap* CAutoUpdateAppDlg::GetMessageMap() const {
  static const MessageEntry entries[] = {
      MapMessage<&CAutoUpdateAppDlg::OnUpdateFinished>(WM_UPDATE_FINISHED),
      MapMessage<&CAutoUpdateAppDlg::OnProgressSetRange>(WM_PROGRESS_SETRANGE),
      MapMessage<&CAutoUpdateAppDlg::OnProgressSetPos>(WM_PROGRESS_SETPOS),
      MapMessage<&CAutoUpdateAppDlg::OnProgressStepIt>(WM_PROGRESS_STEPIT),
      MapMessage<&CAutoUpdateAppDlg::OnClose>(WM_CLOSE),
      MapCtlColor<&CAutoUpdateAppDlg::OnCtlColor>(),
      MapLButtonDown<&CAutoUpdateAppDlg::OnLButtonDown>(),
      MapTimer<&CAutoUpdateAppDlg::OnTimer>(),
      MapCommand<&CAutoUpdateAppDlg::OnExit>(IDC_EXIT),
      MapCommand<&CAutoUpdateAppDlg::OnRetry>(IDC_RETRY),
      END_OF_MAP,
  };
  static const MessageMap map{CDialog::GetMessageMap(), entries};
  return &map;
}

// The game's icon on the taskbar and in Alt+Tab, at the sizes the system shows there. The icons
// are shared resources: the system frees them with the program.
void CAutoUpdateAppDlg::ShowGameIcon() {
  const HINSTANCE module = GetModuleHandleW(nullptr);
  for (const auto& [which, width, height] : {std::tuple{ICON_BIG, SM_CXICON, SM_CYICON}, {ICON_SMALL, SM_CXSMICON, SM_CYSMICON}}) {
    HANDLE icon = LoadImageW(module, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON, GetSystemMetrics(width),
                             GetSystemMetrics(height), LR_SHARED);
    if (icon != nullptr) SendMessageW(hwnd_, WM_SETICON, static_cast<WPARAM>(which), reinterpret_cast<LPARAM>(icon));
  }
}

void CAutoUpdateAppDlg::DoDataExchange() {
  CDialog::DoDataExchange();
  BindControl(IDC_PROGRESS, progress_);
  BindControl(IDC_STATUS, status_);
  BindControl(IDC_VERSION, version_);
  BindControl(IDC_BACKGROUND, background_);
  BindControl(IDC_RETRY, retry_);
  BindControl(IDC_EXIT, exit_);
}

BOOL CAutoUpdateAppDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  darkBrush_ = CreateSolidBrush(DARK);
  SetWindowTextW(hwnd_, Say(L"Velora cập nhật phiên bản", L"Velora update").c_str());
  ShowGameIcon();
  status_.SetTextColor(WHITE);
  status_.FitLongTexts();
  version_.SetTextColor(WHITE);
  ShowWindow(version_.GetSafeHwnd(), SW_HIDE);
  progress_.SetImages(IDR_PROGRESS_TRACK, IDR_PROGRESS_LEFT, IDR_PROGRESS_MIDDLE, IDR_PROGRESS_RIGHT, L"DATA");
  LoadBackground();

  struct ButtonPlace {
    CImageButton& button;
    UINT skin;
    const wchar_t* tip;
    RECT units;
  };
  const std::wstring retryTip = Say(L"Thử lại", L"Retry"), exitTip = Say(L"Thoát ra", L"Exit");
  for (const ButtonPlace& place : {ButtonPlace{retry_, IDR_BUTTON_RETRY, retryTip.c_str(), RETRY_UNITS},
                                   ButtonPlace{exit_, IDR_BUTTON_EXIT, exitTip.c_str(), EXIT_UNITS}}) {
    place.button.LoadSkin(place.skin, L"PNG");
    place.button.SetToolTipText(place.tip);
    // Mapped as one rectangle, the width and height would carry the rounding of both edges.
    RECT pixels = place.units;
    MapDialogRect(hwnd_, &pixels);
    MoveWindow(place.button.GetSafeHwnd(), pixels.left, pixels.top, pixels.right, pixels.bottom, TRUE);
    ShowWindow(place.button.GetSafeHwnd(), SW_HIDE);
  }
  FitIntoWorkArea();
  StartRun();
  return TRUE;
}

// At a high DPI on a small screen the dialog may be larger than the work area: the controls are
// placed again by the fitting rule, and the window is moved into the work area, never past its top
// or left.
void CAutoUpdateAppDlg::FitIntoWorkArea() {
  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  if (!GetMonitorInfoW(MonitorFromWindow(hwnd_, MONITOR_DEFAULTTONEAREST), &monitor)) return;
  const RECT& work = monitor.rcWork;
  RECT window, client;
  GetWindowRect(hwnd_, &window);
  GetClientRect(hwnd_, &client);
  const int frameWidth = (window.right - window.left) - client.right;
  const int frameHeight = (window.bottom - window.top) - client.bottom;
  const std::pair<HWND, Place WindowPlaces::*> controls[] = {
      {background_.GetSafeHwnd(), &WindowPlaces::artwork}, {progress_.GetSafeHwnd(), &WindowPlaces::bar},
      {status_.GetSafeHwnd(), &WindowPlaces::status},      {version_.GetSafeHwnd(), &WindowPlaces::version},
      {retry_.GetSafeHwnd(), &WindowPlaces::retry},        {exit_.GetSafeHwnd(), &WindowPlaces::exit}};
  WindowPlaces natural;
  natural.width = client.right;
  natural.height = client.bottom;
  for (const auto& [control, place] : controls) {
    const RECT r = PlaceOf(control);
    natural.*place = Place{r.left, r.top, r.right - r.left, r.bottom - r.top};
  }
  const WindowPlaces fitted = FitWindow(natural, (work.right - work.left) - frameWidth,
                                        (work.bottom - work.top) - frameHeight, ARTWORK_MIN_HEIGHT);
  for (const auto& [control, place] : controls) {
    const Place& p = fitted.*place;
    MoveWindow(control, p.left, p.top, p.width, p.height, FALSE);
  }
  const int width = fitted.width + frameWidth, height = fitted.height + frameHeight;
  const int left = std::max<int>(work.left, std::min<int>(window.left, work.right - width));
  const int top = std::max<int>(work.top, std::min<int>(window.top, work.bottom - height));
  SetWindowPos(hwnd_, nullptr, left, top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

// Waits for the run's thread to end, when there is one, and lets its handle go.
void CAutoUpdateAppDlg::EndWorker() {
  if (!workerThread_.valid()) return;
  WaitForSingleObject(workerThread_.get(), INFINITE);
  workerThread_.reset();
}

void CAutoUpdateAppDlg::LoadBackground() {
  background_.LoadFromResource(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(backgroundIds_[backgroundIndex_]),
                               MAKEINTRESOURCEW(10));  // RT_RCDATA
}

void CAutoUpdateAppDlg::StartRun() {
  PostMessageW(hwnd_, WM_PROGRESS_SETRANGE, 0, 100);
  PostMessageW(hwnd_, WM_PROGRESS_SETPOS, 0, 0);
  stop_ = false;
  EnableWindow(retry_.GetSafeHwnd(), FALSE);
  // "Thoát ra" stops the run and closes the window, as the close box does.
  ShowWindow(exit_.GetSafeHwnd(), SW_SHOWNORMAL);
  EnableWindow(exit_.GetSafeHwnd(), TRUE);
  // The timer lives on the window's thread, which owns the window; it runs while the worker does.
  SetTimer(hwnd_, ID_TIMER_BACKGROUND, BACKGROUND_PERIOD_MS, nullptr);
  workerThread_.reset(CreateThread(nullptr, 0, &CAutoUpdateAppDlg::UpdateThreadProc, this, 0, nullptr));
  if (!workerThread_.valid()) PostMessageW(hwnd_, WM_UPDATE_FINISHED, 0, RUN_FAILED);
}

DWORD WINAPI CAutoUpdateAppDlg::UpdateThreadProc(void* window) {
  auto& dialog = *static_cast<CAutoUpdateAppDlg*>(window);
  WindowView view(dialog.hwnd_, dialog.version_.GetSafeHwnd());
  const int result = UpdateRun(view, dialog.settings_);
  // The post is the thread's last touch of the window.
  PostMessageW(dialog.hwnd_, WM_UPDATE_FINISHED, 0, result);
  return static_cast<DWORD>(result);
}

LRESULT CAutoUpdateAppDlg::OnUpdateFinished(WPARAM, LPARAM lParam) {
  EndWorker();
  KillTimer(hwnd_, ID_TIMER_BACKGROUND);
  lastResult = static_cast<std::uint16_t>(lParam);
  if (lParam == RUN_SELF_UPDATE || closing_) {
    // The working folder stays for the engine helper.
    PostQuitMessage(0);
    return 1;
  }
  ShowButtons();
  return 1;
}

void CAutoUpdateAppDlg::ShowButtons() {
  for (CImageButton* button : {&retry_, &exit_}) {
    ShowWindow(button->GetSafeHwnd(), SW_SHOWNORMAL);
    EnableWindow(button->GetSafeHwnd(), TRUE);
  }
}

LRESULT CAutoUpdateAppDlg::OnProgressSetRange(WPARAM lower, LPARAM upper) {
  progress_.SetRange(static_cast<int>(lower), static_cast<int>(upper));
  return 1;
}

LRESULT CAutoUpdateAppDlg::OnProgressSetPos(WPARAM position, LPARAM) {
  progress_.SetPos(static_cast<int>(position));
  return 1;
}

LRESULT CAutoUpdateAppDlg::OnProgressStepIt(WPARAM, LPARAM) {
  progress_.StepIt();
  return 1;
}

HBRUSH CAutoUpdateAppDlg::OnCtlColor(HDC dc, HWND, UINT) {
  Default();
  SetBkMode(dc, TRANSPARENT);
  return darkBrush_;
}

void CAutoUpdateAppDlg::OnLButtonDown(UINT, POINT point) {
  // The whole surface drags the window, as a caption would.
  ReleaseCapture();
  PostMessageW(hwnd_, WM_NCLBUTTONDOWN, HTCAPTION, MAKELPARAM(point.x, point.y));
  Default();
}

void CAutoUpdateAppDlg::OnTimer(UINT_PTR) {
  backgroundIndex_ = (backgroundIndex_ + 1) % BACKGROUNDS;
  LoadBackground();
  Default();
}

void CAutoUpdateAppDlg::OnExit() { StopAndClose(); }

LRESULT CAutoUpdateAppDlg::OnClose(WPARAM, LPARAM) {
  StopAndClose();
  return 0;
}

void CAutoUpdateAppDlg::StopAndClose() {
  if (!workerThread_.valid()) {
    PostQuitMessage(0);
    return;
  }
  // The run ends on its own thread, which the window must not wait for here: the run's status
  // calls go through this thread. Its end (WM_UPDATE_FINISHED) closes the window.
  closing_ = true;
  stop_ = true;
  SetDlgItemTextW(hwnd_, IDC_STATUS, Say(L"Đang dừng cập nhật...", L"Stopping the update...").c_str());
}

void CAutoUpdateAppDlg::OnRetry() { StartRun(); }

