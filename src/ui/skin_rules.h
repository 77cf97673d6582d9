#pragma once
// The pure rules of the window's skinned controls: what the progress bar draws at each column,
// which text-drawing flags a label's style asks for, which frame a button shows, and how a step
// moves the bar. The controls apply them with GDI; the rules themselves touch no window.
#include <cstdint>
#include <vector>

// One column of the progress bar: which piece is drawn there, from which source column.
struct ProgressColumn {
  enum Piece : std::uint8_t { TRACK, LEFT_END, MIDDLE, RIGHT_END } piece;
  int sourceX;
  bool operator==(const ProgressColumn& other) const { return piece == other.piece && sourceX == other.sourceX; }
};

// The filled width for a position: width x (position - minimum) / (maximum - minimum), cut toward
// zero; 0 when the range is empty.
int ProgressFill(int width, int minimum, int maximum, int position);

// What lands on each x from 0 to width - 1, in the order the bar paints: a fill above 128 pixels
// is both 64-pixel ends with middle columns between them; a smaller one is the left half of the
// left end and the right half of the right end; the track follows (one column earlier for an
// odd fill, so that nothing stays unpainted).
std::vector<ProgressColumn> PlanProgressColumns(int width, int minimum, int maximum, int position);

// The position after one step, and whether the bar must be repainted: a step stops at the
// maximum, and a bar already there changes nothing.
int StepProgressPosition(int position, int step, int maximum, bool& changed);

// The DrawText flags for a static control's style bits.
std::uint32_t LabelTextFlags(std::uint32_t style);

// The size, in percent of the window's font, at which a long text is drawn in its label: the
// first of 100, 90, 80, 70 and 60 at which `fits` says it fits, else 60 (where it is cut).
template <typename Fits>
int FittingTextPercent(Fits fits) {
  for (int percent = 100; percent > 60; percent -= 10) {
    if (fits(percent)) return percent;
  }
  return 60;
}

// The button frame: 3 disabled, 2 pressed while hovered, 1 hovered, 0 normal.
int ButtonFrame(bool disabled, bool pressed, bool hover);
