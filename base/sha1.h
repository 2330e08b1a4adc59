#pragma once
// SHA-1 (FIPS 180-4). Only for reading what others made: Authenticode
// signatures made with SHA-1 still hold a SHA-1 image hash. Nothing of ours
// is ever written with it.

#include <array>
#include <cstddef>
#include <cstdint>

#include "base/block_hash.h"

namespace ldr {

class Sha1 {
 public:
  Sha1();
  void Update(const void* data, size_t size);
  // The digest of everything given so far. The object can be copied first
  // to go on hashing from the same point.
  std::array<unsigned char, 20> Finish();

 private:
  void Block(const unsigned char* p);

  std::array<uint32_t, 5> state_;
  BlockFeeder feeder_;
};

}  // namespace ldr
