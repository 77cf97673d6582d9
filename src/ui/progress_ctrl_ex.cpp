#include "ui/progress_ctrl_ex.h"

#include "ui/skin_rules.h"

const MessageMap* CProgressCtrlEx::GetMessageMap() const {
  static const MessageEntry entries[] = {MapAction<&CProgressCtrlEx::OnPaint>(WM_PAINT), END_OF_MAP};
  static const MessageMap map{CStatic::GetMessageMap(), entries};
  return &map;
}

void CProgressCtrlEx::SetImages(UINT track, UINT leftEnd, UINT middle, UINT rightEnd, const wchar_t* type) {
  track_ = LoadSkinImage(track, type);
  leftEnd_ = LoadSkinImage(leftEnd, type);
  middle_ = LoadSkinImage(middle, type);
  rightEnd_ = LoadSkinImage(rightEnd, type);
}

bool CProgressCtrlEx::HasImages() const {
  return !track_.IsEmpty() && !leftEnd_.IsEmpty() && !middle_.IsEmpty() && !rightEnd_.IsEmpty();
}

void CProgressCtrlEx::SetRange(int minimum, int maximum) {
  minimum_ = minimum;
  maximum_ = maximum;
  if (!HasImages()) return;
  RECT client;
  GetClientRect(hwnd_, &client);
  HDC dc = GetDC(hwnd_);
  for (int x = 0; x < client.right; ++x) track_.Copy(dc, x, 0, 1, client.bottom, 0, 0);
  ReleaseDC(hwnd_, dc);
}

int CProgressCtrlEx::SetPos(int position) {
  const int previous = position_;
  if (position < minimum_ || position > maximum_) return previous;
  position_ = position;
  Invalidate();
  return previous;
}

int CProgressCtrlEx::StepIt() {
  const int previous = position_;
  bool changed = false;
  position_ = StepProgressPosition(previous, step_, maximum_, changed);
  if (changed) Invalidate();
  return previous;
}

void CProgressCtrlEx::OnPaint() {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(hwnd_, &paint);
  if (HasImages()) {
    RECT client;
    GetClientRect(hwnd_, &client);
    PaintColumns(dc, client.right, client.bottom, minimum_, maximum_, position_);
  }
  EndPaint(hwnd_, &paint);
}

void CProgressCtrlEx::PaintColumns(HDC dc, int width, int height, int minimum, int maximum, int position) const {
  const std::vector<ProgressColumn> plan = PlanProgressColumns(width, minimum, maximum, position);
  const SkinBitmap* pieces[] = {&track_, &leftEnd_, &middle_, &rightEnd_};
  // Neighbouring columns from neighbouring source columns of one piece go in one copy; the
  // track and the middle repeat their single column.
  for (std::size_t x = 0; x < plan.size();) {
    std::size_t end = x + 1;
    while (end < plan.size() && plan[end].piece == plan[x].piece &&
           plan[end].sourceX == plan[x].sourceX + static_cast<int>(end - x)) {
      ++end;
    }
    pieces[plan[x].piece]->Copy(dc, static_cast<int>(x), 0, static_cast<int>(end - x), height, plan[x].sourceX, 0);
    x = end;
  }
}
