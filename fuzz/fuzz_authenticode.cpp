// Feeds arbitrary bytes to the Authenticode readers kitpack verify relies
// on: as a certificate table, whose first signature's image digest is read
// with the DER reader, and as a PE file, whose image hash is computed with
// SHA-1 and SHA-256. Every element of the bytes is also walked as DER, and
// every object identifier met put in dotted form. Nothing may read outside
// the input; a digest read or computed has the size of its algorithm.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "format/byte_source.h"
#include "format/pe/authenticode.h"
#include "format/pe/der.h"
#include "fuzz/check.h"

namespace {

size_t SizeOf(ldr::DigestAlgorithm algorithm) {
  return algorithm == ldr::DigestAlgorithm::kSha1 ? 20 : 32;
}

// Every element, inside constructed ones too, as far as the reader goes.
void Walk(ldr::DerReader& reader, unsigned& elements) {
  while (!reader.AtEnd()) {
    const std::optional<ldr::DerElement> e = reader.Next();
    if (!e) {
      Check(reader.failed() && !reader.refused().empty());
      return;
    }
    ++elements;
    Check(e->depth <= ldr::kDerMaxDepth);
    if (e->tag == ldr::kDerOid) ldr::OidText(*e);
    if (!e->Constructed()) continue;
    ldr::DerReader inner(reader, *e);
    Walk(inner, elements);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const ldr::SignedImageDigest held = ldr::ReadSignedImageDigest(data, size);
  if (held.refused.empty())
    Check(held.digest.size() == SizeOf(held.algorithm));
  else
    Check(held.digest.empty());

  unsigned elements = 0;
  ldr::DerReader reader(data, size);
  Walk(reader, elements);
  std::string refused;
  const bool well_formed = ldr::IsWellFormedDer(data, size, refused);
  Check(well_formed == refused.empty());

  ldr::MemoryByteSource file(data, size);
  for (ldr::DigestAlgorithm algorithm :
       {ldr::DigestAlgorithm::kSha1, ldr::DigestAlgorithm::kSha256}) {
    const ldr::ImageHash hash = ldr::AuthenticodeImageHash(file, size, algorithm);
    Check(hash.refused.empty() ? hash.digest.size() == SizeOf(algorithm) : hash.digest.empty());
  }
  return 0;
}
