// zepo-window-driver: runs zepo.exe under Wine on an X display and checks its window from the
// outside, as a user would see it: texts by WM_GETTEXT, visibility and enabled state, real
// keyboard and mouse input, and pixels of the screen against the artwork.
//
//   zepo-window-driver first-run EXE VERSION ART SHOTS      a whole update; then keys, drags, the bar
//   zepo-window-driver retry EXE VERSION ART SHOTS FAULT STALL
//                                   a failed run, the fault mended, retry from 0
//   zepo-window-driver second-instance EXE                  the mutex held: notify and leave
//   zepo-window-driver no-internet EXE [proxy]              the message box, no window
//   zepo-window-driver self-update EXE VERSION              the window closes, the new build finishes
//   zepo-window-driver stop EXE                             Alt+F4 during a download stops the run
//   zepo-window-driver demo EXE VERSION SHOTS                one update, with screenshots
//   zepo-window-driver resources EXE                        the artwork, helper and metadata inside
//   zepo-window-driver layout EXE VERSION SHOTS NAME         the window's geometry at the display's DPI
//   zepo-window-driver says EXE CASE SHOTS    the failed run's words: CASE is another-updater,
//                                            expired-signature or full-disk
//
// ART is the artwork folder, SHOTS the folder for screenshots. FAULT is a fault file to remove
// after the failure, STALL one to write ("stall_6") so that the retried run waits at its start.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "ui/gdiplus.h"
#include "ui/skin_rules.h"

namespace {

const wchar_t WINDOW_TITLE[] = L"Velora cập nhật phiên bản";
constexpr int IDC_VERSION = 1015, IDC_PROGRESS = 1014, IDC_STATUS = 1016, IDC_BACKGROUND = 1074,
              IDC_RETRY = 1066, IDC_EXIT = 1078;
constexpr UINT WM_PROGRESS_SETRANGE = WM_USER + 30, WM_PROGRESS_SETPOS = WM_USER + 31;

std::string Utf8(const std::wstring& text) {
  std::string out(static_cast<std::size_t>(text.size()) * 4 + 1, '\0');
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(),
                                    static_cast<int>(out.size()), nullptr, nullptr);
  out.resize(static_cast<std::size_t>(std::max(n, 0)));
  return out;
}

[[noreturn]] void Fail(const std::string& what) {
  std::printf("FAILED: %s\n", what.c_str());
  std::fflush(stdout);
  std::exit(1);
}

void Check(bool condition, const std::string& what) {
  if (!condition) Fail(what);
  std::printf("ok: %s\n", what.c_str());
  std::fflush(stdout);
}

// Polls until the condition holds or the time is up.
bool WaitFor(const std::function<bool()>& condition, DWORD milliseconds) {
  const ULONGLONG end = GetTickCount64() + milliseconds;
  while (!condition()) {
    if (GetTickCount64() > end) return false;
    Sleep(50);
  }
  return true;
}

std::wstring TextOf(HWND window) {
  wchar_t buffer[1024];
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(buffer), SMTO_ABORTIFHUNG, 5000, &length)) {
    return L"";
  }
  return std::wstring(buffer, length);
}

bool EndsWith(const std::wstring& text, const std::wstring& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// --- the program under test -------------------------------------------------------------------

struct Program {
  PROCESS_INFORMATION process{};
  HWND window = nullptr;

  explicit Program(const std::wstring& exe) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    std::wstring commandLine = L"\"" + exe + L"\"";
    // Started the way a shortcut with another working folder starts it: the program must find
    // its log.ini (and with it the test's patch server) in its own folder all the same.
    if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, L"C:\\", &startup,
                        &process)) {
      Fail("cannot start " + Utf8(exe));
    }
  }
  // The program that shows this window.
  explicit Program(HWND shown) : window(shown) {
    GetWindowThreadProcessId(shown, &process.dwProcessId);
    process.hProcess = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, process.dwProcessId);
    if (process.hProcess == nullptr) Fail("cannot follow the program of a window");
  }
  ~Program() {
    if (process.hProcess == nullptr) return;
    if (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(process.hProcess, 9);
    CloseHandle(process.hProcess);
    if (process.hThread != nullptr) CloseHandle(process.hThread);
  }
  bool Exited(DWORD milliseconds) const { return WaitForSingleObject(process.hProcess, milliseconds) == WAIT_OBJECT_0; }

  HWND Control(int id) const { return GetDlgItem(window, id); }
  std::wstring Status() const { return TextOf(Control(IDC_STATUS)); }
};

HWND FindUpdateWindow(const wchar_t* title = WINDOW_TITLE) { return FindWindowW(L"#32770", title); }

void WaitForWindow(Program& program, const wchar_t* title = WINDOW_TITLE) {
  Check(WaitFor([&] { return (program.window = FindUpdateWindow(title)) != nullptr; }, 60000),
        "the window \"" + Utf8(title) + "\" appears");
}

// Waits for the run's last status text, which ends in " thành công." or " thất bại.".
std::wstring WaitForVerdict(const Program& program) {
  std::wstring status;
  WaitFor([&] {
    status = program.Status();
    return EndsWith(status, L" thành công.") || EndsWith(status, L" thất bại.");
  }, 120000);
  return status;
}

