#pragma once
// An external kit's setup.2 held to the SHA-256 its loader handed on
// (format/hand_off.h kSetup2DigestVariable): read once from its first byte
// to its last, every byte hashed as it is read, so that what is parsed and
// unpacked is exactly what was hashed, whoever writes the file meanwhile.
// The records and streams must then come in the order of the file, as
// kitpack writes them.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/sha256.h"
#include "payload/host.h"

namespace ldr::payload {

using Digest = std::array<unsigned char, 32>;

// The digest this process was handed for setup.2, if any. Raises kDamaged
// for a value that is not 64 lower-case hexadecimal digits.
std::optional<Digest> HandedSetup2Digest();

class DigestPass final : public PayloadReader {
 public:
  DigestPass(KitFile& file, const Digest& want) : file_(file), want_(want) {}

  // Raises kDamaged for bytes before those already read, besides what
  // KitFile::Read raises.
  void Read(uint64_t offset, unsigned char* buffer, size_t size, const std::string& what) override;
  // Hashes the rest of the file, to its end as it is now; raises kDamaged
  // when the file's bytes are not those of the digest.
  void Finish();

 private:
  void SkipTo(uint64_t offset);

  KitFile& file_;
  Digest want_;
  Sha256 hash_;
  uint64_t position_ = 0;
  std::vector<unsigned char> block_;
};

}  // namespace ldr::payload
