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
// caller whose reads or writes raise catches them in its input or output
// and fails the call instead.

#include <cstddef>
#include <cstdint>

namespace ldr {

// Where a stream's bytes come from.
class InflateInput {
 public:
  // Up to `size` bytes into `into`: how many, 0 when the input has ended,
  // negative when a read failed.
  virtual int32_t Read(unsigned char* into, uint32_t size) = 0;

 protected:
  ~InflateInput() = default;
};

// Where the inflated bytes go.
class InflateOutput {
 public:
  // The next bytes, at most 32 KiB at a time. They stay in place until the
  // next Write, the next Run or the inflater's end. False stops the stream.
  virtual bool Write(const unsigned char* bytes, uint32_t size) = 0;

 protected:
  ~InflateOutput() = default;
};

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

class ZlibInflater {
 public:
  ZlibInflater() = default;
  ZlibInflater(const ZlibInflater&) = delete;
  ZlibInflater& operator=(const ZlibInflater&) = delete;

  // Inflates one stream from `input` into `output`. An inflater runs any
  // number of streams, one after the other.
  StreamEnd Run(InflateInput& input, InflateOutput& output);

  // After a run: the input bytes read past the stream's end, which the
  // stream did not use.
  uint32_t unused() const { return have_; }
  Damage damage() const { return damage_; }
  // Says what was wrong with a damaged stream, as zlib's inflate says it.
  const char* DamageText() const;

  static constexpr uint32_t kInputSize = 65536;  // read at most this much at a time
  static constexpr uint32_t kWindowSize = 32768;

 private:
  class Memory {
   public:
    static void* Allocate(void* opaque, unsigned items, unsigned size);
    static void Free(void*, void*) {}
    void Reset() { used_ = 0; }

   private:
    alignas(std::max_align_t) unsigned char block_[16 * 1024];
    uint32_t used_ = 0;
  };

  StreamEnd InputEnd() const {
    return read_failed_ ? StreamEnd::kReadFailed : StreamEnd::kCutShort;
  }
  StreamEnd Fail(Damage damage) {
    damage_ = damage;
    return StreamEnd::kDamaged;
  }
  bool Fill();
  bool Take(unsigned char* bytes, uint32_t size);
  StreamEnd Deflated();
  static unsigned Pull(void* self, unsigned char** bytes);
  static int Push(void* self, unsigned char* bytes, unsigned size);

  InflateInput* input_ = nullptr;
  InflateOutput* output_ = nullptr;
  unsigned char* next_ = nullptr;  // input not yet taken
  uint32_t have_ = 0;
  uint32_t adler_ = 1;
  bool read_failed_ = false;
  bool stopped_ = false;
  bool window_full_ = false;  // inflateBack has handed over a whole window
  Damage damage_ = Damage::kNone;
  const char* zlib_text_ = nullptr;

  Memory memory_;
  unsigned char input_buffer_[kInputSize];
  unsigned char window_[kWindowSize];
};

// The checksum of a zlib stream, continued from `adler` (1 to start).
uint32_t Adler32(uint32_t adler, const unsigned char* data, uint32_t size);

}  // namespace ldr
