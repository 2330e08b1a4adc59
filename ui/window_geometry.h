#pragma once
// Where the loader window, its picture and its progress bar go. Pure
// arithmetic, shared by the Win32 window and its tests on every build.
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

// Nearest integer, a half to the even neighbour.
int32_t RoundHalfEven(long double value);

// The main window from the size of a maximized window on the primary screen
// (SM_CXMAXIMIZED, SM_CYMAXIMIZED). The callbacks are asked afresh for each
// of the four formulas, in the order width, height, left, top.
template <class Width, class Height>
WindowRect MainWindowRect(Width&& maximized_width, Height&& maximized_height) {
  WindowRect rect{};
  rect.width = RoundHalfEven(static_cast<long double>(maximized_width()) * 0.5L);
  rect.height = RoundHalfEven(static_cast<long double>(maximized_height()) * 0.15L);
  rect.left = RoundHalfEven(static_cast<long double>(maximized_width()) * 0.5L -
                            static_cast<long double>(rect.width) * 0.5L);
  rect.top = RoundHalfEven(static_cast<long double>(maximized_height()) * 0.5L -
                           static_cast<long double>(rect.height) * 0.5L);
  return rect;
}
WindowRect MainWindowRect(int32_t maximized_width, int32_t maximized_height);

// The progress bar inside a client area of cw x ch: 52 from the left (margin,
// picture, gap), 10 from the right, 20 high, centred vertically.
WindowRect ProgressBarRect(int32_t client_width, int32_t client_height);

// Top edge of the 32x32 picture, which sits at x 10, centred vertically.
int32_t PictureTop(int32_t client_height);

inline constexpr int32_t kPictureLeft = 10;
inline constexpr int32_t kPictureSize = 32;

}  // namespace ldr
