#pragma once
// The skinned progress bar: the template's progress control, painted from four pictures (the
// track, the left end, a middle column and the right end of the filled part).
#include <atomic>

#include "ui/framework/controls.h"
#include "ui/skin_image.h"

class CProgressCtrlEx : public CStatic {
 public:
  void SetImages(UINT track, UINT leftEnd, UINT middle, UINT rightEnd, const wchar_t* type);
  // Stores the range and paints the bare track at once; the position stays as it is.
  void SetRange(int minimum, int maximum);
  // Ignored outside the range; answers the previous position.
  int SetPos(int position);
  // One step, stopping at the maximum; answers the previous position.
  int StepIt();

 protected:
  const MessageMap* GetMessageMap() const override;

 private:
  void OnPaint();
  bool HasImages() const;
  void PaintColumns(HDC dc, int width, int height, int minimum, int maximum, int position) const;

  std::atomic<int> position_{0};
  std::atomic<int> minimum_{0};
  std::atomic<int> maximum_{0};
  const int step_ = 1;
  SkinBitmap track_;
  SkinBitmap leftEnd_;
  SkinBitmap middle_;
  SkinBitmap rightEnd_;
};
