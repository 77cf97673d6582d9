#include "ui/image_button.h"

#include <commctrl.h>

#include "ui/skin_rules.h"

namespace {

constexpr UINT_PTR TOOL_ID = 1;
constexpr int FRAMES = 4;

void SetHandCursor() { SetCursor(LoadCursorW(nullptr, MAKEINTRESOURCEW(32649))); }  // IDC_HAND

}  // namespace

CImageButton::~CImageButton() {
  if (toolTip_ != nullptr) DestroyWindow(toolTip_);
}

const MessageMap* CImageButton::GetMessageMap() const {
  static const MessageEntry entries[] = {
      MapMouseMove<&CImageButton::OnMouseMove>(),
      MapLButtonDown<&CImageButton::OnLButtonDown>(),
      MapLButtonUp<&CImageButton::OnLButtonUp>(),
      MapAction<&CImageButton::OnMouseHover>(WM_MOUSEHOVER),
      MapAction<&CImageButton::OnMouseLeave>(WM_MOUSELEAVE),
      END_OF_MAP,
  };
  static const MessageMap map{CButton::GetMessageMap(), entries};
  return &map;
}

void CImageButton::LoadSkin(UINT id, const wchar_t* type) {
  strip_ = LoadSkinImage(id, type);
  if (strip_.IsEmpty()) return;
  SetWindowPos(hwnd_, nullptr, 0, 0, strip_.Width() / FRAMES, strip_.Height(),
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  Invalidate();
}

void CImageButton::SetToolTipText(const wchar_t* text) {
  if (text == nullptr) return;
  if (toolTip_ == nullptr) {
    toolTip_ = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP, CW_USEDEFAULT,
                               CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, hwnd_, nullptr, GetModuleHandleW(nullptr),
                               nullptr);
    if (toolTip_ == nullptr) return;
  }
  SendMessageW(toolTip_, TTM_ACTIVATE, TRUE, 0);
  TOOLINFOW tool{};
  tool.cbSize = sizeof(tool);
  tool.hwnd = hwnd_;
  tool.uId = TOOL_ID;
  tool.lpszText = const_cast<wchar_t*>(text);
  if (SendMessageW(toolTip_, TTM_GETTOOLCOUNT, 0, 0) == 0) {
    GetClientRect(hwnd_, &tool.rect);
    SendMessageW(toolTip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
  }
  SendMessageW(toolTip_, TTM_SETDELAYTIME, TTDT_AUTOMATIC, 5000);
  SendMessageW(toolTip_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
}

void CImageButton::ShowToolTip(bool show) {
  if (toolTip_ != nullptr) SendMessageW(toolTip_, show ? TTM_POPUP : TTM_POP, 0, 0);
}

void CImageButton::DrawItem(DRAWITEMSTRUCT* item) {
  if (strip_.IsEmpty()) return;
  const int frameWidth = strip_.Width() / FRAMES;
  const int frame = ButtonFrame(!IsWindowEnabled(hwnd_), pressed_, hover_);
  strip_.DrawScaled(item->hDC, item->rcItem, frame * frameWidth, frameWidth);
}

void CImageButton::OnMouseMove(UINT, POINT point) {
  if (!tracking_) {
    TRACKMOUSEEVENT request{sizeof(request), TME_HOVER | TME_LEAVE, hwnd_, 1};
    tracking_ = TrackMouseEvent(&request) != FALSE;
  }
  ClientToScreen(hwnd_, &point);
  hover_ = WindowFromPoint(point) == hwnd_;
  SetHandCursor();
  Default();
}

void CImageButton::OnLButtonDown(UINT, POINT) {
  pressed_ = true;
  SetHandCursor();
  Default();
}

void CImageButton::OnLButtonUp(UINT, POINT) {
  pressed_ = false;
  Default();
}

void CImageButton::OnMouseHover() {
  tracking_ = true;
  hover_ = true;
  ShowToolTip(true);
  SetHandCursor();
  Invalidate();
}

void CImageButton::OnMouseLeave() {
  tracking_ = false;
  hover_ = false;
  ShowToolTip(false);
  Invalidate();
}
