#pragma once
// The integrity digest kitpack keeps in a self-extracting kit's trailer.
//
// The loader does not interpret the trailer's last 24 bytes. kitpack puts
// there a 4-byte tag, "KD" and version 1 and 0, and the first 20 bytes of
// the SHA-256 of everything before the trailer followed by the trailer's
// first 32 bytes: the loader image, the padding, both archives, the mark and
// the four offsets. 160 bits of SHA-256 are plenty to notice a change; the
// digest is no signature (whoever changes a kit can write a new digest), it
// tells a damaged kit from a sound one. A kit from another writer has other
// bytes there (zero, as a rule) and simply carries no digest. In a signed
// kit the certificate table follows the trailer, so the digest leaves it
// out by construction; the two header fields a signing tool rewrites, the PE
// CheckSum and the security entry of the data directories, are hashed as
// zero bytes, so that signing a kit keeps its digest.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/sha256.h"
#include "format/byte_source.h"
#include "format/records.h"

namespace kitpack {

inline constexpr size_t kDigestAt = 32;  // in the trailer
inline constexpr unsigned char kDigestTag[4] = {'K', 'D', 1, 0};
inline constexpr size_t kDigestSize = 20;

// `prefix` has been fed every byte before the trailer; fills the trailer's
// last 24 bytes from it and the trailer's first 32.
void SealTrailer(const ldr::Sha256& prefix, unsigned char (&trailer)[ldr::kTrailerSize]);

bool HasDigest(const unsigned char (&trailer)[ldr::kTrailerSize]);
// True when the trailer's digest is the one `prefix` and the trailer give.
bool DigestMatches(const ldr::Sha256& prefix, const unsigned char (&trailer)[ldr::kTrailerSize]);

// Feeds `length` bytes of a file from `offset` to `hash`.
void HashFileRange(const std::string& path, uint64_t offset, uint64_t length, ldr::Sha256& hash);

// A range of a file read as zero bytes.
struct Hole {
  uint64_t offset = 0;
  uint64_t size = 0;
};

// The fields a signing tool rewrites in the PE image that is the first
// `size` bytes of `file`: the CheckSum and the security entry. None when it
// is not a PE image.
std::vector<Hole> SigningFields(ldr::ByteSource& file, uint64_t size);

// Hands `length` bytes of `file` from `offset` to `consume`, a piece at a
// time, the holes as zero bytes. Raises KitError when they cannot be read.
void ReadWithHoles(ldr::ByteSource& file, uint64_t offset, uint64_t length,
                   const std::vector<Hole>& holes,
                   const std::function<void(const unsigned char*, size_t)>& consume);

// Feeds the bytes of a kit before its trailer to `hash`, the fields signing
// rewrites as zero. Raises KitError when they cannot be read.
void HashKitPrefix(ldr::ByteSource& kit, uint64_t trailer_offset, ldr::Sha256& hash);

}  // namespace kitpack
