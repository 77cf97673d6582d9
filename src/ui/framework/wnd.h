#pragma once
// The window object of the framework: a C++ object attached to one window, with a message map
// that names the messages the class handles. Every attached window gets the framework's window
// procedure; a message goes to the first map entry that matches it, searching the class's own
// map and then its base classes' maps, and otherwise to the window's original procedure (the
// control's own class, or the system dialog procedure). A handler may run that original
// handling itself with Default().
#include <windows.h>

class CWnd;

struct MessageEntry {
  UINT message;    // 0 ends a map
  UINT commandId;  // for WM_COMMAND: the control or command id
  // Unpacks the parameters, calls the handler and stores its answer.
  void (*handle)(CWnd& window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);
};

struct MessageMap {
  const MessageMap* base;
  const MessageEntry* entries;  // ended by an entry with message 0
};

class CWnd {
 public:
  CWnd() = default;
  CWnd(const CWnd&) = delete;
  CWnd& operator=(const CWnd&) = delete;
  virtual ~CWnd();

  HWND GetSafeHwnd() const { return hwnd_; }
  // The object attached to a window, or null.
  static CWnd* FromHandle(HWND hwnd);

  // Attaches this object to the dialog control with the given id: the control's window
  // procedure becomes the framework's, after PreSubclassWindow has seen the window.
  bool SubclassDlgItem(UINT id, CWnd& parent);

  // Owner-drawn controls draw here; the parent hands WM_DRAWITEM on to its control's object.
  virtual void DrawItem(DRAWITEMSTRUCT* item);

  void Invalidate(bool erase = true) { InvalidateRect(hwnd_, nullptr, erase); }
  void AddStyle(LONG_PTR style) {
    SetWindowLongPtrW(hwnd_, GWL_STYLE, GetWindowLongPtrW(hwnd_, GWL_STYLE) | style);
  }

 protected:
  virtual const MessageMap* GetMessageMap() const;
  // Called with the window before its procedure is replaced.
  virtual void PreSubclassWindow() {}
  // The original handling of the message being handled.
  LRESULT Default();

  // Attaches to an existing window; used for controls and for the dialog at its creation.
  bool Attach(HWND hwnd);

  HWND hwnd_ = nullptr;

 private:
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT Dispatch(UINT message, WPARAM wParam, LPARAM lParam);
  bool FindHandler(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);
  void Detach();

  WNDPROC originalProc_ = nullptr;
  struct CurrentMessage {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
  } current_{};
};

// Map entries. Each adapter unpacks the message's parameters for the handler's signature:
//   MapMessage<&C::F>(msg)    LRESULT F(WPARAM, LPARAM)
//   MapCommand<&C::F>(id)     void F()              WM_COMMAND from control or command id
//   MapTimer<&C::F>()         void F(UINT_PTR id)
//   MapLButtonDown<&C::F>()   void F(UINT flags, POINT point)   (client coordinates)
//   MapLButtonUp<&C::F>(), MapMouseMove<&C::F>()   the same signature
//   MapCtlColor<&C::F>()      HBRUSH F(HDC dc, HWND control, UINT kind)   every WM_CTLCOLOR... message
//   MapAction<&C::F>(msg)     void F()              answered 0 (paint, hover, leave)
//   MapSetText<&C::F>()       LRESULT F(const wchar_t* text)
namespace map_detail {
template <typename>
struct ClassOf;
template <typename C, typename R, typename... A>
struct ClassOf<R (C::*)(A...)> {
  using Class = C;
};
template <auto Method>
using Owner = typename ClassOf<decltype(Method)>::Class;
template <auto Method>
Owner<Method>& Self(CWnd& window) {
  return static_cast<Owner<Method>&>(window);
}
inline POINT PointOf(LPARAM lParam) {
  return POINT{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
}
}  // namespace map_detail

template <auto Method>
constexpr MessageEntry MapMessage(UINT message) {
  return {message, 0, [](CWnd& w, UINT, WPARAM wp, LPARAM lp, LRESULT& r) {
            r = (map_detail::Self<Method>(w).*Method)(wp, lp);
          }};
}

template <auto Method>
constexpr MessageEntry MapCommand(UINT id) {
  return {WM_COMMAND, id, [](CWnd& w, UINT, WPARAM, LPARAM, LRESULT& r) {
            (map_detail::Self<Method>(w).*Method)();
            r = 0;
          }};
}

template <auto Method>
constexpr MessageEntry MapTimer() {
  return {WM_TIMER, 0, [](CWnd& w, UINT, WPARAM wp, LPARAM, LRESULT& r) {
            (map_detail::Self<Method>(w).*Method)(static_cast<UINT_PTR>(wp));
            r = 0;
          }};
}

template <auto Method>
constexpr MessageEntry MapMouse(UINT message) {
  return {message, 0, [](CWnd& w, UINT, WPARAM wp, LPARAM lp, LRESULT& r) {
            (map_detail::Self<Method>(w).*Method)(static_cast<UINT>(wp), map_detail::PointOf(lp));
            r = 0;
          }};
}
template <auto Method>
constexpr MessageEntry MapLButtonDown() {
  return MapMouse<Method>(WM_LBUTTONDOWN);
}
template <auto Method>
constexpr MessageEntry MapLButtonUp() {
  return MapMouse<Method>(WM_LBUTTONUP);
}
template <auto Method>
constexpr MessageEntry MapMouseMove() {
  return MapMouse<Method>(WM_MOUSEMOVE);
}

// WM_CTLCOLOR stands for the whole family WM_CTLCOLORMSGBOX ... WM_CTLCOLORSTATIC; the kind
// passed to the handler is the family member's offset (CTLCOLOR_MSGBOX 0 ... CTLCOLOR_STATIC 6).
constexpr UINT WM_CTLCOLOR_FAMILY = 0x0019;
template <auto Method>
constexpr MessageEntry MapCtlColor() {
  return {WM_CTLCOLOR_FAMILY, 0, [](CWnd& w, UINT message, WPARAM wp, LPARAM lp, LRESULT& r) {
            r = reinterpret_cast<LRESULT>((map_detail::Self<Method>(w).*Method)(
                reinterpret_cast<HDC>(wp), reinterpret_cast<HWND>(lp), message - WM_CTLCOLORMSGBOX));
          }};
}

// A message with no parameters to unpack, answered 0 and not handed on: paint, mouse hover and
// leave notifications.
template <auto Method>
constexpr MessageEntry MapAction(UINT message) {
  return {message, 0, [](CWnd& w, UINT, WPARAM, LPARAM, LRESULT& r) {
            (map_detail::Self<Method>(w).*Method)();
            r = 0;
          }};
}

template <auto Method>
constexpr MessageEntry MapSetText() {
  return {WM_SETTEXT, 0, [](CWnd& w, UINT, WPARAM, LPARAM lp, LRESULT& r) {
            r = (map_detail::Self<Method>(w).*Method)(reinterpret_cast<const wchar_t*>(lp));
          }};
}

constexpr MessageEntry END_OF_MAP{0, 0, nullptr};
