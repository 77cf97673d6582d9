#include "ui/window_fit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

// The dialog's template (407 x 331 dialog units) at a DPI, with the dialog font's base units of
// 7 x 13 pixels at 96 DPI growing with it, as Windows maps the template.
WindowPlaces NaturalAt(int dpi) {
  const double across = 7.0 * dpi / 96 / 4, down = 13.0 * dpi / 96 / 8;
  auto units = [&](int x, int y, int width, int height) {
    return Place{static_cast<int>(x * across), static_cast<int>(y * down), static_cast<int>(width * across),
                 static_cast<int>(height * down)};
  };
  WindowPlaces places;
  places.width = static_cast<int>(407 * across);
  places.height = static_cast<int>(331 * down);
  places.artwork = units(5, 6, 394, 277);
  places.bar = units(3, 289, 395, 11);
  places.status = units(6, 300, 321, 17);
  places.version = units(347, 308, 50, 10);
  places.retry = units(214, 318, 40, 12);
  places.exit = units(257, 318, 40, 12);
  return places;
}

bool Overlap(const Place& a, const Place& b) {
  return a.left < b.Right() && b.left < a.Right() && a.top < b.Bottom() && b.top < a.Bottom();
}

bool Inside(const Place& p, const WindowPlaces& w) {
  return p.left >= 0 && p.top >= 0 && p.Right() <= w.width && p.Bottom() <= w.height;
}

double Proportion(const Place& p) { return static_cast<double>(p.width) / p.height; }

}  // namespace

TEST(WindowFit, EveryDpiUpToTwiceFitsEveryScreenFrom800x600) {
  constexpr int MIN_ART = 64;
  for (int dpi : {96, 120, 144, 168, 192}) {
    const WindowPlaces natural = NaturalAt(dpi);
    for (const auto& [width, height] : {std::pair{800, 600}, {1024, 600}, {1024, 768}, {1280, 720}, {1920, 1080}}) {
      SCOPED_TRACE(std::to_string(dpi) + " DPI on " + std::to_string(width) + " x " + std::to_string(height));
      const WindowPlaces fitted = FitWindow(natural, width, height, MIN_ART);
      EXPECT_LE(fitted.width, width);
      EXPECT_LE(fitted.height, height);
      if (natural.width <= width && natural.height <= height) {
        EXPECT_EQ(fitted.width, natural.width);
        EXPECT_EQ(fitted.height, natural.height);
        EXPECT_EQ(fitted.retry.left, natural.retry.left);
        EXPECT_EQ(fitted.artwork.height, natural.artwork.height);
      }
      const Place* controls[] = {&fitted.artwork, &fitted.bar,   &fitted.status,
                                 &fitted.version, &fitted.retry, &fitted.exit};
      for (const Place* p : controls) EXPECT_TRUE(Inside(*p, fitted));
      for (std::size_t i = 0; i < std::size(controls); ++i) {
        for (std::size_t j = i + 1; j < std::size(controls); ++j) {
          EXPECT_FALSE(Overlap(*controls[i], *controls[j])) << "controls " << i << " and " << j;
        }
      }
      // Texts keep the height the DPI gives them, the version label its width as well.
      EXPECT_EQ(fitted.status.height, natural.status.height);
      EXPECT_EQ(fitted.version.height, natural.version.height);
      EXPECT_EQ(fitted.version.width, natural.version.width);
      EXPECT_GT(fitted.status.width, natural.status.width / 3);
      EXPECT_GE(fitted.artwork.height, MIN_ART);
      // The buttons keep their artwork's proportions, within a pixel's rounding.
      EXPECT_NEAR(Proportion(fitted.retry), Proportion(natural.retry), 0.12);
      EXPECT_NEAR(Proportion(fitted.exit), Proportion(natural.exit), 0.12);
    }
  }
}

TEST(WindowFit, TheArtworkGivesUpHeightBeforeAnythingElse) {
  const WindowPlaces natural = NaturalAt(144);  // 1067 x 672
  const WindowPlaces fitted = FitWindow(natural, 1100, 600, 64);
  EXPECT_EQ(fitted.artwork.height, natural.artwork.height - (natural.height - 600));
  EXPECT_EQ(fitted.artwork.width, natural.artwork.width);
  EXPECT_EQ(fitted.retry.width, natural.retry.width);
  EXPECT_EQ(fitted.bar.top, natural.bar.top - (natural.height - 600));
  // A screen too small even for the smallest artwork: the artwork stops at its floor.
  const WindowPlaces tiny = FitWindow(natural, 1100, 100, 64);
  EXPECT_EQ(tiny.artwork.height, 64);
  EXPECT_GT(tiny.height, 100);
}
