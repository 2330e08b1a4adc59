#pragma once
// Authenticode, as far as a reader that checks what a signature covers needs
// it: the image digest the first signature of a certificate table holds, and
// the same digest computed from the file. They agree when the bytes a
// signature covers are the ones that were signed. Whether the signature
// itself is genuine (its cryptography, its certificate chain) is another
// question, for the system's and the signing tools' own checks.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "format/byte_source.h"

namespace ldr {

enum class DigestAlgorithm { kSha1, kSha256 };
const char* DigestAlgorithmName(DigestAlgorithm algorithm);  // "SHA-1", "SHA-256"

// A certificate table holds WIN_CERTIFICATE entries: dwLength (the header
// included), wRevision, wCertificateType, then the certificate itself.
inline constexpr size_t kWinCertificateHeaderSize = 8;
inline constexpr uint16_t kWinCertificateRevision2 = 0x0200;
inline constexpr uint16_t kWinCertificatePkcsSignedData = 2;

struct SignedImageDigest {
  DigestAlgorithm algorithm = DigestAlgorithm::kSha256;
  std::vector<unsigned char> digest;
  std::string refused;  // empty when read
};

// The algorithm and the digest of the image in the first entry of a
// certificate table: a PKCS#7 SignedData whose content is an
// SpcIndirectDataContent, whose DigestInfo holds them. Anything else (a
// cut or damaged entry, DER that is not well formed, other content, an
// algorithm other than SHA-1 and SHA-256, a digest of the wrong size) gives a
// reason in `refused`. Reads only the `size` bytes at `table`.
SignedImageDigest ReadSignedImageDigest(const unsigned char* table, size_t size);

// What a certificate table holds besides its signatures: it must be
// WIN_CERTIFICATE entries one after another, each starting on an 8-byte
// boundary (its dwLength rounded up), each a PKCS#7 signature of revision
// 2.0 that fills its entry but for fewer than 8 zero bytes, the bytes up to
// the next boundary zero, the last ending the table. Anything else (bytes
// added after the signatures or between them, an entry of another kind,
// one that claims more than 16 MiB) is named in the text returned; empty
// when the table holds signatures alone. Reads the `table_size` bytes at
// `table_offset` of `file`.
std::string CertificateTableFault(ByteSource& file, uint64_t table_offset, uint64_t table_size);

struct ImageHash {
  std::vector<unsigned char> digest;
  std::string refused;  // empty when computed
};

// The Authenticode hash of the PE image that is the `file_size` bytes of
// `file`: its bytes up to its certificate table (or to its end when its
// security entry names none), without the CheckSum field and the security
// entry. An unsigned file whose length is not a multiple of 8 is hashed with
// the zero bytes a signing tool adds before the table it appends, so that
// its hash is the digest its signed copy will hold. Refused when the file is
// not a PE image reaching the security entry, when the table named does not
// lie inside it, or begins inside the headers, or its bytes cannot be read.
ImageHash AuthenticodeImageHash(ByteSource& file, uint64_t file_size, DigestAlgorithm algorithm);

}  // namespace ldr