void CheckButton(const Program& program, int id, bool visible, bool enabled, const std::string& when) {
  HWND button = program.Control(id);
  const bool matches = WaitFor([&] {
    return (IsWindowVisible(button) != FALSE) == visible && (!visible || (IsWindowEnabled(button) != FALSE) == enabled);
  }, 5000);
  Check(matches, std::string(id == IDC_RETRY ? "\"Thử lại\"" : "\"Thoát ra\"") + (visible ? " visible" : " hidden") +
                     (visible ? (enabled ? " and enabled" : " and disabled") : "") + " " + when);
}

void CheckButtons(const Program& program, bool visible, bool enabled, const std::string& when) {
  for (int id : {IDC_RETRY, IDC_EXIT}) CheckButton(program, id, visible, enabled, when);
}

// --- the screen ----------------------------------------------------------------------------------

struct Screen {
  int width = 0, height = 0;
  std::vector<std::uint32_t> pixels;  // 0x00RRGGBB, top row first
  std::uint32_t At(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x] & 0xFFFFFF; }
};

Screen CaptureScreen() {
  Screen screen;
  screen.width = GetSystemMetrics(SM_CXSCREEN);
  screen.height = GetSystemMetrics(SM_CYSCREEN);
  BITMAPINFO info{};
  info.bmiHeader = {sizeof(BITMAPINFOHEADER), screen.width, -screen.height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  HDC desktop = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(desktop);
  HBITMAP bitmap = CreateDIBSection(desktop, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ previous = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, screen.width, screen.height, desktop, 0, 0, SRCCOPY);
  GdiFlush();
  const auto* first = static_cast<const std::uint32_t*>(bits);
  screen.pixels.assign(first, first + static_cast<std::size_t>(screen.width) * screen.height);
  SelectObject(memory, previous);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, desktop);
  return screen;
}

// The window's part of the screen, as a PNG file in the folder.
void SaveScreenshot(const std::wstring& folder, const wchar_t* name, HWND window) {
  const Screen screen = CaptureScreen();
  RECT area;
  GetWindowRect(window, &area);
  area.left = std::max<LONG>(area.left, 0), area.top = std::max<LONG>(area.top, 0);
  area.right = std::min<LONG>(area.right, screen.width), area.bottom = std::min<LONG>(area.bottom, screen.height);
  const int width = area.right - area.left, height = area.bottom - area.top;
  if (width <= 0 || height <= 0) Fail("the window is off the screen");
  std::vector<std::uint32_t> pixels;
  for (int y = area.top; y < area.bottom; ++y) {
    const auto row = screen.pixels.begin() + static_cast<std::ptrdiff_t>(y) * screen.width;
    pixels.insert(pixels.end(), row + area.left, row + area.right);
  }
  Gdiplus::Bitmap bitmap(width, height, width * 4, PixelFormat32bppRGB, reinterpret_cast<BYTE*>(pixels.data()));
  const CLSID png = {0x557cf406, 0x1a04, 0x11d3, {0x9a, 0x73, 0x00, 0x00, 0xf8, 0x1e, 0xf3, 0x2e}};
  const std::wstring path = folder + L"\\" + name + L".png";
  Check(bitmap.Save(path.c_str(), &png, nullptr) == Gdiplus::Ok, "screenshot " + Utf8(name) + ".png saved");
}

