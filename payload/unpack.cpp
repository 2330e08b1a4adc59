#include "payload/unpack.h"

#include <zlib.h>

#include <algorithm>

namespace ldr::payload {

namespace {

// zlib's state, ended on every way out.
class Inflater {
 public:
  explicit Inflater(const std::string& label) {
    if (inflateInit(&stream_) != Z_OK) Fail(Fault::kMemory, label + ": zlib could not start");
  }
  ~Inflater() { inflateEnd(&stream_); }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;
  z_stream& stream() { return stream_; }

 private:
  z_stream stream_{};
};

std::string Num(int64_t v) { return std::to_string(v); }

}  // namespace

void InflateEntry(PayloadReader& file, const PayloadPlace& place, const Entry& entry,
                  const std::string& label, Blocks& blocks,
                  const std::function<void(const unsigned char*, size_t)>& sink) {
  Inflater inflater(label);
  z_stream& z = inflater.stream();
  uint64_t next = static_cast<uint64_t>(place.start + entry.data_start);
  int64_t left = entry.packed_size;
  int64_t total = 0;
  int rc = Z_OK;
  while (rc != Z_STREAM_END) {
    if (z.avail_in == 0) {
      if (left == 0) Fail(Fault::kDamaged, label + ": its data ends before its stream does");
      const size_t n = static_cast<size_t>(std::min<int64_t>(left, kBlockSize));
      file.Read(next, blocks.in.data(), n, label + "'s data");
      next += n;
      left -= static_cast<int64_t>(n);
      z.next_in = blocks.in.data();
      z.avail_in = static_cast<uInt>(n);
    }
    z.next_out = blocks.out.data();
    z.avail_out = static_cast<uInt>(blocks.out.size());
    rc = inflate(&z, Z_NO_FLUSH);
    if (rc == Z_NEED_DICT || rc == Z_DATA_ERROR)
      Fail(Fault::kDamaged,
           label + ": its stream is corrupt (" + (z.msg ? z.msg : "bad data") + ")");
    if (rc == Z_MEM_ERROR) Fail(Fault::kMemory, label + ": zlib ran out of memory");
    if (rc == Z_STREAM_ERROR) Fail(Fault::kDamaged, label + ": zlib failed while inflating");
    const size_t produced = blocks.out.size() - z.avail_out;
    total += static_cast<int64_t>(produced);
    if (total > entry.size)
      Fail(Fault::kDamaged,
           label + ": it inflates to more than its size of " + Num(entry.size) + " bytes");
    if (produced > 0) sink(blocks.out.data(), produced);
  }
  if (z.avail_in != 0 || left != 0)
    Fail(Fault::kDamaged, label + ": its stream ends " + Num(int64_t{z.avail_in} + left) +
                              " bytes before its data does");
  if (total != entry.size)
    Fail(Fault::kDamaged,
         label + ": it inflates to " + Num(total) + " bytes, not " + Num(entry.size));
}

}  // namespace ldr::payload
