#include "payload/unpack.h"

#include "inflate/exact_stream.h"

namespace ldr::payload {

namespace {

std::string Num(int64_t v) { return std::to_string(v); }

// inflateBack builds its fixed code tables at the first use in the Windows
// build; an installer may unpack on several threads at once, so that first
// use comes before any of them can start.
const bool kInflationPrepared = (PrepareInflation(), true);

}  // namespace

Unpacker::Unpacker() : inflater_(std::make_unique<ZlibInflater>()) {}
Unpacker::~Unpacker() = default;

void Unpacker::InflateEntry(PayloadReader& file, const PayloadPlace& place, const Entry& entry,
                            const std::string& label,
                            const std::function<void(const unsigned char*, size_t)>& sink) {
  (void)kInflationPrepared;
  const uint64_t start = static_cast<uint64_t>(place.start + entry.data_start);
  const ExactEnd end = InflateExactly(
      *inflater_, entry.packed_size, entry.size,
      [&](uint64_t offset, unsigned char* into, size_t size) {
        file.Read(start + offset, into, size, label + "'s data");
      },
      sink);
  switch (end.kind) {
    case ExactEnd::Kind::kWhole:
      return;
    case ExactEnd::Kind::kCutShort:
      Fail(Fault::kDamaged, label + ": its data ends before its stream does");
    case ExactEnd::Kind::kDamaged:
      Fail(Fault::kDamaged,
           label + ": its stream is corrupt (" + std::string(inflater_->DamageText()) + ")");
    case ExactEnd::Kind::kTooLong:
      Fail(Fault::kDamaged,
           label + ": it inflates to more than its size of " + Num(entry.size) + " bytes");
    case ExactEnd::Kind::kEndsEarly:
      Fail(Fault::kDamaged,
           label + ": its stream ends " + Num(end.left) + " bytes before its data does");
    case ExactEnd::Kind::kWrongSize:
      Fail(Fault::kDamaged,
           label + ": it inflates to " + Num(end.produced) + " bytes, not " + Num(entry.size));
  }
}

}  // namespace ldr::payload