// The colours of one artwork picture.
struct Picture {
  int width = 0, height = 0;
  std::vector<std::uint32_t> pixels;
  std::uint32_t At(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
};

Picture LoadPicture(const std::wstring& path) {
  Gdiplus::Bitmap bitmap(path.c_str());
  if (bitmap.GetLastStatus() != Gdiplus::Ok) Fail("cannot read " + Utf8(path));
  Picture picture;
  picture.width = static_cast<int>(bitmap.GetWidth());
  picture.height = static_cast<int>(bitmap.GetHeight());
  for (int y = 0; y < picture.height; ++y) {
    for (int x = 0; x < picture.width; ++x) {
      Gdiplus::Color colour;
      bitmap.GetPixel(x, y, &colour);
      picture.pixels.push_back(colour.GetValue() & 0xFFFFFF);
    }
  }
  return picture;
}

RECT ClientOnScreen(HWND control) {
  RECT client;
  GetClientRect(control, &client);
  MapWindowPoints(control, nullptr, reinterpret_cast<POINT*>(&client), 2);
  return client;
}

// Compares every column of the bar, at three rows, with the piece the drawing rules put there.
// Answers the first difference, or an empty text.
std::string CompareBar(const Program& program, const Picture pieces[4], int position) {
  const RECT bar = ClientOnScreen(program.Control(IDC_PROGRESS));
  const int width = bar.right - bar.left, height = std::min<int>(bar.bottom - bar.top, pieces[0].height);
  const std::vector<ProgressColumn> plan = PlanProgressColumns(width, 0, 100, position);
  const Screen screen = CaptureScreen();
  for (int y : {1, height / 2, height - 2}) {
    for (int x = 0; x < width; ++x) {
      const Picture& piece = pieces[plan[static_cast<std::size_t>(x)].piece];
      const std::uint32_t expected = piece.At(plan[static_cast<std::size_t>(x)].sourceX, y);
      const std::uint32_t seen = screen.At(bar.left + x, bar.top + y);
      if (seen != expected) {
        char text[160];
        std::snprintf(text, sizeof text, "at position %d, column %d row %d shows %06X instead of %06X", position, x, y,
                      static_cast<unsigned>(seen), static_cast<unsigned>(expected));
        return text;
      }
    }
  }
  return "";
}

void CheckBar(const Program& program, const Picture pieces[4], int position, const std::string& what) {
  std::string difference;
  const bool same = WaitFor([&] { return (difference = CompareBar(program, pieces, position)).empty(); }, 5000);
  Check(same, what + (same ? "" : ": " + difference));
}

// Compares the button on the screen with one frame of its strip.
std::string CompareButton(HWND button, const Picture& strip, int frame) {
  const RECT area = ClientOnScreen(button);
  const int frameWidth = strip.width / 4;
  const Screen screen = CaptureScreen();
  for (int y = 0; y < std::min<int>(area.bottom - area.top, strip.height); ++y) {
    for (int x = 0; x < std::min<int>(area.right - area.left, frameWidth); ++x) {
      if (screen.At(area.left + x, area.top + y) != strip.At(frame * frameWidth + x, y)) {
        return "pixel " + std::to_string(x) + "," + std::to_string(y) + " differs";
      }
    }
  }
  return "";
}

void CheckButtonFrame(HWND button, const Picture& strip, int frame, const std::string& what) {
  std::string difference;
  const bool same = WaitFor([&] { return (difference = CompareButton(button, strip, frame)).empty(); }, 5000);
  Check(same, what + (same ? "" : ": " + difference));
}

void LoadBarPieces(const std::wstring& art, Picture pieces[4]) {
  const wchar_t* names[] = {L"progress-track.png", L"progress-left.png", L"progress-middle.png", L"progress-right.png"};
  for (int i = 0; i < 4; ++i) pieces[i] = LoadPicture(art + L"\\" + names[i]);
}

// --- input -----------------------------------------------------------------------------------

void SendMouse(DWORD flags, int x = 0, int y = 0) {
  INPUT input{};
  input.type = INPUT_MOUSE;
  input.mi.dwFlags = flags;
  if (flags & MOUSEEVENTF_MOVE) {
    input.mi.dwFlags |= MOUSEEVENTF_ABSOLUTE;
    input.mi.dx = static_cast<LONG>((x * 65535LL + GetSystemMetrics(SM_CXSCREEN) / 2) / (GetSystemMetrics(SM_CXSCREEN) - 1));
    input.mi.dy = static_cast<LONG>((y * 65535LL + GetSystemMetrics(SM_CYSCREEN) / 2) / (GetSystemMetrics(SM_CYSCREEN) - 1));
  }
  SendInput(1, &input, sizeof(input));
  Sleep(60);
}

void Drag(POINT from, int dx, int dy) {
  SendMouse(MOUSEEVENTF_MOVE, from.x, from.y);
  SendMouse(MOUSEEVENTF_LEFTDOWN);
  for (int step = 1; step <= 5; ++step) SendMouse(MOUSEEVENTF_MOVE, from.x + dx * step / 5, from.y + dy * step / 5);
  SendMouse(MOUSEEVENTF_LEFTUP);
  Sleep(300);
}

void Click(HWND control) {
  RECT area;
  GetWindowRect(control, &area);
  SendMouse(MOUSEEVENTF_MOVE, (area.left + area.right) / 2, (area.top + area.bottom) / 2);
  SendMouse(MOUSEEVENTF_LEFTDOWN);
  SendMouse(MOUSEEVENTF_LEFTUP);
}

void SendKeys(std::initializer_list<WORD> keys) {
  std::vector<INPUT> inputs;
  for (WORD key : keys) {
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = key;
    inputs.push_back(input);
  }
  for (auto key = keys.end(); key != keys.begin();) {
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = *--key;
    input.ki.dwFlags = KEYEVENTF_KEYUP;
    inputs.push_back(input);
  }
  SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
  Sleep(500);
}

POINT Centre(HWND control) {
  RECT area;
  GetWindowRect(control, &area);
  return {(area.left + area.right) / 2, (area.top + area.bottom) / 2};
}

RECT WindowRect(HWND window) {
  RECT area;
  GetWindowRect(window, &area);
  return area;
}

// --- scenarios ---------------------------------------------------------------------------------

void CheckFinished(const Program& program, const std::wstring& version) {
  const std::wstring status = WaitForVerdict(program);
  Check(status == L"Tự động nâng cấp phiên bản " + version + L" thành công.",
        "the status reads \"Tự động nâng cấp phiên bản " + Utf8(version) + " thành công.\" (seen: \"" + Utf8(status) + "\")");
  HWND label = program.Control(IDC_VERSION);
  Check(IsWindowVisible(label) && TextOf(label) == L"version " + version,
        "the version label shows \"version " + Utf8(version) + "\"");
}

void StaysOpen(const Program& program) {
  SetForegroundWindow(program.window);
  struct Key {
    const char* name;
    std::initializer_list<WORD> keys;
  };
  for (const Key& key : {Key{"Enter", {VK_RETURN}}, Key{"Escape", {VK_ESCAPE}}}) {
    SendKeys(key.keys);
    Check(IsWindow(program.window) && IsWindowVisible(program.window) && !program.Exited(0),
          std::string(key.name) + " leaves the window open");
  }
}

void DragsOnlyFromTheSurface(const Program& program) {
  const RECT before = WindowRect(program.window);
  Drag(Centre(program.Control(IDC_BACKGROUND)), 40, 30);
  const RECT moved = WindowRect(program.window);
  Check(moved.left == before.left + 40 && moved.top == before.top + 30, "a drag on the background moves the window by it");
  Drag(Centre(program.Control(IDC_PROGRESS)), 40, 30);
  const RECT after = WindowRect(program.window);
  Check(after.left == moved.left && after.top == moved.top, "a drag on the progress bar does not move the window");
}

void DrawsTheBar(const Program& program, const std::wstring& art) {
  Picture pieces[4];
  LoadBarPieces(art, pieces);
  const RECT bar = ClientOnScreen(program.Control(IDC_PROGRESS));
  const int width = bar.right - bar.left;
  // Positions of 0..100 whose fill is none, at most 128 pixels, above 128 pixels, and whole.
  int small = 1;
  while (ProgressFill(width, 0, 100, small + 1) <= 128) ++small;
  for (int position : {0, small, 50, 100}) {
    PostMessageW(program.window, WM_PROGRESS_SETRANGE, 0, 100);
    PostMessageW(program.window, WM_PROGRESS_SETPOS, static_cast<WPARAM>(position), 0);
    CheckBar(program, pieces, position,
             "the bar at " + std::to_string(position) + "% (" + std::to_string(ProgressFill(width, 0, 100, position)) +
                 " of " + std::to_string(width) + " pixels) is drawn from the right pieces");
  }
}

void DrawsTheButtonFrames(const Program& program, const std::wstring& art) {
  const Picture strip = LoadPicture(art + L"\\button-exit.png");
  HWND button = program.Control(IDC_EXIT);
  const POINT away = Centre(program.Control(IDC_BACKGROUND)), over = Centre(button);
  SendMouse(MOUSEEVENTF_MOVE, away.x, away.y);
  CheckButtonFrame(button, strip, 0, "\"Thoát ra\" shows its normal frame");
  SendMouse(MOUSEEVENTF_MOVE, over.x, over.y);
  SendMouse(MOUSEEVENTF_MOVE, over.x + 1, over.y);
  CheckButtonFrame(button, strip, 1, "\"Thoát ra\" shows its hover frame under the mouse");
  SendMouse(MOUSEEVENTF_LEFTDOWN);
  CheckButtonFrame(button, strip, 2, "\"Thoát ra\" shows its pressed frame while the button is down");
  // Released elsewhere, the press is no click.
  SendMouse(MOUSEEVENTF_MOVE, away.x, away.y);
  SendMouse(MOUSEEVENTF_LEFTUP);
  CheckButtonFrame(button, strip, 0, "\"Thoát ra\" is back to normal when the mouse has left");
  Check(!program.Exited(500), "a press released off the button does not exit");
}

// A window that a long update lets the player put aside (minimized from the taskbar) and bring
// back while it goes on. (Its icon is read by window_test.sh from the X window, where the
// taskbar reads it: Wine answers WM_GETICON from another process with none.)
void CheckPutAside(const Program& program) {
  Check((GetWindowLongPtrW(program.window, GWL_STYLE) & WS_MINIMIZEBOX) != 0, "the window can be minimized");
  ShowWindow(program.window, SW_MINIMIZE);
  Check(WaitFor([&] { return IsIconic(program.window) != FALSE; }, 5000), "the window is minimized during the run");
  ShowWindow(program.window, SW_RESTORE);
  Check(WaitFor([&] { return IsIconic(program.window) == FALSE && IsWindowVisible(program.window) != FALSE; }, 5000),
        "the window comes back from the taskbar");
}

void FirstRun(const std::wstring& exe, const std::wstring& version, const std::wstring& art, const std::wstring& shots) {
  Program program(exe);
  WaitForWindow(program);
  // A download stalls on the server; the window is caught in the middle of the run.
  std::wstring status;
  Check(WaitFor([&] { return (status = program.Status()).rfind(L"Đang tải", 0) == 0; }, 60000),
        "the status shows a download while the run goes on");
  CheckButton(program, IDC_RETRY, false, false, "during the first run");
  CheckButton(program, IDC_EXIT, true, true, "during the first run (it stops the run)");
  SaveScreenshot(shots, L"running", program.window);
  CheckPutAside(program);
  CheckFinished(program, version);
  CheckButtons(program, true, true, "after the run");
  SaveScreenshot(shots, L"finished", program.window);

  StaysOpen(program);
  DragsOnlyFromTheSurface(program);
  DrawsTheBar(program, art);
  DrawsTheButtonFrames(program, art);
  Click(program.Control(IDC_EXIT));
  Check(program.Exited(10000), "\"Thoát ra\" ends the program");
}

void Retry(const std::wstring& exe, const std::wstring& version, const std::wstring& art, const std::wstring& shots,
           const std::wstring& fault, const std::wstring& stall) {
  Program program(exe);
  WaitForWindow(program);
  const std::wstring status = WaitForVerdict(program);
  Check(status == L"Tự động nâng cấp phiên bản " + version + L" thất bại.",
        "a missing file fails the run: \"" + Utf8(status) + "\"");
  CheckButtons(program, true, true, "after the failed run");
  const std::wstring work = exe.substr(0, exe.find_last_of(L"\\/")) + L"\\update";
  // What the failed run verified stays staged for the retry; the rest of its working folder goes.
  Check(WaitFor([&] { return GetFileAttributesW((work + L"\\rootfolder.ini").c_str()) == INVALID_FILE_ATTRIBUTES; },
                5000),
        "the working folder \"update\\\" holds no more than the staging area after the failed run");
  Check(GetFileAttributesW((work + L"\\stage\\stamp").c_str()) != INVALID_FILE_ATTRIBUTES,
        "the staging area stays after the failed run");
  SaveScreenshot(shots, L"failed", program.window);

  // The server is mended, and the next run's description waits on the server for a while.
  Check(DeleteFileW(fault.c_str()) != FALSE, "the server's fault is removed");
  HANDLE file = CreateFileW(stall.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  WriteFile(file, "stall_6\n", 8, &written, nullptr);
  CloseHandle(file);

  Picture pieces[4];
  LoadBarPieces(art, pieces);
  Click(program.Control(IDC_RETRY));
  CheckButton(program, IDC_RETRY, true, false, "while the retried run goes on");
  CheckButton(program, IDC_EXIT, true, true, "while the retried run goes on");
  CheckBar(program, pieces, 0, "the retried run starts the bar again from 0");
  CheckButtonFrame(program.Control(IDC_RETRY), LoadPicture(art + L"\\button-retry.png"), 3,
                   "\"Thử lại\" shows its disabled frame while the retried run goes on");
  CheckFinished(program, version);
  CheckButtons(program, true, true, "after the retried run");
  Click(program.Control(IDC_EXIT));
  Check(program.Exited(10000), "\"Thoát ra\" ends the program");
}

// A player who will not wait: Alt+F4 while a file downloads stops the run and closes the window;
// the installation stays as it was (the script checks it, and that the next run finishes).
void Stop(const std::wstring& exe) {
  Program program(exe);
  WaitForWindow(program);
  std::wstring status;
  Check(WaitFor([&] { return (status = program.Status()).rfind(L"Đang tải", 0) == 0; }, 60000),
        "the status shows a download while the run goes on");
  SetForegroundWindow(program.window);
  SendKeys({VK_MENU, VK_F4});
  Check(program.Exited(20000), "Alt+F4 during a download stops the run and closes the window");
}

// A stand-in for the game's window that a second updater notifies.
UINT notifications = 0;
LRESULT CALLBACK GameWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_USER + 35) ++notifications;
  return DefWindowProcW(window, message, wParam, lParam);
}

