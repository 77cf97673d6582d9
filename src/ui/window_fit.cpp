#include "ui/window_fit.h"

#include <algorithm>
#include <cmath>

namespace {

int Scaled(int pixels, double factor) { return static_cast<int>(std::lround(pixels * factor)); }

void NarrowAcross(Place& place, double factor) {
  const int right = Scaled(place.Right(), factor);
  place.left = Scaled(place.left, factor);
  place.width = right - place.left;
}

// Narrower by the factor and as much shorter, its top where it was.
void ShrinkKeepingProportions(Place& place, double factor) {
  NarrowAcross(place, factor);
  place.height = std::max(1, Scaled(place.height, factor));
}

void FitAcross(WindowPlaces& places, int maxWidth) {
  if (places.width <= maxWidth || places.width <= 0) return;
  const double factor = static_cast<double>(maxWidth) / places.width;
  const int gapBeforeVersion = places.version.left - places.status.Right();
  const int versionRight = Scaled(places.version.Right(), factor);
  NarrowAcross(places.artwork, factor);
  NarrowAcross(places.bar, factor);
  NarrowAcross(places.status, factor);
  ShrinkKeepingProportions(places.retry, factor);
  ShrinkKeepingProportions(places.exit, factor);
  places.version.left = std::max(0, versionRight - places.version.width);
  if (gapBeforeVersion >= 0) {
    const int statusRight = std::min(places.status.Right(), places.version.left - Scaled(gapBeforeVersion, factor));
    places.status.width = std::max(0, statusRight - places.status.left);
  }
  places.width = maxWidth;
}

void FitDown(WindowPlaces& places, int maxHeight, int artworkMinHeight) {
  const int excess = places.height - maxHeight;
  const int cut = std::min(std::max(excess, 0), std::max(places.artwork.height - artworkMinHeight, 0));
  if (cut == 0) return;
  const int artworkBottom = places.artwork.Bottom();
  places.artwork.height -= cut;
  for (Place* below : {&places.bar, &places.status, &places.version, &places.retry, &places.exit}) {
    if (below->top >= artworkBottom) below->top -= cut;
  }
  places.height -= cut;
}

}  // namespace

WindowPlaces FitWindow(const WindowPlaces& natural, int maxWidth, int maxHeight, int artworkMinHeight) {
  WindowPlaces places = natural;
  FitAcross(places, maxWidth);
  FitDown(places, maxHeight, artworkMinHeight);
  return places;
}
