#include "inflate/zlib_stream.h"

#include <zlib.h>

#include <cstring>

namespace ldr {

// What inflateBack allocates (its state, about 7 KiB on 64-bit systems)
// comes from a block inside the inflater, handed out in order and given back
// all at once with the next stream. A request the block cannot meet gets
// nothing, which zlib reports as a lack of memory.
void* ZlibInflater::Memory::Allocate(void* opaque, unsigned items, unsigned size) {
  Memory* memory = static_cast<Memory*>(opaque);
  constexpr uint64_t kAlign = alignof(std::max_align_t);
  const uint64_t wanted = static_cast<uint64_t>(items) * size;
  const uint64_t rounded = (wanted + kAlign - 1) / kAlign * kAlign;
  if (rounded > sizeof memory->block_ - memory->used_) return Z_NULL;
  void* at = memory->block_ + memory->used_;
  memory->used_ += static_cast<uint32_t>(rounded);
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

StreamEnd ZlibInflater::Run(InflateInput& input, InflateOutput& output) {
  input_ = &input;
  output_ = &output;
  next_ = nullptr;
  have_ = 0;
  adler_ = 1;
  read_failed_ = stopped_ = window_full_ = false;
  damage_ = Damage::kNone;
  zlib_text_ = nullptr;
  memory_.Reset();
  // Never a byte of an earlier stream, or of earlier memory, in the output.
  std::memset(window_, 0, sizeof window_);

  unsigned char header[2];
  if (!Take(header, 2)) return InputEnd();
  const uint32_t cmf = header[0];
  const uint32_t flags = header[1];
  const bool valid =
      (cmf * 256 + flags) % 31 == 0 && (cmf & 0x0F) == Z_DEFLATED && (cmf >> 4) + 8 <= MAX_WBITS;
  if (!valid) return Fail(Damage::kHeader);
  if ((flags & 0x20) != 0) {
    // A preset dictionary: damaged once its identifier has arrived.
    unsigned char dictionary_id[4];
    return Take(dictionary_id, 4) ? Fail(Damage::kDictionary) : InputEnd();
  }
  const StreamEnd deflated = Deflated();
  if (deflated != StreamEnd::kWhole) return deflated;

  unsigned char check[4];
  if (!Take(check, 4)) return InputEnd();
  const uint32_t expected = static_cast<uint32_t>(check[0]) << 24 |
                            static_cast<uint32_t>(check[1]) << 16 |
                            static_cast<uint32_t>(check[2]) << 8 | check[3];
  return expected == adler_ ? StreamEnd::kWhole : Fail(Damage::kChecksum);
}

// The deflate data between header and checksum.
StreamEnd ZlibInflater::Deflated() {
  z_stream stream;
  std::memset(&stream, 0, sizeof stream);
  stream.zalloc = &Memory::Allocate;
  stream.zfree = &Memory::Free;
  stream.opaque = &memory_;
  if (inflateBackInit(&stream, MAX_WBITS, window_) != Z_OK) return Fail(Damage::kData);
  // Every input byte goes through Pull; none is handed over at the start.
  stream.next_in = Z_NULL;
  stream.avail_in = 0;
  const int result = inflateBack(&stream, &ZlibInflater::Pull, this, &ZlibInflater::Push, this);
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

// The next piece of input into the buffer; false when the input has ended
// or a read failed.
bool ZlibInflater::Fill() {
  const int32_t got = input_->Read(input_buffer_, kInputSize);
  if (got < 0 || static_cast<uint32_t>(got) > kInputSize) {
    read_failed_ = true;
    return false;
  }
  if (got == 0) return false;
  next_ = input_buffer_;
  have_ = static_cast<uint32_t>(got);
  return true;
}

// Exactly size bytes of input, or false when the input ends before.
bool ZlibInflater::Take(unsigned char* bytes, uint32_t size) {
  for (uint32_t i = 0; i < size; ++i) {
    if (have_ == 0 && !Fill()) return false;
    bytes[i] = *next_++;
    --have_;
  }
  return true;
}

// The input for inflateBack. Until its first full window has gone out, in
// pieces of at most 5 bytes: with fewer than 6 bytes at hand it decodes step
// by step, where a distance reaching back before the stream's start is
// refused, as inflate refuses it. Its fast loop, which it takes with more
// input, lets such a distance pass in this zlib while the window is not yet
// full, and copies from window bytes nothing has written. Once the window is
// full every distance the format allows is valid, and the input goes over in
// whole pieces.
unsigned ZlibInflater::Pull(void* self, unsigned char** bytes) {
  ZlibInflater& z = *static_cast<ZlibInflater*>(self);
  if (z.have_ == 0 && !z.Fill()) return 0;
  constexpr uint32_t kStepByStep = 5;
  const uint32_t n = z.window_full_ || z.have_ < kStepByStep ? z.have_ : kStepByStep;
  *bytes = z.next_;
  z.next_ += n;
  z.have_ -= n;
  return n;
}

// A full window, or what is left at the end.
int ZlibInflater::Push(void* self, unsigned char* bytes, unsigned size) {
  ZlibInflater& z = *static_cast<ZlibInflater*>(self);
  if (size == sizeof z.window_) z.window_full_ = true;
  z.adler_ = Adler32(z.adler_, bytes, size);
  if (z.output_->Write(bytes, size)) return 0;
  z.stopped_ = true;
  return 1;
}

}  // namespace ldr