void SecondInstance(const std::wstring& exe) {
  HANDLE mutex = CreateMutexW(nullptr, FALSE, L"ZEPO");
  Check(mutex != nullptr && GetLastError() != ERROR_ALREADY_EXISTS, "the mutex \"ZEPO\" is held here");
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = GameWindowProc;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"velora_tarvik_qel_2012";
  RegisterClassW(&windowClass);
  HWND game = CreateWindowW(L"velora_tarvik_qel_2012", L"game", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                            windowClass.hInstance, nullptr);
  Check(game != nullptr, "a window of class \"velora_tarvik_qel_2012\" exists");

  Program program(exe);
  bool windowSeen = false;
  const ULONGLONG end = GetTickCount64() + 30000;
  while (!program.Exited(0) && GetTickCount64() < end) {
    MsgWaitForMultipleObjects(1, &program.process.hProcess, FALSE, 50, QS_ALLINPUT);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    windowSeen = windowSeen || FindUpdateWindow() != nullptr;
  }
  Check(program.Exited(0), "the second zepo.exe ends by itself");
  Check(notifications == 1, "the game's window received WM_USER+35 (1059) once");
  Check(!windowSeen, "the second zepo.exe shows no update window");
  DestroyWindow(game);
  CloseHandle(mutex);
}

