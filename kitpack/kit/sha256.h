#pragma once
// SHA-256 (FIPS 180-4), for the kit's digest and the summary of a build.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace kitpack {

class Sha256 {
 public:
  Sha256();
  void Update(const void* data, size_t size);
  // The digest of everything given so far. The object can be copied first
  // to go on hashing from the same point.
  std::array<unsigned char, 32> Finish();

  static std::string Hex(const unsigned char* digest, size_t size);

 private:
  void Block(const unsigned char* p);

  std::array<uint32_t, 8> state_;
  std::array<unsigned char, 64> buffer_{};
  size_t buffered_ = 0;
  uint64_t length_ = 0;  // bytes
};

}  // namespace kitpack
