#include "format/kit_time.h"

#include <cmath>

namespace ldr {
namespace {

constexpr int64_t kUnixEpochDay = 25569;  // 1970-01-01 counted from 1899-12-30
constexpr int64_t kSecondsPerDay = 86400;
constexpr double kLimitDays = 365.25e6;

}  // namespace

double KitTimeFromUnix(int64_t seconds) {
  return static_cast<double>(kUnixEpochDay) + static_cast<double>(seconds) / kSecondsPerDay;
}

int64_t UnixFromKitTime(double days) {
  if (!(days > -kLimitDays && days < kLimitDays)) return 0;  // NaN fails both
  return static_cast<int64_t>(std::llround((days - kUnixEpochDay) * kSecondsPerDay));
}

}  // namespace ldr
