#include "platform/platform.h"

namespace ldr {

TimeText FormatTime(int year, int month, int day, int hour, int minute, int second) {
  const int parts[] = {year, month, day, hour, minute, second};
  static const char kAfter[] = "-- ::";
  TimeText text;
  for (int i = 0; i < 6; ++i) {
    const int value = parts[i] < 0 ? 0 : parts[i];
    if (i == 0) {
      for (int d = 1000; d >= 1; d /= 10) text.Append(static_cast<char>('0' + value / d % 10));
    } else {
      text.Append(static_cast<char>('0' + value / 10 % 10));
      text.Append(static_cast<char>('0' + value % 10));
    }
    if (i < 5) text.Append(kAfter[i]);
  }
  return text;
}

}  // namespace ldr
