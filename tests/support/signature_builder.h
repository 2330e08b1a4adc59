#pragma once
// Authenticode signatures made by hand, for the readers of the digest a
// signature holds: DER elements, the parts of a PKCS#7 SignedData those
// readers walk (no certificates, no signer: nothing a test of the digest
// needs), and the WIN_CERTIFICATE entry around them.

#include <cstddef>
#include <cstdint>
#include <string>

#include "tests/support/pe_builder.h"

namespace ldr::testing {

// One DER element: the tag, the shortest length, the contents.
std::string Tlv(uint8_t tag, const std::string& body);

// Object identifiers as DER encodes their contents (none holds a zero byte).
inline constexpr char kSignedDataOid[] =
    "\x2A\x86\x48\x86\xF7\x0D\x01\x07\x02";  // 1.2.840.113549.1.7.2
inline constexpr char kIndirectDataOid[] =
    "\x2B\x06\x01\x04\x01\x82\x37\x02\x01\x04";             // 1.3.6.1.4.1.311.2.1.4
inline constexpr char kSha1Oid[] = "\x2B\x0E\x03\x02\x1A";  // 1.3.14.3.2.26
inline constexpr char kSha256Oid[] =
    "\x60\x86\x48\x01\x65\x03\x04\x02\x01";  // 2.16.840.1.101.3.4.2.1

// ContentInfo { content_type, [0] SignedData { 1, {}, ContentInfo {
// indirect_type, [0] SpcIndirectDataContent { data, DigestInfo {
// { algorithm, NULL }, digest } } } } }.
std::string AuthenticodeSignature(const std::string& digest,
                                  const std::string& algorithm = kSha256Oid,
                                  const std::string& content_type = kSignedDataOid,
                                  const std::string& indirect_type = kIndirectDataOid);

// A WIN_CERTIFICATE entry around `der`, followed by `padding` zero bytes that
// its dwLength counts.
std::string CertificateEntry(const std::string& der, size_t padding = 0, uint16_t revision = 0x0200,
                             uint16_t type = 2);

// `file`, zero bytes up to a multiple of 8 and `table`, which the security
// entry names: what a signing tool makes.
std::string AppendTable(std::string file, PeKind kind, const std::string& table);

}  // namespace ldr::testing
