#pragma once
// Where the trailer of a kit lies: the last 56 bytes, or those before the
// certificate table of a signed kit. Shared by the loader, kitpack and the
// reference installer so that the rule is written down once.
//
// A signing tool appends its certificate table to the end of an executable,
// after zero bytes (at most 7) that align the table to 8 bytes, and names the
// table in the security entry (number 4) of the optional header's data
// directories. Unlike the other entries it holds a file offset, not an
// address. Data appended before signing (a kit's archives and trailer) then
// lies before the table, where the signature covers it.
//
// Every field taken from the headers is checked against the file's size in
// 64-bit arithmetic; anything odd leaves the plain rule, the last 56 bytes.

#include <cstdint>

#include "format/byte_source.h"
#include "format/pe/headers.h"

namespace ldr {

inline constexpr uint64_t kMaxCertificatePadding = 7;
// A certificate table holds at least one WIN_CERTIFICATE header.
inline constexpr uint64_t kMinCertificateTable = 8;

// Where the 56-byte trailer of a file lies.
//
// When the file is a PE image whose security entry names a certificate
// table of at least 8 bytes that ends exactly at the end of the file, with
// room for a trailer before it, the trailer is the 56 bytes that end where
// the table begins, or up to 7 zero bytes earlier: the first of those eight
// places (nearest the table first) whose bytes carry the self-extracting
// mark and are followed by nothing but zero bytes up to the table. When none
// carries the mark, it is the 56 bytes right before the table. In every
// other case the trailer is the file's last 56 bytes.
struct TrailerLocation {
  // Offset of the trailer's first byte; file size - 56 under the plain rule,
  // negative when the file is shorter than a trailer.
  int64_t offset = -1;
  bool before_certificates = false;  // placed by the certificate table
  uint64_t certificate_offset = 0;   // only with before_certificates
  uint64_t certificate_size = 0;
  uint64_t padding = 0;  // zero bytes between trailer and table
};

TrailerLocation LocateTrailer(ByteSource& file, uint64_t file_size);

}  // namespace ldr
