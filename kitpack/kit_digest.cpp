#include "kitpack/kit_digest.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "format/pe_image.h"
#include "kitpack/files.h"
#include "kitpack/kit_error.h"

namespace kitpack {

namespace {

std::array<unsigned char, 32> Digest(Sha256 hash,
                                     const unsigned char (&trailer)[ldr::kTrailerSize]) {
  hash.Update(trailer, kDigestAt);
  return hash.Finish();
}

}  // namespace

void SealTrailer(const Sha256& prefix, unsigned char (&trailer)[ldr::kTrailerSize]) {
  const std::array<unsigned char, 32> digest = Digest(prefix, trailer);
  std::memcpy(trailer + kDigestAt, kDigestTag, sizeof kDigestTag);
  std::memcpy(trailer + kDigestAt + sizeof kDigestTag, digest.data(), kDigestSize);
}

bool HasDigest(const unsigned char (&trailer)[ldr::kTrailerSize]) {
  return std::memcmp(trailer + kDigestAt, kDigestTag, sizeof kDigestTag) == 0;
}

bool DigestMatches(const Sha256& prefix, const unsigned char (&trailer)[ldr::kTrailerSize]) {
  const std::array<unsigned char, 32> digest = Digest(prefix, trailer);
  return std::memcmp(trailer + kDigestAt + sizeof kDigestTag, digest.data(), kDigestSize) == 0;
}

namespace {

struct Hole {
  uint64_t offset, size;
};

void Hash(ldr::ByteSource& f, uint64_t offset, uint64_t length, const std::vector<Hole>& holes,
          Sha256& hash) {
  std::vector<unsigned char> chunk;
  while (length > 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(length, uint64_t{1} << 20));
    chunk.resize(n);
    if (!f.ReadAt(offset, chunk.data(), n))
      throw KitError("cannot read the kit's bytes " + std::to_string(offset) + ".." +
                     std::to_string(offset + n - 1) + " back");
    for (const Hole& h : holes)
      for (uint64_t i = h.offset; i < h.offset + h.size; ++i)
        if (i >= offset && i < offset + n) chunk[static_cast<size_t>(i - offset)] = 0;
    hash.Update(chunk.data(), chunk.size());
    offset += n;
    length -= n;
  }
}

}  // namespace

void HashFileRange(const std::string& path, uint64_t offset, uint64_t length, Sha256& hash) {
  ReadableFile f(path);
  Hash(f, offset, length, {}, hash);
}

void HashKitPrefix(ldr::ByteSource& kit, uint64_t trailer_offset, Sha256& hash) {
  std::vector<Hole> holes;
  const ldr::PeSecurityEntry pe = ldr::ReadPeSecurityEntry(kit, trailer_offset);
  if (pe.found) holes = {{pe.checksum_offset, 4}, {pe.entry_offset, 8}};
  Hash(kit, 0, trailer_offset, holes, hash);
}

}  // namespace kitpack
