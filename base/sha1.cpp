#include "base/sha1.h"

namespace ldr {

Sha1::Sha1() : state_{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476, 0xc3d2e1f0} {}

void Sha1::Block(const unsigned char* p) {
  uint32_t w[80];
  for (size_t i = 0; i < 16; ++i) w[i] = GetU32BigEndian(p + 4 * i);
  for (size_t i = 16; i < 80; ++i)
    w[i] = RotateLeft(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
  uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3], e = state_[4];
  for (size_t i = 0; i < 80; ++i) {
    uint32_t f, k;
    if (i < 20) {
      f = (b & c) | (~b & d);
      k = 0x5a827999;
    } else if (i < 40) {
      f = b ^ c ^ d;
      k = 0x6ed9eba1;
    } else if (i < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8f1bbcdc;
    } else {
      f = b ^ c ^ d;
      k = 0xca62c1d6;
    }
    const uint32_t t = RotateLeft(a, 5) + f + e + k + w[i];
    e = d;
    d = c;
    c = RotateLeft(b, 30);
    b = a;
    a = t;
  }
  state_[0] += a;
  state_[1] += b;
  state_[2] += c;
  state_[3] += d;
  state_[4] += e;
}

void Sha1::Update(const void* data, size_t size) {
  feeder_.Update(data, size, [this](const unsigned char* p) { Block(p); });
}

std::array<unsigned char, 20> Sha1::Finish() {
  feeder_.Finish([this](const unsigned char* p) { Block(p); });
  return WordsBigEndian(state_);
}

}  // namespace ldr
