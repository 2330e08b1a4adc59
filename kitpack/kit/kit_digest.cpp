#include "kitpack/kit/kit_digest.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "format/pe/headers.h"
#include "kitpack/host/files.h"
#include "kitpack/kit_error.h"

namespace kitpack {

namespace {

std::array<unsigned char, 32> Digest(ldr::Sha256 hash,
                                     const unsigned char (&trailer)[ldr::kTrailerSize]) {
  hash.Update(trailer, kDigestAt);
  return hash.Finish();
}

}  // namespace

void SealTrailer(const ldr::Sha256& prefix, unsigned char (&trailer)[ldr::kTrailerSize]) {
  const std::array<unsigned char, 32> digest = Digest(prefix, trailer);
  std::memcpy(trailer + kDigestAt, kDigestTag, sizeof kDigestTag);
  std::memcpy(trailer + kDigestAt + sizeof kDigestTag, digest.data(), kDigestSize);
}

bool HasDigest(const unsigned char (&trailer)[ldr::kTrailerSize]) {
  return std::memcmp(trailer + kDigestAt, kDigestTag, sizeof kDigestTag) == 0;
}

bool DigestMatches(const ldr::Sha256& prefix, const unsigned char (&trailer)[ldr::kTrailerSize]) {
  const std::array<unsigned char, 32> digest = Digest(prefix, trailer);
  return std::memcmp(trailer + kDigestAt + sizeof kDigestTag, digest.data(), kDigestSize) == 0;
}

std::vector<Hole> SigningFields(ldr::ByteSource& file, uint64_t size) {
  const ldr::PeSecurityEntry pe = ldr::ReadPeSecurityEntry(file, size);
  if (!pe.found) return {};
  return {{pe.checksum_offset, 4}, {pe.entry_offset, 8}};
}

void ReadWithHoles(ldr::ByteSource& file, uint64_t offset, uint64_t length,
                   const std::vector<Hole>& holes,
                   const std::function<void(const unsigned char*, size_t)>& consume) {
  std::vector<unsigned char> chunk;
  while (length > 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(length, uint64_t{1} << 20));
    chunk.resize(n);
    if (!file.ReadAt(offset, chunk.data(), n))
      throw KitError("cannot read the kit's bytes " + std::to_string(offset) + ".." +
                     std::to_string(offset + n - 1) + " back");
    for (const Hole& h : holes)
      for (uint64_t i = h.offset; i < h.offset + h.size; ++i)
        if (i >= offset && i < offset + n) chunk[static_cast<size_t>(i - offset)] = 0;
    consume(chunk.data(), n);
    offset += n;
    length -= n;
  }
}

void HashFileRange(const std::string& path, uint64_t offset, uint64_t length, ldr::Sha256& hash) {
  ReadableFile f(path);
  ReadWithHoles(f, offset, length, {},
                [&](const unsigned char* data, size_t n) { hash.Update(data, n); });
}

void HashKitPrefix(ldr::ByteSource& kit, uint64_t trailer_offset, ldr::Sha256& hash) {
  ReadWithHoles(kit, 0, trailer_offset, SigningFields(kit, trailer_offset),
                [&](const unsigned char* data, size_t n) { hash.Update(data, n); });
}

}  // namespace kitpack
