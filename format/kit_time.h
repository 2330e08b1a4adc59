#pragma once
// An entry's time stamp: days since 1899-12-30 00:00 UTC as a double, the
// fraction being the time of day. kitpack writes and shows it, the payload
// library hands it to installers as seconds since 1970.

#include <cstdint>

namespace ldr {

double KitTimeFromUnix(int64_t seconds);
// Whole seconds, rounded to the nearest. A value no clock could show (not a
// number, or beyond a million years either way), as a damaged record may
// hold, gives 0.
int64_t UnixFromKitTime(double days);

}  // namespace ldr
