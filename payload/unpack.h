#pragma once
// Inflating one entry's stream, whatever its record claims, and checking it
// against the record: the stream must end exactly where its data range
// does, pass zlib's checksum and give exactly the unpacked size.

#include <cstddef>
#include <functional>
#include <memory>

#include "payload/entries.h"
#include "payload/host.h"
#include "payload/locate.h"

namespace ldr {
class ZlibInflater;
}

namespace ldr::payload {

// Unpacks entries one after the other, reusing its inflater and buffers
// (about 112 KiB, however large an entry).
class Unpacker {
 public:
  Unpacker();
  ~Unpacker();
  Unpacker(const Unpacker&) = delete;
  Unpacker& operator=(const Unpacker&) = delete;

  // Hands the inflated bytes to `sink`, at most 32 KiB at a time. Raises
  // kDamaged naming the entry (`label`) for a stream that is corrupt, ends
  // early or late, or gives another size than its record; whatever `sink`
  // or the reads raise passes through.
  void InflateEntry(PayloadReader& file, const PayloadPlace& place, const Entry& entry,
                    const std::string& label,
                    const std::function<void(const unsigned char*, size_t)>& sink);

 private:
  std::unique_ptr<ZlibInflater> inflater_;
};

}  // namespace ldr::payload