// The message box of a start-up check that failed: the player's internet, or with "proxy" the
// proxy's.
void NoInternet(const std::wstring& exe, bool proxy) {
  Program program(exe);
  HWND box = nullptr;
  bool windowSeen = false;
  WaitFor([&] {
    windowSeen = windowSeen || FindUpdateWindow() != nullptr;
    return (box = FindWindowW(L"#32770", L"Velora")) != nullptr;
  }, 60000);
  Check(box != nullptr, "a message box titled \"Velora\" appears");
  DWORD owner = 0;
  GetWindowThreadProcessId(box, &owner);
  Check(owner == program.process.dwProcessId, "the message box belongs to zepo.exe");
  const std::wstring text = TextOf(GetDlgItem(box, 0xFFFF));
  Check(text == (proxy ? L"Không kết nối được tới máy chủ proxy.\nVui lòng kiểm tra cài đặt proxy."
                       : L"Kết nối internet thất bại.\nVui lòng kiểm tra internet của bạn."),
        "the message box says \"" + Utf8(text) + "\"");
  SendMessageW(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
  Check(program.Exited(10000), "OK ends the program");
  Check(!windowSeen && FindUpdateWindow() == nullptr, "no update window was shown");
}

void SelfUpdate(const std::wstring& exe, const std::wstring& version) {
  HWND first = nullptr;
  {
    Program program(exe);
    WaitForWindow(program);
    first = program.window;
    Check(program.Exited(60000), "the first zepo.exe closes its window and ends after starting the helper");
  }
  Check(!IsWindow(first), "its window is gone");
  // The helper swaps zepo.exe and starts it again: a new process with a new window.
  HWND second = nullptr;
  Check(WaitFor([&] { return (second = FindUpdateWindow()) != nullptr && second != first; }, 60000),
        "the restarted zepo.exe shows its window");
  Program restarted(second);
  CheckFinished(restarted, version);
  CheckButtons(restarted, true, true, "after the restarted run");
  Click(restarted.Control(IDC_EXIT));
  Check(restarted.Exited(10000), "\"Thoát ra\" ends the restarted program");
}

// What the program carries: the window's template and artwork under their types and ids, the
// engine helper, and the metadata of a Windows program (icon, version, manifest).
void Resources(const std::wstring& exe) {
  HMODULE module = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (module == nullptr) Fail("cannot open " + Utf8(exe) + " for its resources");
  auto bytes = [&](const wchar_t* type, int id) -> std::string {
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), type);
    HGLOBAL loaded = found != nullptr ? LoadResource(module, found) : nullptr;
    const char* data = loaded != nullptr ? static_cast<const char*>(LockResource(loaded)) : nullptr;
    return data != nullptr ? std::string(data, SizeofResource(module, found)) : std::string();
  };
  struct Expected {
    const wchar_t* type;
    const char* typeName;
    int first, last;
    const char* magic;  // the first bytes, or empty
  };
  const Expected table[] = {
      {MAKEINTRESOURCEW(5), "dialog", 110, 110, ""},
      {L"DATA", "DATA", 158, 161, "\x89PNG"},
      {L"PNG", "PNG", 162, 163, "\x89PNG"},
      {MAKEINTRESOURCEW(10), "RCDATA", 200, 203, "\xFF\xD8\xFF"},
      {L"DATA", "DATA", 185, 185, "MZ"},
      {MAKEINTRESOURCEW(14), "icon group", 128, 128, ""},
      {MAKEINTRESOURCEW(16), "version", 1, 1, ""},
  };
  for (const Expected& entry : table) {
    for (int id = entry.first; id <= entry.last; ++id) {
      const std::string data = bytes(entry.type, id);
      Check(!data.empty() && data.compare(0, std::strlen(entry.magic), entry.magic) == 0,
            std::string(entry.typeName) + " " + std::to_string(id) + " is embedded");
    }
  }
  const std::string manifest = bytes(MAKEINTRESOURCEW(24), 1);
  Check(manifest.find("Microsoft.Windows.Common-Controls") != std::string::npos && manifest.find("version=\"6.0.0.0\"") != std::string::npos,
        "the manifest asks for common controls 6");
  Check(manifest.find(">true</dpiAware>") != std::string::npos, "the manifest declares the program DPI-aware");
  const std::string version = bytes(MAKEINTRESOURCEW(16), 1);
  const std::u16string product = u"ProductName";
  Check(version.find(std::string(reinterpret_cast<const char*>(product.data()), product.size() * 2)) != std::string::npos,
        "the version resource names the product");
  FreeLibrary(module);
}

