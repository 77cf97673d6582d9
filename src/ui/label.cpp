#include "ui/label.h"

#include <algorithm>
#include <string>

#include "ui/skin_rules.h"


const MessageMap* CLabel::GetMessageMap() const {
  static const MessageEntry entries[] = {
      MapSetText<&CLabel::OnSetText>(),
      MapAction<&CLabel::OnPaint>(WM_PAINT),
      END_OF_MAP,
  };
  static const MessageMap map{CStatic::GetMessageMap(), entries};
  return &map;
}

LRESULT CLabel::OnSetText(const wchar_t*) {
  const LRESULT result = Default();
  // The label paints no background: the parent repaints the area first, so that nothing of
  // the old text remains.
  HWND parent = GetParent(hwnd_);
  RECT area;
  GetWindowRect(hwnd_, &area);
  MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&area), 2);
  InvalidateRect(parent, &area, TRUE);
  UpdateWindow(parent);
  return result;
}

void CLabel::OnPaint() {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(hwnd_, &paint);
  RECT client;
  GetClientRect(hwnd_, &client);
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(hwnd_)) + 1, L'\0');
  text.resize(static_cast<std::size_t>(GetWindowTextW(hwnd_, text.data(), static_cast<int>(text.size()))));

  LOGFONTW description{};
  auto* windowFont = reinterpret_cast<HFONT>(SendMessageW(hwnd_, WM_GETFONT, 0, 0));
  GetObjectW(windowFont != nullptr ? windowFont : GetStockObject(DEFAULT_GUI_FONT), sizeof(description), &description);
  const auto style = static_cast<std::uint32_t>(GetWindowLongPtrW(hwnd_, GWL_STYLE));
  UINT flags = LabelTextFlags(style);
  SetBkMode(dc, TRANSPARENT);
  ::SetTextColor(dc, textColour_);

  // The dialog's font is made for the display's DPI already: the text grows with everything else.
  const LONG fullHeight = description.lfHeight;
  const auto draw = [&](int percent, RECT& area, UINT how) {
    description.lfHeight = MulDiv(fullHeight, percent, 100);
    HFONT font = CreateFontIndirectW(&description);
    HGDIOBJ previous = SelectObject(dc, font);
    DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &area, how);
    SelectObject(dc, previous);
    DeleteObject(font);
  };
  RECT area = client;
  if (fitsLongTexts_) {
    const auto measure = [&](int percent) {
      RECT needed = client;
      draw(percent, needed, flags | DT_CALCRECT);
      return needed;
    };
    const int percent = FittingTextPercent([&](int p) {
      const RECT needed = measure(p);
      return needed.bottom - needed.top <= client.bottom - client.top && needed.right - needed.left <= client.right - client.left;
    });
    const RECT needed = measure(percent);
    // The last line at the bottom: a one-line text stands where the line always was.
    area.top = std::max(client.top, client.bottom - (needed.bottom - needed.top));
    if (percent == 60) flags |= DT_EDITCONTROL | DT_END_ELLIPSIS;
    draw(percent, area, flags);
  } else {
    draw(100, area, flags);
  }
  EndPaint(hwnd_, &paint);
}
