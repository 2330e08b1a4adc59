#include "inflate/zlib_stream.h"

namespace ldr {

// What inflateBack allocates (its state, about 7 KiB on 64-bit systems)
// comes from a block inside the inflater, handed out in order and given back
// all at once with the next stream. A request the block cannot meet gets
// nothing, which zlib reports as a lack of memory.
void* ZlibInflater::Allocate(void* opaque, unsigned items, unsigned size) {
  ZlibInflater& z = *static_cast<ZlibInflater*>(opaque);
  constexpr uint64_t kAlign = alignof(std::max_align_t);
  const uint64_t wanted = static_cast<uint64_t>(items) * size;
  const uint64_t rounded = (wanted + kAlign - 1) / kAlign * kAlign;
  if (rounded > sizeof z.memory_ - z.used_) return Z_NULL;
  void* at = z.memory_ + z.used_;
  z.used_ += static_cast<uint32_t>(rounded);
  std::memset(at, 0, static_cast<size_t>(rounded));  // as zlib's own allocator gives it
  return at;
}

// Two sums modulo 65521, folded at most every 5552 bytes, where the larger
// one could still not overflow.
uint32_t Adler32(uint32_t adler, const unsigned char* data, uint32_t size) {
  constexpr uint32_t kBase = 65521;
  constexpr uint32_t kMostBeforeFold = 5552;
  uint32_t a = adler & 0xFFFF;
  uint32_t b = adler >> 16;
  while (size > 0) {
    uint32_t n = size < kMostBeforeFold ? size : kMostBeforeFold;
    size -= n;
    for (; n >= 8; n -= 8, data += 8) {
      a += data[0], b += a;
      a += data[1], b += a;
      a += data[2], b += a;
      a += data[3], b += a;
      a += data[4], b += a;
      a += data[5], b += a;
      a += data[6], b += a;
      a += data[7], b += a;
    }
    for (; n > 0; --n) a += *data++, b += a;
    a %= kBase;
    b %= kBase;
  }
  return (b << 16) | a;
}

void ZlibInflater::Start() {
  next_ = nullptr;
  have_ = 0;
  adler_ = 1;
  read_failed_ = stopped_ = window_full_ = false;
  damage_ = Damage::kNone;
  zlib_text_ = nullptr;
  used_ = 0;
  // Never a byte of an earlier stream, or of earlier memory, in the output.
  std::memset(window_, 0, sizeof window_);
}

// kWhole for a header that lets the stream go on.
StreamEnd ZlibInflater::Header(bool taken, const unsigned char (&header)[2]) {
  if (!taken) return InputEnd();
  const uint32_t cmf = header[0];
  const uint32_t flags = header[1];
  const bool valid =
      (cmf * 256 + flags) % 31 == 0 && (cmf & 0x0F) == Z_DEFLATED && (cmf >> 4) + 8 <= MAX_WBITS;
  return valid ? StreamEnd::kWhole : Fail(Damage::kHeader);
}

// The deflate data between header and checksum.
StreamEnd ZlibInflater::Deflated(in_func pull, out_func push, void* call) {
  z_stream stream;
  std::memset(&stream, 0, sizeof stream);
  stream.zalloc = &ZlibInflater::Allocate;
  stream.zfree = &ZlibInflater::Free;
  stream.opaque = this;
  if (inflateBackInit(&stream, MAX_WBITS, window_) != Z_OK) return Fail(Damage::kData);
  // Every input byte goes through Pull; none is handed over at the start.
  stream.next_in = Z_NULL;
  stream.avail_in = 0;
  const int result = inflateBack(&stream, pull, call, push, call);
  // What inflateBack did not use is the end of the last piece Pull gave,
  // and the rest of the input buffer follows it.
  if (stream.next_in != Z_NULL) {
    next_ = stream.next_in;
    have_ += stream.avail_in;
  }
  zlib_text_ = stream.msg;
  inflateBackEnd(&stream);
  if (stopped_) return StreamEnd::kStopped;
  if (result == Z_BUF_ERROR) return InputEnd();  // the input ran out
  return result == Z_STREAM_END ? StreamEnd::kWhole : Fail(Damage::kData);
}

StreamEnd ZlibInflater::Checked(const unsigned char (&check)[4]) {
  const uint32_t expected = static_cast<uint32_t>(check[0]) << 24 |
                            static_cast<uint32_t>(check[1]) << 16 |
                            static_cast<uint32_t>(check[2]) << 8 | check[3];
  return expected == adler_ ? StreamEnd::kWhole : Fail(Damage::kChecksum);
}

const char* ZlibInflater::DamageText() const {
  switch (damage_) {
    case Damage::kNone:
      return "";
    case Damage::kHeader:
      return "incorrect header";
    case Damage::kDictionary:
      return "needs a preset dictionary";
    case Damage::kChecksum:
      return "incorrect data check";
    case Damage::kData:
      break;
  }
  return zlib_text_ != nullptr ? zlib_text_ : "bad data";
}

}  // namespace ldr