// One update as the demo shows it: screenshots while it runs and when it has finished.
void Demo(const std::wstring& exe, const std::wstring& version, const std::wstring& shots) {
  Program program(exe);
  WaitForWindow(program);
  WaitFor([&] { return program.Status().rfind(L"Đang", 0) == 0; }, 30000);
  SaveScreenshot(shots, L"running", program.window);
  CheckFinished(program, version);
  CheckButtons(program, true, true, "after the run");
  SaveScreenshot(shots, L"finished", program.window);
  Click(program.Control(IDC_EXIT));
  Check(program.Exited(10000), "\"Thoát ra\" ends the program");
}


// --- a failed run in the player's words ------------------------------------------------------------

// What the window says when its run fails for a cause a player can act on. The texts live here,
// not on the command line, which Wine would read in the machine's code page.
void Says(const std::wstring& exe, const std::wstring& what, const std::wstring& shots) {
  const std::pair<const wchar_t*, const wchar_t*> words[] = {
      {L"another-updater", L"Một chương trình cập nhật khác đang chạy trong thư mục này."},
      {L"expired-signature", L"Bản cập nhật chưa được gia hạn chữ ký. Vui lòng thử lại sau."},
      {L"full-disk", L"Ổ đĩa đã đầy: cần thêm "},
      {L"clock", L"Đồng hồ của máy tính đang nhanh 60 ngày so với máy chủ."},
      {L"english", L"The update to version 2.0 failed."},
  };
  const wchar_t* expected = nullptr;
  for (const auto& [name, text] : words) {
    if (what == name) expected = text;
  }
  if (expected == nullptr) Fail("no such case: " + Utf8(what));
  Program program(exe);
  WaitForWindow(program, what == L"english" ? L"Velora update" : L"Velora cập nhật phiên bản");
  std::wstring status;
  WaitFor([&] { return (status = program.Status()).rfind(expected, 0) == 0; }, 90000);
  Check(status.rfind(expected, 0) == 0, Utf8(what) + ": the window says \"" + Utf8(status) + "\"");
  CheckButtons(program, true, true, "after the failed run");
  SaveScreenshot(shots, (L"says-" + what).c_str(), program.window);
  Click(program.Control(IDC_EXIT));
  Check(program.Exited(10000), "\"Thoát ra\" ends the program");
}

// --- layout at any DPI ---------------------------------------------------------------------------

// The rows of a rectangle of the screen in which a light pixel (text drawn in white) lies.
int InkRows(const Screen& screen, const RECT& area) {
  int rows = 0;
  for (int y = std::max(0L, area.top); y < std::min<long>(area.bottom, screen.height); ++y) {
    for (int x = std::max(0L, area.left); x < std::min<long>(area.right, screen.width); ++x) {
      const std::uint32_t p = screen.At(x, y);
      if ((p & 0xFF) > 0xA0 && ((p >> 8) & 0xFF) > 0xA0 && ((p >> 16) & 0xFF) > 0xA0) {
        ++rows;
        break;
      }
    }
  }
  return rows;
}

// The dialog's controls in dialog units, as its template and its placing of the buttons give them.
struct DialogUnits {
  int x, y, width, height;
};
constexpr DialogUnits BAR_UNITS{3, 289, 395, 11}, STATUS_UNITS{6, 300, 321, 17}, RETRY_UNITS{214, 318, 40, 12},
                      EXIT_UNITS{257, 318, 40, 12};

