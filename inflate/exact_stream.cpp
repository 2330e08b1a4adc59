#include "inflate/exact_stream.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>

namespace ldr {

namespace {

// The reads and writes of one stream. What they raise is held here while
// the inflater stops, and raised again once it has.
class Exact {
 public:
  Exact(int64_t packed, int64_t size, const RangeReader& read, const InflatedSink& sink)
      : left_(packed), size_(size), read_(read), sink_(sink) {}

  int32_t Read(unsigned char* into, uint32_t size) {
    const int64_t n = std::min<int64_t>(left_, size);
    if (n <= 0) return 0;
    try {
      read_(offset_, into, static_cast<size_t>(n));
    } catch (...) {
      raised_ = std::current_exception();
      return -1;
    }
    offset_ += static_cast<uint64_t>(n);
    left_ -= n;
    return static_cast<int32_t>(n);
  }

  bool Write(const unsigned char* bytes, uint32_t size) {
    if (size > size_ - produced_) {
      too_long_ = true;
      return false;
    }
    try {
      sink_(bytes, size);
    } catch (...) {
      raised_ = std::current_exception();
      return false;
    }
    produced_ += size;
    return true;
  }

  void RaiseHeld() const {
    if (raised_) std::rethrow_exception(raised_);
  }
  int64_t left() const { return left_; }
  int64_t produced() const { return produced_; }
  bool too_long() const { return too_long_; }

 private:
  uint64_t offset_ = 0;
  int64_t left_;
  const int64_t size_;
  int64_t produced_ = 0;
  bool too_long_ = false;
  const RangeReader& read_;
  const InflatedSink& sink_;
  std::exception_ptr raised_;
};

// An empty final block of fixed codes, in a stream of its own.
class FixedBlock {
 public:
  int32_t Read(unsigned char* into, uint32_t size) {
    static constexpr unsigned char kStream[] = {0x78, 0x9C, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01};
    if (done_ || size < sizeof kStream) return 0;
    std::memcpy(into, kStream, sizeof kStream);
    done_ = true;
    return sizeof kStream;
  }
  bool Write(const unsigned char*, uint32_t) { return true; }

 private:
  bool done_ = false;
};

}  // namespace

ExactEnd InflateExactly(ZlibInflater& inflater, int64_t packed, int64_t size,
                        const RangeReader& read, const InflatedSink& sink) {
  Exact exact(packed, size, read, sink);
  const StreamEnd end = inflater.Run(exact);
  exact.RaiseHeld();
  ExactEnd result;
  result.produced = exact.produced();
  result.left = exact.left() + inflater.unused();
  using Kind = ExactEnd::Kind;
  switch (end) {
    case StreamEnd::kWhole:
      result.kind = result.left != 0          ? Kind::kEndsEarly
                    : result.produced != size ? Kind::kWrongSize
                                              : Kind::kWhole;
      break;
    case StreamEnd::kCutShort:
    case StreamEnd::kReadFailed:  // a read that failed without raising
      result.kind = Kind::kCutShort;
      break;
    case StreamEnd::kDamaged:
      result.kind = Kind::kDamaged;
      break;
    case StreamEnd::kStopped:
      result.kind = Kind::kTooLong;
      break;
  }
  return result;
}

void PrepareInflation() {
  const std::unique_ptr<ZlibInflater> inflater = std::make_unique<ZlibInflater>();
  FixedBlock block;
  inflater->Run(block);
}

}  // namespace ldr
