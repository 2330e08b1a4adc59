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
  } else if (fraction == 0.5L && std::fmod(whole, 2.0L) != 0.0L) {
    result = whole + 1.0L;
  }
  return static_cast<int32_t>(result);
}

WindowRect MainWindowRect(int32_t maximized_width, int32_t maximized_height) {
  return MainWindowRect([=] { return maximized_width; }, [=] { return maximized_height; });
}

WindowRect ProgressBarRect(int32_t client_width, int32_t client_height) {
  WindowRect rect{};
  rect.left = kPictureLeft + kPictureSize + 10;
  rect.top = RoundHalfEven(static_cast<long double>(client_height) * 0.5L - 20.0L * 0.5L);
  // Unsigned so that a client narrower than the margins cannot overflow.
  rect.width = static_cast<int32_t>(static_cast<uint32_t>(client_width) - 62u);
  rect.height = 20;
  return rect;
}

int32_t PictureTop(int32_t client_height) {
  return RoundHalfEven(static_cast<long double>(client_height) * 0.5L -
                       static_cast<long double>(kPictureSize) * 0.5L);
}

}  // namespace ldr
