#pragma once
// A stream held to the record that describes it, as the payload library and
// kitpack read kits: it must end exactly where its data range does, pass
// its checksum and give exactly the size its record claims. Unlike the
// inflater below it, this part lets what its reads and writes raise pass
// through to its caller; loader.exe, built without exceptions, never links
// it.

#include <cstddef>
#include <cstdint>
#include <functional>

#include "inflate/zlib_stream.h"

namespace ldr {

// Reads `size` bytes at `offset` of the stream's range into `into`; raises
// when it cannot.
using RangeReader = std::function<void(uint64_t offset, unsigned char* into, size_t size)>;
// Takes the next inflated bytes; may raise to stop.
using InflatedSink = std::function<void(const unsigned char* bytes, size_t size)>;

// How a stream held to its record ended.
struct ExactEnd {
  enum class Kind {
    kWhole,      // exactly as its record says
    kCutShort,   // the range ends before the stream does
    kDamaged,    // inflater.DamageText() says how
    kTooLong,    // it inflates to more than its size: stopped there
    kEndsEarly,  // it ends `left` bytes before its range does
    kWrongSize,  // it inflates to `produced` bytes, fewer than its size
  };
  Kind kind = Kind::kWhole;
  int64_t produced = 0;  // bytes handed to the sink
  int64_t left = 0;      // bytes of the range after the stream's end
};

// Inflates the stream of `packed` bytes that `read` gives, which must
// inflate to `size` bytes, into `sink`. Whatever `read` or `sink` raises is
// raised again here once the inflater has stopped. The sink never gets a
// byte beyond `size`.
ExactEnd InflateExactly(ZlibInflater& inflater, int64_t packed, int64_t size,
                        const RangeReader& read, const InflatedSink& sink);

// zlib's fixed code tables are built at their first use in the Windows
// build (for loader.exe's size), and that first build must not meet
// another: a library whose callers may inflate on several threads at once
// calls this once before any of them starts.
void PrepareInflation();

}  // namespace ldr