std::string Describe(const RECT& r) {
  return "(" + std::to_string(r.left) + ", " + std::to_string(r.top) + ") " + std::to_string(r.right - r.left) + " x " +
         std::to_string(r.bottom - r.top);
}

bool Inside(const RECT& inner, const RECT& outer) {
  return inner.left >= outer.left && inner.top >= outer.top && inner.right <= outer.right && inner.bottom <= outer.bottom;
}

bool Near(double seen, double expected) { return seen >= expected - 2.5 - expected * 0.02 && seen <= expected + 2.5 + expected * 0.02; }

// A control placed in dialog units stands where the bar's scale puts it: the bar (395 x 11 units)
// gives the pixels of a unit across and down, whatever the font, the DPI and the narrowing of a
// window too wide for its screen. A narrowed window keeps every text's height; its status line
// ends sooner (before the version label), and its buttons shrink keeping their artwork's
// proportions (70 x 20), so their height is judged by their width.
enum class Kind { TEXT, BUTTON };
void CheckPlacedLikeTheBar(const RECT& bar, const RECT& control, const DialogUnits& units, Kind kind,
                           const std::string& name) {
  const double across = (bar.right - bar.left) / static_cast<double>(BAR_UNITS.width);
  const double down = (bar.bottom - bar.top) / static_cast<double>(BAR_UNITS.height);
  const int width = control.right - control.left, height = control.bottom - control.top;
  const bool widthRight = kind == Kind::BUTTON ? Near(width, units.width * across) : width <= units.width * across + 3;
  const bool heightRight = kind == Kind::BUTTON ? Near(height, width * 20.0 / 70.0) : Near(height, units.height * down);
  const bool placed = Near(control.left - bar.left, (units.x - BAR_UNITS.x) * across) &&
                      Near(control.top - bar.top, (units.y - BAR_UNITS.y) * down) && widthRight && heightRight;
  Check(placed, name + " stands in dialog units beside the bar: " + Describe(control) + ", bar " + Describe(bar));
}

bool Overlap(const RECT& a, const RECT& b) {
  return a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom;
}

// The ink of the status line's text: the rows and columns where a light pixel lies.
struct Ink {
  int top = -1, bottom = -1, left = -1, right = -1;
};
Ink InkOf(const Screen& screen, const RECT& area) {
  Ink ink;
  for (int y = std::max(0L, area.top); y < std::min<long>(area.bottom, screen.height); ++y) {
    for (int x = std::max(0L, area.left); x < std::min<long>(area.right, screen.width); ++x) {
      const std::uint32_t p = screen.At(x, y);
      if ((p & 0xFF) <= 0xA0 || ((p >> 8) & 0xFF) <= 0xA0 || ((p >> 16) & 0xFF) <= 0xA0) continue;
      if (ink.top < 0) ink.top = y;
      ink.bottom = y;
      if (ink.left < 0 || x < ink.left) ink.left = x;
      ink.right = std::max(ink.right, x);
    }
  }
  return ink;
}

// The longest statuses the program shows, a file name at the longest it shows (60 characters),
// set into the status line one by one: each is drawn whole within it, neither cut at the right
// nor pushed out at the top (a text too long for the line would be drawn from above it).
void CheckLongestStatusesFit(const Program& program, const RECT& status) {
  // A name of one word, which no line break can split: the hardest to fit.
  std::wstring name = L"data\\b\u1ea3n \u0111\u1ed3\\";
  while (name.size() < 56) name += L"\u1ebf";
  name += L".pak";
  const std::wstring texts[] = {
      L"Đang chờ tập tin [" + name + L"] đang được chương trình khác sử dụng...",
      L"Tập tin [" + name + L"] đang được chương trình khác sử dụng. Vui lòng đóng chương trình đó rồi thử lại.",
      L"Không đọc được tập tin [" + name + L"]: tập tin bị khóa hoặc không có quyền đọc.",
      L"Đồng hồ của máy tính đang nhanh 365 ngày so với máy chủ. Vui lòng chỉnh lại ngày giờ rồi thử lại.",
      L"Máy tính không tin chứng chỉ của máy chủ. Vui lòng kiểm tra ngày giờ và phần mềm diệt virus.",
      L"Đang tải 999 MB / 999 MB, 99999/99999 files, 999 KB/s, còn 99:59:59",
      L"Ổ đĩa đã đầy: cần thêm ít nhất 999 MB trống trên ổ C:\\.",
  };
  const HWND control = program.Control(IDC_STATUS);
  for (const std::wstring& text : texts) {
    SetWindowTextW(control, text.c_str());
    Sleep(300);
    const Ink ink = InkOf(CaptureScreen(), status);
    Check(ink.top > status.top && ink.right < status.right - 1 && ink.left >= status.left,
          "the status \"" + Utf8(text.substr(0, 40)) + "…\" fits its line: ink from (" + std::to_string(ink.left) + ", " +
              std::to_string(ink.top) + ") to (" + std::to_string(ink.right) + ", " + std::to_string(ink.bottom) +
              ") in " + Describe(status));
  }
}

