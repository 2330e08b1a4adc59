#include "format/pe/authenticode.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "base/sha1.h"
#include "base/sha256.h"
#include "format/bytes.h"
#include "format/pe/der.h"
#include "format/pe/headers.h"

namespace ldr {

namespace {

// Object identifiers, their contents as DER encodes them.
constexpr unsigned char kSignedDataOid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
constexpr unsigned char kIndirectDataOid[] = {0x2B, 0x06, 0x01, 0x04, 0x01,
                                              0x82, 0x37, 0x02, 0x01, 0x04};
constexpr unsigned char kSha1Oid[] = {0x2B, 0x0E, 0x03, 0x02, 0x1A};
constexpr unsigned char kSha256Oid[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};

std::string OidShown(const DerElement& oid) {
  const std::optional<std::string> text = OidText(oid);
  return text ? *text : "(not a valid object identifier)";
}

// Steps into the next element, which must carry `tag`; the reader of its
// contents, or nothing when `outer` failed.
std::optional<DerReader> Enter(DerReader& outer, uint8_t tag, const char* what) {
  const std::optional<DerElement> e = outer.Next(tag, what);
  if (!e) return std::nullopt;
  return DerReader(outer, *e);
}

// An object identifier that must be `expected`.
bool ExpectOid(DerReader& reader, const unsigned char* expected, size_t size, const char* what,
               const char* wanted) {
  const std::optional<DerElement> oid = reader.Next(kDerOid, what);
  if (!oid) return false;
  if (ContentsAre(*oid, expected, size)) return true;
  reader.Refuse(std::string(what) + " is " + OidShown(*oid) + ", not " + wanted);
  return false;
}

// DigestInfo: the algorithm identifier (its parameters, if any, ignored) and
// the digest.
void ReadDigestInfo(DerReader& info, SignedImageDigest& out) {
  std::optional<DerReader> algorithm = Enter(info, kDerSequence, "the digest algorithm");
  if (!algorithm) return;
  const std::optional<DerElement> oid = algorithm->Next(kDerOid, "the digest algorithm");
  if (!oid) return info.Refuse(algorithm->refused());
  size_t expected_size = 0;
  if (ContentsAre(*oid, kSha1Oid, sizeof kSha1Oid)) {
    out.algorithm = DigestAlgorithm::kSha1;
    expected_size = 20;
  } else if (ContentsAre(*oid, kSha256Oid, sizeof kSha256Oid)) {
    out.algorithm = DigestAlgorithm::kSha256;
    expected_size = 32;
  } else {
    return info.Refuse("the digest algorithm is " + OidShown(*oid) +
                       "; only SHA-1 and SHA-256 are checked");
  }
  const std::optional<DerElement> digest = info.Next(kDerOctetString, "the image digest");
  if (!digest) return;
  if (digest->size != expected_size)
    return info.Refuse("the image digest has " + std::to_string(digest->size) + " bytes, not the " +
                       std::to_string(expected_size) + " of " + DigestAlgorithmName(out.algorithm));
  out.digest.assign(digest->body, digest->body + digest->size);
}

// ContentInfo { signedData, [0] SignedData { version, digestAlgorithms,
// ContentInfo { SpcIndirectData, [0] SpcIndirectDataContent { data,
// DigestInfo } }, ... } }. Returns the reason it was refused, or nothing.
std::string ReadContentInfo(const unsigned char* der, size_t size, SignedImageDigest& out) {
  DerReader top(der, size);
  std::optional<DerReader> content = Enter(top, kDerSequence, "the signature");
  if (!content) return top.refused();
  if (!ExpectOid(*content, kSignedDataOid, sizeof kSignedDataOid, "the signature's content type",
                 "PKCS#7 SignedData"))
    return content->refused();
  std::optional<DerReader> explicit0 = Enter(*content, kDerContext0, "the SignedData");
  if (!explicit0) return content->refused();
  std::optional<DerReader> signed_data = Enter(*explicit0, kDerSequence, "the SignedData");
  if (!signed_data) return explicit0->refused();
  DerReader& sd = *signed_data;
  if (!sd.Next(kDerInteger, "the SignedData's version") ||
      !sd.Next(kDerSet, "the SignedData's digest algorithms"))
    return sd.refused();
  std::optional<DerReader> encapsulated = Enter(sd, kDerSequence, "the signed content");
  if (!encapsulated) return sd.refused();
  if (!ExpectOid(*encapsulated, kIndirectDataOid, sizeof kIndirectDataOid,
                 "the signed content's type", "SpcIndirectDataContent (1.3.6.1.4.1.311.2.1.4)"))
    return encapsulated->refused();
  std::optional<DerReader> explicit1 = Enter(*encapsulated, kDerContext0, "the signed content");
  if (!explicit1) return encapsulated->refused();
  std::optional<DerReader> indirect = Enter(*explicit1, kDerSequence, "SpcIndirectDataContent");
  if (!indirect) return explicit1->refused();
  if (!indirect->Next(kDerSequence, "SpcIndirectDataContent's data")) return indirect->refused();
  std::optional<DerReader> info = Enter(*indirect, kDerSequence, "the DigestInfo");
  if (!info) return indirect->refused();
  ReadDigestInfo(*info, out);
  return info->refused();
}

// Why the WIN_CERTIFICATE header at the start of the table is refused, or
// nothing.
std::string EntryHeaderFault(const unsigned char* table, size_t size) {
  const ByteReader bytes(table, size);
  const std::optional<uint32_t> length = bytes.U32(0);
  const std::optional<uint16_t> revision = bytes.U16(4);
  const std::optional<uint16_t> type = bytes.U16(6);
  if (!length || !revision || !type)
    return "the certificate table is shorter than a WIN_CERTIFICATE header";
  if (*length < kWinCertificateHeaderSize || *length > size)
    return "its first entry claims " + std::to_string(*length) + " bytes, the table holds " +
           std::to_string(size);
  if (*revision != kWinCertificateRevision2 || *type != kWinCertificatePkcsSignedData)
    return "its first entry is not a PKCS#7 signature of revision 2.0 (revision " +
           std::to_string(*revision) + ", type " + std::to_string(*type) + ")";
  return {};
}

// The size of the signature at the start of an entry's `size` bytes: one DER
// element, followed by nothing but the zero bytes (fewer than 8) that pad
// the entry to a multiple of 8. Nothing when it is not, with the reason.
std::optional<size_t> SignatureSize(const unsigned char* der, size_t size, std::string& refused) {
  DerReader entry(der, size);
  const std::optional<DerElement> signature = entry.Next();
  if (!signature) {
    refused = "the signature: " + entry.refused();
    return std::nullopt;
  }
  const size_t end = static_cast<size_t>(signature->body - der) + signature->size;
  bool zeros = true;
  for (size_t i = end; i < size; ++i) zeros = zeros && der[i] == 0;
  if (size - end >= 8 || !zeros) {
    refused = std::to_string(size - end) + " bytes follow the signature in its entry";
    return std::nullopt;
  }
  return end;
}

}  // namespace

const char* DigestAlgorithmName(DigestAlgorithm algorithm) {
  return algorithm == DigestAlgorithm::kSha1 ? "SHA-1" : "SHA-256";
}

SignedImageDigest ReadSignedImageDigest(const unsigned char* table, size_t size) {
  SignedImageDigest out;
  out.refused = EntryHeaderFault(table, size);
  if (!out.refused.empty()) return out;
  const unsigned char* der = table + kWinCertificateHeaderSize;
  const std::optional<size_t> der_size =
      SignatureSize(der, GetU32(table) - kWinCertificateHeaderSize, out.refused);
  if (!der_size) return out;
  if (!IsWellFormedDer(der, *der_size, out.refused)) {
    out.refused = "the signature is not well-formed DER: " + out.refused;
    return out;
  }
  out.refused = ReadContentInfo(der, *der_size, out);
  if (!out.refused.empty()) out.digest.clear();
  return out;
}

std::string CertificateTableFault(ByteSource& file, uint64_t table_offset, uint64_t table_size) {
  constexpr uint32_t kMostEntryBytes = uint32_t{16} << 20;
  uint64_t at = 0;
  for (int index = 0; at < table_size; ++index) {
    const std::string entry_name =
        "entry " + std::to_string(index) + " (at byte " + std::to_string(at) + " of the table)";
    unsigned char header[kWinCertificateHeaderSize];
    if (table_size - at < sizeof header || !file.ReadAt(table_offset + at, header, sizeof header))
      return std::to_string(table_size - at) + " bytes after the last entry, too few for another";
    const uint32_t length = GetU32(header);
    if (length > kMostEntryBytes || length > table_size - at)
      return entry_name + " claims " + std::to_string(length) + " bytes, the table holds " +
             std::to_string(table_size - at) + " from there";
    std::vector<unsigned char> entry(length);
    if (!file.ReadAt(table_offset + at, entry.data(), entry.size()))
      return entry_name + " cannot be read";
    std::string refused = EntryHeaderFault(entry.data(), entry.size());
    if (refused.empty()) {
      const unsigned char* der = entry.data() + kWinCertificateHeaderSize;
      const std::optional<size_t> der_size =
          SignatureSize(der, length - kWinCertificateHeaderSize, refused);
      if (der_size && !IsWellFormedDer(der, *der_size, refused))
        refused = "its signature is not well-formed DER: " + refused;
    }
    if (!refused.empty()) return entry_name + ": " + refused;
    const uint64_t next =
        std::min<uint64_t>(at + ((uint64_t{length} + 7) & ~uint64_t{7}), table_size);
    for (uint64_t pad = at + length; pad < next; ++pad) {
      unsigned char byte = 0;
      if (!file.ReadAt(table_offset + pad, &byte, 1) || byte != 0)
        return "the padding after " + entry_name + " is not zero bytes";
    }
    at = next;
  }
  return {};
}

namespace {

constexpr size_t kChunk = size_t{64} * 1024;

// The ranges of the file the hash covers, and the zero bytes after them.
struct Part {
  uint64_t offset = 0;
  uint64_t size = 0;
};

struct HashedRanges {
  Part parts[3];
  uint64_t padding = 0;
  std::string refused;
};

HashedRanges RangesOf(ByteSource& file, uint64_t file_size) {
  HashedRanges r;
  const PeSecurityEntry pe = ReadPeSecurityEntry(file, file_size);
  if (!pe.found) {
    r.refused = "it is not a PE image whose headers reach the security entry";
    return r;
  }
  uint64_t end = file_size;
  if (pe.NamesTable()) {
    end = pe.table_offset;
    if (!RangeInside(pe.table_offset, pe.table_size, file_size))
      r.refused = "its certificate table (" + std::to_string(pe.table_size) + " bytes at byte " +
                  std::to_string(pe.table_offset) + ") does not lie inside the file";
    else if (end < pe.entry_offset + kPeDirectorySize)
      r.refused = "its certificate table begins inside its PE headers";
    if (!r.refused.empty()) return r;
  } else {
    r.padding = (8 - file_size % 8) % 8;
  }
  const uint64_t after_checksum = pe.checksum_offset + 4;
  const uint64_t after_entry = pe.entry_offset + kPeDirectorySize;
  r.parts[0] = {0, pe.checksum_offset};
  r.parts[1] = {after_checksum, pe.entry_offset - after_checksum};
  r.parts[2] = {after_entry, end - after_entry};
  return r;
}

template <typename Hash>
ImageHash HashRanges(ByteSource& file, const HashedRanges& ranges) {
  ImageHash out;
  Hash hash;
  std::vector<unsigned char> chunk(kChunk);
  for (const Part& part : ranges.parts) {
    for (uint64_t done = 0; done < part.size;) {
      const size_t n = static_cast<size_t>(part.size - done < kChunk ? part.size - done : kChunk);
      if (!file.ReadAt(part.offset + done, chunk.data(), n)) {
        out.refused =
            "its bytes from byte " + std::to_string(part.offset + done) + " cannot be read";
        return out;
      }
      hash.Update(chunk.data(), n);
      done += n;
    }
  }
  const unsigned char zeros[8] = {};
  hash.Update(zeros, static_cast<size_t>(ranges.padding));
  const auto digest = hash.Finish();
  out.digest.assign(digest.begin(), digest.end());
  return out;
}

}  // namespace

ImageHash AuthenticodeImageHash(ByteSource& file, uint64_t file_size, DigestAlgorithm algorithm) {
  const HashedRanges ranges = RangesOf(file, file_size);
  if (!ranges.refused.empty()) return ImageHash{{}, ranges.refused};
  return algorithm == DigestAlgorithm::kSha1 ? HashRanges<Sha1>(file, ranges)
                                             : HashRanges<Sha256>(file, ranges);
}

}  // namespace ldr
