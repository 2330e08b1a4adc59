#pragma once
// Inflating one entry's stream in fixed blocks, whatever its record claims,
// and checking it against the record: the stream must end exactly where its
// data range does, pass zlib's checksum and give exactly the unpacked size.

#include <cstddef>
#include <functional>
#include <vector>

#include "payload/entries.h"
#include "payload/host.h"
#include "payload/locate.h"

namespace ldr::payload {

inline constexpr size_t kBlockSize = 64 * 1024;

// The two blocks one unpack reuses for every entry.
struct Blocks {
  std::vector<unsigned char> in = std::vector<unsigned char>(kBlockSize);
  std::vector<unsigned char> out = std::vector<unsigned char>(kBlockSize);
};

// Hands each inflated block to `sink`. Raises kDamaged naming the entry
// (`label`) for a stream that is corrupt, ends early or late, or gives
// another size than its record; whatever `sink` raises passes through.
void InflateEntry(PayloadReader& file, const PayloadPlace& place, const Entry& entry,
                  const std::string& label, Blocks& blocks,
                  const std::function<void(const unsigned char*, size_t)>& sink);

}  // namespace ldr::payload