void Layout(const std::wstring& exe, const std::wstring& version, const std::wstring& shots, const std::wstring& name) {
  Program program(exe);
  WaitForWindow(program);
  CheckFinished(program, version);
  CheckButtons(program, true, true, "after the run");
  HDC screenDc = GetDC(nullptr);
  const int dpi = GetDeviceCaps(screenDc, LOGPIXELSY);
  ReleaseDC(nullptr, screenDc);
  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  GetMonitorInfoW(MonitorFromWindow(program.window, MONITOR_DEFAULTTONEAREST), &monitor);
  const RECT window = WindowRect(program.window);
  const RECT client = ClientOnScreen(program.window);
  const RECT bar = ClientOnScreen(program.Control(IDC_PROGRESS));
  const RECT status = ClientOnScreen(program.Control(IDC_STATUS));
  const RECT retry = ClientOnScreen(program.Control(IDC_RETRY));
  const RECT leave = ClientOnScreen(program.Control(IDC_EXIT));
  const RECT art = ClientOnScreen(program.Control(IDC_BACKGROUND));
  std::printf("layout at %d DPI on %d x %d (work area %s): window %s, artwork %s, bar %s, status %s, \"Thử lại\" %s, "
              "\"Thoát ra\" %s\n", dpi, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN),
              Describe(monitor.rcWork).c_str(), Describe(window).c_str(), Describe(art).c_str(), Describe(bar).c_str(),
              Describe(status).c_str(), Describe(retry).c_str(), Describe(leave).c_str());
  SaveScreenshot(shots, (L"layout-" + name).c_str(), program.window);
  Check(Inside(window, monitor.rcWork), "the window lies within the work area of its monitor");
  for (const auto& [rect, what] : {std::pair{bar, "the bar"}, {status, "the status line"}, {retry, "\"Thử lại\""},
                                   {leave, "\"Thoát ra\""}}) {
    Check(Inside(rect, client), std::string(what) + " lies wholly inside the window");
  }
  Check(art.bottom <= bar.top, "the artwork ends above the bar");
  // The status text grows with the DPI as the window does: its ink (white on the dark ground)
  // spans as many rows of its line (the lower of the two the status has), whatever the DPI.
  const int ink = InkRows(CaptureScreen(), status);
  std::printf("the status text's ink spans %d of its line's %ld rows\n", ink, (status.bottom - status.top) / 2);
  Check(ink * 100 >= (status.bottom - status.top) / 2 * 60, "the status text is drawn at the display's DPI");
  CheckLongestStatusesFit(program, status);
  CheckPlacedLikeTheBar(bar, status, STATUS_UNITS, Kind::TEXT, "the status line");
  CheckPlacedLikeTheBar(bar, retry, RETRY_UNITS, Kind::BUTTON, "\"Thử lại\"");
  CheckPlacedLikeTheBar(bar, leave, EXIT_UNITS, Kind::BUTTON, "\"Thoát ra\"");
  const RECT label = ClientOnScreen(program.Control(IDC_VERSION));
  const std::pair<RECT, const char*> controls[] = {{art, "the artwork"},   {bar, "the bar"},
                                                   {status, "the status line"}, {label, "the version label"},
                                                   {retry, "\"Thử lại\""},   {leave, "\"Thoát ra\""}};
  for (std::size_t i = 0; i < std::size(controls); ++i) {
    for (std::size_t j = i + 1; j < std::size(controls); ++j) {
      Check(!Overlap(controls[i].first, controls[j].first),
            std::string(controls[i].second) + " and " + controls[j].second + " do not overlap");
    }
  }
  if (dpi == 96) {
    // Where the artwork was drawn for them.
    Check(retry.left - client.left == 375 && retry.top - client.top == 517 && retry.right - retry.left == 70 &&
              retry.bottom - retry.top == 20 && leave.left - client.left == 450 && leave.top - client.top == 517,
          "at 96 DPI the buttons stand at (375, 517) and (450, 517), 70 x 20 pixels");
  }
  Click(program.Control(IDC_EXIT));
  Check(program.Exited(10000), "\"Thoát ra\" ends the program");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  // Coordinates are read in real pixels, as the program (which says it is DPI aware) draws them.
  SetProcessDPIAware();
  Gdiplus::GdiplusStartupInput input;
  ULONG_PTR token = 0;
  Gdiplus::GdiplusStartup(&token, &input, nullptr);
  const std::wstring scenario = argc > 1 ? argv[1] : L"";
  if (scenario == L"first-run" && argc == 6) {
    FirstRun(argv[2], argv[3], argv[4], argv[5]);
  } else if (scenario == L"retry" && argc == 8) {
    Retry(argv[2], argv[3], argv[4], argv[5], argv[6], argv[7]);
  } else if (scenario == L"second-instance" && argc == 3) {
    SecondInstance(argv[2]);
  } else if (scenario == L"no-internet" && (argc == 3 || argc == 4)) {
    NoInternet(argv[2], argc == 4 && std::wstring(argv[3]) == L"proxy");
  } else if (scenario == L"resources" && argc == 3) {
    Resources(argv[2]);
  } else if (scenario == L"demo" && argc == 5) {
    Demo(argv[2], argv[3], argv[4]);
  } else if (scenario == L"layout" && argc == 6) {
    Layout(argv[2], argv[3], argv[4], argv[5]);
  } else if (scenario == L"self-update" && argc == 4) {
    SelfUpdate(argv[2], argv[3]);
  } else if (scenario == L"stop" && argc == 3) {
    Stop(argv[2]);
  } else if (scenario == L"says" && argc == 5) {
    Says(argv[2], argv[3], argv[4]);
  } else {
    std::fputs("usage: zepo-window-driver first-run|retry|second-instance|no-internet|self-update|stop|says|demo|resources|layout EXE ...\n"
               "(see the head of window_driver.cpp for each scenario's arguments)\n", stderr);
    return 2;
  }
  Gdiplus::GdiplusShutdown(token);
  return 0;
}
