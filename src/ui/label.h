#pragma once
// A transparent text label: the parent's background shows through, the text is drawn in the
// label's own colour with the window's font, at the display's DPI as every other text.
#include "ui/framework/controls.h"

class CLabel : public CStatic {
 public:
  // Takes effect at the next paint.
  void SetTextColor(COLORREF colour) { textColour_ = colour; }
  // A label for texts longer than one line: it wraps them onto the lines its height holds, its
  // last line at the bottom, and draws a text that still does not fit in a smaller font
  // (FittingTextPercent), so that no status is cut at any DPI or screen.
  void FitLongTexts() { fitsLongTexts_ = true; }

 protected:
  const MessageMap* GetMessageMap() const override;

 private:
  LRESULT OnSetText(const wchar_t* text);
  void OnPaint();

  COLORREF textColour_ = 0;
  bool fitsLongTexts_ = false;
};
