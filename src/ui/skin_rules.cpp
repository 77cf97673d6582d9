#include "ui/skin_rules.h"

namespace {

constexpr int END_WIDTH = 64;
constexpr int ENDS_WHOLE_ABOVE = 128;

// Draws `count` columns of one piece from x, as the bar's copies do: columns off the control
// fall away.
void Draw(std::vector<ProgressColumn>& columns, int x, int count, ProgressColumn::Piece piece, int sourceX,
          bool sourceMoves) {
  for (int i = 0; i < count; ++i) {
    const int at = x + i;
    if (at >= 0 && at < static_cast<int>(columns.size())) columns[at] = {piece, sourceMoves ? sourceX + i : sourceX};
  }
}

}  // namespace

int ProgressFill(int width, int minimum, int maximum, int position) {
  if (maximum <= minimum) return 0;
  const double ratio = static_cast<double>(position - minimum) / static_cast<double>(maximum - minimum);
  return static_cast<int>(width * ratio);
}

std::vector<ProgressColumn> PlanProgressColumns(int width, int minimum, int maximum, int position) {
  std::vector<ProgressColumn> columns(width > 0 ? static_cast<std::size_t>(width) : 0, {ProgressColumn::TRACK, 0});
  const int fill = ProgressFill(width, minimum, maximum, position);
  int trackStart = 0;
  if (fill > ENDS_WHOLE_ABOVE) {
    Draw(columns, 0, END_WIDTH, ProgressColumn::LEFT_END, 0, true);
    for (int x = END_WIDTH; x <= fill - END_WIDTH - 1; ++x) Draw(columns, x, 1, ProgressColumn::MIDDLE, 0, false);
    Draw(columns, fill - END_WIDTH, END_WIDTH, ProgressColumn::RIGHT_END, 0, true);
    trackStart = fill;
  } else {
    const int half = fill / 2;
    Draw(columns, 0, half, ProgressColumn::LEFT_END, 0, true);
    Draw(columns, half, half, ProgressColumn::RIGHT_END, END_WIDTH - half, true);
    trackStart = fill % 2 == 1 ? fill - 1 : fill;
  }
  for (int x = trackStart; x < width; ++x) Draw(columns, x, 1, ProgressColumn::TRACK, 0, false);
  return columns;
}

int StepProgressPosition(int position, int step, int maximum, bool& changed) {
  changed = false;
  int next = position + step;
  if (next >= maximum) {
    if (position >= maximum) return position;
    next = maximum;
  }
  changed = true;
  return next;
}

std::uint32_t LabelTextFlags(std::uint32_t style) {
  std::uint32_t flags = 0;
  if (style & 0x2) flags |= 0x2;        // SS_RIGHT: DT_RIGHT
  if (style & 0x1) flags |= 0x1;        // SS_CENTER: DT_CENTER
  if (style & 0x200) flags |= 0x24;     // SS_CENTERIMAGE: DT_VCENTER | DT_SINGLELINE
  if (style & 0x80) flags |= 0x800;     // SS_NOPREFIX: DT_NOPREFIX
  if (style & 0xC000) flags |= 0x40000; // any ellipsis: DT_WORD_ELLIPSIS
  if (style & 0x4000) flags |= 0x8000;  // SS_ENDELLIPSIS: DT_END_ELLIPSIS
  if (style & 0x8000) flags |= 0x4000;  // SS_PATHELLIPSIS: DT_PATH_ELLIPSIS
  if ((style & 0xC20C) == 0) flags |= 0x10;  // none of those: DT_WORDBREAK
  return flags;
}

int ButtonFrame(bool disabled, bool pressed, bool hover) {
  if (disabled) return 3;
  if (pressed && hover) return 2;
  return hover ? 1 : 0;
}
