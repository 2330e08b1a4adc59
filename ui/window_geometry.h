#pragma once
// Where the loader window, its picture and its progress bar go. Pure
// arithmetic, shared by the Win32 window and its tests on every build.
//
// The window's look is laid out at 96 DPI and scaled to the display's DPI:
// at 96 every value is the one the window has always had, pixel for pixel.
// At another DPI the screen is first measured in 96-DPI units (as Windows
// measures it for a program that is not DPI-aware), the window laid out
// there, and every position and size scaled by DPI/96. So the window takes
// the same share of the screen at every DPI, the share Windows gives the
// bitmap-stretched window of a program that is not DPI-aware, while the
// picture, the bar and the margins grow with the DPI and stay sharp.
//
// Every value is rounded to the nearest integer, a half to the even
// neighbour, after arithmetic in 80-bit extended precision. Near the halves
// (heights such as 190 or 750) extended and double precision disagree, so the
// factors are long double literals and the products stay long double.

#include <cstdint>

namespace ldr {

struct WindowRect {
  int32_t left;
  int32_t top;
  int32_t width;
  int32_t height;
};

inline constexpr uint32_t kBaseDpi = 96;

// Nearest integer, a half to the even neighbour.
int32_t RoundHalfEven(long double value);

// A length of the 96-DPI look at `dpi`: rnd(value x dpi / 96). A dpi of 0
// (not known) counts as 96.
int32_t ScaleToDpi(int32_t value, uint32_t dpi);
// A length in pixels at `dpi` in 96-DPI units: rnd(value x 96 / dpi).
int32_t ScaleFromDpi(int32_t value, uint32_t dpi);

// The main window from the size of a maximized window on the primary screen
// (SM_CXMAXIMIZED, SM_CYMAXIMIZED, in pixels at `dpi`). The callbacks are
// asked afresh for each of the four formulas, in the order width, height,
// left, top.
template <class Width, class Height>
WindowRect MainWindowRect(Width&& maximized_width, Height&& maximized_height,
                          uint32_t dpi = kBaseDpi) {
  // The four formulas on the screen measured in 96-DPI units.
  auto width = [&] { return static_cast<long double>(ScaleFromDpi(maximized_width(), dpi)); };
  auto height = [&] { return static_cast<long double>(ScaleFromDpi(maximized_height(), dpi)); };
  WindowRect look{};
  look.width = RoundHalfEven(width() * 0.5L);
  look.height = RoundHalfEven(height() * 0.15L);
  look.left = RoundHalfEven(width() * 0.5L - static_cast<long double>(look.width) * 0.5L);
  look.top = RoundHalfEven(height() * 0.5L - static_cast<long double>(look.height) * 0.5L);
  return WindowRect{ScaleToDpi(look.left, dpi), ScaleToDpi(look.top, dpi),
                    ScaleToDpi(look.width, dpi), ScaleToDpi(look.height, dpi)};
}
WindowRect MainWindowRect(int32_t maximized_width, int32_t maximized_height,
                          uint32_t dpi = kBaseDpi);

// The progress bar inside a client area of cw x ch: at 96 DPI 52 from the
// left (margin, picture, gap), 10 from the right, 20 high, centred
// vertically; those lengths scaled at another DPI.
WindowRect ProgressBarRect(int32_t client_width, int32_t client_height, uint32_t dpi = kBaseDpi);

// The picture: at 96 DPI 32x32 at x 10, centred vertically; scaled at
// another DPI.
WindowRect PictureRect(int32_t client_height, uint32_t dpi = kBaseDpi);
// Top edge of the picture at 96 DPI.
int32_t PictureTop(int32_t client_height);

inline constexpr int32_t kPictureLeft = 10;
inline constexpr int32_t kPictureSize = 32;
inline constexpr int32_t kBarHeight = 20;
inline constexpr int32_t kMargin = 10;  // left of the picture, between, right of the bar

}  // namespace ldr
