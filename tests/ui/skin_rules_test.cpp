#include "ui/skin_rules.h"

#include <gtest/gtest.h>

namespace {

using Piece = ProgressColumn::Piece;

// The columns as a short text: runs of "piece:first source column" for readable failures.
std::string Runs(const std::vector<ProgressColumn>& columns) {
  static const char* const NAMES[] = {"T", "L", "M", "R"};
  std::string text;
  for (std::size_t x = 0; x < columns.size(); ++x) {
    const bool continues = x > 0 && columns[x].piece == columns[x - 1].piece &&
                           (columns[x].piece == Piece::TRACK || columns[x].piece == Piece::MIDDLE ||
                            columns[x].sourceX == columns[x - 1].sourceX + 1);
    if (continues) continue;
    std::size_t end = x + 1;
    while (end < columns.size() && columns[end].piece == columns[x].piece) ++end;
    text += std::string(NAMES[columns[x].piece]) + std::to_string(columns[x].sourceX) + "@" + std::to_string(x) + " ";
  }
  return text;
}

}  // namespace

TEST(ProgressColumns, EmptyFullAndTheEndsOnlyRule) {
  // Width 400, range 0..100: fill = 4 x position.
  EXPECT_EQ(Runs(PlanProgressColumns(400, 0, 100, 0)), "T0@0 ");
  EXPECT_EQ(Runs(PlanProgressColumns(400, 0, 100, 100)), "L0@0 M0@64 R0@336 ");
  // 128 pixels: halves of the ends only, no middle.
  EXPECT_EQ(Runs(PlanProgressColumns(400, 0, 100, 32)), "L0@0 R0@64 T0@128 ");
  // 129 pixels: both ends whole, one middle column between them.
  EXPECT_EQ(Runs(PlanProgressColumns(129, 0, 1, 1)), "L0@0 M0@64 R0@65 ");
  // 40 pixels: the left end's first 20 columns, then the right end's last 20 (source from 44).
  EXPECT_EQ(Runs(PlanProgressColumns(400, 0, 100, 10)), "L0@0 R44@20 T0@40 ");
  // An odd fill of 41: halves of 20, and the track starts one column early, at 40.
  EXPECT_EQ(Runs(PlanProgressColumns(410, 0, 410, 41)), "L0@0 R44@20 T0@40 ");
}

TEST(ProgressColumns, EveryColumnIsPaintedForAnyFill) {
  for (int position = 0; position <= 300; ++position) {
    const auto columns = PlanProgressColumns(300, 0, 300, position);
    ASSERT_EQ(columns.size(), 300u);
    for (const auto& c : columns) {
      EXPECT_TRUE(c.piece == Piece::TRACK || c.sourceX >= 0) << position;
      EXPECT_LT(c.sourceX, 64) << position;
    }
    // The filled part never reaches past the fill.
    const int fill = ProgressFill(300, 0, 300, position);
    for (int x = fill; x < 300; ++x) EXPECT_EQ(columns[x].piece, Piece::TRACK) << position << " at " << x;
  }
  EXPECT_EQ(ProgressFill(400, 5, 5, 5), 0) << "an empty range fills nothing";
  EXPECT_EQ(ProgressFill(3, 0, 3, 2), 2);
}

TEST(ProgressStep, StopsAtTheMaximumAndThenChangesNothing) {
  bool changed = false;
  EXPECT_EQ(StepProgressPosition(98, 1, 100, changed), 99);
  EXPECT_TRUE(changed);
  EXPECT_EQ(StepProgressPosition(99, 1, 100, changed), 100);
  EXPECT_TRUE(changed);
  EXPECT_EQ(StepProgressPosition(100, 1, 100, changed), 100);
  EXPECT_FALSE(changed);
  EXPECT_EQ(StepProgressPosition(8, 1, 1, changed), 8) << "a new range does not move the position";
  EXPECT_FALSE(changed);
}

TEST(LabelTextFlags, FollowTheStyleTable) {
  const std::pair<std::uint32_t, std::uint32_t> cases[] = {
      {0x0, 0x10},           {0x2, 0x12},       {0x1, 0x11},     {0x200, 0x24},
      {0x80, 0x810},         {0x4000, 0x48000}, {0x8000, 0x44000}, {0xC000, 0x4C000},
      {0x280, 0x824},        {0x4, 0x0},
  };
  for (const auto& [style, flags] : cases) EXPECT_EQ(LabelTextFlags(style), flags) << std::hex << style;
}

TEST(ButtonFrame, DisabledWinsThenPressedWhileHovered) {
  EXPECT_EQ(ButtonFrame(false, false, false), 0);
  EXPECT_EQ(ButtonFrame(false, false, true), 1);
  EXPECT_EQ(ButtonFrame(false, true, true), 2);
  EXPECT_EQ(ButtonFrame(false, true, false), 0);
  for (bool pressed : {false, true}) {
    for (bool hover : {false, true}) EXPECT_EQ(ButtonFrame(true, pressed, hover), 3);
  }
}
