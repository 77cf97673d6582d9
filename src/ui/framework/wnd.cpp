#include "ui/framework/wnd.h"

namespace {

// The window property that holds the attached object.
const wchar_t OBJECT_PROPERTY[] = L"Zepo.Window";

bool IsControlColorMessage(UINT message) { return message >= WM_CTLCOLORMSGBOX && message <= WM_CTLCOLORSTATIC; }

// The messages that a parent hands on to the object of the control they concern.
bool ReflectToControl(UINT message, LPARAM lParam, LRESULT& result) {
  if (message != WM_DRAWITEM) return false;
  auto* item = reinterpret_cast<DRAWITEMSTRUCT*>(lParam);
  CWnd* control = CWnd::FromHandle(item->hwndItem);
  if (control == nullptr) return false;
  control->DrawItem(item);
  result = TRUE;
  return true;
}

}  // namespace

CWnd::~CWnd() { Detach(); }

CWnd* CWnd::FromHandle(HWND hwnd) { return static_cast<CWnd*>(GetPropW(hwnd, OBJECT_PROPERTY)); }

bool CWnd::SubclassDlgItem(UINT id, CWnd& parent) {
  HWND control = GetDlgItem(parent.hwnd_, static_cast<int>(id));
  return control != nullptr && Attach(control);
}

bool CWnd::Attach(HWND hwnd) {
  if (hwnd_ != nullptr || FromHandle(hwnd) != nullptr) return false;
  hwnd_ = hwnd;
  PreSubclassWindow();
  SetPropW(hwnd, OBJECT_PROPERTY, this);
  originalProc_ = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CWnd::WindowProc)));
  return true;
}

void CWnd::Detach() {
  if (hwnd_ == nullptr) return;
  SetWindowLongPtrW(hwnd_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(originalProc_));
  RemovePropW(hwnd_, OBJECT_PROPERTY);
  hwnd_ = nullptr;
}

void CWnd::DrawItem(DRAWITEMSTRUCT*) {}

const MessageMap* CWnd::GetMessageMap() const {
  static const MessageEntry entries[] = {END_OF_MAP};
  static const MessageMap map{nullptr, entries};
  return &map;
}

LRESULT CALLBACK CWnd::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  CWnd* window = FromHandle(hwnd);
  if (window == nullptr) return DefWindowProcW(hwnd, message, wParam, lParam);
  return window->Dispatch(message, wParam, lParam);
}

LRESULT CWnd::Dispatch(UINT message, WPARAM wParam, LPARAM lParam) {
  // Handlers may send messages to their own window; each keeps its own current message.
  const CurrentMessage outer = current_;
  current_ = {message, wParam, lParam};
  LRESULT result = 0;
  if (!ReflectToControl(message, lParam, result) && !FindHandler(message, wParam, lParam, result)) {
    result = Default();
  }
  current_ = outer;
  if (message == WM_NCDESTROY) Detach();
  return result;
}

bool CWnd::FindHandler(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  const UINT mapped = IsControlColorMessage(message) ? WM_CTLCOLOR_FAMILY : message;
  for (const MessageMap* map = GetMessageMap(); map != nullptr; map = map->base) {
    for (const MessageEntry* entry = map->entries; entry->message != 0; ++entry) {
      if (entry->message != mapped) continue;
      // Commands from controls carry their notification code in the high word; a button click
      // and a keyboard command (Enter, Escape) both carry 0.
      if (message == WM_COMMAND && (entry->commandId != LOWORD(wParam) || HIWORD(wParam) != BN_CLICKED)) continue;
      entry->handle(*this, message, wParam, lParam, result);
      return true;
    }
  }
  return false;
}

LRESULT CWnd::Default() {
  return CallWindowProcW(originalProc_, hwnd_, current_.message, current_.wParam, current_.lParam);
}
