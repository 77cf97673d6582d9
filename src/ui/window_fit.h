#pragma once
// How the update window fits a small screen at a high DPI. The dialog is laid out in dialog
// units, so at 168 or 192 DPI it is wider and taller than a 1024 x 768 screen, and at 120 DPI wider
// than 800 x 600. The rule is pure so that every DPI and screen can be tried without a window.

// A control's rectangle in the window's client area, in pixels.
struct Place {
  int left = 0, top = 0, width = 0, height = 0;
  int Right() const { return left + width; }
  int Bottom() const { return top + height; }
};

// The window's client size and its controls' places.
struct WindowPlaces {
  int width = 0, height = 0;
  Place artwork, bar, status, version, retry, exit;
};

// The places that make the window at most `maxWidth` x `maxHeight` (the work area less the
// window's frame). Too tall, the artwork gives up the height (down to `artworkMinHeight`) and
// what lies below it moves up. Too wide, the window narrows by one factor: the artwork, the bar
// and the status line narrow, the buttons shrink keeping their artwork's proportions, and the
// version label keeps its width (its text is drawn at the DPI) with the status line ending before
// it. Text heights never change, so every text keeps the size the DPI gives it.
WindowPlaces FitWindow(const WindowPlaces& natural, int maxWidth, int maxHeight, int artworkMinHeight);
