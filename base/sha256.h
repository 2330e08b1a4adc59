#pragma once
// SHA-256 (FIPS 180-4), for the kit's digest, the summary of a build and
// Authenticode image hashes.

#include <array>
#include <cstddef>
#include <cstdint>

#include "base/block_hash.h"

namespace ldr {

class Sha256 {
 public:
  Sha256();
  void Update(const void* data, size_t size);
  // The digest of everything given so far. The object can be copied first
  // to go on hashing from the same point.
  std::array<unsigned char, 32> Finish();

 private:
  void Block(const unsigned char* p);

  std::array<uint32_t, 8> state_;
  BlockFeeder feeder_;
};

}  // namespace ldr
