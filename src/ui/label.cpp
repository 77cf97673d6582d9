#include "ui/label.h"

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
  // The dialog's font is made for the display's DPI already: the text grows with everything else.
  HFONT font = CreateFontIndirectW(&description);
  HGDIOBJ previous = SelectObject(dc, font);

  const auto style = static_cast<std::uint32_t>(GetWindowLongPtrW(hwnd_, GWL_STYLE));
  SetBkMode(dc, TRANSPARENT);
  ::SetTextColor(dc, textColour_);
  DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &client, LabelTextFlags(style));

  SelectObject(dc, previous);
  DeleteObject(font);
  EndPaint(hwnd_, &paint);
}
