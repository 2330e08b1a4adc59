#include "ui/window_geometry.h"

#include <cfloat>
#include <cmath>

namespace ldr {

static_assert(LDBL_MANT_DIG == 64, "the window geometry needs 80-bit extended precision");

int32_t RoundHalfEven(long double value) {
  // The fraction is exact: subtracting the floor of a value never rounds.
  const long double whole = std::floor(value);
  const long double fraction = value - whole;
  long double result = whole;
  if (fraction > 0.5L) {
    result = whole + 1.0L;
  } else if (fraction == 0.5L && std::floor(whole / 2.0L) * 2.0L != whole) {
    // whole is odd (halving and doubling an integer are exact).
    result = whole + 1.0L;
  }
  return static_cast<int32_t>(result);
}

int32_t ScaleToDpi(int32_t value, uint32_t dpi) {
  if (dpi == 0 || dpi == kBaseDpi) return value;
  return RoundHalfEven(static_cast<long double>(value) * static_cast<long double>(dpi) /
                       static_cast<long double>(kBaseDpi));
}

int32_t ScaleFromDpi(int32_t value, uint32_t dpi) {
  if (dpi == 0 || dpi == kBaseDpi) return value;
  return RoundHalfEven(static_cast<long double>(value) * static_cast<long double>(kBaseDpi) /
                       static_cast<long double>(dpi));
}

WindowRect MainWindowRect(int32_t maximized_width, int32_t maximized_height, uint32_t dpi) {
  return MainWindowRect([=] { return maximized_width; }, [=] { return maximized_height; }, dpi);
}

WindowRect ProgressBarRect(int32_t client_width, int32_t client_height, uint32_t dpi) {
  WindowRect rect{};
  rect.left = ScaleToDpi(kMargin + kPictureSize + kMargin, dpi);
  rect.height = ScaleToDpi(kBarHeight, dpi);
  rect.top = RoundHalfEven(static_cast<long double>(client_height) * 0.5L -
                           static_cast<long double>(rect.height) * 0.5L);
  // Unsigned so that a client narrower than the margins cannot overflow.
  rect.width =
      static_cast<int32_t>(static_cast<uint32_t>(client_width) - static_cast<uint32_t>(rect.left) -
                           static_cast<uint32_t>(ScaleToDpi(kMargin, dpi)));
  return rect;
}

WindowRect PictureRect(int32_t client_height, uint32_t dpi) {
  WindowRect rect{};
  rect.left = ScaleToDpi(kPictureLeft, dpi);
  rect.width = rect.height = ScaleToDpi(kPictureSize, dpi);
  rect.top = RoundHalfEven(static_cast<long double>(client_height) * 0.5L -
                           static_cast<long double>(rect.height) * 0.5L);
  return rect;
}

int32_t PictureTop(int32_t client_height) { return PictureRect(client_height).top; }

}  // namespace ldr
