#pragma once
// One zlib stream (RFC 1950) inflated as its bytes arrive: the one inflater
// of the loader's extractor, the payload library and kitpack's reader. Each
// caller brings its input (a range of a file), takes the output and decides
// what an ending means to it; the stream's rules live here.
//
// The deflate data goes through zlib's callback inflater, inflateBack,
// which decodes into a 32 KiB window of the inflater's own and needs no
// heap; the wrapper around it (the two header bytes, the checksum at the
// end) is read here, with the results zlib's inflate would give. Nothing is
// thrown from here, and nothing a caller throws may pass through Run: a
// caller whose reads or writes raise catches them and fails the call
// instead.
//
// The caller's side is a template parameter, not an interface: loader.exe
// has one caller, and calls through a table would cost it bytes.

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ldr {

// How a stream ended.
enum class StreamEnd {
  kWhole,       // at its end, with the checksum matching
  kCutShort,    // the input ended first
  kDamaged,     // see Damage
  kReadFailed,  // a read failed where the stream needed more input
  kStopped,     // the output refused bytes
};

// What was wrong with a damaged stream.
enum class Damage {
  kNone,
  kHeader,      // the header's check bits, method or window size
  kDictionary,  // it asks for a preset dictionary
  kData,        // the deflate data (zlib's own text says how)
  kChecksum,    // the Adler-32 at its end
};

// The checksum of a zlib stream, continued from `adler` (1 to start).
uint32_t Adler32(uint32_t adler, const unsigned char* data, uint32_t size);

class ZlibInflater {
 public:
  ZlibInflater() = default;
  ZlibInflater(const ZlibInflater&) = delete;
  ZlibInflater& operator=(const ZlibInflater&) = delete;

  static constexpr uint32_t kInputSize = 65536;  // read at most this much at a time
  static constexpr uint32_t kWindowSize = 32768;

  // Inflates one stream. `io` has
  //   int32_t Read(unsigned char* into, uint32_t size): up to size bytes, how
  //     many, 0 when the input has ended, negative when a read failed;
  //   bool Write(const unsigned char* bytes, uint32_t size): the next bytes,
  //     at most 32 KiB at a time, which stay in place until the next Write,
  //     the next Run or the inflater's end; false stops the stream.
  // An inflater runs any number of streams, one after the other.
  template <class Io>
  StreamEnd Run(Io& io);

  // After a run: the input bytes read past the stream's end, which the
  // stream did not use.
  uint32_t unused() const { return have_; }
  Damage damage() const { return damage_; }
  // Says what was wrong with a damaged stream, as zlib's inflate says it.
  const char* DamageText() const;

 private:
  template <class Io>
  struct Call {
    ZlibInflater& inflater;
    Io& io;
  };

  void Start();
  StreamEnd Header(bool taken, const unsigned char (&header)[2]);
  StreamEnd Deflated(in_func pull, out_func push, void* call);
  StreamEnd Checked(const unsigned char (&check)[4]);
  StreamEnd InputEnd() const {
    return read_failed_ ? StreamEnd::kReadFailed : StreamEnd::kCutShort;
  }
  StreamEnd Fail(Damage damage) {
    damage_ = damage;
    return StreamEnd::kDamaged;
  }
  template <class Io>
  bool Fill(Io& io);
  template <class Io>
  bool Take(Io& io, unsigned char* bytes, uint32_t size);
  template <class Io>
  static unsigned Pull(void* call, unsigned char** bytes);
  template <class Io>
  static int Push(void* call, unsigned char* bytes, unsigned size);

  static void* Allocate(void* opaque, unsigned items, unsigned size);
  static void Free(void*, void*) {}

  unsigned char* next_ = nullptr;  // input not yet taken
  uint32_t have_ = 0;
  uint32_t adler_ = 1;
  bool read_failed_ = false;
  bool stopped_ = false;
  bool window_full_ = false;  // inflateBack has handed over a whole window
  Damage damage_ = Damage::kNone;
  const char* zlib_text_ = nullptr;

  // What inflateBack allocates, handed out in order from here.
  uint32_t used_ = 0;
  alignas(std::max_align_t) unsigned char memory_[16 * 1024];
  unsigned char input_[kInputSize];
  unsigned char window_[kWindowSize];
};

template <class Io>
StreamEnd ZlibInflater::Run(Io& io) {
  Start();
  unsigned char header[2];
  const StreamEnd header_end = Header(Take(io, header, 2), header);
  if (header_end != StreamEnd::kWhole) return header_end;
  if ((header[1] & 0x20) != 0) {
    // A preset dictionary: damaged once its identifier has arrived.
    unsigned char dictionary_id[4];
    return Take(io, dictionary_id, 4) ? Fail(Damage::kDictionary) : InputEnd();
  }
  Call<Io> call{*this, io};
  const StreamEnd deflated = Deflated(&Pull<Io>, &Push<Io>, &call);
  if (deflated != StreamEnd::kWhole) return deflated;
  unsigned char check[4];
  if (!Take(io, check, 4)) return InputEnd();
  return Checked(check);
}

// The next piece of input into the buffer; false when the input has ended
// or a read failed.
template <class Io>
bool ZlibInflater::Fill(Io& io) {
  const int32_t got = io.Read(input_, kInputSize);
  if (got < 0 || static_cast<uint32_t>(got) > kInputSize) {
    read_failed_ = true;
    return false;
  }
  if (got == 0) return false;
  next_ = input_;
  have_ = static_cast<uint32_t>(got);
  return true;
}

// Exactly size bytes of input, or false when the input ends before.
template <class Io>
bool ZlibInflater::Take(Io& io, unsigned char* bytes, uint32_t size) {
  for (uint32_t i = 0; i < size; ++i) {
    if (have_ == 0 && !Fill(io)) return false;
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
template <class Io>
unsigned ZlibInflater::Pull(void* call, unsigned char** bytes) {
  Call<Io>& c = *static_cast<Call<Io>*>(call);
  ZlibInflater& z = c.inflater;
  if (z.have_ == 0 && !z.Fill(c.io)) return 0;
  constexpr uint32_t kStepByStep = 5;
  const uint32_t n = z.window_full_ || z.have_ < kStepByStep ? z.have_ : kStepByStep;
  *bytes = z.next_;
  z.next_ += n;
  z.have_ -= n;
  return n;
}

// A full window, or what is left at the end.
template <class Io>
int ZlibInflater::Push(void* call, unsigned char* bytes, unsigned size) {
  Call<Io>& c = *static_cast<Call<Io>*>(call);
  ZlibInflater& z = c.inflater;
  if (size == sizeof z.window_) z.window_full_ = true;
  z.adler_ = Adler32(z.adler_, bytes, size);
  if (c.io.Write(bytes, size)) return 0;
  z.stopped_ = true;
  return 1;
}

}  // namespace ldr
