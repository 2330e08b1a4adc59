#include "platform/deployment_platform.h"

#include "base/sha256.h"

namespace ldr {

bool FeedFile(File& file, int64_t size, void (*feed)(void*, const unsigned char*, size_t),
              void* context) {
  unsigned char block[4096];
  for (int64_t done = 0; done < size;) {
    const int64_t left = size - done;
    const int32_t n = file.Read(block, left < 4096 ? static_cast<uint32_t>(left) : 4096u);
    if (n <= 0) return false;
    feed(context, block, static_cast<size_t>(n));
    done += n;
  }
  return true;
}

bool Sha256OfFile(File& file, int64_t size, Sha256Digest* digest) {
  Sha256 hash;
  auto add = [](void* context, const unsigned char* bytes, size_t count) {
    static_cast<Sha256*>(context)->Update(bytes, count);
  };
  if (!FeedFile(file, size, add, &hash)) return false;
  *digest = hash.Finish();
  return true;
}

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
